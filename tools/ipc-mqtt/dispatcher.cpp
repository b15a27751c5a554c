// Whether an ipc-dispatchd serves the camera's queue, as /proc shows it to
// the privileged part (privileged.cpp), which asks dispatcher_now: a
// process of that name, in this IPC namespace, that holds /ipc_dispatch as
// it exists now. One that the producer removed, or created anew since, the
// kernel names "/ipc_dispatch (deleted)". Silence tells nothing: a quiet
// camera sends no notifications.
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
	tool_proc_path_buf path;
	tool_proc_path(path, pid, "cmdline");
	int fd = open(path.str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	char cmdline[512];
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
	ipc_buf<63> ours, theirs;
	return tool_proc_link(ours, getpid(), "ns/ipc") && tool_proc_link(theirs, pid, "ns/ipc") &&
	       strcmp(ours.str(), theirs.str()) == 0;
}

// Whether /proc/PID/fd/FD names the live queue.
bool holds_queue(pid_t pid, long fd, const char *queue)
{
	ipc_buf<63> link;
	return tool_proc_link(link, pid, "fd", fd) && strcmp(link.str(), queue) == 0;
}

// The descriptor by which the process holds the live queue, or -1.
int live_queue_fd(pid_t pid, const char *queue)
{
	tool_proc_path_buf path;
	tool_proc_path(path, pid, "fd");
	tool_proc_dir fds;
	if (!tool_proc_open(fds, path.str()))
		return -1;
	long found = -1;
	for (long fd; found < 0 && tool_proc_next(fds, &fd);)
		if (holds_queue(pid, fd, queue))
			found = fd;
	tool_proc_close(fds);
	return (int)found;
}

} // namespace

pid_t dispatcher_now(bridge &b)
{
	ipc_queue_name_buf queue;
	ipc_queue_name(queue, 0);
	dispatcher_seen &d = b.seen;
	// The one seen last still serves: one link and its name, a few system
	// calls a second.
	if (d.pid != 0 && holds_queue(d.pid, d.fd, queue.str()) && is_dispatcher(d.pid))
		return d.pid;
	d.pid = 0;
	tool_proc_dir procs;
	if (!tool_proc_open(procs, "/proc"))
		return 0;
	for (long pid; d.pid == 0 && tool_proc_next(procs, &pid);) {
		if (!is_dispatcher((pid_t)pid) || !same_ipc_namespace((pid_t)pid))
			continue;
		int fd = live_queue_fd((pid_t)pid, queue.str());
		if (fd >= 0)
			d = {(pid_t)pid, fd};
	}
	tool_proc_close(procs);
	return d.pid;
}

// The privileged part looks, where there is one: another user's /proc/PID/fd
// is root's to read. One that has gone leaves the state last known.
bool dispatcher_serves(bridge &b)
{
	int32_t pid = 0;
	if (b.priv.pid == 0) {
		pid = dispatcher_now(b);
	} else if (!ask_privileged(b, PRIV_DISPATCHER, &pid, nullptr)) {
		if (b.priv.fd >= 0)
			ipc_log_error("Can't ask the privileged part whether ipc-dispatchd serves: the state stays", "");
		close(b.priv.fd);
		b.priv.fd = -1;
		return b.core.served;
	}
	b.seen.pid = pid;
	return pid != 0;
}

// Looks again, and tells the broker when what it should show changes.
void check_dispatcher(bridge &b)
{
	if (!bridge_chain(b.core, tool_now_ms(), dispatcher_serves(b)))
		return;
	ipc_queue_name_buf queue;
	ipc_queue_name(queue, 0);
	if (b.core.served)
		say(DISPATCHER, " (pid ", b.seen.pid, ") serves ", queue, "\n");
	else
		say("no ", DISPATCHER, " has served ", queue, " for ", BRIDGE_CHAIN_GRACE_MS / 1000,
		    " s: detection shows as unavailable\n");
	if (b.core.link == BRIDGE_UP)
		publish_dispatcher(b);
}
