// ipc-supervise: runs one program as its child and starts it again
// whenever it ends, backing off while it keeps failing; with --queue, also
// when the queue it serves was removed or created anew. For the init
// scripts it also starts itself in the background and answers for the
// program: --start, --stop, --restart and --status.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "proc.h"
#include "tool.h"

namespace {

char NAME[] = "ipc-supervise";

constexpr char USAGE[] =
	"Usage: ipc-supervise [OPTION...] PROGRAM [ARG...]\n"
	"       ipc-supervise --start|--stop|--restart|--status --state FILE [OPTION...] PROGRAM [ARG...]\n"
	"Runs PROGRAM with its arguments as a child and starts it again whenever it\n"
	"ends: 1 s after it ends the first time, then twice as long each time it\n"
	"ends again within 30 s of its start, up to 60 s, with a line that says why.\n"
	"SIGTERM or SIGINT ends PROGRAM (SIGTERM, then SIGKILL after --stop-seconds),\n"
	"then ipc-supervise. If ipc-supervise is killed, PROGRAM gets SIGKILL; the\n"
	"OOM killer never picks ipc-supervise.\n"
	"\n"
	"  --queue NAME       PROGRAM serves the queue NAME (/ipc_dispatch): start it\n"
	"                     once NAME exists, and again when the queue it holds\n"
	"                     is removed or created anew\n"
	"  --state FILE       keep \"STATE PID RESTARTS\" of PROGRAM in FILE, with\n"
	"                     --start this process's pid first; a FILE without a /\n"
	"                     is in /var/run, or /tmp where that cannot be written\n"
	"  --log WHERE        syslog (to /dev/log, tagged --name, losing what it\n"
	"                     cannot take at once) or a file, for PROGRAM's stderr\n"
	"                     and these lines (--start's default /dev/null)\n"
	"  --name NAME        the program's name in them (default PROGRAM's)\n"
	"  --stop-seconds N   how long PROGRAM has to end on SIGTERM (default 5)\n"
	"  --start            start in the background, unless FILE names one that\n"
	"                     runs: failed if PROGRAM ends within --start-check N s\n"
	"                     (default 1; \"--hint TEXT\" in the line); waits up to\n"
	"                     --start-wait N s (default 0) for the queue\n"
	"  --stop             end the one FILE names (SIGKILL 2 s after --stop-seconds)\n"
	"  --restart          --stop, then --start\n"
	"  --status           say what runs\n"
	"  --exe PATH         what /proc/PID/exe names for PROGRAM that an older\n"
	"                     release ran alone, its pid in FILE (default PROGRAM)\n"
	"  -h, --help         show this help\n"
	"      --version      show the version\n"
	"\n"
	"Exit status: 0 stopped by a signal, started, stopped or running; 1 failed,\n"
	"or waiting to start it again; 2 usage error; 3 (--status) not running.\n";

enum { START = 256, STOP, RESTART, STATUS };

constexpr option OPTIONS[] = {
	{"queue", required_argument, nullptr, 'q'},
	{"state", required_argument, nullptr, 's'},
	{"stop-seconds", required_argument, nullptr, 't'},
	{"log", required_argument, nullptr, 'l'},
	{"name", required_argument, nullptr, 'n'},
	{"start-check", required_argument, nullptr, 'c'},
	{"start-wait", required_argument, nullptr, 'w'},
	{"hint", required_argument, nullptr, 'H'},
	{"exe", required_argument, nullptr, 'e'},
	{"start", no_argument, nullptr, START},
	{"stop", no_argument, nullptr, STOP},
	{"restart", no_argument, nullptr, RESTART},
	{"status", no_argument, nullptr, STATUS},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// Restart delays, in seconds: the first, the most, and how long a run must
// last for the next delay to be the first again.
constexpr long DELAY_FIRST = 1, DELAY_MAX = 60, HEALTHY_RUN = 30;
constexpr long SECONDS_MAX = 3600;
// How often the queue is looked at: whether it exists, and whether the
// program still holds the one that does.
constexpr long LOOK_EVERY_MS = 1000;
constexpr size_t PATH_SIZE = 256;

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
	const char *name;  // for the lines, and the log's tag
	const char *queue, *state, *log, *hint, *exe;
	const char *state_given;  // as on the command line, which names it
	int action;        // START ... STATUS, or 0: supervise here
	unsigned long stop_seconds, start_check, start_wait;
	pid_t pid;      // the program's; 0 while none runs
	int queue_fd;   // where the program holds the queue, once seen; -1 until then
	long restarts;
	long delay;     // the next restart's, in seconds
	int64_t started;  // when the program last started, in seconds
	char oom_adj[16];  // the OOM score the program gets back
	int log_write, log_read;  // the program's standard error, and ours of it, for syslog
	int syslog;       // a datagram socket, for syslog; -1 otherwise
	size_t line_len;  // of a line read in part
	char line[512];
	ipc_buf<PATH_SIZE> state_path;  // where --state names no folder
};

// Whole seconds of tool_now_ms's clock, for the lines: from milliseconds
// they would take a 64-bit division.
int64_t now_s()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec;
}

