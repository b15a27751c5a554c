// The example init script, run by busybox's shell as the device's init would.
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include <map>
#include <thread>

#include "harness.h"
#include "notifications.h"

using namespace harness;
using namespace std::string_literals;

namespace {

class InitScript : public QueueTest {
protected:
	void SetUp() override
	{
		QueueTest::SetUp();
		dir_ = temp_dir();
		launcher("ipc-supervise", dir_ + "/ipc-supervise");
		defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS", "");
	}
	// Puts program name at path, as the scripts start it: a copy, or
	// under an emulator a small launcher.
	static void launcher(const std::string &name, const std::string &path)
	{
		std::string command = shell_command(name);
		if (command == program(name)) {
			std::filesystem::copy_file(command, path, std::filesystem::copy_options::overwrite_existing);
			return;
		}
		std::ofstream(path) << "#!/bin/sh\nexec " << command << " \"$@\"\n";
		chmod(path.c_str(), 0755);
	}
	// Settings for the script of program: its own copy (which a test may
	// replace as an upgrade does), its supervisor, its pid file and log in
	// the test's directory, and more.
	void defaults(const std::string &name, const char *variable, const std::string &more)
	{
		std::string daemon = dir_ + "/" + name;
		launcher(name, daemon);
		std::string file = dir_ + "/" + name + ".defaults";
		std::ofstream(file) << "DAEMON=" << daemon << "\nSUPERVISOR=" << dir_ << "/ipc-supervise\nPIDFILE=" << dir_ << "/"
				    << name << ".pid\nLOG=" << dir_ << "/" << name << ".log\n" << more;
		setenv(variable, file.c_str(), 1);
	}
	void TearDown() override
	{
		for (const char *name : {"ipc-dispatchd", "ipc-mqtt"})
			for (int pid : {pid_in_file(dir_ + "/" + name + ".pid"), program_pid(name)})
				if (pid > 0)
					kill(pid, SIGKILL);
		unsetenv("IPC_DISPATCHD_DEFAULTS");
		unsetenv("IPC_MQTT_DEFAULTS");
		if (dev_log_ >= 0)
			close(dev_log_);
		umount2((dir_ + "/dev").c_str(), MNT_DETACH);
		QueueTest::TearDown();
	}
	// /dev/log, a datagram socket of the test's own, as syslogd's: in a
	// mount namespace of its own, a /dev in RAM that holds what the real
	// one does, and the socket.
	void own_dev_log(bool bound = true)
	{
		ASSERT_EQ(unshare(CLONE_NEWNS), 0);
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
		const std::string old = dir_ + "/dev";
		std::filesystem::create_directories(old);
		ASSERT_EQ(mount("/dev", old.c_str(), nullptr, MS_BIND | MS_REC, nullptr), 0);
		ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, nullptr), 0);
		for (const auto &e : std::filesystem::directory_iterator(old)) {
			const std::string to = "/dev/" + e.path().filename().string();
			if (e.is_symlink()) {
				std::filesystem::create_symlink(std::filesystem::read_symlink(e), to);
				continue;
			}
			if (e.is_directory())
				std::filesystem::create_directory(to);
			else
				std::ofstream{to};
			mount(e.path().c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
		}
		// Never left where the test's directory is removed from.
		umount2(old.c_str(), MNT_DETACH);
		if (bound)
			bind_dev_log();
	}
	void bind_dev_log()
	{
		dev_log_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		sockaddr_un at = {AF_UNIX, "/dev/log"};
		ASSERT_EQ(bind(dev_log_, (const sockaddr *)&at, sizeof(at)), 0) << strerror(errno);
	}
	// What /dev/log has received since the last call, a line a datagram.
	std::string dev_log()
	{
		char message[1024];
		for (ssize_t n; (n = recv(dev_log_, message, sizeof(message), 0)) >= 0;)
			syslog_.append(message, (size_t)n).append("\n");
		return syslog_;
	}
	int dev_log_ = -1;
	std::string syslog_;
	Ran script(const std::string &action, const std::string &name = "S50ipc-dispatchd")
	{
		return sh({IPC_SOURCE_DIR "/scripts/init.d/" + name, action});
	}
	static int pid_in_file(const std::string &file)
	{
		int pid = 0;
		std::ifstream(file) >> pid;
		return pid;
	}
	// The program's pid, as its supervisor keeps it ("SUPERVISOR STATE
	// PID RESTARTS"); 0 while none runs.
	static int program_pid(const std::string &state_file)
	{
		std::string supervisor, state;
		int pid = 0;
		std::ifstream(state_file) >> supervisor >> state >> pid;
		return pid;
	}
	int program_pid(const char *name = "ipc-dispatchd")
	{
		return program_pid(dir_ + "/" + name + ".pid");
	}
	static std::string text_of(const std::string &file)
	{
		std::ifstream in(file);
		return std::string(std::istreambuf_iterator<char>(in), {});
	}
	std::string log(const std::string &name = "ipc-dispatchd")
	{
		return text_of(dir_ + "/" + name + ".log");
	}
	// busybox's sh with these words, to its end.
	Ran sh(const std::vector<std::string> &words)
	{
		Spawn how = {.args = {"busybox", "sh"}, .capture_out = true, .wrap = false};
		how.args.insert(how.args.end(), words.begin(), words.end());
		Process p = spawn(how);
		Ran r = {wait_exit(p, 30s), p.out_text, err_text(p)};
		stop(p);
		return r;
	}
	std::string dir_;
};

