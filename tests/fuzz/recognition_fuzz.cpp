// Fuzzes recognition and the byte trace against a deliberately simple model:
// the table read as little-endian words, and printf for every byte.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "events/ipc_events.h"
#include "service/trace.h"

namespace {

uint32_t le32(const uint8_t *p)
{
	return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t le16(const uint8_t *p)
{
	return uint16_t(p[0] | p[1] << 8);
}

// u32 kind, u32 2, u16 code, u16 code; the 16-byte kinds end with u32 0.
const char *model_event(const uint8_t *d, size_t n)
{
	if (n < 12 || le32(d + 4) != 2 || le16(d + 8) != le16(d + 10))
		return nullptr;
	uint32_t kind = le32(d);
	uint16_t code = le16(d + 8);
	if (kind == 1 && code == 0x7c)
		return "MOTION_START";
	if (kind == 1 && code == 0x7d)
		return "MOTION_STOP";
	if (n < 16 || le32(d + 12) != 0)
		return nullptr;
	if (kind == 1 && code == 0xf5)
		return "AI_HUMAN_DETECTION_START";
	if (kind == 1 && code == 0xed)
		return "AI_HUMAN_DETECTION_STOP";
	if (kind == 4 && (code == 0x6002 || code == 0x6004))
		return "BABY_CRYING";
	return nullptr;
}

std::string model_line(const uint8_t *d, size_t n)
{
	std::string line;
	char hex[4];
	for (size_t i = 0; i < n; i++) {
		snprintf(hex, sizeof(hex), "%02x ", d[i]);
		line += hex;
	}
	return line + "\n";
}

[[noreturn]] void mismatch(const char *what, const std::string &got, const std::string &want)
{
	fprintf(stderr, "%s: got \"%s\", want \"%s\"\n", what, got.c_str(), want.c_str());
	abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > IPC_MSG_SIZE)
		size = IPC_MSG_SIZE;

	const char *got = ipc_match_event(data, size);
	const char *want = model_event(data, size);
	if ((got == nullptr) != (want == nullptr) || (got != nullptr && strcmp(got, want) != 0))
		mismatch("event", got ? got : "(none)", want ? want : "(none)");

	char line[IPC_BYTE_LINE_SIZE];
	std::string whole = model_line(data, size);
	std::string line_got(line, ipc_format_bytes(line, sizeof(line), data, size));
	if (line_got != whole)
		mismatch("byte line", line_got, whole);

	// A line too short for the message keeps the whole bytes that fit.
	if (size > 0) {
		size_t room = 1 + data[0] % sizeof(line);
		size_t fit = (room - 1) / 3 < size ? (room - 1) / 3 : size;
		std::string cut(line, ipc_format_bytes(line, room, data, size));
		if (cut != model_line(data, fit))
			mismatch("cut byte line", cut, model_line(data, fit));
	}

	// The whole path, quietly: no queues are open, so nothing is sent.
	debug = 0;
	for (int &q : ipc_mq)
		q = -1;
	parse_message(reinterpret_cast<const char *>(data), static_cast<unsigned>(size));
	return 0;
}
