#include "service/trace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

int debug = 1;

void ipc_write_line(const char *line, size_t len)
{
	int saved = errno;

	while (len > 0) {
		ssize_t n = write(STDERR_FILENO, line, len);
		if (n < 0 && errno == EINTR)
			continue;
		// Nobody to tell when the trace itself cannot be written.
		if (n <= 0)
			break;
		line += n;
		len -= (size_t)n;
	}
	errno = saved;
}

void ipc_log(const char *fmt, ...)
{
	char line[IPC_LOG_LINE_MAX];
	va_list ap;
	int saved = errno;

	va_start(ap, fmt);
	int n = vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	if (n < 0) {
		errno = saved;
		return;
	}
	size_t len = (size_t)n;
	if (len >= sizeof(line)) {
		len = sizeof(line) - 1;
		line[len - 1] = '\n';
	}
	ipc_write_line(line, len);
	errno = saved;
}