// The service under its supervisor: started once the producer's queue is
// there, restarted and upgraded in place, and put under a supervisor when
// an older release left it running alone. (What the field does to it is in
// the card's test below.)
TEST_F(InitScript, StartStatusRestartStop)
{
	Ran r = script("status");
	EXPECT_EQ(r.status, 3);
	EXPECT_EQ(r.out, "ipc-dispatchd: stopped\n");

	// Without the producer's queue the supervisor waits for it, and says so once.
	defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS", "START_WAIT=0\n");
	r = script("start");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "ipc-dispatchd: waiting for /ipc_dispatch; it starts once that is there\n");
	r = script("status");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "ipc-dispatchd: waiting for /ipc_dispatch (restarted 0 times)\n");
	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
	ASSERT_TRUE(wait_until([&] { return program_pid() > 0; }));
	int pid = program_pid();
	EXPECT_EQ(script("status").out, "ipc-dispatchd: running (pid " + std::to_string(pid) + ", restarted 0 times)\n");
	EXPECT_EQ(script("start").out, "ipc-dispatchd: already running (pid " + std::to_string(pid) + ")\n");
	EXPECT_EQ(log(), "ipc-supervise: waiting for /ipc_dispatch before starting ipc-dispatchd\n");

	// It serves, in the background, with its trace in the log.
	mqd_t sub = keep(open_queue(subscriber(1), O_RDONLY));
	auto serves = [&] {
		send(dispatch, kMotionStart);
		std::string got;
		return receive(sub, got) && got == "MOTION_START" && receive(dispatch, got) && got == kMotionStart;
	};
	EXPECT_TRUE(serves());
	EXPECT_NE(log().find("Sending MOTION_START to queue #1\n"), std::string::npos);

	// Restarted, and restarted after an upgrade put a new file in its
	// place: one service, the new one.
	for (bool upgrade : {false, true}) {
		if (upgrade) {
			std::string daemon = dir_ + "/ipc-dispatchd";
			std::filesystem::copy_file(daemon, daemon + ".new");
			std::filesystem::rename(daemon + ".new", daemon);
		}
		r = script("restart");
		EXPECT_EQ(r.status, 0) << r.err;
		int again = program_pid();
		EXPECT_EQ(r.out, "ipc-dispatchd: stopped\nipc-dispatchd: started (pid " + std::to_string(again) + ")\n");
		EXPECT_NE(again, pid);
		EXPECT_NE(kill(pid, 0), 0) << "the old service still runs";
		pid = again;
	}

	// What an older release left running: 0.5.0 and 0.6.0 the service
	// alone, its pid file naming it; 0.7.0 its supervisor, the pid file
	// naming that, which runs with the state file ("STATE PID RESTARTS")
	// beside it on its command line. Each in a session of its own, so that
	// init reaps it as it would on the device. An upgrade's restart leaves
	// one service, supervised.
	EXPECT_EQ(script("stop").status, 0);
	std::string command = shell_command("ipc-dispatchd");
	if (command != program("ipc-dispatchd"))
		defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS",
			 "EXE=$(readlink -f \"$(command -v " + command.substr(0, command.find(' ')) + ")\")\n");
	const std::string pidfile = dir_ + "/ipc-dispatchd.pid", statefile = dir_ + "/ipc-dispatchd.state";
	// 0.7.0's state file: "STATE PID RESTARTS".
	auto older_program = [&] {
		std::string state;
		int program = 0;
		std::ifstream(statefile) >> state >> program;
		return program;
	};
	const struct {
		const char *release;
		std::string runs;
		bool supervised;
	} older[] = {
		{"0.6.0", dir_ + "/ipc-dispatchd", false},
		{"0.7.0", dir_ + "/ipc-supervise --state " + statefile + " --stop-seconds 5 --queue /ipc_dispatch " + dir_ + "/ipc-dispatchd", true},
	};
	for (const auto &o : older) {
		SCOPED_TRACE(o.release);
		int old = std::stoi(sh({"-c", "setsid " + o.runs + " </dev/null >/dev/null 2>&1 & echo $! >" + pidfile + "; cat " + pidfile}).out);
		int old_program = old;
		if (o.supervised) {
			ASSERT_TRUE(wait_until([&] { return older_program() > 0; }));
			old_program = older_program();
		}
		const std::string said = o.supervised ? "ipc-dispatchd: running (pid " + std::to_string(old_program) + ", restarted 0 times)\n"
						      : "ipc-dispatchd: running (pid " + std::to_string(old) +
								", unsupervised: restart puts it under a supervisor)\n";
		EXPECT_TRUE(wait_until([&] { return script("status").out == said; })) << script("status").out;
		EXPECT_EQ(script("start").out, "ipc-dispatchd: already running (pid " + std::to_string(old_program) + ")\n");
		r = script("restart");
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_TRUE(wait_until([&] { return kill(old, 0) != 0 && kill(old_program, 0) != 0; })) << "the old service still runs";
		EXPECT_FALSE(std::filesystem::exists(statefile));
		EXPECT_TRUE(serves());
		EXPECT_EQ(script("stop").status, 0);
	}

	// A file left from before a power cut, its pid another program's now:
	// as an older release wrote it, and as this one does. Nothing is done
	// to the stranger.
	Process stranger = spawn({.args = {"sleep", "600"}, .wrap = false});
	const std::string left[] = {std::to_string(stranger.pid) + "\n",
				    std::to_string(stranger.pid) + " running " + std::to_string(stranger.pid) + " 0\n"};
	for (const std::string &file : left) {
		SCOPED_TRACE(file);
		std::ofstream(pidfile) << file;
		r = script("status");
		EXPECT_EQ(r.status, 3);
		EXPECT_EQ(r.out, "ipc-dispatchd: stopped\n");
		EXPECT_EQ(script("stop").out, "ipc-dispatchd: not running\n");
		std::ofstream(pidfile) << file;
		r = script("start");
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(program_pid(), stranger.pid);
		EXPECT_NE(pid_in_file(pidfile), stranger.pid);
		EXPECT_EQ(script("stop").status, 0);
		EXPECT_TRUE(alive(stranger)) << "the stranger was killed";
	}
	stop(stranger);

	// Its trace and its supervisor's lines in the system log, each tagged
	// ipc-dispatchd. Where syslogd is late, what comes before it is lost;
	// where it stalls (a socket that holds a few datagrams, unread), what it
	// cannot take: neither holds the service back.
	own_dev_log(false);
	defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS", "LOG=syslog\nSTOP_SECONDS=1\n");
	r = script("start");
	EXPECT_EQ(r.status, 0) << r.err;
	for (bool bound : {false, true}) {
		if (bound)
			bind_dev_log();
		for (int i = 0; i < 20; i++)
			EXPECT_TRUE(serves()) << bound;
	}
	EXPECT_TRUE(wait_until([&] { return dev_log().find("<13>ipc-dispatchd: Sending MOTION_START to queue #1\n") != std::string::npos; }))
		<< dev_log();
	pid = program_pid();
	kill(pid, SIGKILL);
	EXPECT_TRUE(wait_until([&] { return program_pid() != pid && program_pid() > 0; }));
	EXPECT_TRUE(wait_until([&] {
		return dev_log().find("<13>ipc-dispatchd: ipc-supervise: ipc-dispatchd (pid ") != std::string::npos;
	})) << dev_log();

	int supervisor = pid_in_file(dir_ + "/ipc-dispatchd.pid");
	pid = program_pid();
	r = script("stop");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "ipc-dispatchd: stopped\n");
	EXPECT_NE(kill(pid, 0), 0);
	EXPECT_NE(kill(supervisor, 0), 0);
	EXPECT_EQ(script("status").status, 3);
	EXPECT_EQ(script("stop").out, "ipc-dispatchd: not running\n");
	EXPECT_EQ(script("bogus").status, 2);
}

