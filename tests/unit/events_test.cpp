// Recognition and trace formatting, without queues.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/ipc_events.h"
#include "notifications.h"
#include "service/trace.h"

namespace {

struct Row {
	std::string bytes;
	std::string event;
};
const Row kRows[] = {
	{kHumanStart, "AI_HUMAN_DETECTION_START"},
	{kHumanStop, "AI_HUMAN_DETECTION_STOP"},
	{kMotionStart, "MOTION_START"},
	{kMotionStop, "MOTION_STOP"},
	{kCrying1, "BABY_CRYING"},
	{kCrying2, "BABY_CRYING"},
};

std::string match(const std::string &bytes)
{
	const char *name = ipc_match_event(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
	return name ? name : "";
}

TEST(Recognition, MessagesByLengthAndContent)
{
	const struct {
		const char *what;
		std::string bytes;
		std::string event;  // empty: no event
	} cases[] = {
		{"human start", kHumanStart, "AI_HUMAN_DETECTION_START"},
		{"human stop", kHumanStop, "AI_HUMAN_DETECTION_STOP"},
		{"motion start", kMotionStart, "MOTION_START"},
		{"motion stop", kMotionStop, "MOTION_STOP"},
		{"crying, first row", kCrying1, "BABY_CRYING"},
		{"crying, second row", kCrying2, "BABY_CRYING"},
		// 12 to 15 bytes can only be motion.
		{"motion, 11 bytes", kMotionStart.substr(0, 11), ""},
		{"motion, 15 bytes", kMotionStart + "\x01\x02\x03", "MOTION_START"},
		{"human start, 15 bytes", kHumanStart.substr(0, 15), ""},
		{"crying, 15 bytes", kCrying1.substr(0, 15), ""},
		{"human start, 12 bytes", kHumanStart.substr(0, 12), ""},
		// Bytes past the compared ones are ignored.
		{"human start + 4", kHumanStart + "\xde\xad\xbe\xef", "AI_HUMAN_DETECTION_START"},
		{"motion stop, bytes 12-15 set", kMotionStop + "\xff\xff\xff\xff", "MOTION_STOP"},
		{"crying, 512 bytes", kCrying2 + std::string(496, '\x55'), "BABY_CRYING"},
		// The fourth word of the 16-byte rows must be 0.
		{"human start, word 4 set", kHumanStart.substr(0, 12) + bytes_of({0, 0, 0, 1}), ""},
		{"empty", "", ""},
		{"text", "MOTION_START", ""},
	};
	for (const auto &c : cases)
		EXPECT_EQ(match(c.bytes), c.event) << c.what;
}

// Every compared byte counts: changing any one of them loses the match.
TEST(Recognition, EveryComparedByteMatters)
{
	for (const Row &row : kRows)
		for (size_t i = 0; i < row.bytes.size(); i++)
			for (int flip : {0x01, 0x80, 0xff}) {
				std::string m = row.bytes;
				m[i] = static_cast<char>(m[i] ^ flip);
				EXPECT_EQ(match(m), "") << row.event << " byte " << i << " ^ " << flip;
			}
}

std::string format(const std::string &bytes, size_t size = IPC_BYTE_LINE_SIZE)
{
	std::vector<char> line(size);
	size_t n = ipc_format_bytes(line.data(), size, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
	return std::string(line.data(), n);
}

TEST(ByteLine, Format)
{
	const struct {
		std::string bytes;
		size_t size;
		std::string line;
	} cases[] = {
		{"", IPC_BYTE_LINE_SIZE, "\n"},
		{bytes_of({0x00, 0x0f, 0x7f}), IPC_BYTE_LINE_SIZE, "00 0f 7f \n"},
		// High bytes are two digits, never sign-extended.
		{bytes_of({0x80, 0xed, 0xf5, 0xff}), IPC_BYTE_LINE_SIZE, "80 ed f5 ff \n"},
		// A line too small for the message keeps whole bytes and its end.
		{bytes_of({1, 2, 3}), 8, "01 02 \n"},
		{bytes_of({1, 2, 3}), 9, "01 02 \n"},
		{bytes_of({1, 2, 3}), 10, "01 02 03 \n"},
		{bytes_of({1}), 1, "\n"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(format(c.bytes, c.size), c.line);
}

TEST(ByteLine, EveryByteValue)
{
	std::string all;
	for (int b = 0; b < 256; b++)
		all += static_cast<char>(b);
	std::string line = format(all);
	ASSERT_EQ(line.size(), 3 * 256 + 1);
	for (int b = 0; b < 256; b++) {
		char want[4];
		snprintf(want, sizeof(want), "%02x ", b);
		EXPECT_EQ(line.substr(3 * static_cast<size_t>(b), 3), want);
	}
}

TEST(ByteLine, FullSizeMessageFits)
{
	EXPECT_EQ(IPC_BYTE_LINE_SIZE, 1537u);
	EXPECT_EQ(format(std::string(512, '\xab')).size(), 1537u);
}

// parse_message with standard error on a packet socket: each read is
// exactly one write(2) of the code under test.
class Trace : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sock_), 0);
		saved_ = dup(STDERR_FILENO);
		dup2(sock_[1], STDERR_FILENO);
		for (int &q : ipc_mq)
			q = -1;
	}
	void TearDown() override
	{
		dup2(saved_, STDERR_FILENO);
		close(saved_);
		close(sock_[0]);
		close(sock_[1]);
		debug = 1;
	}
	std::vector<std::string> writes()
	{
		std::vector<std::string> all;
		char buf[4096];
		for (ssize_t n; (n = recv(sock_[0], buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
			all.emplace_back(buf, static_cast<size_t>(n));
		return all;
	}
	int sock_[2];
	int saved_;
};

TEST_F(Trace, OneWritePerLine)
{
	std::string big = kHumanStart + std::string(496, '\x80');
	const struct {
		std::string bytes;
		std::vector<std::string> writes;
	} cases[] = {
		{kHumanStart, {"Parsing message.\n", "01 00 00 00 02 00 00 00 f5 00 f5 00 00 00 00 00 \n"}},
		{"", {"Parsing message.\n", "\n"}},
		{big, {"Parsing message.\n", format(big)}},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(parse_message(c.bytes.data(), static_cast<unsigned>(c.bytes.size())), 0);
		EXPECT_EQ(writes(), c.writes);
	}
}

TEST_F(Trace, NothingWithDebugOff)
{
	debug = 0;
	EXPECT_EQ(parse_message(kMotionStart.data(), 12), 0);
	EXPECT_TRUE(writes().empty());
}

TEST_F(Trace, LogKeepsErrnoAndCutsLongLines)
{
	errno = EAGAIN;
	ipc_log("Can't open mqueue %s. Error: %s\n", "/q", strerror(ENOENT));
	EXPECT_EQ(errno, EAGAIN);
	ipc_log("%s\n", std::string(1000, 'a').c_str());
	std::vector<std::string> got = writes();
	ASSERT_EQ(got.size(), 2u);
	EXPECT_EQ(got[0], "Can't open mqueue /q. Error: No such file or directory\n");
	EXPECT_EQ(got[1], std::string(IPC_LOG_LINE_MAX - 2, 'a') + "\n");
}

} // namespace
