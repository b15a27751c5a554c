// Text in ipc_buf, the formatters, the tools' lines and the /proc scan.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>

#include "proc.h"
#include "tool.h"
#include "trace/trace.h"

namespace {

// A character or a bool is not taken for a number; every integer type is.
template <typename T>
concept puttable = requires(ipc_text &t, T v) { ipc_put(t, v); };
static_assert(!puttable<char> && !puttable<bool>);
static_assert(puttable<int> && puttable<long> && puttable<unsigned> && puttable<size_t> && puttable<int64_t> &&
	      puttable<uint64_t>);
// A text comes only from an ipc_buf, which holds its terminator's byte.
static_assert(!std::is_aggregate_v<ipc_text> && !std::is_constructible_v<ipc_text, char *, size_t> &&
	      !std::is_copy_constructible_v<ipc_text>);

template <size_t N, typename... Parts>
std::string text(const Parts &...parts)
{
	ipc_buf<N> t;
	ipc_put_all(t, parts...);
	// The terminator is there, right after what fitted.
	EXPECT_EQ(strlen(t.str()), t.len);
	EXPECT_LE(t.len, N);
	return std::string(t.buf, t.len);
}

TEST(Text, PartsAndTheEdge)
{
	const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
	const struct {
		std::string got, want;
	} cases[] = {
		{text<1>(""), ""},
		{text<5>("abcde"), "abcde"},    // exactly full
		{text<4>("abcde", 7), "abcd"},  // cut at the edge
		{text<8>(ipc_chars{"abc", 2}, "|"), "ab|"},
		// Decimal, 64 bits on every machine.
		{text<24>(0), "0"},
		{text<24>(-1), "-1"},
		{text<24>(10u), "10"},
		{text<24>((uint64_t)4294967296), "4294967296"},
		{text<24>(INT64_MIN), "-9223372036854775808"},
		{text<24>(INT64_MAX), "9223372036854775807"},
		{text<24>(UINT64_MAX), "18446744073709551615"},
		{text<24>((uint64_t)10000000000000000000u), "10000000000000000000"},
		{text<24>(ipc_padded{5, 2}, ":", ipc_padded{0, 2}, ":", ipc_padded{123, 2}), "05:00:123"},
		// Hex: two digits a byte, never sign-extended.
		{text<8>(ipc_hex{bytes, 1}), "00"},
		{text<8>(ipc_hex{bytes + 3, 1}), "ff"},
		{text<8>(ipc_hex{bytes, 4}), "000fa0ff"},
		{text<7>(ipc_hex{bytes, 4}), "000fa0f"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.got, c.want);
}

// What one call writes to standard error, on a packet socket: each read is
// exactly one write(2).
std::string written(const std::function<void()> &f)
{
	int sock[2];
	EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sock), 0);
	int saved = dup(STDERR_FILENO);
	dup2(sock[1], STDERR_FILENO);
	f();
	dup2(saved, STDERR_FILENO);
	close(saved);
	char buf[1024];
	ssize_t n = recv(sock[0], buf, sizeof(buf), MSG_DONTWAIT);
	EXPECT_EQ(recv(sock[0], buf, sizeof(buf), MSG_DONTWAIT), -1) << "more than one write";
	close(sock[0]);
	close(sock[1]);
	return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

char name[] = "ipc-test";

TEST(Text, LinesKeepTheirEnd)
{
	tool_start(name);
	std::string x300(300, 'x');
	EXPECT_EQ(written([] { say("one ", 1, "\n"); }), "ipc-test: one 1\n");
	EXPECT_EQ(written([&] { say(x300.c_str(), "\n"); }), "ipc-test: " + std::string(245, 'x') + "\n");
	EXPECT_EQ(written([&] { ipc_log(x300.c_str(), "\n"); }), std::string(255, 'x') + "\n");
	EXPECT_EQ(written([] {
		ipc_buf<4> t;
		ipc_put(t, "abcdef");
		ipc_write_line(t);
	}), "abc\n");
	// Where the logger tags each line, the tool leaves its name out.
	setenv("IPC_LOG_TAGGED", "1", 1);
	tool_start(name, TOOL_TAGGED_BY_ENV);
	EXPECT_EQ(written([] { say("tagged\n"); }), "tagged\n");
	unsetenv("IPC_LOG_TAGGED");
	tool_start(name, TOOL_TAGGED_BY_ENV);
	EXPECT_EQ(written([] { say("named\n"); }), "ipc-test: named\n");
}

// The scan finds this process among the pids and a descriptor it opened
// among its own, and reads the descriptor's link and its own command line.
TEST(Proc, ScanFindsPidsAndDescriptors)
{
	int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	tool_proc_dir d;
	ASSERT_TRUE(tool_proc_open(d, "/proc"));
	bool pid_seen = false;
	for (long n; tool_proc_next(d, &n);)
		pid_seen |= n == getpid();
	tool_proc_close(d);
	EXPECT_TRUE(pid_seen);

	tool_proc_path_buf path;
	tool_proc_path(path, getpid(), "fd");
	ASSERT_TRUE(tool_proc_open(d, path.str()));
	bool fd_seen = false;
	ipc_buf<64> link;
	for (long n; tool_proc_next(d, &n);)
		if (n == fd)
			fd_seen = tool_proc_link(link, getpid(), "fd", n);
	tool_proc_close(d);
	EXPECT_TRUE(fd_seen);
	EXPECT_STREQ(link.str(), "/dev/null");
	EXPECT_FALSE(tool_proc_link(link, getpid(), "fd", 1 << 20));
	close(fd);

	// Its command line's first word, and nothing for a pid that is none.
	char args[256] = {};
	EXPECT_GT(tool_proc_read(getpid(), "cmdline", args, sizeof(args) - 1), 0);
	EXPECT_STREQ(args, program_invocation_name);
	EXPECT_EQ(tool_proc_read(0, "cmdline", args, sizeof(args)), -1);
}

} // namespace
