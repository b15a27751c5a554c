// ipc-supervise: runs one program as its child and starts it again
// whenever it ends, backing off while it keeps failing; with --queue, also
// when the queue it serves was removed or created anew.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <mqueue.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "proc.h"
#include "tool.h"

namespace {

char NAME[] = "ipc-supervise";

constexpr char USAGE[] =
	"Usage: ipc-supervise [--queue NAME] [--state FILE] [--stop-seconds N] PROGRAM [ARG...]\n"
	"Runs PROGRAM with its arguments as a child and starts it again whenever it\n"
	"ends: 1 s after it ends the first time, then twice as long each time it\n"
	"ends again within 30 s of its start, up to 60 s. A line on standard error\n"
	"says each restart and why. SIGTERM or SIGINT ends PROGRAM (SIGTERM, then\n"
	"SIGKILL after --stop-seconds), then ipc-supervise. If ipc-supervise itself\n"
	"is killed, PROGRAM gets SIGKILL; the kernel's OOM killer never picks it.\n"
	"\n"
	"  --queue NAME       PROGRAM serves the message queue NAME (/ipc_dispatch):\n"
	"                     start it only once NAME exists, looking once a\n"
	"                     second, and start it again, at once, when the queue\n"
	"                     it holds is removed or created anew under NAME\n"
	"  --state FILE       keep \"STATE PID RESTARTS\" in FILE (on a RAM file\n"
	"                     system): STATE running, waiting (for the queue) or\n"
	"                     restarting, PID that of PROGRAM or 0\n"
	"  --stop-seconds N   how long PROGRAM has to end on SIGTERM (default 5)\n"
	"  -h, --help         show this help\n"
	"      --version      show the version\n"
	"\n"
	"Exit status: 0 stopped by a signal, 2 usage error.\n";

constexpr option OPTIONS[] = {
	{"queue", required_argument, nullptr, 'q'},
	{"state", required_argument, nullptr, 's'},
	{"stop-seconds", required_argument, nullptr, 't'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// Restart delays, in seconds: the first, the most, and how long a run must
// last for the next delay to be the first again.
constexpr long DELAY_FIRST = 1, DELAY_MAX = 60, HEALTHY_RUN = 30;
constexpr long STOP_SECONDS_MAX = 3600;
// How often the queue is looked at: whether it exists, and whether the
// program still holds the one that does.
constexpr long LOOK_EVERY_MS = 1000;

// What getdents64 gives, an entry at a time.
struct linux_dirent64 {
	uint64_t d_ino;
	int64_t d_off;
	unsigned short d_reclen;
	unsigned char d_type;
	char d_name[1];
};

// The signals a program usually ends by, by name; others by number.
constexpr struct {
	int number;
	const char *name;
} SIGNAL_NAMES[] = {
	{SIGKILL, "SIGKILL"}, {SIGTERM, "SIGTERM"}, {SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"},
	{SIGBUS, "SIGBUS"},   {SIGILL, "SIGILL"},   {SIGFPE, "SIGFPE"},   {SIGINT, "SIGINT"},
};

struct supervisor {
	char **argv;       // the program's
	const char *name;  // its file name, for the lines
	const char *queue, *state;
	unsigned long stop_seconds;
	pid_t pid;      // the program's; 0 while none runs
	int queue_fd;   // where the program holds the queue, once seen; -1 until then
	long restarts;
	long delay;     // the next restart's, in seconds
	int64_t started;  // when the program last started, in seconds
	char oom_adj[16];  // the OOM score the program gets back
};

// Milliseconds of CLOCK_MONOTONIC, in 64 bits: a long of the device's 32
// wraps after 24.8 days of uptime.
int64_t now_ms()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

int64_t now_s()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec;
}

void write_state(const supervisor &s, const char *what)
{
	if (s.state == nullptr)
		return;
	char line[64], tmp[4096];
	ipc_text t = {line, sizeof(line), 0};
	ipc_put_all(t, what, " ", (long)s.pid, " ", s.restarts, "\n");
	ipc_text p = {tmp, sizeof(tmp) - 1, 0};
	ipc_put_all(p, s.state, ".tmp");
	tmp[p.len] = '\0';
	// Whole or not at all for whoever reads it: written aside, renamed.
	int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0 || !ipc_write_all(fd, line, t.len) || close(fd) != 0 || rename(tmp, s.state) != 0) {
		ipc_log_error("Can't write ", s.state);
		if (fd >= 0)
			unlink(tmp);
	}
}

bool queue_exists(const char *queue)
{
	mqd_t q = mq_open(queue, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (q != (mqd_t)-1) {
		mq_close(q);
		return true;
	}
	return errno != ENOENT;  // there, but not ours to read
}

// True when the program holds a queue that is no longer the one under its
// name: the kernel then names it "NAME (deleted)". Finds the descriptor
// the first time, then looks at that one alone.
bool holds_stale_queue(supervisor &s)
{
	char link[256], fd[IPC_INT_TEXT_MAX + 1];
	size_t qlen = strlen(s.queue);
	if (s.queue_fd >= 0) {
		fd[ipc_format_int(fd, s.queue_fd)] = '\0';
		if (tool_proc_link(s.pid, "fd/", fd, link, sizeof(link)) && strncmp(link, s.queue, qlen) == 0)
			return strcmp(link + qlen, " (deleted)") == 0;
		s.queue_fd = -1;  // closed, or another file now: looked for again
		return false;
	}
	char dir[TOOL_PROC_PATH_MAX];
	tool_proc_path(dir, s.pid, "fd");
	// getdents64 itself: opendir would bring malloc into the program.
	int d = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (d < 0)
		return false;
	bool stale = false;
	alignas(8) char entries[1024];
	for (long n; (n = syscall(SYS_getdents64, d, entries, sizeof(entries))) > 0;)
		for (long at = 0; at < n;) {
			const auto *e = (const linux_dirent64 *)(entries + at);
			at += e->d_reclen;
			if (e->d_name[0] == '.' || !tool_proc_link(s.pid, "fd/", e->d_name, link, sizeof(link)) ||
			    strncmp(link, s.queue, qlen) != 0)
				continue;
			unsigned long fd_number;
			if (link[qlen] == '\0' && tool_parse_number(e->d_name, INT_MAX, &fd_number))
				s.queue_fd = (int)fd_number;
			else if (strcmp(link + qlen, " (deleted)") == 0)
				stale = true;
		}
	close(d);
	return stale;
}

// False when no process could be made.
bool start(supervisor &s, const sigset_t &mask)
{
	pid_t parent = getpid(), pid = fork();
	if (pid < 0) {
		ipc_log_error("Can't start ", s.name);
		return false;
	}
	if (pid == 0) {
		// The program ends with its supervisor, whatever ends that, and is
		// the OOM killer's to pick as it was before.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(127);
		int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
		if (fd >= 0) {
			ipc_write_all(fd, s.oom_adj, strlen(s.oom_adj));
			close(fd);
		}
		sigprocmask(SIG_SETMASK, &mask, nullptr);
		execvp(s.argv[0], s.argv);
		ipc_log_error("Can't run ", s.argv[0]);
		_exit(127);
	}
	s.pid = pid;
	s.queue_fd = -1;
	s.started = now_s();
	write_state(s, "running");
	return true;
}

// How the program ended, and what comes next.
void ended(supervisor &s, int status, bool stale)
{
	long ran = (long)(now_s() - s.started);
	char how[80];
	ipc_text t = {how, sizeof(how), 0};
	if (WIFSIGNALED(status)) {
		ipc_put_all(t, "was killed by signal ", (long)WTERMSIG(status));
		for (const auto &sig : SIGNAL_NAMES)
			if (sig.number == WTERMSIG(status))
				ipc_put_all(t, " (", sig.name, ")");
	} else {
		ipc_put_all(t, "exited with status ", (long)WEXITSTATUS(status));
	}
	pid_t pid = s.pid;
	s.pid = 0;
	s.restarts++;
	if (stale) {
		s.delay = DELAY_FIRST;
		ipc_log(NAME, ": ", s.name, " (pid ", (long)pid, ") held a removed ", s.queue, "; starting it again (restart ",
			s.restarts, ")\n");
		write_state(s, "waiting");
		return;
	}
	if (ran >= HEALTHY_RUN)
		s.delay = DELAY_FIRST;
	ipc_log(NAME, ": ", s.name, " (pid ", (long)pid, ") ", t, " after ", ran, " s; starting it again in ", s.delay,
		" s (restart ", s.restarts, ")\n");
	write_state(s, "restarting");
}

// SIGTERM to the program, SIGKILL once stop_seconds have passed; reaped.
void stop_program(supervisor &s)
{
	if (s.pid == 0)
		return;
	kill(s.pid, SIGTERM);
	int64_t until = now_ms() + (int64_t)s.stop_seconds * 1000;
	for (;;) {
		pid_t got = waitpid(s.pid, nullptr, WNOHANG);
		if (got == s.pid || (got < 0 && errno != EINTR))
			break;
		if (now_ms() >= until) {
			ipc_log(NAME, ": ", s.name, " (pid ", (long)s.pid, ") did not stop within ", (long)s.stop_seconds,
				" s; killed it\n");
			kill(s.pid, SIGKILL);
			waitpid(s.pid, nullptr, 0);
			break;
		}
		timespec nap = {0, 50000000};
		nanosleep(&nap, nullptr);
	}
	s.pid = 0;
}

// Never the OOM killer's choice: the program would go with it, and
// nothing would start it again.
void shield_from_oom(supervisor &s)
{
	strcpy(s.oom_adj, "0");
	int fd = open("/proc/self/oom_score_adj", O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return;
	ssize_t n = read(fd, s.oom_adj, sizeof(s.oom_adj) - 1);
	s.oom_adj[n > 0 ? n : 0] = '\0';
	if (n <= 0)
		strcpy(s.oom_adj, "0");
	ipc_write_all(fd, "-1000", 5);
	close(fd);
}

void parse(supervisor &s, int argc, char **argv)
{
	s.stop_seconds = 5;
	for (int c; (c = tool_next_option(NAME, argc, argv, "+h", OPTIONS, USAGE)) != -1;) {
		if (c == 'q' && (optarg[0] != '/' || strlen(optarg) > 255 || strchr(optarg + 1, '/') != nullptr))
			tool_usage_error("--queue: '", optarg, "' is not a queue name (/NAME)");
		if (c == 't' && !tool_parse_number(optarg, STOP_SECONDS_MAX, &s.stop_seconds))
			tool_usage_error("--stop-seconds: '", optarg, "' is not a number from 0 to ", STOP_SECONDS_MAX);
		if (c == 'q')
			s.queue = optarg;
		if (c == 's')
			s.state = optarg;
	}
	if (optind >= argc)
		tool_usage_error("no program to run");
	s.argv = argv + optind;
	const char *slash = strrchr(s.argv[0], '/');
	s.name = slash != nullptr ? slash + 1 : s.argv[0];
}

} // namespace

int main(int argc, char **argv)
{
	supervisor s = {};
	parse(s, argc, argv);

	// Signals are taken when waited for, never in the middle of a step.
	sigset_t wanted, before;
	sigemptyset(&wanted);
	constexpr int SIGNALS[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
	for (int sig : SIGNALS)
		sigaddset(&wanted, sig);
	sigprocmask(SIG_BLOCK, &wanted, &before);
	// Out of the session it was started from: a terminal that hangs up
	// is none of its business.
	setsid();
	shield_from_oom(s);
	s.delay = DELAY_FIRST;

	bool waiting_said = false;
	int64_t restart_at = now_ms(), look_at = now_ms();
	write_state(s, "waiting");
	for (;;) {
		int64_t now = now_ms();
		if (s.pid == 0 && now >= restart_at) {
			if (s.queue == nullptr || queue_exists(s.queue)) {
				if (!start(s, before))  // out of memory or processes: later
					restart_at = now + DELAY_MAX * 1000;
				waiting_said = false;
			} else if (!waiting_said) {
				ipc_log(NAME, ": waiting for ", s.queue, " before starting ", s.name, "\n");
				write_state(s, "waiting");
				waiting_said = true;
			}
		}
		if (s.pid != 0 && s.queue != nullptr && now >= look_at) {
			look_at = now + LOOK_EVERY_MS;
			if (holds_stale_queue(s)) {
				pid_t pid = s.pid;
				stop_program(s);
				s.pid = pid;
				ended(s, 0, true);
				restart_at = now_ms();
				continue;
			}
		}
		// Wait for a signal, or for the next restart or look.
		int64_t next = -1;
		if (s.pid == 0)
			next = s.queue != nullptr && now >= restart_at ? now + LOOK_EVERY_MS : restart_at;
		else if (s.queue != nullptr)
			next = look_at;
		siginfo_t info;
		int sig;
		if (next < 0) {
			sig = sigwaitinfo(&wanted, &info);
		} else {
			long ms = next > now ? (long)(next - now) : 0;  // a minute at most
			timespec wait = {ms / 1000, ms % 1000 * 1000000L};
			sig = sigtimedwait(&wanted, &info, &wait);
		}
		if (sig == SIGTERM || sig == SIGINT) {
			stop_program(s);
			if (s.state != nullptr)
				unlink(s.state);
			return TOOL_OK;
		}
		if (sig != SIGCHLD)
			continue;
		for (int status; s.pid != 0;) {
			pid_t got = waitpid(-1, &status, WNOHANG);
			if (got <= 0)
				break;
			if (got != s.pid)
				continue;
			ended(s, status, false);
			restart_at = now_ms() + s.delay * 1000;
			s.delay = s.delay * 2 > DELAY_MAX ? DELAY_MAX : s.delay * 2;
		}
	}
}
