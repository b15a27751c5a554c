// What the command-line tools share: their name and lines, the clock,
// strict parsers and uniform failures.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "trace/trace.h"

// Exit statuses of the tools.
constexpr int TOOL_OK = 0;
constexpr int TOOL_FAILED = 1;     // a queue could not be opened or used
constexpr int TOOL_USAGE = 2;      // bad command line
constexpr int TOOL_TIMED_OUT = 3;  // ipc-listen: no event in time

// How the tool's own lines begin.
enum tool_prefix {
	TOOL_NAMED,          // "NAME: "
	// Nothing where IPC_LOG_TAGGED is set and not empty: the log names the
	// program on each line itself (busybox logger's tag, for LOG=syslog).
	TOOL_TAGGED_BY_ENV,
};

// tool_start's two halves: the name, and the prefix left out where
// IPC_LOG_TAGGED says so.
void tool_set_name(char *name);
void tool_tag_from_env(void);

// Names the tool, for getopt's messages, say() and its usage errors: the
// first thing main does. Only a tool that asks for it reads the
// environment (and links getenv).
inline void tool_start(char *name, tool_prefix prefix = TOOL_NAMED)
{
	tool_set_name(name);
	if (prefix == TOOL_TAGGED_BY_ENV)
		tool_tag_from_env();
}
// The name tool_start was given.
char *tool_name(void);
// Appends what begins each of the tool's lines.
void tool_put_prefix(ipc_text &t);

// Writes one line of the tool's, "NAME: " and the parts (strings, numbers,
// texts), at once; the parts end with the line end. A line cut at
// IPC_LINE_MAX keeps its line end.
template <typename... Parts>
void say(const Parts &...parts)
{
	ipc_buf<IPC_LINE_MAX> t;
	tool_put_prefix(t);
	ipc_put_all(t, parts...);
	ipc_write_line(t);
}

// Milliseconds of CLOCK_MONOTONIC, in 64 bits: a long of the device's 32
// wraps after 24.8 days of uptime.
int64_t tool_now_ms(void);

// Parses a whole decimal number from 0 to max: no sign, no blanks, no
// trailing characters.
bool tool_parse_number(const char *text, unsigned long max, unsigned long *value);

enum tool_hex_result {
	TOOL_HEX_OK,
	TOOL_HEX_BAD_DIGIT,  // *bad points at it
	TOOL_HEX_ODD,        // a digit without its pair
	TOOL_HEX_TOO_LONG,   // more than max bytes
};

// Parses pairs of hex digits, with blanks (space, tab, line end) allowed
// between pairs, into bytes (room for max); *len is how many on success.
tool_hex_result tool_parse_hex(const char *hex, unsigned char *bytes, size_t max, size_t *len,
			       const char **bad);

struct option;

// Longest message the tools take from a queue.
constexpr long TOOL_MSG_MAX = 4096;

// Opens queue index (0 to 9) for reading with extra flags: the dispatch
// queue only when it exists, a subscriber queue created with the service's
// attributes when it does not exist yet. Says why, and returns -1, when
// it cannot be opened or its messages can be longer than TOOL_MSG_MAX.
int tool_open_queue(int index, int flags);

// The next option on the command line, as getopt_long gives it from the
// short options shorts ("h" and more) and the long options, or -1 when
// there are no more. --help (or -h) writes usage to standard output and
// exits 0, --version (long option 'V') "NAME VERSION"; a bad option exits
// with TOOL_USAGE once getopt has said what is wrong, naming the tool as
// its other messages do.
int tool_next_option(int argc, char **argv, const char *shorts, const option *options, const char *usage);

// Writes "NAME: MESSAGE (see NAME --help)" as one line, as say() does, and
// exits with TOOL_USAGE.
[[noreturn]] void tool_usage_exit(const ipc_text &message);

// A tool's NAME (char NAME[]), which tool_start was given.
template <typename T>
constexpr bool tool_is_name = false;
template <size_t N>
constexpr bool tool_is_name<char (&)[N]> = true;

// The message is built from its parts, strings and numbers.
template <typename First, typename... Parts>
[[noreturn]] void tool_usage_error(First &&first, Parts &&...parts)
{
	static_assert(!tool_is_name<First>, "the name comes from tool_start: it would be said twice");
	ipc_buf<IPC_LINE_MAX> t;
	ipc_put_all(t, first, parts...);
	tool_usage_exit(t);
}
