#include "tool.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "service/trace.h"

bool tool_parse_number(const char *text, unsigned long max, unsigned long *value)
{
	unsigned long v = 0;

	if (*text == '\0')
		return false;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return false;
		unsigned long digit = (unsigned long)(*p - '0');
		if (digit > max || v > (max - digit) / 10)
			return false;
		v = v * 10 + digit;
	}
	*value = v;
	return true;
}

void tool_usage_error(const char *name, const char *fmt, ...)
{
	char message[IPC_LOG_LINE_MAX];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(message, sizeof(message), fmt, ap);
	va_end(ap);
	ipc_log("%s: %s (see %s --help)\n", name, message, name);
	exit(TOOL_USAGE);
}

// Takes argv[*i] when it is the option; exits on a missing or unwanted
// value.
static bool take_option(const char *tool, int argc, char **argv, int *i, const tool_option &option)
{
	const char *arg = argv[*i];
	size_t len = strlen(option.name);

	if (strncmp(arg, option.name, len) != 0 || (arg[len] != '\0' && arg[len] != '='))
		return false;
	if (option.value == nullptr) {
		if (arg[len] == '=')
			tool_usage_error(tool, "%s takes no value", option.name);
		*option.flag = true;
	} else if (arg[len] == '=') {
		*option.value = arg + len + 1;
	} else {
		if (*i + 1 >= argc)
			tool_usage_error(tool, "%s needs a value", option.name);
		*option.value = argv[++*i];
	}
	return true;
}

int tool_parse_args(const char *tool, const char *usage, int argc, char **argv,
		    const tool_option *options, const char **operand)
{
	int operands = 0;

	*operand = nullptr;
	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)
			exit(ipc_write_all(STDOUT_FILENO, usage, strlen(usage)) ? TOOL_OK : TOOL_FAILED);
		if (strcmp(arg, "--") == 0) {
			if (i + 1 < argc && operands == 0)
				*operand = argv[i + 1];
			return operands + argc - i - 1;
		}
		if (arg[0] == '-' && arg[1] != '\0') {
			const tool_option *o = options;
			while (o->name != nullptr && !take_option(tool, argc, argv, &i, *o))
				o++;
			if (o->name == nullptr)
				tool_usage_error(tool, "unknown option '%s'", arg);
		} else if (operands++ == 0) {
			*operand = arg;
		}
	}
	return operands;
}
