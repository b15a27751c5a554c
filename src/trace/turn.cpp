// The service's side of the log: the turn's trace, and the log that never
// holds the service back. Apart from trace.cpp, which every program links,
// so that only the programs that call ipc_log_nonblocking carry these
// buffers: ipc-dispatchd, and ipc-mqtt, whose log must not hold the events
// back either (it then has the turn's buffers too, in .bss: RAM, no flash).
// ipc-notify, ipc-listen and ipc-supervise link none of this file.
#include "trace/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The turn being gathered.
ipc_buf<IPC_TURN_TRACE_MAX> turn;
// The status line's end for the last error seen: the same on almost every
// turn.
int last_err = -1;
ipc_buf<sizeof(". Status: !\n") - 1 + IPC_STATUS_TEXT_MAX> status_end;

// Texts given up since the log last took one.
unsigned long dropped;
// A drop line and the text behind it, on their way out; and, while pending
// is not 0, the unwritten rest of a text that a terminal cut short.
ipc_buf<IPC_DROP_LINE_MAX + IPC_TURN_TRACE_MAX> out;
const char *rest;
size_t pending;
// Sends to a socket rather than writing to it.
bool log_is_socket;

ssize_t put(const char *buf, size_t len)
{
	if (log_is_socket)
		return send(STDERR_FILENO, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
	return write(STDERR_FILENO, buf, len);
}

// At most one write(2), whatever the log does.
void put_or_drop(const char *text, size_t len)
{
	// A turn or a log line: never more than a turn's room.
	if (len > IPC_TURN_TRACE_MAX)
		len = IPC_TURN_TRACE_MAX;
	if (pending > 0) {
		// A text is never left half written: its rest goes before anything
		// else, and this text is given up to keep to one write.
		ssize_t n = put(rest, pending);
		if (n > 0) {
			rest += n;
			pending -= (size_t)n;
		}
		dropped++;
		return;
	}
	if (dropped > 0) {
		out.len = 0;
		ipc_put_all(out, "Trace: ", dropped, dropped == 1 ? " turn dropped\n" : " turns dropped\n",
			    ipc_chars{text, len});
		text = out.buf;
		len = out.len;
	}
	ssize_t n = put(text, len);
	if (n <= 0) {
		dropped++;
		return;
	}
	dropped = 0;
	if ((size_t)n < len) {
		if (text != out.buf)
			memcpy(out.buf, text, len);
		rest = out.buf + n;
		pending = len - (size_t)n;
	}
}

} // namespace

void ipc_log_nonblocking(void)
{
	int saved = errno;
	int type;
	socklen_t size = sizeof(type);

	ipc_write_log = put_or_drop;
	if (getsockopt(STDERR_FILENO, SOL_SOCKET, SO_TYPE, &type, &size) == 0)
		log_is_socket = true;
	// Only pipes, FIFOs and terminals can make a writer wait, and none of
	// them can seek. Setting O_NONBLOCK on the inherited description would
	// change it for the shell or the init system that shares it; an open
	// of our own through /proc does not. Where that fails (no /proc, a FIFO
	// without a reader yet), the log may still hold the service back.
	else if (lseek(STDERR_FILENO, 0, SEEK_CUR) == -1 && errno == ESPIPE) {
		int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
		if (fd >= 0) {
			dup2(fd, STDERR_FILENO);
			close(fd);
		}
	}
	errno = saved;
}

ipc_text &ipc_trace_turn(void)
{
	return turn;
}

void ipc_trace_status(int len, int err)
{
	static constexpr char start[] = "IPC message. Len: ";

	if (err != last_err) {
		const char *text = strerror(err);
		status_end.len = 0;
		ipc_put_all(status_end, ". Status: ", ipc_chars{text, strnlen(text, IPC_STATUS_TEXT_MAX)}, "!\n");
		last_err = err;
	}
	ipc_put_all(turn, ipc_chars{start, sizeof(start) - 1}, len, status_end);
}

void ipc_trace_flush(void)
{
	if (turn.len == 0)
		return;
	ipc_write_text(turn);
	turn.len = 0;
}
