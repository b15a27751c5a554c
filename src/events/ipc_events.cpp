#include "events/ipc_events.h"

#include <string.h>

#include "service/trace.h"

const char *ipc_match_event(const unsigned char *data, size_t len)
{
	for (const ipc_event &row : ipc_events)
		if (len >= row.size && memcmp(data, row.bytes, row.size) == 0)
			return row.name;
	return nullptr;
}

const ipc_event *ipc_find_event(const char *name)
{
	for (const ipc_event &row : ipc_events)
		if (strcmp(row.name, name) == 0)
			return &row;
	return nullptr;
}

size_t ipc_format_bytes(char *line, size_t size, const unsigned char *data, size_t len)
{
	static constexpr char digits[] = "0123456789abcdef";
	size_t n = 0;

	if (size == 0)
		return 0;
	if (len > (size - 1) / 3)
		len = (size - 1) / 3;
	for (size_t i = 0; i < len; i++) {
		line[n++] = digits[data[i] >> 4];
		line[n++] = digits[data[i] & 0x0f];
		line[n++] = ' ';
	}
	line[n++] = '\n';
	return n;
}

int parse_message(const char *data, unsigned int len)
{
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data);

	if (debug) {
		static constexpr char parsing[] = "Parsing message.\n";
		char line[IPC_BYTE_LINE_SIZE];
		ipc_write_line(parsing, sizeof(parsing) - 1);
		ipc_write_line(line, ipc_format_bytes(line, sizeof(line), bytes, len));
	}
	const char *name = ipc_match_event(bytes, len);
	if (name == nullptr)
		return 0;
	size_t name_len = strlen(name);
	for (int i = 1; i < IPC_QUEUE_COUNT; i++) {
		if (ipc_mq[i] <= 0)
			continue;
		if (debug)
			ipc_log("Sending %s to queue #%d\n", name, i);
		// Non-blocking: a full subscriber loses this event rather than
		// stalling every other subscriber and the dispatch queue.
		mq_send(ipc_mq[i], name, name_len, 0);
	}
	return 0;
}