void nap()
{
	timespec t = {0, 100000000};
	nanosleep(&t, nullptr);
}

// One line to standard output, for the scripts: what runs.
template <typename... Parts>
void answer(const Parts &...parts)
{
	ipc_buf<IPC_LINE_MAX> t;
	ipc_put_all(t, parts..., "\n");
	ipc_write_all(STDOUT_FILENO, t.buf, t.len);
}

// "SUPERVISOR STATE PID RESTARTS" for the scripts, which take it for the
// pid file too; run in the foreground, 0.7.0's "STATE PID RESTARTS", which
// that release's scripts still read where an upgrade cut short by a power
// cut left them beside this program.
void write_state(const supervisor &s, const char *what)
{
	if (s.state == nullptr)
		return;
	ipc_buf<80> line;
	ipc_buf<PATH_SIZE + 4> tmp;
	if (s.action != 0)
		ipc_put_all(line, getpid(), " ");
	ipc_put_all(line, what, " ", s.pid, " ", s.restarts, "\n");
	ipc_put_all(tmp, s.state, ".tmp");
	// Whole or not at all for whoever reads it: written aside, renamed.
	int fd = open(tmp.str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0 || !ipc_write_all(fd, line.buf, line.len) || close(fd) != 0 || rename(tmp.str(), s.state) != 0) {
		ipc_log_error("Can't write ", s.state);
		if (fd >= 0)
			unlink(tmp.str());
	}
}

// The log: a file, or for syslog a pipe whose lines go on as datagrams.
bool open_log(supervisor &s)
{
	s.log_write = s.log_read = s.syslog = -1;
	if (s.log == nullptr)
		return true;
	if (strcmp(s.log, "syslog") != 0) {
		s.log_write = open(s.log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
		if (s.log_write < 0)
			ipc_log_error("Can't open ", s.log);
		return s.log_write >= 0;
	}
	// Non-blocking at both ends: a full pipe costs a line, never a wait,
	// and this process alone reads it, the writer of its own lines too.
	int fds[2];
	if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
		ipc_log_error("Can't make a pipe for ", s.log);
		return false;
	}
	s.log_read = fds[0];
	s.log_write = fds[1];
	s.syslog = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	return true;
}

// "<PRI>TAG: LINE", user.notice as logger sends it; dropped when the log
// cannot take it at once, or is not there (no syslogd yet at boot).
void send_line(const supervisor &s, const char *line, size_t len)
{
	static const sockaddr_un DEV_LOG = {AF_UNIX, "/dev/log"};
	ipc_buf<sizeof(s.line) + 80> t;
	ipc_put_all(t, "<13>", s.name, ": ", ipc_chars{line, len});
	sendto(s.syslog, t.buf, t.len, MSG_DONTWAIT | MSG_NOSIGNAL, (const sockaddr *)&DEV_LOG, sizeof(DEV_LOG));
}