// The bridge's script: a broker that is down does not stop it starting; a
// bad option does, and leaves nothing running. Options are shell words,
// quotes and all, never globbed.
TEST_F(InitScript, MqttBridge)
{
	std::ofstream(dir_ + "/cam1");  // what "cam*" would glob to
	const struct {
		std::string options, log;
	} bad[] = {
		{"--port x", "ipc-mqtt: --port: 'x' is not a number from 1 to 65535"},
		{"--id \"cam *\"", "ipc-mqtt: --id: 'cam *' is not 1 to 64"},
		{"--id " + dir_ + "/cam*", "ipc-mqtt: --id: '" + dir_ + "/cam*' is not 1 to 64"},
		{"--cafile \"" + dir_ + "/our ca.crt\"", "Can't read --cafile " + dir_ + "/our ca.crt. Error: No such file"},
	};
	for (const auto &c : bad) {
		defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nMQTT_OPTIONS='" + c.options + "'\n");
		Ran r = script("start", "S60ipc-mqtt");
		EXPECT_EQ(r.status, 1) << c.options;
		EXPECT_EQ(r.err, "ipc-mqtt: failed to start (are its options right? see " + dir_ + "/ipc-mqtt.log)\n");
		EXPECT_NE(log("ipc-mqtt").find(c.log), std::string::npos) << log("ipc-mqtt");
		EXPECT_EQ(script("status", "S60ipc-mqtt").status, 3) << c.options;
	}

	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nMQTT_OPTIONS='--host 127.0.0.1 --port 1'\n");
	Ran r = script("start", "S60ipc-mqtt");
	EXPECT_EQ(r.status, 0) << r.err;
	int pid = program_pid("ipc-mqtt");
	EXPECT_EQ(r.out, "ipc-mqtt: started (pid " + std::to_string(pid) + ")\n");
	EXPECT_TRUE(queue_exists(subscriber(3)));
	EXPECT_EQ(script("status", "S60ipc-mqtt").out, "ipc-mqtt: running (pid " + std::to_string(pid) + ", restarted 0 times)\n");
	EXPECT_EQ(script("stop", "S60ipc-mqtt").out, "ipc-mqtt: stopped\n");
	EXPECT_NE(kill(pid, 0), 0);
	EXPECT_NE(log("ipc-mqtt").find("ipc-mqtt: can't connect to 127.0.0.1:1: Connection refused"), std::string::npos)
		<< log("ipc-mqtt");

	// Without a broker the bridge is not used: start starts nothing and
	// says why, status says so too.
	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nMQTT_OPTIONS=\n");
	const std::string unused = "ipc-mqtt: not used (no MQTT_OPTIONS in " + dir_ + "/ipc-mqtt.defaults)\n";
	for (const auto &[action, status] : {std::pair("start", 0), std::pair("restart", 0), std::pair("status", 3)}) {
		r = script(action, "S60ipc-mqtt");
		EXPECT_EQ(r.status, status) << action;
		EXPECT_EQ(r.out, action == std::string("restart") ? "ipc-mqtt: not running\n" + unused : unused) << action;
		EXPECT_EQ(pid_in_file(dir_ + "/ipc-mqtt.pid"), 0) << action;
	}

	// In the system log, each line has one tag, the supervisor's, and the
	// bridge leaves its name out.
	own_dev_log();
	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nLOG=syslog\nMQTT_OPTIONS='--host 127.0.0.1 --port 1'\n");
	r = script("start", "S60ipc-mqtt");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(wait_until([&] { return dev_log().find("Connection refused") != std::string::npos; }));
	EXPECT_EQ(script("stop", "S60ipc-mqtt").status, 0);
	// A usage error too.
	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nLOG=syslog\nMQTT_OPTIONS='--port x'\n");
	r = script("start", "S60ipc-mqtt");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "ipc-mqtt: failed to start (are its options right? see the system log)\n");
	const std::string syslog = "\n" + dev_log();
	EXPECT_NE(syslog.find("\n<13>ipc-mqtt: can't connect to 127.0.0.1:1: Connection refused; trying again in "), std::string::npos)
		<< syslog;
	EXPECT_NE(syslog.find("\n<13>ipc-mqtt: --port: 'x' is not a number from 1 to 65535 (see ipc-mqtt --help)\n"),
		  std::string::npos) << syslog;
	EXPECT_EQ(syslog.find("ipc-mqtt: ipc-mqtt:"), std::string::npos) << syslog;
}

