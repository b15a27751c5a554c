#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

int remaining_ms(Clock::time_point end)
{
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
	return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

timespec realtime_after(Clock::duration d)
{
	timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
	ts.tv_sec += ns / 1000000000;
	ts.tv_nsec += ns % 1000000000;
	if (ts.tv_nsec >= 1000000000) {
		ts.tv_sec++;
		ts.tv_nsec -= 1000000000;
	}
	return ts;
}

std::vector<std::string> wrapper()
{
	std::vector<std::string> words;
	const char *w = std::getenv("IPC_WRAPPER");
	std::istringstream in(w ? w : "");
	for (std::string word; in >> word;)
		words.push_back(word);
	return words;
}

[[noreturn]] void child(const Spawn &how, int out, int err)
{
	setpgid(0, 0);
	// Start as from init, whatever the test runner ignores or blocks.
	signal(SIGPIPE, SIG_DFL);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	if (how.close_std) {
		close(0);
		close(1);
		close(2);
	} else {
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(out >= 0 ? out : null, 1);
		dup2(err >= 0 ? err : null, 2);
	}
	if (how.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(how.uid) != 0 || setuid(how.uid) != 0))
		_exit(126);
	std::vector<std::string> words = how.before;
	if (how.wrap)
		for (const std::string &w : wrapper())
			words.push_back(w);
	words.insert(words.end(), how.args.begin(), how.args.end());
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

} // namespace

std::string program(const std::string &name)
{
	const char *dir = std::getenv("IPC_BIN_DIR");
	return std::string(dir && *dir ? dir : IPC_DEFAULT_BIN_DIR) + "/" + name;
}

// Removed when the test ends.
static std::vector<std::string> temp_dirs;

std::string temp_dir()
{
	char dir[] = "/tmp/ipc-test.XXXXXX";
	if (mkdtemp(dir) == nullptr || chmod(dir, 0755) != 0)
		ADD_FAILURE() << "mkdtemp: " << strerror(errno);
	temp_dirs.push_back(dir);
	return dir;
}

std::string public_copy(const std::string &path)
{
	std::string copy = temp_dir() + "/" + std::filesystem::path(path).filename().string();
	std::filesystem::copy_file(path, copy);
	chmod(copy.c_str(), 0755);
	return copy;
}

Process spawn(const Spawn &how)
{
	Process p;
	int out[2] = {-1, -1};
	int err[2] = {-1, -1};
	if (how.capture_out && pipe2(out, O_CLOEXEC) != 0)
		ADD_FAILURE() << "pipe: " << strerror(errno);
	// A datagram-like socket keeps every write(2) of the child apart, so a
	// test can see how each line was written.
	if (how.err_to >= 0)
		err[1] = dup(how.err_to);
	else if (how.capture_err && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, err) != 0)
		ADD_FAILURE() << "socketpair: " << strerror(errno);
	p.pid = fork();
	if (p.pid == 0)
		child(how, out[1], err[1]);
	for (int fd : {out[1], err[1]})
		if (fd >= 0)
			close(fd);
	p.out = out[0];
	p.err = err[0];
	for (int fd : {p.out, p.err})
		if (fd >= 0)
			fcntl(fd, F_SETFL, O_NONBLOCK);
	return p;
}

std::string shell_command(const std::string &name)
{
	std::string command;
	for (const std::string &w : wrapper())
		command += w + " ";
	return command + program(name);
}

Ran run(const std::vector<std::string> &args, Clock::duration deadline)
{
	Spawn how;
	how.args = args;
	how.args[0] = program(args[0]);
	how.capture_out = true;
	Process p = spawn(how);
	Ran r;
	r.status = wait_exit(p, deadline);
	r.out = p.out_text;
	r.err = err_text(p);
	stop(p);
	return r;
}

void drain(Process &p)
{
	char buf[8192];
	for (ssize_t n; p.err >= 0 && (n = recv(p.err, buf, sizeof(buf), 0)) > 0;)
		p.err_writes.emplace_back(buf, static_cast<size_t>(n));
	for (ssize_t n; p.out >= 0 && (n = read(p.out, buf, sizeof(buf))) > 0;)
		p.out_text.append(buf, static_cast<size_t>(n));
}

