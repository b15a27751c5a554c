// ipc-listen: prints the events that reach one subscriber queue, a line
// each, for shell scripts and pipes.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <time.h>

#include "queues/ipc_queues.h"
#include "tool.h"

namespace {

char NAME[] = "ipc-listen";
constexpr int TIMEOUT_MAX = 31536000;  // a year, in seconds

constexpr char USAGE[] =
	"Usage: ipc-listen [--count K] [--timeout SECONDS] [--waiting] N\n"
	"       ipc-listen [--count K] [--timeout SECONDS] --dispatch\n"
	"Prints each event that reaches /ipc_dispatch_N (1 to 9) as a line, at once:\n"
	"\\xNN for bytes that are not printable ASCII, \\\\ for a backslash. Creates\n"
	"the queue when missing. What waited in it from before is skipped.\n"
	"\n"
	"  --dispatch         read /ipc_dispatch instead, as the device's own reader\n"
	"                     does, each notification in hex\n"
	"  --waiting          print what waited in the queue too, first\n"
	"  --count K          exit after K events\n"
	"  --timeout SECONDS  exit 3 when no event comes within SECONDS of the\n"
	"                     start or of the last one (monotonic clock)\n"
	"  -h, --help, --version\n"
	"\n"
	"Exit status: 0 --count reached, 1 the queue failed, 2 usage, 3 timed out.\n";

constexpr option OPTIONS[] = {
	{"count", required_argument, nullptr, 'c'},
	{"timeout", required_argument, nullptr, 't'},
	{"dispatch", no_argument, nullptr, 'd'},
	{"waiting", no_argument, nullptr, 'w'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// The line of an event: msg escaped, and the line end.
void put_escaped(ipc_text &line, const unsigned char *msg, size_t len)
{
	for (const unsigned char *c = msg; c < msg + len; c++)
		if (*c == '\\')
			ipc_put(line, "\\\\", 2);
		else if (*c >= 0x20 && *c < 0x7f)
			ipc_put(line, (const char *)c, 1);
		else
			ipc_put_all(line, ipc_chars{"\\x", 2}, ipc_hex{c, 1});
	ipc_put(line, "\n", 1);
}

// Receives one message by the deadline (tool_now_ms), or fails with
// ETIMEDOUT. A queue descriptor is a file descriptor here, and poll's
// timeout runs on the monotonic clock; a realtime deadline
// (mq_timedreceive) would move with every step of the system's clock. q is
// non-blocking.
ssize_t receive_by(mqd_t q, char *buf, size_t size, int64_t deadline)
{
	for (;;) {
		int64_t left = deadline - tool_now_ms();
		if (left < 0)
			left = 0;
		pollfd p = {q, POLLIN, 0};
		// A wait of more than 24 days is taken in steps.
		int ready = poll(&p, 1, left > INT_MAX ? INT_MAX : (int)left);
		if (ready < 0)
			return -1;
		if (ready > 0) {
			ssize_t n = mq_receive(q, buf, size, nullptr);
			// Another reader may have taken it first.
			if (n >= 0 || errno != EAGAIN)
				return n;
		} else if (left == 0) {
			errno = ETIMEDOUT;
			return -1;
		}
	}
}

// Takes out, without printing, what was in the subscriber queue before
// this listener: events nobody read, maybe hours old, which would
// otherwise come out at once as if they had just happened. A deadline long
// past makes each receive return at once, blocking descriptor or not.
void skip_waiting(mqd_t q)
{
	mq_attr attr;
	if (mq_getattr(q, &attr) != 0 || attr.mq_curmsgs <= 0)
		return;
	char msg[TOOL_MSG_MAX];
	const timespec past = {0, 0};
	for (long i = 0; i < attr.mq_curmsgs && mq_timedreceive(q, msg, sizeof(msg), nullptr, &past) >= 0; i++)
		;
	say("skipped old events (--waiting prints them)\n");
}

} // namespace

int main(int argc, char **argv)
{
	const char *count_text = nullptr, *timeout_text = nullptr;
	unsigned long count = 0, timeout = 0, index = 0;
	bool dispatch = false, waiting = false;

	tool_start(NAME);
	for (int c; (c = tool_next_option(argc, argv, "h", OPTIONS, USAGE)) != -1;) {
		switch (c) {
		case 'c':
			count_text = optarg;
			break;
		case 't':
			timeout_text = optarg;
			break;
		case 'd':
			dispatch = true;
			break;
		case 'w':
			waiting = true;
			break;
		}
	}
	int operands = argc - optind;
	const char *index_text = operands > 0 ? argv[optind] : nullptr;
	if (count_text != nullptr && (!tool_parse_number(count_text, (unsigned long)-1, &count) || count == 0))
		tool_usage_error("--count: '", count_text, "' is not a number above 0");
	if (timeout_text != nullptr && !tool_parse_number(timeout_text, TIMEOUT_MAX, &timeout))
		tool_usage_error("--timeout: '", timeout_text, "' is not a number of seconds from 0 to ",
				 TIMEOUT_MAX);
	if (dispatch && operands != 0)
		tool_usage_error("--dispatch takes no queue number N");
	if (!dispatch && operands != 1)
		tool_usage_error(operands == 0 ? "no queue number N given" : "one queue number N at a time");
	if (!dispatch && (!tool_parse_number(index_text, IPC_QUEUE_COUNT - 1, &index) || index == 0))
		tool_usage_error("N: '", index_text, "' is not a number from 1 to ", IPC_QUEUE_COUNT - 1);

	bool timed = timeout_text != nullptr;
	mqd_t q = tool_open_queue((int)index, timed ? O_NONBLOCK : 0);
	if (q == (mqd_t)-1)
		return TOOL_FAILED;
	if (!dispatch && !waiting)
		skip_waiting(q);

	char msg[TOOL_MSG_MAX];
	ipc_buf<4 * TOOL_MSG_MAX + 1> line;
	for (unsigned long seen = 0; count == 0 || seen < count; seen++) {
		int64_t deadline = tool_now_ms() + (int64_t)timeout * 1000;
		ssize_t len;
		do
			len = timed ? receive_by(q, msg, sizeof(msg), deadline) : mq_receive(q, msg, sizeof(msg), nullptr);
		while (len < 0 && errno == EINTR);
		if (len < 0 && errno == ETIMEDOUT)
			return TOOL_TIMED_OUT;
		if (len < 0) {
			ipc_queue_name_buf name;
			ipc_queue_name(name, (int)index);
			ipc_log_error("Can't receive from mqueue ", name.str());
			return TOOL_FAILED;
		}
		const unsigned char *bytes = (const unsigned char *)msg;
		line.len = 0;
		if (dispatch)
			ipc_put_bytes(line, bytes, (size_t)len);
		else
			put_escaped(line, bytes, (size_t)len);
		if (!ipc_write_all(1, line.buf, line.len))
			return TOOL_FAILED;
	}
	return TOOL_OK;
}
