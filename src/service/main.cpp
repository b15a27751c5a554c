// ipc-dispatchd: turns detection notifications from "/ipc_dispatch" into
// event names for the subscriber queues "/ipc_dispatch_1".."_9".
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "events/ipc_events.h"
#include "queues/ipc_queues.h"
#include "service/trace.h"

int main(void)
{
	char buffer[IPC_MSG_SIZE];

	// A log reader that goes away must not take the dispatcher with it.
	signal(SIGPIPE, SIG_IGN);
	if (ipc_open_queues() == -1)
		exit(1);
	for (;;) {
		// Cleared so that a successful receive does not show a stale error.
		errno = 0;
		int len = (int)mq_receive(ipc_mq[0], buffer, sizeof(buffer), nullptr);
		if (debug)
			ipc_log("IPC message. Len: %d. Status: %s!\n", len, strerror(errno));
		if (len >= 0) {
			parse_message(buffer, (unsigned int)len);
			// Put back unchanged for the queue's other readers.
			mq_send(ipc_mq[0], buffer, (size_t)len, 0);
		}
		usleep(IPC_RELAY_DELAY_US);
	}
}