std::string err_text(Process &p)
{
	drain(p);
	std::string all;
	for (const std::string &w : p.err_writes)
		all += w;
	return all;
}

bool wait_err(Process &p, const std::function<bool(const std::string &)> &pred, Clock::duration deadline)
{
	auto end = Clock::now() + deadline;
	for (;;) {
		if (pred(err_text(p)))
			return true;
		if (Clock::now() >= end)
			return false;
		pollfd pfd = {p.err, POLLIN, 0};
		poll(&pfd, 1, std::min(remaining_ms(end), 100));
	}
}

int wait_exit(Process &p, Clock::duration deadline)
{
	auto end = Clock::now() + deadline;
	int status;
	for (;;) {
		pid_t r = waitpid(p.pid, &status, WNOHANG);
		if (r == p.pid) {
			p.pid = -1;
			drain(p);
			return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
		}
		if (r < 0 || Clock::now() >= end)
			return -1;
		std::this_thread::sleep_for(2ms);
	}
}

bool alive(const Process &p)
{
	return p.pid > 0 && waitpid(p.pid, nullptr, WNOHANG) == 0;
}

void stop(Process &p)
{
	if (p.pid > 0) {
		kill(-p.pid, SIGKILL);
		kill(p.pid, SIGKILL);
		waitpid(p.pid, nullptr, 0);
		p.pid = -1;
	}
	drain(p);
	for (int *fd : {&p.out, &p.err})
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
}

mqd_t create_queue(const std::string &name, long maxmsg, long msgsize, mode_t mode, int flags)
{
	mq_attr attr = {};
	attr.mq_maxmsg = maxmsg;
	attr.mq_msgsize = msgsize;
	mqd_t q = mq_open(name.c_str(), flags | O_CREAT | O_EXCL, mode, &attr);
	if (q == -1)
		ADD_FAILURE() << "create " << name << ": " << strerror(errno);
	return q;
}

mqd_t open_queue(const std::string &name, int flags)
{
	mqd_t q = mq_open(name.c_str(), flags);
	if (q == -1)
		ADD_FAILURE() << "open " << name << ": " << strerror(errno);
	return q;
}

bool queue_exists(const std::string &name)
{
	mqd_t q = mq_open(name.c_str(), O_RDONLY);
	if (q == -1)
		return false;
	mq_close(q);
	return true;
}

mq_attr attributes(mqd_t q)
{
	mq_attr attr = {};
	if (mq_getattr(q, &attr) != 0)
		ADD_FAILURE() << "mq_getattr: " << strerror(errno);
	return attr;
}

void send(mqd_t q, const std::string &bytes, unsigned prio)
{
	if (mq_send(q, bytes.data(), bytes.size(), prio) != 0)
		ADD_FAILURE() << "mq_send: " << strerror(errno);
}

bool receive(mqd_t q, std::string &bytes, unsigned *prio, Clock::duration deadline)
{
	char buf[8192];
	timespec until = realtime_after(deadline);
	ssize_t n;
	while ((n = mq_timedreceive(q, buf, sizeof(buf), prio, &until)) < 0 && errno == EINTR)
		;
	if (n < 0)
		return false;
	bytes.assign(buf, static_cast<size_t>(n));
	return true;
}

std::vector<std::string> receive_all(mqd_t q)
{
	std::vector<std::string> all;
	for (std::string m; receive(q, m, nullptr, 0s);)
		all.push_back(m);
	return all;
}

std::string subscriber(int i)
{
	return "/ipc_dispatch_" + std::to_string(i);
}

bool wait_until(const std::function<bool()> &pred, Clock::duration deadline)
{
	auto end = Clock::now() + deadline;
	while (!pred()) {
		if (Clock::now() >= end)
			return false;
		std::this_thread::sleep_for(2ms);
	}
	return true;
}

std::string glibc_words(std::string text)
{
	static const std::pair<std::string, std::string> words[] = {
		{"No error information", "Success"},
		{"Message too large", "Message too long"},
		{"No file descriptors available", "Too many open files"},
	};
	for (const auto &[musl, glibc] : words)
		for (size_t at; (at = text.find(musl)) != std::string::npos;)
			text.replace(at, musl.size(), glibc);
	return text;
}

