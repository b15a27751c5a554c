// Drives ipc-dispatchd for bench/run. Run it in a private IPC namespace:
// it creates "/ipc_dispatch" and starts the service itself.
//
//   ipc_bench latency SERVICE SAMPLES null|pipe
//       one line per sample: µs from a send into /ipc_dispatch to the
//       event at subscriber 1 and at subscriber 9, each sent once the
//       service waits in its receive
//   ipc_bench drive SERVICE COUNT recognised|unrecognised [PREFIX...]
//       sends COUNT notifications (16 bytes recognised, or 64 bytes not)
//       one by one, each taken back, with the service run under PREFIX
//       (strace, valgrind); prints the service's turns, its VmRSS (KiB)
//       after 100 notifications and at the end, and its VmHWM at the end
//   ipc_bench rate SERVICE SECONDS
//       turns per second with one recognised notification circulating
//   ipc_bench idle SERVICE SECONDS
//       CPU ticks the service uses while nothing arrives
//   ipc_bench mqtt SERVICE SAMPLES BIN_DIR ipc-mqtt|ipc-mqtt-tls|pipe CONF
//       in a network namespace of its own too: µs from a send into
//       /ipc_dispatch to the event at a mosquitto_sub of a broker on
//       loopback (mosquitto -c CONF: plain on 1883, TLS on 8883 with a
//       certificate for 127.0.0.1 whose CA is ca.crt beside CONF), through
//       BIN_DIR/ipc-mqtt, the same over TLS, or ipc-listen | mosquitto_pub
//       -l, one line per sample, four samples a second, five events in
//       turn; then "# TICKS RSS MS": the bridge's CPU ticks in 3 s with
//       nothing arriving, its VmRSS (KiB, all of its processes), and the
//       attempt's time that ipc-mqtt says when it connects (-1: none)
#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kRecognised("\x01\0\0\0\x02\0\0\0\xf5\0\xf5\0\0\0\0\0", 16);

// What the driver started, to be ended with it when it gives up.
std::vector<pid_t> children;

[[noreturn]] void die(const std::string &what)
{
	fprintf(stderr, "ipc_bench: %s: %s\n", what.c_str(), strerror(errno));
	for (pid_t pid : children)
		kill(pid, SIGKILL);
	exit(1);
}

mqd_t open_queue(const char *name, int flags)
{
	mq_attr attr = {};
	attr.mq_maxmsg = 10;
	attr.mq_msgsize = 512;
	mqd_t q = mq_open(name, flags | O_CREAT, 0644, &attr);
	if (q == -1)
		die(std::string("mq_open ") + name);
	return q;
}

[[noreturn]] void exec(std::vector<std::string> words)
{
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

struct Service {
	pid_t pid = -1;
	int err = -1;  // read end of its stderr, when piped
	std::atomic<long> turns{0};
	std::thread reader;
};

// Starts the service (under prefix, if any) with stderr to /dev/null or to
// a pipe whose lines a thread counts; returns once it serves.
void start(Service &s, const std::string &service, bool pipe_err, const std::vector<std::string> &prefix = {})
{
	int fds[2] = {-1, -1};
	if (pipe_err && pipe2(fds, O_CLOEXEC) != 0)
		die("pipe");
	s.pid = fork();
	if (s.pid == 0) {
		setpgid(0, 0);
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(null, 1);
		dup2(pipe_err ? fds[1] : null, 2);
		std::vector<std::string> words = prefix;
		words.push_back(service);
		exec(words);
	}
	children.push_back(-s.pid);  // its group: under strace the service is strace's child
	if (pipe_err) {
		close(fds[1]);
		s.err = fds[0];
		s.reader = std::thread([&s] {
			char buf[65536];
			std::string pending;
			for (ssize_t n; (n = read(s.err, buf, sizeof(buf))) > 0;) {
				pending.append(buf, static_cast<size_t>(n));
				size_t start = 0;
				for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
					if (pending.compare(start, 12, "IPC message.") == 0)
						s.turns++;
				pending.erase(0, start);
			}
		});
	}
	auto end = Clock::now() + 30s;
	for (;;) {
		mqd_t q = mq_open("/ipc_dispatch_9", O_RDONLY);
		if (q != -1) {
			mq_close(q);
			break;
		}
		if (Clock::now() > end)
			die("the service did not start");
		std::this_thread::sleep_for(1ms);
	}
	std::this_thread::sleep_for(50ms);  // into its first receive
}

void stop(Service &s)
{
	// The whole group: under strace the service is strace's child.
	kill(-s.pid, SIGTERM);
	waitpid(s.pid, nullptr, 0);
	if (s.reader.joinable())
		s.reader.join();
}

std::string receive(mqd_t q)
{
	char buf[512];
	ssize_t n = mq_receive(q, buf, sizeof(buf), nullptr);
	if (n < 0)
		die("mq_receive");
	return std::string(buf, static_cast<size_t>(n));
}

long status_kib(pid_t pid, const char *field)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(in, line);)
		if (line.rfind(field, 0) == 0)
			return std::stol(line.substr(strlen(field)));
	return -1;
}

