// Whether an ipc-dispatchd serves the camera's queue, as /proc shows it: a
// process of that name, in this IPC namespace, that holds /ipc_dispatch as
// it exists now. One that the producer removed, or created anew since, the
// kernel names "/ipc_dispatch (deleted)". Silence tells nothing: a quiet
// camera sends no notifications.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "mqtt.h"
#include "proc.h"
#include "queues/ipc_queues.h"
#include "tool.h"

namespace {

constexpr char DISPATCHER[] = "ipc-dispatchd";
bool named(const char *word, const char *end)
{
	const char *base = word;
	for (const char *p = word; p < end; p++)
		if (*p == '/')
			base = p + 1;
	return (size_t)(end - base) == sizeof(DISPATCHER) - 1 && memcmp(base, DISPATCHER, sizeof(DISPATCHER) - 1) == 0;
}

// The program its first word runs, or, under an emulator or another
// wrapper, its second, is ipc-dispatchd.
bool is_dispatcher(pid_t pid)
{
	char path[TOOL_PROC_PATH_MAX], cmdline[512];
	tool_proc_path(path, pid, "cmdline");
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	ssize_t n = read(fd, cmdline, sizeof(cmdline));
	close(fd);
	if (n <= 0)
		return false;
	const char *end = cmdline + n, *first_end = (const char *)memchr(cmdline, '\0', (size_t)n);
	if (first_end == nullptr)
		return named(cmdline, end);
	if (named(cmdline, first_end))
		return true;
	const char *second = first_end + 1, *second_end = (const char *)memchr(second, '\0', (size_t)(end - second));
	return second < end && named(second, second_end != nullptr ? second_end : end);
}

bool same_ipc_namespace(pid_t pid)
{
	char ours[64], theirs[64];
	return tool_proc_link(getpid(), "ns/ipc", "", ours, sizeof(ours)) &&
	       tool_proc_link(pid, "ns/ipc", "", theirs, sizeof(theirs)) &&
	       strcmp(ours, theirs) == 0;
}

// The descriptor by which the process holds the live queue, or -1.
int live_queue_fd(pid_t pid, const char *queue)
{
	char path[TOOL_PROC_PATH_MAX], link[64];
	tool_proc_path(path, pid, "fd");
	DIR *d = opendir(path);
	if (d == nullptr)
		return -1;
	int found = -1;
	unsigned long fd;
	for (dirent *e; found < 0 && (e = readdir(d)) != nullptr;)
		if (tool_parse_number(e->d_name, INT_MAX, &fd) && tool_proc_link(pid, "fd/", e->d_name, link, sizeof(link)) &&
		    strcmp(link, queue) == 0)
			found = (int)fd;
	closedir(d);
	return found;
}

// The one seen last still serves: one link and its name, a few system
// calls a second.
bool still_serves(const dispatcher_seen &d, const char *queue)
{
	char fd[IPC_INT_TEXT_MAX + 1], link[64];
	fd[ipc_format_int(fd, d.fd)] = '\0';
	return tool_proc_link(d.pid, "fd/", fd, link, sizeof(link)) && strcmp(link, queue) == 0 && is_dispatcher(d.pid);
}

} // namespace

bool dispatcher_serves(bridge &b)
{
	char queue[IPC_QUEUE_NAME_SIZE];
	ipc_queue_name(queue, 0);
	dispatcher_seen &d = b.seen;
	if (d.pid != 0 && still_serves(d, queue))
		return true;
	d.pid = 0;
	DIR *proc = opendir("/proc");
	if (proc == nullptr)
		return false;
	unsigned long pid;
	for (dirent *e; d.pid == 0 && (e = readdir(proc)) != nullptr;) {
		if (!tool_parse_number(e->d_name, INT_MAX, &pid) || !is_dispatcher((pid_t)pid) ||
		    !same_ipc_namespace((pid_t)pid))
			continue;
		int fd = live_queue_fd((pid_t)pid, queue);
		if (fd >= 0)
			d = {(pid_t)pid, fd};
	}
	closedir(proc);
	return d.pid != 0;
}

// Looks again, and tells the broker when what it should show changes.
void check_dispatcher(bridge &b)
{
	if (!bridge_chain(b.core, now_ms(), dispatcher_serves(b)))
		return;
	char queue[IPC_QUEUE_NAME_SIZE];
	ipc_queue_name(queue, 0);
	if (b.core.served)
		say(DISPATCHER, " (pid ", (long)b.seen.pid, ") serves ", queue, "\n");
	else
		say("no ", DISPATCHER, " has served ", queue, " for ", (long)(BRIDGE_CHAIN_GRACE_MS / 1000),
			" s: detection shows as unavailable\n");
	if (b.core.link == BRIDGE_UP)
		publish_dispatcher(b);
}
