// ipc-dispatchd: turns detection notifications from "/ipc_dispatch" into
// event names for the subscriber queues "/ipc_dispatch_1".."_9".
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "events/ipc_events.h"
#include "queues/ipc_queues.h"
#include "trace/trace.h"

// Which release this is, for strings(1): the service takes no arguments.
// The NUL ahead keeps whatever comes before it in the file out of the line.
[[gnu::used, gnu::retain]] static const char version[] = "\0ipc-dispatchd " IPC_VERSION;

int main(void)
{
	char buffer[IPC_MSG_SIZE];

	// A log reader that goes away, stalls or cannot keep up must neither
	// take the dispatcher with it nor hold the events back.
	signal(SIGPIPE, SIG_IGN);
	ipc_log_nonblocking();
	if (ipc_open_queues() == -1)
		exit(1);
	ipc_prepare_fanout();
	for (;;) {
		// Cleared so that a successful receive does not show a stale error.
		errno = 0;
		int len = (int)mq_receive(ipc_mq[0], buffer, sizeof(buffer), nullptr);
		if (debug)
			ipc_trace_status(len, errno);
		if (len >= 0)
			parse_message(buffer, (unsigned int)len);
		// The trace leaves once the subscribers have their event, so that
		// none of them waits for it, and in one write, so that a turn never
		// interleaves with another writer of the same log.
		ipc_trace_flush();
		if (len >= 0)
			mq_send(ipc_mq[0], buffer, (size_t)len, 0);  // back, unchanged, for its other readers
		usleep(IPC_RELAY_DELAY_US);
	}
}
