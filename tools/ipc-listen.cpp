// ipc-listen: prints the events that reach one subscriber queue, a line
// each, for shell scripts and pipes.
#include <errno.h>
#include <getopt.h>
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
	"Prints each event sent to /ipc_dispatch_N (N from 1 to 9) as one line on\n"
	"standard output, written as soon as it arrives. The queue is created with\n"
	"ipc-dispatchd's attributes when it does not exist yet, so a listener may\n"
	"start first. Bytes other than printable ASCII are written as \\xNN, and a\n"
	"backslash as \\\\.\n"
	"Events that were already waiting in the queue when it started (from before,\n"
	"when nobody read it) are taken out and not printed, and a line on stderr\n"
	"says how many: only what arrives from now on is printed. Each queue has one\n"
	"reader: one that ipc-mqtt reads (its QUEUE, 1 by default) is not for\n"
	"ipc-listen, which would take the bridge's events.\n"
	"\n"
	"  --dispatch         take notifications out of /ipc_dispatch instead, as\n"
	"                     the device's own reader does, and print each in hex;\n"
	"                     the queue must exist; what waits there is printed\n"
	"  --waiting          print the events that were waiting too, first\n"
	"  --count K          exit after K events\n"
	"  --timeout SECONDS  exit with status 3 when no event arrives within\n"
	"                     SECONDS of starting or of the last event, on the\n"
	"                     monotonic clock, which setting the time leaves alone\n"
	"  -h, --help         show this help\n"
	"      --version      show the version\n"
	"\n"
	"Exit status: 0 done (--count reached), 1 the queue could not be opened or\n"
	"read, 2 usage error, 3 timed out.\n";

constexpr option OPTIONS[] = {
	{"count", required_argument, nullptr, 'c'},
	{"timeout", required_argument, nullptr, 't'},
	{"dispatch", no_argument, nullptr, 'd'},
	{"waiting", no_argument, nullptr, 'w'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// Writes msg escaped into line (4 * len + 1 bytes of room), with the line
// end, and returns the line's length.
size_t escape(char *line, const unsigned char *msg, size_t len)
{
	static constexpr char digits[] = "0123456789abcdef";
	size_t n = 0;

	for (size_t i = 0; i < len; i++) {
		unsigned char c = msg[i];
		if (c == '\\') {
			line[n++] = '\\';
			line[n++] = '\\';
		} else if (c >= 0x20 && c < 0x7f) {
			line[n++] = (char)c;
		} else {
			line[n++] = '\\';
			line[n++] = 'x';
			line[n++] = digits[c >> 4];
			line[n++] = digits[c & 0x0f];
		}
	}
	line[n++] = '\n';
	return n;
}

timespec monotonic_after(unsigned long seconds)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	t.tv_sec += (time_t)seconds;
	return t;
}

// The time left until the deadline; zero once it has passed.
timespec time_until(const timespec &deadline)
{
	timespec now, left;
	clock_gettime(CLOCK_MONOTONIC, &now);
	left.tv_sec = deadline.tv_sec - now.tv_sec;
	left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
	if (left.tv_nsec < 0) {
		left.tv_sec--;
		left.tv_nsec += 1000000000;
	}
	if (left.tv_sec < 0)
		left = {0, 0};
	return left;
}

// Receives one message by the deadline, or fails with ETIMEDOUT. A queue
// descriptor is a file descriptor here, and ppoll's timeout runs on the
// monotonic clock; a realtime deadline (mq_timedreceive) would move with
// every step of the system's clock. q is non-blocking.
ssize_t receive_by(mqd_t q, char *buf, size_t size, const timespec &deadline)
{
	for (;;) {
		timespec left = time_until(deadline);
		pollfd p = {q, POLLIN, 0};
		int ready = ppoll(&p, 1, &left, nullptr);
		if (ready < 0)
			return -1;
		if (ready > 0) {
			ssize_t n = mq_receive(q, buf, size, nullptr);
			// Another reader may have taken it first.
			if (n >= 0 || errno != EAGAIN)
				return n;
		} else if (left.tv_sec == 0 && left.tv_nsec == 0) {
			errno = ETIMEDOUT;
			return -1;
		}
	}
}

// Takes out, without printing, what was in the subscriber queue before
// this listener: events nobody read, maybe hours old, which would
// otherwise come out at once as if they had just happened. A queue that
// was not there has nothing old. q is non-blocking.
void skip_waiting(mqd_t q, bool created, int index)
{
	mq_attr attr;
	if (created || mq_getattr(q, &attr) != 0 || attr.mq_curmsgs <= 0)
		return;
	char msg[TOOL_MSG_MAX];
	long skipped = 0;
	while (skipped < attr.mq_curmsgs && mq_receive(q, msg, sizeof(msg), nullptr) >= 0)
		skipped++;
	char name[IPC_QUEUE_NAME_SIZE];
	ipc_queue_name(name, index);
	ipc_log(NAME, ": skipped ", skipped, skipped == 1 ? " event" : " events", " that waited in ", name,
		" from before it started (--waiting prints them)\n");
}

} // namespace

