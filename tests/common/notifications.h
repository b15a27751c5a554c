// Notifications as the device's producer sends them, and what the service
// traces for them, written out here independently of the service's own
// table and formatter.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

inline std::string bytes_of(std::initializer_list<int> values)
{
	std::string s;
	for (int v : values)
		s += static_cast<char>(v);
	return s;
}

inline const std::string kHumanStart = bytes_of({1, 0, 0, 0, 2, 0, 0, 0, 0xf5, 0, 0xf5, 0, 0, 0, 0, 0});
inline const std::string kHumanStop = bytes_of({1, 0, 0, 0, 2, 0, 0, 0, 0xed, 0, 0xed, 0, 0, 0, 0, 0});
inline const std::string kMotionStart = bytes_of({1, 0, 0, 0, 2, 0, 0, 0, 0x7c, 0, 0x7c, 0});
inline const std::string kMotionStop = bytes_of({1, 0, 0, 0, 2, 0, 0, 0, 0x7d, 0, 0x7d, 0});
inline const std::string kCrying1 = bytes_of({4, 0, 0, 0, 2, 0, 0, 0, 0x02, 0x60, 0x02, 0x60, 0, 0, 0, 0});
inline const std::string kCrying2 = bytes_of({4, 0, 0, 0, 2, 0, 0, 0, 0x04, 0x60, 0x04, 0x60, 0, 0, 0, 0});

// Each of them, and the event it stands for.
struct Row {
	std::string bytes;
	std::string event;
};
inline const Row kRows[] = {
	{kHumanStart, "AI_HUMAN_DETECTION_START"},
	{kHumanStop, "AI_HUMAN_DETECTION_STOP"},
	{kMotionStart, "MOTION_START"},
	{kMotionStop, "MOTION_STOP"},
	{kCrying1, "BABY_CRYING"},
	{kCrying2, "BABY_CRYING"},
};

// "%02x " for each byte, then "\n".
inline std::string hex_line(const std::string &bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string line;
	for (unsigned char b : bytes) {
		line += digits[b >> 4];
		line += digits[b & 15];
		line += ' ';
	}
	return line + "\n";
}

// The service's trace of one message whose event (or nullptr) goes to the
// subscriber queues in_use, without the turn's status line.
inline std::string message_trace(const std::string &bytes, const char *event, const std::vector<int> &in_use)
{
	std::string t = "Parsing message.\n" + hex_line(bytes);
	if (event != nullptr)
		for (int i : in_use)
			t += "Sending " + std::string(event) + " to queue #" + std::to_string(i) + "\n";
	return t;
}