long cpu_ticks(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
	std::string stat((std::istreambuf_iterator<char>(in)), {});
	std::istringstream fields(stat.substr(stat.rfind(')') + 2));
	std::string f;
	long utime = 0, stime = 0;
	for (int i = 3; i <= 15 && fields >> f; i++) {
		if (i == 14)
			utime = std::stol(f);
		if (i == 15)
			stime = std::stol(f);
	}
	return utime + stime;
}

// Waits until the service sleeps in its receive again, so that a sample
// measures its work, never what is left of its pause.
void wait_receiving(pid_t pid)
{
	std::string path = "/proc/" + std::to_string(pid) + "/wchan";
	auto end = Clock::now() + 1s;
	for (std::string wchan; Clock::now() < end; std::this_thread::sleep_for(100us)) {
		std::ifstream(path) >> wchan;
		if (wchan == "wq_sleep")
			return;
	}
	die("the service never went back to its receive");
}

int latency(const std::string &service, int samples, bool pipe_err)
{
	mqd_t dispatch = open_queue("/ipc_dispatch", O_RDWR);
	Service s;
	start(s, service, pipe_err);
	mqd_t sub1 = open_queue("/ipc_dispatch_1", O_RDONLY);
	mqd_t sub9 = open_queue("/ipc_dispatch_9", O_RDONLY);
	std::vector<double> at1, at9;
	at1.reserve(static_cast<size_t>(samples));
	at9.reserve(static_cast<size_t>(samples));
	wait_receiving(s.pid);
	for (int i = 0; i < samples; i++) {
		auto t0 = Clock::now();
		if (mq_send(dispatch, kRecognised.data(), kRecognised.size(), 0) != 0)
			die("mq_send");
		Clock::time_point t9;
		std::thread last([&] { receive(sub9); t9 = Clock::now(); });
		receive(sub1);
		auto t1 = Clock::now();
		last.join();
		receive(dispatch);  // the put-back, so that nothing circulates
		at1.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
		at9.push_back(std::chrono::duration<double, std::micro>(t9 - t0).count());
		wait_receiving(s.pid);
	}
	stop(s);
	for (size_t i = 0; i < at1.size(); i++)
		printf("%.1f %.1f\n", at1[i], at9[i]);
	return 0;
}

int drive(const std::string &service, int count, bool recognised, const std::vector<std::string> &prefix)
{
	mqd_t dispatch = open_queue("/ipc_dispatch", O_RDWR);
	Service s;
	start(s, service, true, prefix);
	std::string n = kRecognised;
	if (!recognised) {
		n.assign(64, '\0');
		for (size_t i = 0; i < n.size(); i++)
			n[i] = static_cast<char>(0x80 + i % 100);
	}
	long early = -1;
	for (int i = 0; i < count; i++) {
		if (i == 100)
			early = status_kib(s.pid, "VmRSS:");
		if (mq_send(dispatch, n.data(), n.size(), 0) != 0)
			die("mq_send");
		if (receive(dispatch) != n)
			die("put-back differs");
		// Long enough for the service, even under valgrind, to be back in
		// its receive before the next send.
		std::this_thread::sleep_for(prefix.empty() ? 15ms : 40ms);
	}
	long rss = status_kib(s.pid, "VmRSS:"), hwm = status_kib(s.pid, "VmHWM:");
	stop(s);
	printf("%ld %ld %ld %ld\n", s.turns.load(), early, rss, hwm);
	return 0;
}