int main(int argc, char **argv)
{
	const char *count_text = nullptr, *timeout_text = nullptr;
	unsigned long count = 0, timeout = 0, index = 0;
	bool dispatch = false, waiting = false;

	for (int c; (c = tool_next_option(NAME, argc, argv, "h", OPTIONS, USAGE)) != -1;) {
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
		tool_usage_error(NAME, "--count: '", count_text, "' is not a number above 0");
	if (timeout_text != nullptr && !tool_parse_number(timeout_text, TIMEOUT_MAX, &timeout))
		tool_usage_error(NAME, "--timeout: '", timeout_text, "' is not a number of seconds from 0 to ",
				 TIMEOUT_MAX);
	if (dispatch && operands != 0)
		tool_usage_error(NAME, "--dispatch takes no queue number N");
	if (!dispatch && operands != 1)
		tool_usage_error(NAME, operands == 0 ? "no queue number N given" : "one queue number N at a time");
	if (!dispatch && (!tool_parse_number(index_text, IPC_QUEUE_COUNT - 1, &index) || index == 0))
		tool_usage_error(NAME, "N: '", index_text, "' is not a number from 1 to ", IPC_QUEUE_COUNT - 1);

	bool timed = timeout_text != nullptr;
	char name[IPC_QUEUE_NAME_SIZE];
	ipc_queue_name(name, (int)index);
	// Whether the queue is there already, before opening creates it.
	mqd_t there = mq_open(name, O_RDONLY);
	bool created = there == (mqd_t)-1 && errno == ENOENT;
	if (there != (mqd_t)-1)
		mq_close(there);
	mqd_t q = tool_open_queue((int)index, O_NONBLOCK);
	if (q == (mqd_t)-1)
		return TOOL_FAILED;
	if (!dispatch && !waiting)
		skip_waiting(q, created, (int)index);
	mq_attr blocking = {};
	if (!timed)
		mq_setattr(q, &blocking, nullptr);

	char msg[TOOL_MSG_MAX];
	char line[4 * TOOL_MSG_MAX + 1];
	for (unsigned long seen = 0; count == 0 || seen < count; seen++) {
		timespec deadline = monotonic_after(timeout);
		ssize_t len;
		do
			len = timed ? receive_by(q, msg, sizeof(msg), deadline) : mq_receive(q, msg, sizeof(msg), nullptr);
		while (len < 0 && errno == EINTR);
		if (len < 0 && errno == ETIMEDOUT)
			return TOOL_TIMED_OUT;
		if (len < 0) {
			ipc_log_error("Can't receive from mqueue ", name);
			return TOOL_FAILED;
		}
		const unsigned char *bytes = (const unsigned char *)msg;
		size_t n = dispatch ? ipc_format_bytes(line, sizeof(line), bytes, (size_t)len)
				    : escape(line, bytes, (size_t)len);
		if (!ipc_write_all(1, line, n))
			return TOOL_FAILED;
	}
	return TOOL_OK;
}
