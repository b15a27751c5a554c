// What the kernel shows of processes under /proc, read without malloc (no
// opendir): ipc-supervise links no allocator.
#pragma once

#include <stddef.h>

#include "trace/trace.h"

// Characters of "/proc/PID/WHAT/N" at its longest.
constexpr size_t TOOL_PROC_PATH_MAX = sizeof("/proc/4294967295/fd/4294967295") - 1;
using tool_proc_path_buf = ipc_buf<TOOL_PROC_PATH_MAX>;

// /proc/PID/WHAT into path, and /N after it when n is not negative:
// tool_proc_path(path, pid, "fd", 3) is /proc/PID/fd/3.
void tool_proc_path(ipc_text &path, long pid, const char *what, long n = -1);

// Up to size bytes of the file /proc/PID/WHAT ("cmdline": the words it runs
// with, each ending in '\0') into buf, not terminated; how many, or -1 when
// it cannot be read.
long tool_proc_read(long pid, const char *what, char *buf, size_t size);

// What the link /proc/PID/WHAT[/N] names, into link (cut at its room);
// false when it cannot be read (the process or the descriptor is gone).
bool tool_proc_link(ipc_text &link, long pid, const char *what, long n = -1);

// The numbered entries of a directory under /proc, a buffer of them at a
// time: the processes in /proc, the descriptors in /proc/PID/fd.
struct tool_proc_dir {
	int fd;
	long at, end;  // the next entry in entries, and the end of those read
	alignas(8) char entries[1024];
};

// Opens the directory path ("/proc", or one tool_proc_path made); false
// when it cannot be read.
bool tool_proc_open(tool_proc_dir &d, const char *path);
// The next entry whose name is a number, into *n; false once there are no
// more. Others ("self", ".") are skipped.
bool tool_proc_next(tool_proc_dir &d, long *n);
void tool_proc_close(tool_proc_dir &d);