// Whatever the pipe holds, a datagram a line; a line longer than the
// buffer goes in pieces.
void relay_log(supervisor &s)
{
	if (s.log_read < 0)
		return;
	for (ssize_t n; (n = read(s.log_read, s.line + s.line_len, sizeof(s.line) - s.line_len)) > 0;) {
		char *from = s.line, *end = s.line + s.line_len + n;
		for (char *nl; (nl = (char *)memchr(from, '\n', (size_t)(end - from))) != nullptr; from = nl + 1)
			send_line(s, from, (size_t)(nl - from));
		s.line_len = (size_t)(end - from);
		if (s.line_len == sizeof(s.line)) {
			send_line(s, s.line, s.line_len);
			s.line_len = 0;
		}
		memmove(s.line, from, s.line_len);
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
	ipc_buf<255> link;
	size_t qlen = strlen(s.queue);
	if (s.queue_fd >= 0) {
		if (tool_proc_link(link, s.pid, "fd", s.queue_fd) && strncmp(link.str(), s.queue, qlen) == 0)
			return strcmp(link.buf + qlen, " (deleted)") == 0;
		s.queue_fd = -1;  // closed, or another file now: looked for again
		return false;
	}
	tool_proc_path_buf dir;
	tool_proc_path(dir, s.pid, "fd");
	tool_proc_dir d;
	if (!tool_proc_open(d, dir.str()))
		return false;
	bool stale = false;
	for (long fd; tool_proc_next(d, &fd);) {
		if (!tool_proc_link(link, s.pid, "fd", fd) || strncmp(link.str(), s.queue, qlen) != 0)
			continue;
		if (link.buf[qlen] == '\0')
			s.queue_fd = (int)fd;
		else if (strcmp(link.buf + qlen, " (deleted)") == 0)
			stale = true;
	}
	tool_proc_close(d);
	return stale;
}

// With syslog the program is told that each line gets its tag there.
[[noreturn]] void run_program(const supervisor &s)
{
	static char tagged[] = "IPC_LOG_TAGGED=1";
	char *env[256];
	size_t n = 0;
	for (char **e = environ; *e != nullptr && n < 254; e++)
		env[n++] = *e;
	if (s.syslog >= 0)
		env[n++] = tagged;
	env[n] = nullptr;
	execvpe(s.argv[0], s.argv, env);
	ipc_log_error("Can't run ", s.argv[0]);
	_exit(127);
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
		if (s.log_write >= 0)
			dup2(s.log_write, STDERR_FILENO);
		sigprocmask(SIG_SETMASK, &mask, nullptr);
		run_program(s);
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
	ipc_buf<80> how;
	if (WIFSIGNALED(status)) {
		ipc_put_all(how, "was killed by signal ", WTERMSIG(status));
		for (const auto &sig : SIGNAL_NAMES)
			if (sig.number == WTERMSIG(status))
				ipc_put_all(how, " (", sig.name, ")");
	} else {
		ipc_put_all(how, "exited with status ", WEXITSTATUS(status));
	}
	pid_t pid = s.pid;
	s.pid = 0;
	s.restarts++;
	if (stale) {
		s.delay = DELAY_FIRST;
		say(s.name, " (pid ", pid, ") held a removed ", s.queue, "; starting it again (restart ", s.restarts, ")\n");
		write_state(s, "waiting");
		return;
	}
	if (ran >= HEALTHY_RUN)
		s.delay = DELAY_FIRST;
	say(s.name, " (pid ", pid, ") ", how, " after ", ran, " s; starting it again in ", s.delay, " s (restart ",
	    s.restarts, ")\n");
	write_state(s, "restarting");
}

// SIGTERM to the program, SIGKILL once stop_seconds have passed; reaped.
void stop_program(supervisor &s)
{
	if (s.pid == 0)
		return;
	kill(s.pid, SIGTERM);
	int64_t until = tool_now_ms() + (int64_t)s.stop_seconds * 1000;
	for (;;) {
		pid_t got = waitpid(s.pid, nullptr, WNOHANG);
		if (got == s.pid || (got < 0 && errno != EINTR))
			break;
		if (tool_now_ms() >= until) {
			say(s.name, " (pid ", s.pid, ") did not stop within ", s.stop_seconds, " s; killed it\n");
			kill(s.pid, SIGKILL);
			waitpid(s.pid, nullptr, 0);
			break;
		}
		relay_log(s);
		timespec nap = {0, 50000000};
		nanosleep(&nap, nullptr);
	}
	relay_log(s);
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

// The supervisor itself, until SIGTERM or SIGINT.
int supervise(supervisor &s)
{
	// Signals are taken when waited for, never in the middle of a step.
	sigset_t wanted, before;
	sigemptyset(&wanted);
	constexpr int SIGNALS[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
	for (int sig : SIGNALS)
		sigaddset(&wanted, sig);
	sigprocmask(SIG_BLOCK, &wanted, &before);
	int signals = signalfd(-1, &wanted, SFD_CLOEXEC | SFD_NONBLOCK);
	// Out of the session it was started from: a terminal that hangs up
	// is none of its business.
	setsid();
	if (s.log_write >= 0)  // our own lines where the program's go
		dup2(s.log_write, STDERR_FILENO);
	shield_from_oom(s);
	s.delay = DELAY_FIRST;

	bool waiting_said = false;
	int64_t restart_at = tool_now_ms(), look_at = tool_now_ms();
	write_state(s, "waiting");
	for (;;) {
		int64_t now = tool_now_ms();
		if (s.pid == 0 && now >= restart_at) {
			if (s.queue == nullptr || queue_exists(s.queue)) {
				if (!start(s, before))  // out of memory or processes: later
					restart_at = now + DELAY_MAX * 1000;
				waiting_said = false;
			} else if (!waiting_said) {
				say("waiting for ", s.queue, " before starting ", s.name, "\n");
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
				restart_at = tool_now_ms();
				continue;
			}
		}
		// Wait for a signal, a line of the log, or the next restart or look.
		int64_t next = -1;
		if (s.pid == 0)
			next = s.queue != nullptr && now >= restart_at ? now + LOOK_EVERY_MS : restart_at;
		else if (s.queue != nullptr)
			next = look_at;
		pollfd ready[2] = {{signals, POLLIN, 0}, {s.log_read, POLLIN, 0}};
		poll(ready, s.log_read >= 0 ? 2 : 1, next < 0 ? -1 : next > now ? (int)(next - now) : 0);
		relay_log(s);
		bool child = false;
		for (signalfd_siginfo info; read(signals, &info, sizeof(info)) == sizeof(info);) {
			if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) {
				stop_program(s);
				if (s.state != nullptr)
					unlink(s.state);
				return TOOL_OK;
			}
			child |= info.ssi_signo == SIGCHLD;
		}
		for (int status; child && s.pid != 0;) {
			pid_t got = waitpid(-1, &status, WNOHANG);
			if (got <= 0)
				break;
			if (got != s.pid)
				continue;
			ended(s, status, false);
			restart_at = tool_now_ms() + s.delay * 1000;
			s.delay = s.delay * 2 > DELAY_MAX ? DELAY_MAX : s.delay * 2;
		}
	}
}

// What the state file names, as this release or an older one left it.
struct found {
	enum { NOTHING, SUPERVISED, ALONE } what;
	long pid;          // the supervisor's, or the program's where it runs alone
	char state[16];    // running, waiting, restarting (SUPERVISED)
	long program, restarts;
	char older[PATH_SIZE];  // 0.7.0's FILE.state, beside its FILE.pid; "" if none
};

// FILE's words, up to max, terminated in text (size bytes).
int read_words(const char *file, char *text, size_t size, char **words, int max)
{
	int fd = open(file, O_RDONLY | O_CLOEXEC);
	ssize_t n = fd < 0 ? -1 : read(fd, text, size - 1);
	if (fd >= 0)
		close(fd);
	text[n > 0 ? n : 0] = '\0';
	int count = 0;
	for (char *p = text; count < max && *p != '\0';) {
		if (*p == ' ' || *p == '\n') {
			p++;
			continue;
		}
		words[count++] = p;
		while (*p != '\0' && *p != ' ' && *p != '\n')
			p++;
		if (*p != '\0')
			*p++ = '\0';
	}
	return count;
}

// True when one of the words process pid runs with is word.
bool runs_with(long pid, const char *word)
{
	char args[4096];
	tool_proc_path_buf path;
	tool_proc_path(path, pid, "cmdline");
	int fd = open(path.str(), O_RDONLY | O_CLOEXEC);
	ssize_t n = fd < 0 ? -1 : read(fd, args, sizeof(args) - 1);
	if (fd >= 0)
		close(fd);
	if (n <= 0)
		return false;
	args[n] = '\0';
	for (const char *a = args; a < args + n; a += strlen(a) + 1)
		if (strcmp(a, word) == 0)
			return true;
	return false;
}

// True when process pid runs PROGRAM's file (--exe), or the one an upgrade
// renamed a new file over, which the kernel then calls "FILE (deleted)".
bool runs_program(const supervisor &s, long pid)
{
	const char *exe = s.exe != nullptr ? s.exe : s.argv[0];
	ipc_buf<PATH_SIZE> link;
	size_t len = strlen(exe);
	return tool_proc_link(link, pid, "exe") && strncmp(link.str(), exe, len) == 0 &&
	       (link.buf[len] == '\0' || strcmp(link.buf + len, " (deleted)") == 0);
}

// Who FILE's pid is, checked before anything is done to it: after a power
// cut, or once that pid is another process's, a stranger's. This release's
// supervisor runs with FILE on its command line; 0.7.0's pid file held only
// the pid of a supervisor that runs with FILE.state instead, which holds
// "STATE PID RESTARTS"; 0.5.0's and 0.6.0's, that of the program alone.
found look(const supervisor &s)
{
	found f = {};
	char text[128], *words[4];
	int n = read_words(s.state, text, sizeof(text), words, 4);
	unsigned long pid;
	if (n == 0 || !tool_parse_number(words[0], INT_MAX, &pid) || pid == 0 || (long)pid == getpid())
		return f;
	f.pid = (long)pid;
	size_t len = strlen(s.state);
	if (n == 1 && len > 4 && len < sizeof(f.older) - 2 && strcmp(s.state + len - 4, ".pid") == 0) {
		memcpy(f.older, s.state, len - 4);
		strcpy(f.older + len - 4, ".state");
	}
	if (f.older[0] != '\0' && runs_with(f.pid, f.older)) {
		n = read_words(f.older, text, sizeof(text), words, 4);
	} else if (n == 4 && runs_with(f.pid, s.state_given)) {
		f.older[0] = '\0';
	} else {
		f.what = n == 1 && runs_program(s, f.pid) ? found::ALONE : found::NOTHING;
		return f;
	}
	f.what = found::SUPERVISED;
	// Its last three words, whichever release wrote them.
	unsigned long program = 0, restarts = 0;
	if (n >= 3) {
		strncpy(f.state, words[n - 3], sizeof(f.state) - 1);
		tool_parse_number(words[n - 2], INT_MAX, &program);
		tool_parse_number(words[n - 1], INT_MAX, &restarts);
	}
	f.program = (long)program;
	f.restarts = (long)restarts;
	return f;
}

// True once process pid has ended (or is our child, ended), within seconds.
bool gone(long pid, unsigned long seconds)
{
	for (int64_t until = tool_now_ms() + (int64_t)seconds * 1000;; nap()) {
		if (waitpid((pid_t)pid, nullptr, WNOHANG) == pid || kill((pid_t)pid, 0) != 0)
			return true;
		if (tool_now_ms() >= until)
			return false;
	}
}

// A supervisor gets SIGKILL, its program with it, 2 s after the program's
// own SIGKILL was due.
int stop(const supervisor &s)
{
	found f = look(s);
	if (f.what != found::NOTHING) {
		unsigned long wait = s.stop_seconds + (f.what == found::SUPERVISED ? 2 : 0);
		kill((pid_t)f.pid, SIGTERM);
		if (!gone(f.pid, wait)) {
			if (f.what == found::SUPERVISED)
				ipc_log(s.name, ": supervisor pid ", f.pid, " did not stop within ", (long)wait, " s; killed it\n");
			kill((pid_t)f.pid, SIGKILL);
			if (!gone(f.pid, 5)) {
				ipc_log(s.name, ": pid ", f.pid, " did not end even when killed\n");
				return TOOL_FAILED;
			}
		}
	}
	unlink(s.state);
	if (f.older[0] != '\0')
		unlink(f.older);
	answer(s.name, f.what == found::NOTHING ? ": not running" : ": stopped");
	return TOOL_OK;
}

int status(const supervisor &s)
{
	found f = look(s);
	if (f.what == found::ALONE) {
		answer(s.name, ": running (pid ", f.pid, ", unsupervised: restart puts it under a supervisor)");
		return TOOL_OK;
	}
	if (f.what == found::NOTHING) {
		answer(s.name, ": stopped");
		return 3;
	}
	// 1, as for a program that is not running but has left its pid file:
	// its supervisor is there, and starts it as soon as it can.
	if (strcmp(f.state, "running") == 0) {
		answer(s.name, ": running (pid ", f.program, ", restarted ", f.restarts, " times)");
		return TOOL_OK;
	}
	if (strcmp(f.state, "waiting") == 0)
		answer(s.name, ": waiting for ", s.queue != nullptr ? s.queue : "its queue", " (restarted ", f.restarts, " times)");
	else
		answer(s.name, ": starting again (restarted ", f.restarts, " times)");
	return TOOL_FAILED;
}

// The supervisor in the background, its log set up here so that a log
// that cannot be opened is said at once; a program that ends at once will
// not do better the next time.
int start_background(supervisor &s)
{
	found f = look(s);
	if (f.what != found::NOTHING) {
		answer(s.name, ": already running (pid ", f.what == found::SUPERVISED ? f.program : f.pid, ")");
		return TOOL_OK;
	}
	unlink(s.state);
	if (f.older[0] != '\0')
		unlink(f.older);
	if (!open_log(s))
		return TOOL_FAILED;
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_RDWR | O_CLOEXEC);
		dup2(null, STDIN_FILENO);
		dup2(null, STDOUT_FILENO);
		if (s.log_write < 0)
			dup2(null, STDERR_FILENO);
		_exit(supervise(s));
	}
	if (pid < 0) {
		ipc_log_error("Can't start ", s.name);
		return TOOL_FAILED;
	}
	int64_t until = tool_now_ms() + (int64_t)s.start_check * 1000;
	while (tool_now_ms() < until && kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0)
		nap();
	f = look(s);
	if (f.what != found::SUPERVISED || f.pid != pid || f.restarts != 0 || strcmp(f.state, "restarting") == 0) {
		kill(pid, SIGTERM);
		if (!gone(pid, s.stop_seconds + 2))
			kill(pid, SIGKILL);
		unlink(s.state);
		ipc_log(s.name, ": failed to start (", s.hint, "see ",
			s.log == nullptr ? "/dev/null" : s.syslog >= 0 ? "the system log" : s.log, ")\n");
		return TOOL_FAILED;
	}
	for (until = tool_now_ms() + (int64_t)s.start_wait * 1000; strcmp(f.state, "waiting") == 0 && tool_now_ms() < until;) {
		nap();
		f = look(s);
	}
	if (strcmp(f.state, "running") == 0)
		answer(s.name, ": started (pid ", f.program, ")");
	else
		answer(s.name, ": waiting for ", s.queue, "; it starts once that is there");
	return TOOL_OK;
}

