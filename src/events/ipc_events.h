// Event translation: the table of recognised notifications, the trace of
// each message, and the fan-out of event names to the subscriber queues.
#pragma once

#include <stddef.h>
#include <string.h>

#include "queues/ipc_queues.h"
#include "trace/trace.h"

struct ipc_event {
	unsigned char bytes[16];
	size_t size;  // bytes compared, and so the shortest message that matches
	const char *name;
};

// Tested in this order; the first row that matches decides. Read as
// little-endian: u32 kind, u32 2, u16 code, u16 code (, u32 0).
inline constexpr ipc_event ipc_events[] = {
	{{0x01, 0, 0, 0, 0x02, 0, 0, 0, 0xf5, 0, 0xf5, 0, 0, 0, 0, 0}, 16, "AI_HUMAN_DETECTION_START"},
	{{0x01, 0, 0, 0, 0x02, 0, 0, 0, 0xed, 0, 0xed, 0, 0, 0, 0, 0}, 16, "AI_HUMAN_DETECTION_STOP"},
	{{0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x7c, 0, 0x7c, 0}, 12, "MOTION_START"},
	{{0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x7d, 0, 0x7d, 0}, 12, "MOTION_STOP"},
	{{0x04, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0x60, 0x02, 0x60, 0, 0, 0, 0}, 16, "BABY_CRYING"},
	{{0x04, 0, 0, 0, 0x02, 0, 0, 0, 0x04, 0x60, 0x04, 0x60, 0, 0, 0, 0}, 16, "BABY_CRYING"},
};
constexpr int IPC_EVENT_ROWS = sizeof(ipc_events) / sizeof(ipc_events[0]);

constexpr size_t ipc_name_length(const char *name)
{
	size_t n = 0;
	while (name[n] != '\0')
		n++;
	return n;
}

// The turn's trace has room for the longest name on every subscriber.
constexpr bool ipc_names_fit(void)
{
	for (const ipc_event &row : ipc_events)
		if (ipc_name_length(row.name) > IPC_EVENT_NAME_MAX)
			return false;
	return true;
}
static_assert(ipc_names_fit());
static_assert(IPC_QUEUE_COUNT - 1 <= (int)IPC_TRACE_SUBSCRIBERS);

constexpr size_t IPC_BYTE_LINE_SIZE = ipc_byte_line_size(IPC_MSG_SIZE);

// The first row that the message matches, or nullptr. Inline, as the
// next, so that a tool that reads the table links none of the service's
// buffers.
inline const ipc_event *ipc_match_event(const unsigned char *data, size_t len)
{
	for (const ipc_event &row : ipc_events)
		if (len >= row.size && memcmp(data, row.bytes, row.size) == 0)
			return &row;
	return nullptr;
}

// The first row that carries the event name, or nullptr.
inline const ipc_event *ipc_find_event(const char *name)
{
	for (const ipc_event &row : ipc_events)
		if (strcmp(row.name, name) == 0)
			return &row;
	return nullptr;
}

// Makes the fan-out trace of every row, "Sending NAME to queue #i" for
// each subscriber queue in use. The queues never change after start-up,
// so this is done once, after they are opened.
void ipc_prepare_fanout(void);

// Adds the trace of one received message to the turn's trace and sends
// its event name, if it has one, to every subscriber queue in use.
// Always returns 0.
int parse_message(const char *data, unsigned int len);
