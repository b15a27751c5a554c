#include "trace/trace.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace {

// Every power of ten that an unsigned long holds, largest first.
constexpr int POWERS = sizeof(unsigned long) == 8 ? 20 : 10;
struct powers_of_ten {
	unsigned long p[POWERS];
};
constexpr powers_of_ten make_powers(void)
{
	powers_of_ten t = {};
	unsigned long v = 1;
	for (int i = POWERS - 1; i >= 0; i--, v *= 10)
		t.p[i] = v;
	return t;
}
constexpr powers_of_ten powers = make_powers();
static_assert(sizeof(unsigned long) == 8 || sizeof(unsigned long) == 4);

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
char turn_buf[IPC_TURN_TRACE_MAX];
ipc_text turn = {turn_buf, sizeof(turn_buf), 0};

} // namespace

size_t ipc_format_int(char *out, long v)
{
	// Through the unsigned type, so that the most negative value has a
	// magnitude too.
	unsigned long u = v < 0 ? 0 - (unsigned long)v : (unsigned long)v;
	size_t len = 0;
	int i;

	if (v < 0)
		out[len++] = '-';
	for (i = POWERS - 1; i > 0 && u >= powers.p[i - 1]; i--)
		;
	// Digits by subtraction: the device's CPU has no divide instruction,
	// and a division would bring in the compiler's routine for it.
	for (; i < POWERS; i++) {
		char digit = '0';
		while (u >= powers.p[i]) {
			u -= powers.p[i];
			digit++;
		}
		out[len++] = digit;
	}
	return len;
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

void ipc_put(ipc_text &t, long v)
{
	char digits[IPC_INT_TEXT_MAX];

	ipc_put(t, digits, ipc_format_int(digits, v));
}

void ipc_put_bytes(ipc_text &t, const unsigned char *data, size_t len)
{
	t.len += ipc_format_bytes(t.buf + t.len, t.size - t.len, data, len);
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

	ipc_write_all(STDERR_FILENO, t.buf, t.len);
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
	// The text for the last error seen: the same on almost every turn.
	static int last_err = -1;
	static char end_buf[sizeof(". Status: !\n") - 1 + IPC_STATUS_TEXT_MAX];
	static ipc_text end = {end_buf, sizeof(end_buf), 0};

	if (err != last_err) {
		const char *text = strerror(err);
		end.len = 0;
		ipc_put(end, ". Status: ");
		ipc_put(end, text, strnlen(text, IPC_STATUS_TEXT_MAX));
		ipc_put(end, "!\n");
		last_err = err;
	}
	ipc_put(turn, start, sizeof(start) - 1);
	ipc_put(turn, len);
	ipc_put(turn, end);
}

void ipc_trace_flush(void)
{
	if (turn.len == 0)
		return;
	ipc_write_text(turn);
	turn.len = 0;
}
