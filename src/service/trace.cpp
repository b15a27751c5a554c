#include "service/trace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

int debug = 1;

bool ipc_write_all(int fd, const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, buf, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		buf += n;
		len -= (size_t)n;
	}
	return true;
}

void ipc_write_line(const char *line, size_t len)
{
	int saved = errno;

	// Nobody to tell when the trace itself cannot be written.
	ipc_write_all(STDERR_FILENO, line, len);
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
