#include "tool.h"

#include <getopt.h>
#include <mqueue.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "queues/ipc_queues.h"

namespace {

char *name;
// The name where the tool's lines begin with it; nullptr where the log tags
// them.
const char *prefix;

} // namespace

void tool_set_name(char *tool)
{
	prefix = name = tool;
}

void tool_tag_from_env(void)
{
	const char *env = getenv("IPC_LOG_TAGGED");
	if (env != nullptr && *env != '\0')
		prefix = nullptr;
}

char *tool_name(void)
{
	return name;
}

void tool_put_prefix(ipc_text &t)
{
	if (prefix != nullptr)
		ipc_put_all(t, prefix, ": ");
}

int64_t tool_now_ms(void)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool tool_parse_number(const char *text, unsigned long max, unsigned long *value)
{
	unsigned long v = 0;

	if (*text == '\0')
		return false;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return false;
		if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, (unsigned long)(*p - '0'), &v) ||
		    v > max)
			return false;
	}
	*value = v;
	return true;
}

static int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

static bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n';
}

tool_hex_result tool_parse_hex(const char *hex, unsigned char *bytes, size_t max, size_t *len,
			       const char **bad)
{
	size_t n = 0;

	for (const char *p = hex; *p != '\0';) {
		if (is_blank(*p)) {
			p++;
			continue;
		}
		int high = hex_digit(p[0]);
		int low = high < 0 ? -1 : hex_digit(p[1]);
		if (high < 0 || low < 0) {
			*bad = high < 0 ? p : p + 1;
			return **bad == '\0' || is_blank(**bad) ? TOOL_HEX_ODD : TOOL_HEX_BAD_DIGIT;
		}
		if (n == max)
			return TOOL_HEX_TOO_LONG;
		bytes[n++] = (unsigned char)(high << 4 | low);
		p += 2;
	}
	*len = n;
	return TOOL_HEX_OK;
}

int tool_next_option(int argc, char **argv, const char *shorts, const option *options, const char *usage)
{
	argv[0] = name;
	int c = getopt_long(argc, argv, shorts, options, nullptr);
	if (c == 'h')
		exit(ipc_write_all(STDOUT_FILENO, usage, strlen(usage)) ? TOOL_OK : TOOL_FAILED);
	if (c == 'V') {
		ipc_buf<64> line;
		ipc_put_all(line, name, " " IPC_VERSION "\n");
		exit(ipc_write_all(STDOUT_FILENO, line.buf, line.len) ? TOOL_OK : TOOL_FAILED);
	}
	if (c == '?' || c == ':')
		exit(TOOL_USAGE);
	return c;
}

void tool_usage_exit(const ipc_text &message)
{
	say(message, " (see ", name, " --help)\n");
	exit(TOOL_USAGE);
}

int tool_open_queue(int index, int flags)
{
	ipc_queue_name_buf queue;
	mq_attr attr;

	ipc_queue_name(queue, index);
	const char *path = queue.str();
	// The dispatch queue belongs to the producer; a subscriber queue may be
	// created by whichever of reader and service comes first.
	mqd_t q = index == 0 ? mq_open(path, O_RDONLY | flags) : ipc_create_queue(path, O_RDONLY | flags);
	if (q == (mqd_t)-1) {
		ipc_log_error("Can't open mqueue ", path);
		return -1;
	}
	if (mq_getattr(q, &attr) == 0 && attr.mq_msgsize > TOOL_MSG_MAX) {
		ipc_log("Can't read mqueue ", path, ". Error: messages of up to ", attr.mq_msgsize, " bytes, more than ",
			TOOL_MSG_MAX, "\n");
		mq_close(q);
		return -1;
	}
	return q;
}