void parse_seconds(const char *option, unsigned long *value)
{
	if (!tool_parse_number(optarg, SECONDS_MAX, value))
		tool_usage_error(option, ": '", optarg, "' is not a number from 0 to ", SECONDS_MAX);
}

void parse(supervisor &s, int argc, char **argv)
{
	s.stop_seconds = 5;
	s.start_check = 1;
	s.hint = "";
	for (int c; (c = tool_next_option(argc, argv, "+h", OPTIONS, USAGE)) != -1;) {
		if (c == 'q' && (optarg[0] != '/' || strlen(optarg) > 255 || strchr(optarg + 1, '/') != nullptr))
			tool_usage_error("--queue: '", optarg, "' is not a queue name (/NAME)");
		if (c == 's' && strlen(optarg) > PATH_SIZE - sizeof("/var/run/"))
			tool_usage_error("--state: longer than ", PATH_SIZE - sizeof("/var/run/"), " characters");
		if (c == 't')
			parse_seconds("--stop-seconds", &s.stop_seconds);
		if (c == 'c')
			parse_seconds("--start-check", &s.start_check);
		if (c == 'w')
			parse_seconds("--start-wait", &s.start_wait);
		if (c == 'q')
			s.queue = optarg;
		if (c == 's')
			s.state = s.state_given = optarg;
		if (c == 'l')
			s.log = optarg;
		if (c == 'n')
			s.name = optarg;
		if (c == 'H')
			s.hint = optarg;
		if (c == 'e')
			s.exe = optarg;
		if (c >= START)
			s.action = c;
	}
	if (optind >= argc)
		tool_usage_error("no program to run");
	if (s.action != 0 && s.state == nullptr)
		tool_usage_error("--start, --stop, --restart and --status need --state");
	// Never on the card: in RAM, where /var/run cannot be written /tmp.
	if (s.state != nullptr && strchr(s.state, '/') == nullptr) {
		ipc_put_all(s.state_path, access("/var/run", W_OK) == 0 ? "/var/run/" : "/tmp/", s.state);
		s.state = s.state_path.str();
	}
	s.argv = argv + optind;
	const char *slash = strrchr(s.argv[0], '/');
	if (s.name == nullptr)
		s.name = slash != nullptr ? slash + 1 : s.argv[0];
}

} // namespace

int main(int argc, char **argv)
{
	tool_start(NAME);
	supervisor s = {};
	parse(s, argc, argv);
	switch (s.action) {
	case START:
		return start_background(s);
	case STOP:
		return stop(s);
	case RESTART:
		return stop(s) == TOOL_OK ? start_background(s) : TOOL_FAILED;
	case STATUS:
		return status(s);
	}
	if (!open_log(s))
		return TOOL_FAILED;
	return supervise(s);
}