int rate(const std::string &service, int seconds)
{
	mqd_t dispatch = open_queue("/ipc_dispatch", O_RDWR);
	Service s;
	start(s, service, true);
	if (mq_send(dispatch, kRecognised.data(), kRecognised.size(), 0) != 0)
		die("mq_send");
	std::this_thread::sleep_for(1s);
	long before = s.turns;
	std::this_thread::sleep_for(std::chrono::seconds(seconds));
	long after = s.turns;
	stop(s);
	printf("%.1f\n", static_cast<double>(after - before) / seconds);
	return 0;
}

int idle(const std::string &service, int seconds)
{
	open_queue("/ipc_dispatch", O_RDWR);
	Service s;
	start(s, service, false);
	long before = cpu_ticks(s.pid);
	std::this_thread::sleep_for(std::chrono::seconds(seconds));
	long after = cpu_ticks(s.pid);
	stop(s);
	printf("%ld\n", after - before);
	return 0;
}

// Runs words with standard input and output as given (-1: /dev/null).
pid_t run_with(std::vector<std::string> words, int in = -1, int out = -1, int err = -1)
{
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_RDWR);
		dup2(in >= 0 ? in : null, 0);
		dup2(out >= 0 ? out : null, 1);
		dup2(err >= 0 ? err : null, 2);
		exec(words);
	}
	children.push_back(pid);
	return pid;
}

// The next line of fd, waiting up to a second for it.
bool next_line(int fd, std::string &pending, std::string &line)
{
	auto end = Clock::now() + 1s;
	for (size_t nl; (nl = pending.find('\n')) == std::string::npos;) {
		pollfd p = {fd, POLLIN, 0};
		char buf[4096];
		ssize_t n;
		if (Clock::now() > end || poll(&p, 1, 100) < 0 || (p.revents && (n = read(fd, buf, sizeof(buf))) <= 0))
			return false;
		if (p.revents)
			pending.append(buf, static_cast<size_t>(n));
	}
	line = pending.substr(0, pending.find('\n'));
	pending.erase(0, line.size() + 1);
	return true;
}

// ipc-mqtt's "connected to ... in N ms" in what it wrote to fd: N, or -1.
long connect_ms(int fd)
{
	std::string pending, line;
	while (next_line(fd, pending, line))
		if (size_t at = line.find(": connected to "); at != std::string::npos)
			return std::stol(line.substr(line.rfind(" in ") + 4));
	return -1;
}

