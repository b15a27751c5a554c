// The service's trace and failure lines on standard error.
#pragma once

#include <stddef.h>

// While non-zero, the service traces every message it handles.
extern int debug;

// Longest line ipc_log writes whole; a longer one is cut and still ends
// with a line end.
constexpr size_t IPC_LOG_LINE_MAX = 256;

// Writes len bytes to descriptor fd, retrying only what a short write or
// a signal left; false when the rest cannot be written.
bool ipc_write_all(int fd, const char *buf, size_t len);

// Writes len bytes to standard error in one write(2) where the system
// allows it, retrying only what a short write left. errno is kept.
void ipc_write_line(const char *line, size_t len);

// Formats one line and writes it with ipc_write_line. errno is kept, so a
// caller may pass strerror(errno) and still report errno afterwards.
void ipc_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
