#include "proc.h"

#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tool.h"

namespace {

// What getdents64 gives, an entry at a time.
struct linux_dirent64 {
	uint64_t d_ino;
	int64_t d_off;
	unsigned short d_reclen;
	unsigned char d_type;
	char d_name[1];
};

} // namespace

void tool_proc_path(ipc_text &path, long pid, const char *what, long n)
{
	ipc_put_all(path, "/proc/", pid, "/", what);
	if (n >= 0)
		ipc_put_all(path, "/", n);
}

long tool_proc_read(long pid, const char *what, char *buf, size_t size)
{
	tool_proc_path_buf path;
	tool_proc_path(path, pid, what);
	int fd = open(path.str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t n = read(fd, buf, size);
	close(fd);
	return n;
}

bool tool_proc_link(ipc_text &link, long pid, const char *what, long n)
{
	tool_proc_path_buf path;
	tool_proc_path(path, pid, what, n);
	ssize_t got = readlink(path.str(), link.buf, link.size);
	link.len = got > 0 ? (size_t)got : 0;
	return got >= 0;
}

bool tool_proc_open(tool_proc_dir &d, const char *path)
{
	d.fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	d.at = d.end = 0;
	return d.fd >= 0;
}

bool tool_proc_next(tool_proc_dir &d, long *n)
{
	for (;;) {
		if (d.at >= d.end) {
			d.at = 0;
			d.end = syscall(SYS_getdents64, d.fd, d.entries, sizeof(d.entries));
			if (d.end <= 0)
				return false;
		}
		const auto *e = (const linux_dirent64 *)(d.entries + d.at);
		d.at += e->d_reclen;
		unsigned long number;
		if (tool_parse_number(e->d_name, INT_MAX, &number)) {
			*n = (long)number;
			return true;
		}
	}
}

void tool_proc_close(tool_proc_dir &d)
{
	close(d.fd);
	d.fd = -1;
}
