// Trace and failure lines: text built in fixed buffers without a printf
// engine, and written to standard error with one write(2) per line, or per
// turn of the service.
#pragma once

#include <limits.h>
#include <stddef.h>

// While non-zero, the service traces every message it handles. The service
// owns it (src/service/debug.cpp); everything that traces reads it.
extern int debug;

// Text being appended to, in storage that an ipc_buf owns: size
// characters, and one byte more for the terminator that str() writes.
// Whatever does not fit is dropped. Functions that append to any text take
// this; call sites declare an ipc_buf, the only one that makes a text, so
// that no text is ever without its terminator's byte.
struct ipc_text {
	char *buf;
	size_t size;  // characters it holds, the terminator's byte not counted
	size_t len;

	ipc_text(const ipc_text &) = delete;
	ipc_text &operator=(const ipc_text &) = delete;

	// The text so far, terminated.
	const char *str()
	{
		buf[len] = '\0';
		return buf;
	}

protected:
	ipc_text(char *room, size_t n) : buf(room), size(n), len(0) {}
};

// A text of up to N characters, with its storage. The constructor is not
// constexpr, so that a buffer outside a function lives in .bss rather than
// in the file; it is then set up at start, which keeps it in every binary
// that links its object file: the service's own buffers live apart, in
// turn.cpp (linked by ipc-dispatchd and ipc-mqtt, which call
// ipc_log_nonblocking) and ipc_events.cpp (the service alone).
template <size_t N>
struct ipc_buf : ipc_text {
	ipc_buf() : ipc_text(room, N) {}

	char room[N + 1];
};

// Most characters of a number in decimal: "-9223372036854775808",
// "18446744073709551615".
constexpr size_t IPC_INT_TEXT_MAX = 20;

// The decimal formatter of every program (ipc_hex below is the hex one):
// v into out (IPC_INT_TEXT_MAX bytes of room), no terminator; returns how
// many characters it wrote.
//
// It never divides. The device's ARMv7-A has no divide instruction: gcc 12
// turns a 32-bit division by a constant into a multiply, which is fine
// anywhere, but a 64-bit one, even by 10, calls libgcc's __aeabi_uldivmod
// (__udivmoddi4, a bit loop). A digit loop on % 10 made .text 280 bytes
// larger in ipc-notify and ipc-listen (ipc-listen then over its 16 KiB) and
// 444 in the service (arm-linux-gnueabihf-gcc 12 -Os, static musl). So the
// digits are taken by subtracting powers of ten, in 64 bits, and one
// formatter serves every integer type, uint64_t counters too.
size_t ipc_format_uint(char *out, unsigned long long v);
size_t ipc_format_int(char *out, long long v);

// Writes the byte line of a message, "%02x " for each byte and a line end,
// into line (size bytes, no terminator) and returns its length. A message
// too long for line is cut at a whole byte; the line end is always there.
size_t ipc_format_bytes(char *__restrict line, size_t size, const unsigned char *__restrict data, size_t len);

// "%02x " for each byte of a full-size message, and the line end.
constexpr size_t ipc_byte_line_size(size_t len)
{
	return 3 * len + 1;
}

// Parts of a text besides strings, numbers and other texts.
struct ipc_chars {  // len characters, not terminated
	const char *s;
	size_t len;
};
struct ipc_hex {  // bytes, each as two lowercase hex digits
	const void *data;
	size_t len;
};
struct ipc_padded {  // a number, at least width digits
	unsigned long long v;
	size_t width;
};

void ipc_put(ipc_text &t, const char *s, size_t n);
void ipc_put(ipc_text &t, const char *s);
void ipc_put(ipc_text &t, long long v);
void ipc_put(ipc_text &t, unsigned long long v);
void ipc_put(ipc_text &t, ipc_hex h);
void ipc_put(ipc_text &t, ipc_padded p);
inline void ipc_put(ipc_text &t, int v)
{
	ipc_put(t, (long long)v);
}
inline void ipc_put(ipc_text &t, long v)
{
	ipc_put(t, (long long)v);
}
inline void ipc_put(ipc_text &t, unsigned v)
{
	ipc_put(t, (unsigned long long)v);
}
inline void ipc_put(ipc_text &t, unsigned long v)
{
	ipc_put(t, (unsigned long long)v);
}
// A character is not a number: ipc_chars{&c, 1}.
void ipc_put(ipc_text &t, char c) = delete;
void ipc_put(ipc_text &t, bool b) = delete;
inline void ipc_put(ipc_text &t, ipc_chars c)
{
	ipc_put(t, c.s, c.len);
}
inline void ipc_put(ipc_text &t, const ipc_text &s)
{
	ipc_put(t, s.buf, s.len);
}
// The byte line of a message, as ipc_format_bytes writes it.
inline void ipc_put_bytes(ipc_text &t, const unsigned char *data, size_t len)
{
	t.len += ipc_format_bytes(t.buf + t.len, t.size - t.len, data, len);
}

