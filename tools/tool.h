// What the command-line tools share: strict numbers and uniform failures.
#pragma once

// Exit statuses of the tools.
constexpr int TOOL_OK = 0;
constexpr int TOOL_FAILED = 1;     // a queue could not be opened or used
constexpr int TOOL_USAGE = 2;      // bad command line
constexpr int TOOL_TIMED_OUT = 3;  // ipc-listen: no event in time

// Parses a whole decimal number from 0 to max: no sign, no blanks, no
// trailing characters.
bool tool_parse_number(const char *text, unsigned long max, unsigned long *value);

// One long option: "--name VALUE", "--name=VALUE", or a flag.
struct tool_option {
	const char *name;    // with its dashes
	const char **value;  // where its value goes; nullptr for a flag
	bool *flag;          // set when the flag is given
};

// Reads the command line. --help (or -h) writes usage to standard output
// and exits 0; a bad option exits with a usage error. Returns how many
// operands there are, and the first of them in *operand. The options table
// ends with a null name.
int tool_parse_args(const char *tool, const char *usage, int argc, char **argv,
		    const tool_option *options, const char **operand);

// Writes "NAME: MESSAGE (see NAME --help)" as one line and exits with
// TOOL_USAGE.
[[noreturn]] void tool_usage_error(const char *name, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));
