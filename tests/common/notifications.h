// Notifications as the device's producer sends them, written out here
// independently of the service's own table.
#pragma once

#include <initializer_list>
#include <string>

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
