#include "trace/trace.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace {

// Powers of ten that 64 bits hold.
constexpr int POWERS = 20;

// The two hex digits of every byte value, for ipc_hex and the byte line,
// made from 16 characters at the first use (each program has one thread):
// in .bss, so that no program carries 512 bytes of them in its file, and a
// whole pair a lookup, which the service's trace takes for every byte of
// every notification. Measured: the device's .text of ipc-dispatchd,
// ipc-listen and ipc-mqtt beside the plainest form (arm-linux-gnueabihf-gcc
// 12 -Os, static musl), and the service's user-space instructions per
// notification of 16 / 64 bytes (callgrind, the host's release build):
//   b >> 4, b & 15 on 16 digits:  +0 bytes,   1037 / 1526 (8 a byte; the
//                                 target for 64 bytes is 1,500)
//   a constant table of pairs:    +476 bytes,  909 / 1014
//   pairs filled at first use:    +48 bytes,   914 / 1019
// The files of ipc-dispatchd and ipc-mqtt are 13396 and 92100 bytes with
// each: their writable data starts on the next 4 KiB page.
using hex_pair = char[2];
hex_pair hex_pairs[256];

const hex_pair *hex_digits(void)
{
	static constexpr char digits[] = "0123456789abcdef";

	if (hex_pairs[0][0] == '\0')
		for (int b = 0; b < 256; b++) {
			hex_pairs[b][0] = digits[b >> 4];
			hex_pairs[b][1] = digits[b & 15];
		}
	return hex_pairs;
}

void write_whole(const char *text, size_t len)
{
	ipc_write_all(STDERR_FILENO, text, len);
}

} // namespace

void (*ipc_write_log)(const char *text, size_t len) = write_whole;

size_t ipc_format_uint(char *out, unsigned long long v)
{
	// The powers of ten up to v's first digit, made by multiplying: a
	// table of all twenty would take more room than this loop.
	unsigned long long powers[POWERS];
	size_t n = 1;
	powers[0] = 1;
	for (; n < POWERS && v >= powers[n - 1] * 10; n++)
		powers[n] = powers[n - 1] * 10;
	for (size_t i = n; i-- > 0; out++) {
		*out = '0';
		for (; v >= powers[i]; v -= powers[i])
			++*out;
	}
	return n;
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

size_t ipc_format_bytes(char *__restrict line, size_t size, const unsigned char *__restrict data, size_t len)
{
	char *p = line;
	const hex_pair *hex = hex_digits();

	if (size == 0)
		return 0;
	if (len > (size - 1) / 3)
		len = (size - 1) / 3;
	for (const unsigned char *end = data + len; data < end; data++, p += 3) {
		memcpy(p, hex[*data], 2);
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
	size_t n = ipc_format_uint(digits, p.v);

	for (; n < p.width; p.width--)
		ipc_put(t, "0", 1);
	ipc_put(t, digits, n);
}

void ipc_put(ipc_text &t, ipc_hex h)
{
	const unsigned char *data = (const unsigned char *)h.data;
	const hex_pair *hex = hex_digits();

	for (size_t i = 0; i < h.len; i++)
		ipc_put(t, hex[data[i]], 2);
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

	ipc_write_log(t.buf, t.len);
	errno = saved;
}

void ipc_write_line(ipc_text &t)
{
	if (t.len == t.size && t.size > 0)
		t.buf[t.len - 1] = '\n';
	ipc_write_text(t);
}

void ipc_log_error(const char *what, const char *object)
{
	ipc_log(what, object, ". Error: ", strerror(errno), "\n");
}
