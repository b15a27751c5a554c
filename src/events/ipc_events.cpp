#include "events/ipc_events.h"

#include <string.h>

namespace {

// The fan-out trace of each row, made once the queues are open.
ipc_buf<IPC_TRACE_SUBSCRIBERS * IPC_FANOUT_LINE_MAX> fanout[IPC_EVENT_ROWS];

} // namespace

void ipc_prepare_fanout(void)
{
	for (int r = 0; r < IPC_EVENT_ROWS; r++) {
		fanout[r].len = 0;
		for (int i = 1; i < IPC_QUEUE_COUNT; i++)
			if (ipc_mq[i] > 0)
				ipc_put_all(fanout[r], "Sending ", ipc_events[r].name, " to queue #", i, "\n");
	}
}

int parse_message(const char *data, unsigned int len)
{
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data);

	if (debug) {
		ipc_put(ipc_trace_turn(), "Parsing message.\n");
		ipc_put_bytes(ipc_trace_turn(), bytes, len);
	}
	const ipc_event *row = ipc_match_event(bytes, len);
	if (row == nullptr)
		return 0;
	size_t name_len = strlen(row->name);
	for (int i = 1; i < IPC_QUEUE_COUNT; i++)
		// Non-blocking: a full subscriber loses this event rather than
		// stalling every other subscriber and the dispatch queue.
		if (ipc_mq[i] > 0)
			mq_send(ipc_mq[i], row->name, name_len, 0);
	if (debug)
		ipc_put(ipc_trace_turn(), fanout[row - ipc_events]);
	return 0;
}