// Appends each part in turn: strings, numbers, texts and the parts above.
template <typename... Parts>
void ipc_put_all(ipc_text &t, const Parts &...parts)
{
	(ipc_put(t, parts), ...);
}


// Writes len bytes to descriptor fd, retrying only what a short write or
// a signal left; false when the rest cannot be written.
bool ipc_write_all(int fd, const char *buf, size_t len);

// How texts reach standard error: whole, waiting as long as that takes
// (ipc-notify, ipc-listen, ipc-supervise), or at once or not at all (once
// ipc_log_nonblocking is called: the service and ipc-mqtt). That lives apart,
// in turn.cpp, so that the other tools' binaries do without it.
extern void (*ipc_write_log)(const char *text, size_t len);

// Writes the text to standard error at once. errno is kept, and a text
// that cannot be written is dropped: there is nobody else to tell.
void ipc_write_text(const ipc_text &t);

// From here on, the log never holds the caller back. Standard error gets a
// non-blocking open file description of its own (where it is a pipe, FIFO
// or terminal), or is sent to without waiting (a socket); the description
// it shares with other processes is left as it is. A text that the log
// cannot take at once is then dropped whole, never cut: the rest of one cut
// short by a terminal goes out before anything else. The first text that
// gets through after a loss is preceded by "Trace: N turns dropped". At
// most one write(2) per text.
void ipc_log_nonblocking(void);

// Writes a line as ipc_write_text does; one that filled its room ends with
// a line end still.
void ipc_write_line(ipc_text &t);

// Room of a line that ipc_log builds.
constexpr size_t IPC_LINE_MAX = 256;

// Builds one line from its parts and writes it at once, as ipc_write_text.
// A line cut at the buffer's end keeps its line end.
template <typename... Parts>
void ipc_log(const Parts &...parts)
{
	ipc_buf<IPC_LINE_MAX> t;
	ipc_put_all(t, parts...);
	ipc_write_line(t);
}

// A failure line: "WHAT OBJECT. Error: TEXT", TEXT being the C library's
// text for errno, as in "Can't open mqueue /ipc_dispatch. Error: ...".
void ipc_log_error(const char *what, const char *object);

// The trace of one turn of the service: its status line, the message and
// its byte line, and one line per subscriber queue sent to. Gathered here
// and written with one write(2) by ipc_trace_flush.
constexpr size_t IPC_TRACE_MSG_MAX = 512;   // longest message a turn traces whole
constexpr size_t IPC_STATUS_TEXT_MAX = 80;  // of the C library's error text
constexpr size_t IPC_EVENT_NAME_MAX = 24;   // "AI_HUMAN_DETECTION_START"
constexpr size_t IPC_TRACE_SUBSCRIBERS = 9;
constexpr size_t IPC_FANOUT_LINE_MAX = sizeof("Sending  to queue #9\n") - 1 + IPC_EVENT_NAME_MAX;
constexpr size_t IPC_TURN_TRACE_MAX =
	sizeof("IPC message. Len: -2147483648. Status: !\n") - 1 + IPC_STATUS_TEXT_MAX +
	sizeof("Parsing message.\n") - 1 + ipc_byte_line_size(IPC_TRACE_MSG_MAX) +
	IPC_TRACE_SUBSCRIBERS * IPC_FANOUT_LINE_MAX;
// "Trace: N turns dropped", written ahead of the first turn that gets
// through after a loss.
constexpr size_t IPC_DROP_LINE_MAX = sizeof("Trace:  turns dropped\n") - 1 + IPC_INT_TEXT_MAX;
// Up to PIPE_BUF bytes, a write to a pipe is atomic: a turn never
// interleaves with another writer of the same log, and a pipe that cannot
// take it all takes none of it.
static_assert(IPC_DROP_LINE_MAX + IPC_TURN_TRACE_MAX <= PIPE_BUF);

// Adds the turn's status line, "IPC message. Len: LEN. Status: TEXT!", TEXT
// being the C library's text for err.
void ipc_trace_status(int len, int err);

// The turn being gathered.
ipc_text &ipc_trace_turn(void);

// Writes the turn gathered so far in one write(2), if there is any, and
// starts the next one. errno is kept.
void ipc_trace_flush(void);
