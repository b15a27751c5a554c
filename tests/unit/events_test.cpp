// Recognition and trace formatting, without queues.
#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/ipc_events.h"
#include "notifications.h"
#include "trace/trace.h"

namespace {

std::string match(const std::string &bytes)
{
	const ipc_event *row = ipc_match_event(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
	return row ? row->name : "";
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

TEST(Formatter, IntegersAndCutText)
{
	const struct {
		long v;
		const char *text;
	} ints[] = {
		{0, "0"}, {7, "7"}, {-1, "-1"}, {10, "10"}, {512, "512"}, {-2147483647 - 1, "-2147483648"},
		{LONG_MAX, LONG_MAX == 2147483647 ? "2147483647" : "9223372036854775807"},
		{LONG_MIN, LONG_MIN == -2147483647 - 1 ? "-2147483648" : "-9223372036854775808"},
	};
	for (const auto &c : ints) {
		char out[IPC_INT_TEXT_MAX];
		EXPECT_EQ(std::string(out, ipc_format_int(out, c.v)), c.text);
	}
	// Text past the buffer's end is dropped, never written beyond it.
	ipc_buf<6> t;
	t.room[6] = '#';
	ipc_put_all(t, "ab", -12, "cdef");
	EXPECT_EQ(std::string(t.buf, t.len), "ab-12c");
	EXPECT_EQ(t.room[6], '#');
	ipc_put_bytes(t, reinterpret_cast<const unsigned char *>("x"), 1);
	EXPECT_EQ(t.len, 6u);
}

// parse_message and the status line with standard error on a packet
// socket: each read is exactly one write(2) of the code under test.
class Trace : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sock_), 0);
		saved_ = dup(STDERR_FILENO);
		dup2(sock_[1], STDERR_FILENO);
		use_subscribers({});
	}
	void TearDown() override
	{
		dup2(saved_, STDERR_FILENO);
		close(saved_);
		close(sock_[0]);
		close(sock_[1]);
		debug = 1;
		use_subscribers({});
	}
	// Slots in use hold a descriptor that is no queue: the sends fail,
	// as a full queue's would, and the trace is the same.
	void use_subscribers(const std::vector<int> &in_use)
	{
		for (int &q : ipc_mq)
			q = -1;
		for (int i : in_use)
			ipc_mq[i] = 1 << 30;
		ipc_prepare_fanout();
	}
	std::vector<std::string> writes()
	{
		std::vector<std::string> all;
		char buf[8192];
		for (ssize_t n; (n = recv(sock_[0], buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
			all.emplace_back(buf, static_cast<size_t>(n));
		return all;
	}
	int sock_[2];
	int saved_;
};

std::string sending(const std::string &event, const std::vector<int> &in_use)
{
	std::string lines;
	for (int i : in_use)
		lines += "Sending " + event + " to queue #" + std::to_string(i) + "\n";
	return lines;
}

TEST_F(Trace, OneWritePerTurn)
{
	const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9};
	std::string big = kHumanStart + std::string(496, '\x80');
	const struct {
		std::string bytes;
		std::vector<int> in_use;
		std::string turn;
	} cases[] = {
		{kHumanStart, {}, "Parsing message.\n01 00 00 00 02 00 00 00 f5 00 f5 00 00 00 00 00 \n"},
		{"", all, "Parsing message.\n\n"},
		{"hello", all, "Parsing message.\n68 65 6c 6c 6f \n"},
		// The fan-out lines name the slots in use, in order.
		{kMotionStop, {2, 5, 9}, "Parsing message.\n" + format(kMotionStop) + sending("MOTION_STOP", {2, 5, 9})},
		{kCrying2, all, "Parsing message.\n" + format(kCrying2) + sending("BABY_CRYING", all)},
		{big, all, "Parsing message.\n" + format(big) + sending("AI_HUMAN_DETECTION_START", all)},
	};
	for (const auto &c : cases) {
		use_subscribers(c.in_use);
		EXPECT_EQ(parse_message(c.bytes.data(), static_cast<unsigned>(c.bytes.size())), 0);
		EXPECT_TRUE(writes().empty()) << "written before the turn ended";
		ipc_trace_flush();
		EXPECT_EQ(writes(), std::vector<std::string>{c.turn});
	}
	ipc_trace_flush();
	EXPECT_TRUE(writes().empty()) << "an empty turn is written";
}

// The longest turn there can be, a full-size message recognised with every
// subscriber in use and the longest error text, fits its buffer uncut, and
// a pipe takes it in one piece.
TEST_F(Trace, LongestTurnFitsUncut)
{
	int longest = 0;
	for (int e = 0; e < 4096; e++)
		if (strlen(strerror(e)) > strlen(strerror(longest)))
			longest = e;
	std::string status = std::string(strerror(longest)).substr(0, IPC_STATUS_TEXT_MAX);
	std::string big = kHumanStart + std::string(496, '\xff');
	use_subscribers({1, 2, 3, 4, 5, 6, 7, 8, 9});

	ipc_trace_status(-2147483647 - 1, longest);
	parse_message(big.data(), static_cast<unsigned>(big.size()));
	std::string want = "IPC message. Len: -2147483648. Status: " + status + "!\n" + "Parsing message.\n" +
			   format(big) + sending("AI_HUMAN_DETECTION_START", {1, 2, 3, 4, 5, 6, 7, 8, 9});
	EXPECT_LE(want.size(), IPC_TURN_TRACE_MAX);
	EXPECT_LE(IPC_TURN_TRACE_MAX, static_cast<size_t>(PIPE_BUF));
	ipc_trace_flush();
	EXPECT_EQ(writes(), std::vector<std::string>{want});
}

TEST_F(Trace, NothingWithDebugOff)
{
	use_subscribers({1});
	debug = 0;
	EXPECT_EQ(parse_message(kMotionStart.data(), 12), 0);
	ipc_trace_flush();
	EXPECT_TRUE(writes().empty());
}

TEST_F(Trace, FailureLineKeepsErrno)
{
	errno = ENOENT;
	ipc_log_error("Can't open mqueue ", "/q");
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(writes(), std::vector<std::string>{"Can't open mqueue /q. Error: No such file or directory\n"});
	// A line longer than its buffer is cut, and still ends the line.
	ipc_log_error("Can't read ", std::string(300, 'x').c_str());
	std::vector<std::string> cut = writes();
	ASSERT_EQ(cut.size(), 1u);
	EXPECT_EQ(cut[0], "Can't read " + std::string(244, 'x') + "\n");
}

} // namespace
