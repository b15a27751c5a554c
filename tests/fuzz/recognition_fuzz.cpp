// Fuzzes recognition, the trace's formatter and the tools' parsers against
// deliberately simple models: the table read as little-endian words, printf
// for every byte and number, and the C library's strtok and strtoul for the
// command line.
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "events/ipc_events.h"
#include "tool.h"
#include "trace/trace.h"

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

// Words of hex digits, each of even length, between blanks.
bool model_hex(const std::string &text, size_t max, std::string &bytes)
{
	std::string copy = text;
	bytes.clear();
	for (char *word = strtok(copy.data(), " \t\n"); word != nullptr; word = strtok(nullptr, " \t\n")) {
		size_t len = strlen(word);
		if (len % 2 != 0 || strspn(word, "0123456789abcdefABCDEF") != len)
			return false;
		for (size_t i = 0; i < len; i += 2)
			bytes += static_cast<char>(strtoul(std::string(word + i, 2).c_str(), nullptr, 16));
	}
	return bytes.size() <= max;
}

bool model_number(const std::string &text, unsigned long max, unsigned long *value)
{
	if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
		return false;
	errno = 0;
	unsigned long long v = strtoull(text.c_str(), nullptr, 10);
	if (errno == ERANGE || v > max)
		return false;
	*value = static_cast<unsigned long>(v);
	return true;
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

	const ipc_event *row = ipc_match_event(data, size);
	const char *got = row ? row->name : nullptr;
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

	// Numbers of the trace, from the input's first bytes.
	long v = 0;
	memcpy(&v, data, size < sizeof(v) ? size : sizeof(v));
	char digits[IPC_INT_TEXT_MAX + 1], want_digits[32];
	snprintf(want_digits, sizeof(want_digits), "%ld", v);
	std::string int_got(digits, ipc_format_int(digits, v));
	if (int_got != want_digits)
		mismatch("number", int_got, want_digits);

	// The tools' parsers, on the input as text.
	std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
	size_t max = size > 0 ? data[0] % 64 : 0;
	unsigned char parsed[IPC_MSG_SIZE];
	size_t parsed_len = 0;
	const char *bad = nullptr;
	std::string want_bytes;
	bool hex_ok = tool_parse_hex(text.c_str(), parsed, max, &parsed_len, &bad) == TOOL_HEX_OK;
	if (hex_ok != model_hex(text, max, want_bytes) ||
	    (hex_ok && std::string(reinterpret_cast<char *>(parsed), parsed_len) != want_bytes))
		mismatch("hex", hex_ok ? std::string(reinterpret_cast<char *>(parsed), parsed_len) : "(refused)", text);
	unsigned long limit = size > 1 ? (data[1] & 1 ? ULONG_MAX : data[1] * 1000UL) : 0, n = 0, want_n = 0;
	bool number_ok = tool_parse_number(text.c_str(), limit, &n);
	if (number_ok != model_number(text, limit, &want_n) || (number_ok && n != want_n))
		mismatch("number parser", number_ok ? std::to_string(n) : "(refused)", text);

	// The whole path, quietly: no queues are open, so nothing is sent.
	debug = 0;
	for (int &q : ipc_mq)
		q = -1;
	parse_message(reinterpret_cast<const char *>(data), static_cast<unsigned>(size));
	return 0;
}
