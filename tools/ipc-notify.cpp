// ipc-notify: sends one notification into "/ipc_dispatch", as the device's
// producer would.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "events/ipc_events.h"
#include "queues/ipc_queues.h"
#include "service/trace.h"
#include "tool.h"

namespace {

constexpr char NAME[] = "ipc-notify";
constexpr unsigned long PRIORITY_MAX = 32767;  // Linux's MQ_PRIO_MAX - 1

constexpr char USAGE[] =
	"Usage: ipc-notify [--priority N] [--create] EVENT\n"
	"       ipc-notify [--priority N] [--create] --hex HEX\n"
	"       ipc-notify --create\n"
	"Sends one notification into /ipc_dispatch; with --create alone, only\n"
	"creates the queue.\n"
	"\n"
	"EVENT is one of AI_HUMAN_DETECTION_START, AI_HUMAN_DETECTION_STOP,\n"
	"MOTION_START, MOTION_STOP and BABY_CRYING; the notification is the one\n"
	"that ipc-dispatchd turns into that event.\n"
	"\n"
	"  --hex HEX       send these bytes instead: pairs of hex digits, blanks\n"
	"                  allowed between them, 0 to 512 bytes\n"
	"  --priority N    message priority, 0 to 32767 (default 0)\n"
	"  --create        create /ipc_dispatch when it does not exist (depth 10,\n"
	"                  message size 512, mode 0644 less the umask)\n"
	"  --help          show this help\n"
	"\n"
	"Waits while /ipc_dispatch is full. Exit status: 0 sent, 1 the queue could\n"
	"not be opened or written, 2 usage error.\n";

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n';
}

// Parses HEX into bytes (IPC_MSG_SIZE of room); exits on a usage error.
size_t parse_hex(const char *hex, unsigned char *bytes)
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
			const char *bad = high < 0 ? p : p + 1;
			if (*bad == '\0' || is_blank(*bad))
				tool_usage_error(NAME, "--hex: odd number of hex digits");
			tool_usage_error(NAME, "--hex: '%c' is not a hex digit", *bad);
		}
		if (n == IPC_MSG_SIZE)
			tool_usage_error(NAME, "--hex: more than %d bytes", IPC_MSG_SIZE);
		bytes[n++] = (unsigned char)(high << 4 | low);
		p += 2;
	}
	return n;
}

} // namespace

int main(int argc, char **argv)
{
	unsigned char bytes[IPC_MSG_SIZE];
	size_t len = 0;
	const char *hex = nullptr, *priority_text = nullptr, *event_name = nullptr;
	unsigned long priority = 0;
	bool create = false;
	const tool_option options[] = {
		{"--hex", &hex, nullptr},
		{"--priority", &priority_text, nullptr},
		{"--create", nullptr, &create},
		{nullptr, nullptr, nullptr},
	};
	int operands = tool_parse_args(NAME, USAGE, argc, argv, options, &event_name);
	if (priority_text != nullptr && !tool_parse_number(priority_text, PRIORITY_MAX, &priority))
		tool_usage_error(NAME, "--priority: '%s' is not a number from 0 to %lu", priority_text, PRIORITY_MAX);
	if (hex != nullptr) {
		if (operands != 0)
			tool_usage_error(NAME, "--hex takes no EVENT");
		len = parse_hex(hex, bytes);
	} else if (!(create && operands == 0 && priority_text == nullptr)) {
		if (operands != 1)
			tool_usage_error(NAME, operands == 0 ? "no EVENT given" : "one EVENT at a time");
		const ipc_event *event = ipc_find_event(event_name);
		if (event == nullptr)
			tool_usage_error(NAME, "unknown event '%s'", event_name);
		len = event->size;
		memcpy(bytes, event->bytes, len);
	}

	char name[IPC_QUEUE_NAME_SIZE];
	ipc_queue_name(name, 0);
	mqd_t q = create ? ipc_create_queue(name, O_WRONLY) : mq_open(name, O_WRONLY);
	if (q == (mqd_t)-1) {
		ipc_log("Can't open mqueue %s. Error: %s\n", name, strerror(errno));
		return TOOL_FAILED;
	}
	if (hex == nullptr && event_name == nullptr)
		return TOOL_OK;
	if (mq_send(q, (const char *)bytes, len, (unsigned int)priority) != 0) {
		ipc_log("Can't send to mqueue %s. Error: %s\n", name, strerror(errno));
		return TOOL_FAILED;
	}
	return TOOL_OK;
}
