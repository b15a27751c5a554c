// What the command-line tools share: strict parsers and uniform failures.
#pragma once

#include <stddef.h>

#include "trace/trace.h"

// Exit statuses of the tools.
constexpr int TOOL_OK = 0;
constexpr int TOOL_FAILED = 1;     // a queue could not be opened or used
constexpr int TOOL_USAGE = 2;      // bad command line
constexpr int TOOL_TIMED_OUT = 3;  // ipc-listen: no event in time

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

// What the kernel shows of a process: /proc/PID/ then a and b (b may be
// empty), into path of TOOL_PROC_PATH_MAX bytes.
constexpr size_t TOOL_PROC_PATH_MAX = sizeof("/proc/4294967295/fd/4294967295");
void tool_proc_path(char *path, long pid, const char *a, const char *b = "");
// What the link /proc/PID/AB names, into link (size bytes, terminated);
// false when it cannot be read (the process or the descriptor is gone).
bool tool_proc_link(long pid, const char *a, const char *b, char *link, size_t size);

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
// exits 0, --version (long option 'V') "NAME VERSION"; a bad option exits with TOOL_USAGE once getopt has said what is
// wrong, naming the tool as its other messages do.
int tool_next_option(char *name, int argc, char **argv, const char *shorts, const option *options, const char *usage);

// Writes "NAME: MESSAGE (see NAME --help)" as one line and exits with
// TOOL_USAGE.
[[noreturn]] void tool_usage_exit(const char *name, const ipc_text &message);

// The message is built from its parts, strings and numbers.
template <typename... Parts>
[[noreturn]] void tool_usage_error(const char *name, const Parts &...parts)
{
	char message[256];
	ipc_text t = {message, sizeof(message), 0};
	ipc_put_all(t, parts...);
	tool_usage_exit(name, t);
}