// A program that keeps ending is started again later each time (1, 2, 4 s),
// its supervisor idle in between; one that ignores SIGTERM is killed
// after STOP_SECONDS, and its supervisor says so.
TEST_F(InitScript, CrashLoopBacksOffAndStopKillsWhatIgnoresTerm)
{
	std::string flaky = dir_ + "/flaky", runs = dir_ + "/runs";
	std::ofstream(flaky) << "#!/bin/sh\necho x >>" << runs << "\ncase $(wc -l <" << runs
			     << ") in 1) sleep 1.5; exit 1 ;; 2 | 3) exit 1 ;; esac\ntrap '' TERM\nwhile :; do sleep 0.1; done\n";
	chmod(flaky.c_str(), 0755);
	keep(create_queue("/ipc_dispatch"));
	defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS", "DAEMON=" + flaky + "\nSTOP_SECONDS=1\n");
	ASSERT_EQ(script("start").status, 0);
	int supervisor = pid_in_file(dir_ + "/ipc-dispatchd.pid");
	// The fourth run comes 1 + 2 + 4 s after the first ended, and not before.
	EXPECT_TRUE(wait_until([&] { return script("status").out.find(", restarted 3 times)") != std::string::npos; }, 15s));
	for (const char *delay : {"1 s (restart 1)\n", "2 s (restart 2)\n", "4 s (restart 3)\n"})
		EXPECT_TRUE(std::regex_search(log(), std::regex(" exited with status 1 after [0-9] s; starting it again in " +
								 std::regex_replace(delay, std::regex("[()]"), "\\$&"))))
			<< log();
	auto ran = [&] {
		std::string lines = text_of(runs);
		return std::count(lines.begin(), lines.end(), '\n');
	};
	EXPECT_TRUE(wait_until([&] { return ran() == 4; })) << ran();
	EXPECT_LT(cpu_ticks(supervisor), 20u) << "the supervisor's CPU time over its crash loop";
	int pid = program_pid();
	Ran r = script("stop");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(log().find("ipc-supervise: ipc-dispatchd (pid " + std::to_string(pid) + ") did not stop within 1 s; killed it\n"),
		  std::string::npos)
		<< log();
	EXPECT_NE(kill(pid, 0), 0);
	EXPECT_NE(kill(supervisor, 0), 0);
	EXPECT_EQ(ran(), 4);
}