Relayed take_back(Process &svc, mqd_t dispatch, const std::string &bytes, size_t from)
{
	std::string marker = "Parsing message.\n" + hex_line(bytes);
	EXPECT_TRUE(wait_err(svc, [&](const std::string &t) { return t.find(marker, from) != std::string::npos; }))
		<< "no trace of the message: " << err_text(svc).substr(from);
	Relayed r;
	EXPECT_TRUE(receive(dispatch, r.putback, &r.prio)) << "nothing was put back";
	r.trace = glibc_words(err_text(svc).substr(from));
	for (size_t at = 0; (at = r.trace.find("IPC message.", at)) != std::string::npos; at++)
		r.turns++;
	return r;
}

Relayed relay(Process &svc, mqd_t dispatch, const std::string &bytes, unsigned prio)
{
	size_t from = err_text(svc).size();
	send(dispatch, bytes, prio);
	return take_back(svc, dispatch, bytes, from);
}

std::string turn_trace(const std::string &bytes, const char *event, const std::vector<int> &in_use)
{
	return "IPC message. Len: " + std::to_string(bytes.size()) + ". Status: Success!\n" +
	       message_trace(bytes, event, in_use);
}

std::string repeat(const std::string &s, int n)
{
	std::string all;
	for (int i = 0; i < n; i++)
		all += s;
	return all;
}

void QueueTest::SetUp()
{
	ASSERT_EQ(unshare(CLONE_NEWIPC), 0)
		<< "a private IPC namespace needs root (CAP_SYS_ADMIN): " << strerror(errno);
	umask(022);
}

void QueueTest::TearDown()
{
	for (Process &p : procs_)
		stop(p);
	for (mqd_t q : queues_)
		if (q != -1)
			mq_close(q);
	for (const std::string &dir : temp_dirs)
		std::filesystem::remove_all(dir);
	temp_dirs.clear();
}

unsigned long cpu_ticks(pid_t pid)
{
	std::string stat;
	std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
	unsigned long user = 0, sys = 0;  // fields 14 and 15, after the name
	if (stat.rfind(')') != std::string::npos)
		sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &sys);
	return user + sys;
}

sockaddr_in loopback(int port)
{
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

void QueueTest::own_network()
{
	ASSERT_EQ(unshare(CLONE_NEWNET), 0);
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	ifreq lo = {};
	strcpy(lo.ifr_name, "lo");
	lo.ifr_flags = IFF_UP;
	ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &lo), 0);
	close(s);
}

Process &QueueTest::start_broker(const std::string &dir, const std::string &conf)
{
	std::ofstream(dir + "/mosquitto.conf") << "listener 1883 127.0.0.1\n" << conf;
	Process &b = procs_.emplace_back(spawn({.args = {"mosquitto", "-c", dir + "/mosquitto.conf"}, .wrap = false}));
	EXPECT_TRUE(wait_until([] {
		int s = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in a = loopback(1883);
		bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
		close(s);
		return up;
	})) << err_text(b);
	return b;
}

std::string QueueTest::retained(const std::string &topic)
{
	Ran r = run_host({"mosquitto_sub", "-h", "127.0.0.1", "-v", "-t", topic, "--retained-only", "-W", "1"});
	std::vector<std::string> lines;
	std::istringstream in(r.out);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line + "\n");
	std::sort(lines.begin(), lines.end());
	std::string all;
	for (const std::string &l : lines)
		all += l;
	return all;
}

Ran QueueTest::run_host(const std::vector<std::string> &args)
{
	Process p = spawn({.args = args, .capture_out = true, .wrap = false});
	Ran r = {wait_exit(p), p.out_text, err_text(p)};
	stop(p);
	return r;
}

mqd_t QueueTest::keep(mqd_t q)
{
	queues_.push_back(q);
	return q;
}

Process &QueueTest::start_service(Spawn how)
{
	if (how.args.empty())
		how.args = {program("ipc-dispatchd")};
	procs_.push_back(spawn(how));
	return procs_.back();
}

Process &QueueTest::start_ready(mqd_t &dispatch)
{
	dispatch = keep(create_queue("/ipc_dispatch"));
	Process &p = start_service();
	EXPECT_TRUE(wait_until([] { return queue_exists(subscriber(9)); }))
		<< "the service did not open its subscriber queues: " << err_text(p);
	return p;
}

} // namespace harness
