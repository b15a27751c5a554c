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

// Each row matches from its own length on, whatever follows it (bytes 12
// to 15 of the motion rows too), and any shorter part of it matches
// nothing: 12 to 15 bytes can only be motion.
TEST(Recognition, EveryRowByLength)
{
	for (const Row &row : kRows) {
		EXPECT_EQ(match(row.bytes), row.event) << "exactly " << row.bytes.size() << " bytes";
		EXPECT_EQ(match(row.bytes + "\xde\xad\xbe"), row.event) << "3 bytes more";
		EXPECT_EQ(match(row.bytes + std::string(512 - row.bytes.size(), '\xff')), row.event) << "512 bytes";
		for (size_t n = 0; n < row.bytes.size(); n++)
			EXPECT_EQ(match(row.bytes.substr(0, n)), "") << row.event << ", its first " << n << " bytes";
	}
	EXPECT_EQ(match("MOTION_START"), "") << "an event's name";
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
	// Every write, an empty one too: the writer's end stays open, so a
	// read of 0 is a write of nothing.
	std::vector<std::string> writes()
	{
		std::vector<std::string> all;
		char buf[8192];
		for (ssize_t n; (n = recv(sock_[0], buf, sizeof(buf), MSG_DONTWAIT)) >= 0;)
			all.emplace_back(buf, static_cast<size_t>(n));
		return all;
	}
	int sock_[2];
	int saved_;
};

TEST_F(Trace, OneWritePerTurn)
{
	const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9};
	std::string big = kHumanStart + std::string(496, '\x80');
	const struct {
		std::string bytes;
		std::vector<int> in_use;
		std::string turn;  // empty: nothing is written
		int debug = 1;
	} cases[] = {
		{kHumanStart, {}, "Parsing message.\n01 00 00 00 02 00 00 00 f5 00 f5 00 00 00 00 00 \n"},
		{"", all, "Parsing message.\n\n"},
		{"hello", all, "Parsing message.\n68 65 6c 6c 6f \n"},
		// The fan-out lines name the slots in use, in order.
		{kMotionStop, {2, 5, 9}, message_trace(kMotionStop, "MOTION_STOP", {2, 5, 9})},
		{kCrying2, all, message_trace(kCrying2, "BABY_CRYING", all)},
		{big, all, message_trace(big, "AI_HUMAN_DETECTION_START", all)},
		// With debug off, nothing at all.
		{kMotionStart, {1}, "", 0},
	};
	for (const auto &c : cases) {
		use_subscribers(c.in_use);
		debug = c.debug;
		EXPECT_EQ(parse_message(c.bytes.data(), static_cast<unsigned>(c.bytes.size())), 0);
		EXPECT_TRUE(writes().empty()) << "written before the turn ended";
		ipc_trace_flush();
		EXPECT_EQ(writes(), c.turn.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.turn});
	}
	ipc_trace_flush();
	EXPECT_TRUE(writes().empty()) << "an empty turn is written";
}

// The longest turn there can be, a full-size message recognised with every
// subscriber in use and the longest error text, fits its buffer uncut
// (which trace.h holds within what a pipe takes in one piece).
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
	std::string want = "IPC message. Len: -2147483648. Status: " + status + "!\n" +
			   message_trace(big, "AI_HUMAN_DETECTION_START", {1, 2, 3, 4, 5, 6, 7, 8, 9});
	EXPECT_LE(want.size(), IPC_TURN_TRACE_MAX);
	ipc_trace_flush();
	EXPECT_EQ(writes(), std::vector<std::string>{want});
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
	// errno is kept when the write fails too: a write that succeeds
	// leaves it alone anyway.
	close(STDERR_FILENO);
	errno = ENOENT;
	ipc_log_error("Can't open mqueue ", "/q");
	EXPECT_EQ(errno, ENOENT);
	dup2(sock_[1], STDERR_FILENO);
}

} // namespace
