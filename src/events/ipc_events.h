// Event translation: the table of recognised notifications, the trace of
// each message, and the fan-out of event names to the subscriber queues.
#pragma once

#include <stddef.h>

#include "queues/ipc_queues.h"

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

// "%02x " for each byte of a full-size message, and the line end.
constexpr size_t IPC_BYTE_LINE_SIZE = 3 * IPC_MSG_SIZE + 1;

// The name of the first row that the message matches, or nullptr.
const char *ipc_match_event(const unsigned char *data, size_t len);

// The first row that carries the event name, or nullptr.
const ipc_event *ipc_find_event(const char *name);

// Writes the byte line of a message into line (size bytes, no terminator)
// and returns its length. A message too long for line is cut at a whole
// byte; the line end is always there.
size_t ipc_format_bytes(char *line, size_t size, const unsigned char *data, size_t len);

// Traces one received message and sends its event name, if it has one,
// to every subscriber queue in use. Always returns 0.
int parse_message(const char *data, unsigned int len);
