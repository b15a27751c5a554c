#include "trace/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every power of ten that 64 bits hold, largest first.
constexpr int POWERS = 20;
struct powers_of_ten {
	unsigned long long p[POWERS];
};
constexpr powers_of_ten make_powers(void)
{
	powers_of_ten t = {};
	unsigned long long v = 1;
	for (int i = POWERS - 1; i >= 0; i--, v *= 10)
		t.p[i] = v;
	return t;
}
constexpr powers_of_ten powers = make_powers();

// The two hex digits of every byte value, in order.
struct hex_pairs {
	char digits[256][2];
};
constexpr hex_pairs make_hex_pairs(void)
{
	constexpr char hex[] = "0123456789abcdef";
	hex_pairs t = {};
	for (int b = 0; b < 256; b++) {
		t.digits[b][0] = hex[b >> 4];
		t.digits[b][1] = hex[b & 0x0f];
	}
	return t;
}
constexpr hex_pairs hex = make_hex_pairs();

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

void write_whole(const char *text, size_t len)
{
	ipc_write_all(STDERR_FILENO, text, len);
}

// How texts reach standard error: whole, waiting as long as that takes (the
// tools), or at once or not at all (the service). Only ipc_log_nonblocking
// names put_or_drop, so that the tools' binaries do without it.
void (*write_log)(const char *text, size_t len) = write_whole;

} // namespace

size_t ipc_format_uint(char *out, unsigned long long v, size_t width)
{
	size_t len = 0;
	int i;

	for (i = 0; i < POWERS - 1 && v < powers.p[i] && i < POWERS - (int)width; i++)
		;
	for (; i < POWERS; i++) {
		char digit = '0';
		while (v >= powers.p[i]) {
			v -= powers.p[i];
			digit++;
		}
		out[len++] = digit;
	}
	return len;
}

size_t ipc_format_int(char *out, long long v)
{
	if (v >= 0)
		return ipc_format_uint(out, (unsigned long long)v);
	// Through the unsigned type, so that the most negative value has a
	// magnitude too.
	out[0] = '-';
	return 1 + ipc_format_uint(out + 1, 0 - (unsigned long long)v);
}

size_t ipc_format_hex(char *__restrict out, const unsigned char *__restrict data, size_t len)
{
	for (size_t i = 0; i < len; i++)
		memcpy(out + 2 * i, hex.digits[data[i]], 2);
	return 2 * len;
}

size_t ipc_format_bytes(char *__restrict line, size_t size, const unsigned char *__restrict data, size_t len)
{
	char *p = line;

	if (size == 0)
		return 0;
	if (len > (size - 1) / 3)
		len = (size - 1) / 3;
	for (const unsigned char *end = data + len; data < end; data++, p += 3) {
		memcpy(p, hex.digits[*data], 2);
		p[2] = ' ';
	}
	*p++ = '\n';
	return (size_t)(p - line);
}

void ipc_put(ipc_text &t, const char *s, size_t n)
{
	if (n > t.size - t.len)
		n = t.size - t.len;
	memcpy(t.buf + t.len, s, n);
	t.len += n;
}

void ipc_put(ipc_text &t, const char *s)
{
	ipc_put(t, s, strlen(s));
}

void ipc_put(ipc_text &t, long long v)
{
	char digits[IPC_INT_TEXT_MAX];

	ipc_put(t, digits, ipc_format_int(digits, v));
}

void ipc_put(ipc_text &t, unsigned long long v)
{
	char digits[IPC_INT_TEXT_MAX];

	ipc_put(t, digits, ipc_format_uint(digits, v));
}

void ipc_put(ipc_text &t, ipc_padded p)
{
	char digits[IPC_INT_TEXT_MAX];

	if (p.width > IPC_INT_TEXT_MAX)
		p.width = IPC_INT_TEXT_MAX;
	ipc_put(t, digits, ipc_format_uint(digits, p.v, p.width));
}

void ipc_put(ipc_text &t, ipc_hex h)
{
	const unsigned char *data = (const unsigned char *)h.data;
	size_t room = (t.size - t.len) / 2;

	t.len += ipc_format_hex(t.buf + t.len, data, h.len < room ? h.len : room);
}

void ipc_put_bytes(ipc_text &t, const unsigned char *data, size_t len)
{
	t.len += ipc_format_bytes(t.buf + t.len, t.size - t.len, data, len);
}

void ipc_keep_line_end(ipc_text &t)
{
	if (t.len == t.size && t.size > 0)
		t.buf[t.len - 1] = '\n';
}

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

void ipc_write_text(const ipc_text &t)
{
	int saved = errno;

	write_log(t.buf, t.len);
	errno = saved;
}

void ipc_log_nonblocking(void)
{
	int saved = errno;
	int type;
	socklen_t size = sizeof(type);

	write_log = put_or_drop;
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

void ipc_log_error(const char *what, const char *object)
{
	ipc_log(what, object, ". Error: ", strerror(errno), "\n");
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