// A camera whose root is read-only (squashfs), with a card the only place
// it writes: the release unpacked, a broker, in mount and network
// namespaces of the test's own: the card, the release and a card mounted
// noexec on RAM, a /run of its own, and the root read-only; all undone, and
// what rc started stopped, however the test ends.
class InitScriptOnACard : public InitScript {
protected:
	void SetUp() override
	{
		InitScript::SetUp();
		bin_ = dir_ + "/built", release_ = dir_ + "/release", card_ = dir_ + "/card", ipc_ = card_ + "/ipc";
		mounts_ = {card_, release_, dir_ + "/noexec", "/run"};
		// Under an emulator the release's programs are launchers.
		std::filesystem::create_directories(bin_);
		for (const char *name : {"ipc-dispatchd", "ipc-notify", "ipc-listen", "ipc-supervise", "ipc-mqtt"})
			launcher(name, bin_ + "/" + name);
		own_network();
		start_broker(dir_);
		ASSERT_EQ(unshare(CLONE_NEWNS), 0);
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
		for (const std::string &d : mounts_) {
			std::filesystem::create_directories(d);
			ASSERT_EQ(mount("tmpfs", d.c_str(), "tmpfs", d.ends_with("noexec") ? MS_NOEXEC : 0, nullptr), 0) << d;
		}
		ASSERT_EQ(sh({IPC_SOURCE_DIR "/scripts/stage", release_, bin_}).status, 0);
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0) << strerror(errno);
	}
	void TearDown() override
	{
		sh({ipc_ + "/rc", "stop"});
		mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND, nullptr);
		for (const std::string &d : mounts_)
			umount2(d.c_str(), MNT_DETACH);
		InitScript::TearDown();
	}
	Ran install(const std::vector<std::string> &args = {"--prefix", "IPC"})
	{
		std::vector<std::string> words = {release_ + "/install"};
		for (const std::string &a : args)
			words.push_back(a == "IPC" ? ipc_ : a);
		return sh(words);
	}
	// What is on the card, and when each was last written.
	std::map<std::string, long> on_card()
	{
		std::map<std::string, long> files;
		for (const auto &f : std::filesystem::recursive_directory_iterator(card_)) {
			struct stat st = {};
			stat(f.path().c_str(), &st);
			files[f.path().string().substr(ipc_.size())] = st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec;
		}
		return files;
	}
	// What rc status says: its exit status, and how many run.
	std::pair<int, long> running()
	{
		Ran st = sh({ipc_ + (std::filesystem::exists(ipc_ + "/rc") ? "/rc" : "/rc.new"), "status"});
		return std::pair(st.status, std::count(st.out.begin(), st.out.end(), '('));
	}
	static int pid_of(const std::string &name) { return program_pid("/run/" + name + ".pid"); }
	// What Home Assistant shows, from what the broker keeps: the bridge,
	// and the detection entities, which need the dispatcher too.
	std::string shown()
	{
		std::string kept = retained("ipc-dispatchd/cam/+");
		bool bridge = kept.find("/status online\n") != std::string::npos;
		return std::string(bridge ? "online" : "offline") + ", detection " +
		       (bridge && kept.find("/dispatcher online\n") != std::string::npos ? "available" : "unavailable");
	}
	// A notification into the queue there is now reaches the broker: the
	// motion sensor goes the other way.
	bool reaches_broker()
	{
		motion_ = !motion_;
		send(dispatch_, motion_ ? kMotionStart : kMotionStop);
		std::string want = std::string("ipc-dispatchd/cam/motion ") + (motion_ ? "ON" : "OFF") + "\n";
		bool got = wait_until([&] { return retained("ipc-dispatchd/cam/motion") == want; }, 15s);
		// The put-back, taken out as the camera's own reader would.
		for (auto quiet = Clock::now(); Clock::now() - quiet < 300ms;)
			if (!receive_all(dispatch_).empty())
				quiet = Clock::now();
		return got;
	}
	// Every process of the release: what runs from the card.
	std::vector<int> of_release()
	{
		std::vector<int> pids;
		for (const auto &e : std::filesystem::directory_iterator("/proc")) {
			std::ifstream cmdline(e.path() / "cmdline");
			std::string words(std::istreambuf_iterator<char>(cmdline), {});
			if (words.find(ipc_ + "/") != std::string::npos && std::isdigit(e.path().filename().string()[0]))
				pids.push_back(std::stoi(e.path().filename()));
		}
		return pids;
	}
	std::string bin_, release_, card_, ipc_;
	std::vector<std::string> mounts_;
	mqd_t dispatch_ = -1;
	bool motion_ = false;
};