int mqtt(const std::string &service, int samples, const std::string &bin, const std::string &bridge,
	 const std::string &conf)
{
	const char *events[] = {"MOTION_START", "AI_HUMAN_DETECTION_START", "BABY_CRYING", "AI_HUMAN_DETECTION_STOP",
				"MOTION_STOP"};
	const std::string notifications[] = {
		std::string("\x01\0\0\0\x02\0\0\0\x7c\0\x7c\0", 12), kRecognised,
		std::string("\x04\0\0\0\x02\0\0\0\x02\x60\x02\x60\0\0\0\0", 16),
		std::string("\x01\0\0\0\x02\0\0\0\xed\0\xed\0\0\0\0\0", 16),
		std::string("\x01\0\0\0\x02\0\0\0\x7d\0\x7d\0", 12)};
	if (unshare(CLONE_NEWNET) != 0)
		die("unshare --net");
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	ifreq lo = {};
	strcpy(lo.ifr_name, "lo");
	lo.ifr_flags = IFF_UP;
	if (ioctl(s, SIOCSIFFLAGS, &lo) != 0)
		die("lo up");
	std::vector<pid_t> helpers = {run_with({"mosquitto", "-c", conf})};
	std::this_thread::sleep_for(300ms);
	int sub[2];
	if (pipe(sub) != 0)
		die("pipe");
	helpers.push_back(run_with({"stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-t", "bench/event"}, -1, sub[1]));
	mqd_t dispatch = open_queue("/ipc_dispatch", O_RDWR);
	Service svc;
	start(svc, service, false);
	std::vector<pid_t> bridged;
	if (bridge == "pipe") {
		int p[2];
		if (pipe(p) != 0)
			die("pipe");
		bridged.push_back(run_with({bin + "/ipc-listen", "1"}, -1, p[1]));
		bridged.push_back(run_with({"mosquitto_pub", "-l", "-h", "127.0.0.1", "-t", "bench/event"}, p[0]));
		close(p[0]);
		close(p[1]);
	}
	int log[2];
	if (pipe2(log, O_NONBLOCK) != 0)
		die("pipe");
	if (bridge != "pipe") {
		std::vector<std::string> words = {bin + "/ipc-mqtt", "--host", "127.0.0.1", "--topic", "bench", "--no-discovery", "1"};
		if (bridge == "ipc-mqtt-tls")  // the broker's certificate is beside its configuration
			words.insert(words.end() - 1, {"--cafile", conf.substr(0, conf.rfind('/')) + "/ca.crt"});
		bridged.push_back(run_with(words, -1, -1, log[1]));
	}
	close(log[1]);
	std::string pending, line;
	// Until everything is connected: then what else came is dropped, and
	// the samples start once no event is less than a second old.
	bool up = false;
	for (auto end = Clock::now() + 10s; !up && Clock::now() < end;) {
		wait_receiving(svc.pid);
		if (mq_send(dispatch, notifications[0].data(), notifications[0].size(), 0) != 0)
			die("mq_send");
		up = next_line(sub[0], pending, line);
		receive(dispatch);
	}
	if (!up)
		die("no event reached the subscriber");
	std::this_thread::sleep_for(1500ms);
	while (next_line(sub[0], pending, line))
		;
	std::vector<double> took;
	for (int i = 0; i < samples; i++) {
		size_t k = static_cast<size_t>(i) % 5;
		wait_receiving(svc.pid);
		auto t0 = Clock::now();
		if (mq_send(dispatch, notifications[k].data(), notifications[k].size(), 0) != 0)
			die("mq_send");
		if (!next_line(sub[0], pending, line) || line != events[k])
			die(std::string("no ") + events[k] + " at the subscriber, but '" + line + "'");
		took.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
		receive(dispatch);
		std::this_thread::sleep_for(250ms - (Clock::now() - t0));
	}
	long before = 0, after = 0, rss = 0;
	for (pid_t p : bridged)
		before += cpu_ticks(p);
	std::this_thread::sleep_for(3s);
	for (pid_t p : bridged) {
		after += cpu_ticks(p);
		rss += status_kib(p, "VmRSS:");
	}
	for (double us : took)
		printf("%.1f\n", us);
	printf("# %ld %ld %ld\n", after - before, rss, connect_ms(log[0]));
	for (pid_t p : bridged)
		kill(p, SIGTERM);
	for (pid_t p : helpers)
		kill(p, SIGTERM);
	stop(svc);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	std::vector<std::string> a(argv + 1, argv + argc);
	if (a.size() == 4 && a[0] == "latency")
		return latency(a[1], std::stoi(a[2]), a[3] == "pipe");
	if (a.size() >= 4 && a[0] == "drive")
		return drive(a[1], std::stoi(a[2]), a[3] == "recognised", {a.begin() + 4, a.end()});
	if (a.size() == 3 && a[0] == "rate")
		return rate(a[1], std::stoi(a[2]));
	if (a.size() == 3 && a[0] == "idle")
		return idle(a[1], std::stoi(a[2]));
	if (a.size() == 6 && a[0] == "mqtt")
		return mqtt(a[1], std::stoi(a[2]), a[3], a[4], a[5]);
	fprintf(stderr, "usage: see the comment at the top of bench/ipc_bench.cpp\n");
	return 2;
}
