// The queue set: one dispatch queue and nine subscriber queues, their
// names, attributes and descriptors.
#pragma once

#include <fcntl.h>
#include <mqueue.h>
#include <stddef.h>
#include <sys/stat.h>

#include "trace/trace.h"

constexpr int IPC_QUEUE_COUNT = 10;        // slots in ipc_mq: dispatch + 9 subscribers
constexpr int IPC_MSG_SIZE = 512;          // receive buffer, msgsize of created queues
constexpr int IPC_MAX_MSGS = 10;           // depth of created queues
constexpr int IPC_RELAY_DELAY_US = 10000;  // pause per loop turn
constexpr mode_t IPC_QUEUE_MODE = 0644;
constexpr const char IPC_QUEUE_BASE[] = "/ipc_dispatch";
constexpr size_t IPC_QUEUE_NAME_MAX = 15;  // "/ipc_dispatch_9"

static_assert(sizeof(IPC_QUEUE_BASE) - 1 + 2 <= IPC_QUEUE_NAME_MAX);
static_assert(IPC_MSG_SIZE <= (int)IPC_TRACE_MSG_MAX, "a turn's trace must hold a whole message");

// Slot 0 is the dispatch queue, slot i the subscriber queue number i.
// A slot is in use when it holds a value greater than 0.
extern int ipc_mq[IPC_QUEUE_COUNT];

// Appends the name of queue index (0 to 9) to name.
using ipc_queue_name_buf = ipc_buf<IPC_QUEUE_NAME_MAX>;
void ipc_queue_name(ipc_text &name, int index);

// Opens name with flags | O_CREAT, creating it with the set's mode and
// attributes when it does not exist yet.
mqd_t ipc_create_queue(const char *name, int flags);

int ipc_open_queue(int index);
int ipc_open_queues(void);