// The release installed into a folder on the card and started by the
// camera's start-up hook through DIR/rc, pid files in RAM, settings kept by
// an upgrade; what a power cut in the middle of one leaves, rc finishes
// before it starts anything; a root install says what to do instead, and so
// does a card mounted noexec. Then the field, with a real broker and what
// Home Assistant shows of it: each program killed, the producer's queue
// created anew, removed and brought back; idle with nothing to detect; rc
// stop, the card never written after the start; rc remove. One scenario a
// row, each on what the rows before it left.
TEST_F(InitScriptOnACard, InstallIntoAFolderOnAReadOnlyRoot)
{
	const auto both = std::pair(0, 2L);
	Ran r;
	std::string hook, mine;
	std::map<std::string, long> card_then;
	int service = 0, bridge = 0;
	// Each upgrade leaves both running again, under new pids.
	auto restarted_both = [&] {
		EXPECT_EQ(running(), both);
		EXPECT_NE(pid_of("ipc-dispatchd"), service);
		EXPECT_NE(pid_of("ipc-mqtt"), bridge);
	};
	auto upgraded = [&] {
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.out.find("kept " + ipc_ + "/etc/ipc-mqtt\n"), std::string::npos) << r.out;
		restarted_both();
	};
	auto before = [&] {
		service = pid_of("ipc-dispatchd");
		bridge = pid_of("ipc-mqtt");
	};
	auto refused = [&](const std::string &err) {
		EXPECT_EQ(r.status, 1) << r.out;
		EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	};
	auto since = Clock::now();
	auto seconds = [&] {
		auto s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since).count();
		since = Clock::now();
		return s;
	};
	// The field: what happens to the camera, the program that then runs
	// again under a new pid (or none), what Home Assistant shows within
	// how long, and what the service's supervisor says.
	auto field = [&](const char *restarted, const std::string &shows, Clock::duration within, const std::string &said) {
		if (restarted != nullptr) {
			int old = restarted == std::string("ipc-mqtt") ? bridge : service;
			EXPECT_TRUE(wait_until([&] { return pid_of(restarted) != old && pid_of(restarted) > 0; }, within));
		}
		EXPECT_TRUE(wait_until([&] { return shown() == shows; }, within)) << shown();
		EXPECT_NE(text_of("/run/ipc-dispatchd.log").find(said), std::string::npos) << text_of("/run/ipc-dispatchd.log");
		EXPECT_EQ(running().first, restarted == nullptr ? 1 : 0) << "rc status: 1 while the service waits";
		std::cout << shows << " after " << seconds() << " s\n";
		if (restarted != nullptr) {
			EXPECT_TRUE(reaches_broker());
		}
		if (restarted == nullptr || strcmp(restarted, "ipc-mqtt") != 0) {
			EXPECT_EQ(pid_of("ipc-mqtt"), bridge) << "the bridge ran again";
		}
	};
	auto ticks = [&] {
		unsigned long n = 0;
		for (int pid : of_release())
			n += cpu_ticks(pid);
		return n;
	};

	const struct {
		const char *what;
		std::function<void()> act, check;
	} scenarios[] = {
		{"a root install", [&] { r = install({}); },
		 [&] { refused("cannot be written (a read-only root?); nothing was changed. Install into a folder on the card instead: ./install --prefix DIR\n"); }},
		{"a card mounted noexec", [&] { r = install({"--prefix", dir_ + "/noexec/ipc"}); },
		 [&] { refused(dir_ + "/noexec is mounted noexec: no program runs from " + dir_ + "/noexec/ipc; remount it"); }},
		{"the first install", [&] { r = install(); },
		 [&] {
			 ASSERT_EQ(r.status, 0) << r.err;
			 hook = r.out.substr(r.out.rfind("for rc in"));
			 hook.pop_back();  // its newline
			 std::set<std::string> files;
			 for (const auto &[f, written] : on_card())
				 files.insert(f);
			 EXPECT_EQ(files, (std::set<std::string>{"", "/bin", "/bin/ipc-dispatchd", "/bin/ipc-notify", "/bin/ipc-listen",
								  "/bin/ipc-supervise", "/bin/ipc-mqtt", "/etc", "/etc/ipc-dispatchd", "/etc/ipc-mqtt",
								  "/init.d", "/init.d/S50ipc-dispatchd", "/init.d/S60ipc-mqtt", "/init.d/ipc-place",
								  "/rc"}));
			 // The settings as written name the card's own paths, never the
			 // root's, which is not where this install is: each path is in
			 // the folder, or a queue, or /dev/null.
			 for (const char *settings : {"/etc/ipc-mqtt", "/etc/ipc-dispatchd"}) {
				 const std::string text = text_of(ipc_ + settings);
				 const std::regex path("(^|[ \"=])(/[^ \":;,)]*)");
				 int paths = 0;
				 for (auto m = std::sregex_iterator(text.begin(), text.end(), path); m != std::sregex_iterator(); ++m, ++paths)
					 EXPECT_TRUE((*m)[2].str().starts_with(ipc_ + "/") || (*m)[2].str().starts_with("/ipc_dispatch") ||
						     (*m)[2] == "/dev/null")
						 << settings << " names " << (*m)[2];
				 EXPECT_GE(paths, 2) << text;
			 }
			 EXPECT_NE(text_of(ipc_ + "/etc/ipc-mqtt").find("sh " + ipc_ + "/rc remove"), std::string::npos);
			 EXPECT_NE(install({"--help"}).out.find("sh DIR/rc remove"), std::string::npos);
		 }},
		// The owner's settings: a broker, and this camera's name; the
		// service's log in RAM.
		{"started by rc",
		 [&] {
			 std::ofstream(ipc_ + "/etc/ipc-mqtt", std::ios::app) << "QUEUE=3\nMQTT_OPTIONS='--host 127.0.0.1 --id cam'\n";
			 std::ofstream(ipc_ + "/etc/ipc-dispatchd", std::ios::app) << "LOG=/run/ipc-dispatchd.log\n";
			 mine = text_of(ipc_ + "/etc/ipc-mqtt");
			 dispatch_ = keep(create_queue("/ipc_dispatch"));
			 ASSERT_EQ(sh({ipc_ + "/rc", "start"}).status, 0);
		 },
		 [&] { EXPECT_EQ(running(), both); }},
		{"an upgrade to a newer release",
		 [&] {
			 before();
			 for (const char *f : {"/bin/ipc-dispatchd", "/bin/ipc-mqtt", "/etc/init.d/S60ipc-mqtt", "/rc"})
				 std::ofstream(release_ + f, std::ios::app) << "\n";
			 r = install();
		 },
		 upgraded},
		// Each way a power cut may leave a file: the new copy alone, which
		// rc finishes, or half of it beside the old, which it leaves to the
		// next install; a pid file in RAM that names another process.
		{"an upgrade cut short, then the hook",
		 [&] {
			 before();
			 sh({ipc_ + "/rc", "stop"});
			 for (const char *f : {"/bin/ipc-mqtt", "/init.d/S50ipc-dispatchd", "/rc"})
				 std::filesystem::rename(ipc_ + f, ipc_ + f + ".new");
			 for (const char *f : {"/bin/ipc-dispatchd", "/init.d/ipc-place"})
				 std::filesystem::copy_file(release_ + "/README.md", ipc_ + f + ".new");
			 std::ofstream("/run/ipc-dispatchd.pid") << getpid() << "\n";
			 sh({"-c", hook + "; wait"});  // the hook, and what it started in the background
		 },
		 [&] {
			 restarted_both();
			 for (const char *f : {"/bin/ipc-mqtt", "/init.d/S50ipc-dispatchd", "/rc"})
				 EXPECT_TRUE(std::filesystem::exists(ipc_ + f) && !std::filesystem::exists(ipc_ + f + ".new")) << f;
			 // The bridge runs under its own name: its supervisor was given it.
			 std::ifstream cmdline("/proc/" + std::to_string(pid_in_file("/run/ipc-mqtt.pid")) + "/cmdline");
			 std::string words(std::istreambuf_iterator<char>(cmdline), {});
			 EXPECT_NE(words.find(ipc_ + "/bin/ipc-mqtt\0"s), std::string::npos) << words;
		 }},
		{"the same release again, over what the cut left",
		 [&] {
			 before();
			 r = install();
		 },
		 [&] {
			 upgraded();
			 EXPECT_EQ(text_of(ipc_ + "/etc/ipc-mqtt"), mine);
			 for (const auto &f : std::filesystem::recursive_directory_iterator(card_))
				 EXPECT_FALSE(f.path().string().ends_with(".new") || f.path().string().ends_with(".part")) << f.path();
		 }},
		{"online", [] {},
		 [&] {
			 ASSERT_TRUE(wait_until([&] { return shown() == "online, detection available"; }, 15s)) << shown();
			 EXPECT_TRUE(reaches_broker());
			 card_then = on_card();
		 }},
		{"the service killed",
		 [&] {
			 before();
			 kill(pid_of("ipc-dispatchd"), SIGKILL);
			 seconds();
		 },
		 [&] { field("ipc-dispatchd", "online, detection available", 5s, " was killed by signal 9 (SIGKILL) after "); }},
		{"the bridge killed",
		 [&] {
			 before();
			 kill(pid_of("ipc-mqtt"), SIGKILL);
			 seconds();
		 },
		 [&] { field("ipc-mqtt", "online, detection available", 15s, ""); }},
		{"the queue created anew",
		 [&] {
			 before();
			 mq_unlink("/ipc_dispatch");
			 dispatch_ = keep(create_queue("/ipc_dispatch"));
			 seconds();
		 },
		 [&] { field("ipc-dispatchd", "online, detection available", 15s, " held a removed /ipc_dispatch; starting it again (restart 2)\n"); }},
		{"the producer gone with its queue",
		 [&] {
			 before();
			 mq_unlink("/ipc_dispatch");
			 seconds();
		 },
		 [&] { field(nullptr, "online, detection unavailable", 60s, ": waiting for /ipc_dispatch before starting ipc-dispatchd\n"); }},
		{"the queue back",
		 [&] {
			 before();
			 dispatch_ = keep(create_queue("/ipc_dispatch"));
			 seconds();
		 },
		 [&] { field("ipc-dispatchd", "online, detection available", 15s, ""); }},
		// With nothing to detect, what runs stays idle: under a tenth of a core.
		{"idle",
		 [&] {
			 mq_unlink("/ipc_dispatch");
			 ASSERT_TRUE(wait_until([&] { return shown() == "online, detection unavailable"; }, 60s));
		 },
		 [&] {
			 unsigned long was = ticks();
			 std::this_thread::sleep_for(3s);
			 EXPECT_LT(ticks() - was, (unsigned long)sysconf(_SC_CLK_TCK) * 3 / 10);
		 }},
		{"rc stop", [&] { EXPECT_EQ(on_card(), card_then) << "the card was written after the start"; },
		 [&] {
			 EXPECT_EQ(sh({ipc_ + "/rc", "stop"}).status, 0);
			 EXPECT_TRUE(wait_until([&] { return of_release().empty(); }, 10s));
			 std::this_thread::sleep_for(2s);
			 EXPECT_TRUE(of_release().empty()) << "something started again";
			 EXPECT_EQ(running(), std::pair(3, 0L));
			 EXPECT_EQ(shown(), "offline, detection unavailable");
		 }},
		// The camera retired: nothing of it left on the broker, and Home
		// Assistant removes the device.
		{"rc remove", [&] { r = sh({ipc_ + "/rc", "remove"}); },
		 [&] {
			 EXPECT_EQ(r.status, 0) << r.err;
			 EXPECT_EQ(r.out, "ipc-mqtt: not running\n") << r.err;
			 EXPECT_EQ(retained("ipc-dispatchd/cam/#") + retained("homeassistant/device/cam/config"), "");
		 }},
	};
	for (const auto &c : scenarios) {
		SCOPED_TRACE(c.what);
		c.act();
		c.check();
		if (HasFatalFailure())
			return;
	}
}

} // namespace
