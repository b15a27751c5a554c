// ipc-notify: sends one notification into "/ipc_dispatch", as the device's
// producer would.
#include <errno.h>
#include <getopt.h>
#include <string.h>

#include "events/ipc_events.h"
#include "queues/ipc_queues.h"
#include "tool.h"

namespace {

char NAME[] = "ipc-notify";
constexpr int PRIORITY_MAX = 32767;  // Linux's MQ_PRIO_MAX - 1

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
	"  -h, --help      show this help\n"
	"      --version   show the version\n"
	"\n"
	"Waits while /ipc_dispatch is full. Exit status: 0 sent, 1 the queue could\n"
	"not be opened or written, 2 usage error.\n";

constexpr option OPTIONS[] = {
	{"hex", required_argument, nullptr, 'x'},
	{"priority", required_argument, nullptr, 'p'},
	{"create", no_argument, nullptr, 'c'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

size_t parse_hex(const char *hex, unsigned char *bytes)
{
	size_t len = 0;
	const char *bad = nullptr;

	switch (tool_parse_hex(hex, bytes, IPC_MSG_SIZE, &len, &bad)) {
	case TOOL_HEX_OK:
		return len;
	case TOOL_HEX_ODD:
		tool_usage_error("--hex: odd number of hex digits");
	case TOOL_HEX_BAD_DIGIT:
		tool_usage_error("--hex: '", ipc_chars{bad, 1}, "' is not a hex digit");
	case TOOL_HEX_TOO_LONG:
		break;
	}
	tool_usage_error("--hex: more than ", IPC_MSG_SIZE, " bytes");
}

} // namespace

int main(int argc, char **argv)
{
	unsigned char bytes[IPC_MSG_SIZE];
	size_t len = 0;
	const char *hex = nullptr, *priority_text = nullptr;
	unsigned long priority = 0;
	bool create = false;

	tool_start(NAME);
	for (int c; (c = tool_next_option(argc, argv, "h", OPTIONS, USAGE)) != -1;) {
		switch (c) {
		case 'x':
			hex = optarg;
			break;
		case 'p':
			priority_text = optarg;
			break;
		case 'c':
			create = true;
			break;
		}
	}
	int operands = argc - optind;
	const char *event_name = operands > 0 ? argv[optind] : nullptr;
	if (priority_text != nullptr && !tool_parse_number(priority_text, PRIORITY_MAX, &priority))
		tool_usage_error("--priority: '", priority_text, "' is not a number from 0 to ", PRIORITY_MAX);
	if (hex != nullptr) {
		if (operands != 0)
			tool_usage_error("--hex takes no EVENT");
		len = parse_hex(hex, bytes);
	} else if (!(create && operands == 0 && priority_text == nullptr)) {
		if (operands != 1)
			tool_usage_error(operands == 0 ? "no EVENT given" : "one EVENT at a time");
		const ipc_event *event = ipc_find_event(event_name);
		if (event == nullptr)
			tool_usage_error("unknown event '", event_name, "'");
		len = event->size;
		memcpy(bytes, event->bytes, len);
	}

	ipc_queue_name_buf queue;
	ipc_queue_name(queue, 0);
	const char *name = queue.str();
	mqd_t q = create ? ipc_create_queue(name, O_WRONLY) : mq_open(name, O_WRONLY);
	if (q == (mqd_t)-1) {
		ipc_log_error("Can't open mqueue ", name);
		return TOOL_FAILED;
	}
	if (hex == nullptr && event_name == nullptr)
		return TOOL_OK;
	if (mq_send(q, (const char *)bytes, len, (unsigned int)priority) != 0) {
		ipc_log_error("Can't send to mqueue ", name);
		return TOOL_FAILED;
	}
	return TOOL_OK;
}
