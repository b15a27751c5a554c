#include "queues/ipc_queues.h"

#include "trace/trace.h"

int ipc_mq[IPC_QUEUE_COUNT];

void ipc_queue_name(ipc_text &name, int index)
{
	ipc_put(name, IPC_QUEUE_BASE);
	if (index != 0)
		ipc_put_all(name, "_", index);
}

mqd_t ipc_create_queue(const char *name, int flags)
{
	struct mq_attr attr = {};

	attr.mq_flags = 0;
	attr.mq_maxmsg = IPC_MAX_MSGS;
	attr.mq_msgsize = IPC_MSG_SIZE;
	attr.mq_curmsgs = 0;
	// Without O_EXCL an existing queue keeps its own attributes and messages.
	return mq_open(name, flags | O_CREAT, IPC_QUEUE_MODE, &attr);
}

int ipc_open_queue(int index)
{
	ipc_queue_name_buf name;

	ipc_queue_name(name, index);
	// The dispatch queue belongs to its producer: never create it, and
	// block on it. Subscribers must never stall the dispatcher.
	if (index == 0)
		ipc_mq[index] = mq_open(name.str(), O_RDWR);
	else
		ipc_mq[index] = ipc_create_queue(name.str(), O_RDWR | O_NONBLOCK);
	if (ipc_mq[index] != -1)
		return 0;
	ipc_log_error("Can't open mqueue ", name.str());
	return index == 0 ? -1 : 0;
}

int ipc_open_queues(void)
{
	if (ipc_open_queue(0) != 0)
		return -1;
	for (int i = 1; i < IPC_QUEUE_COUNT; i++)
		ipc_open_queue(i);
	return 0;
}
