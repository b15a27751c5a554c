// The example init script, run by busybox's shell as the device's init would.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

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
		QueueTest::TearDown();
	}
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
	// The program's pid, as its supervisor keeps it ("STATE PID
	// RESTARTS"); 0 while none runs.
	static int program_pid(const std::string &state_file)
	{
		std::string state;
		int pid = 0;
		std::ifstream(state_file) >> state >> pid;
		return pid;
	}
	int program_pid(const char *name = "ipc-dispatchd")
	{
		return program_pid(dir_ + "/" + name + ".state");
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

	// What an older release left: the service alone, its pid file naming
	// it. An upgrade's restart leaves one service, supervised.
	EXPECT_EQ(script("stop").status, 0);
	std::string command = shell_command("ipc-dispatchd");
	if (command != program("ipc-dispatchd"))
		defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS",
			 "EXE=$(readlink -f \"$(command -v " + command.substr(0, command.find(' ')) + ")\")\n");
	// In a session of its own, so that init reaps it as it would on the
	// device, and the pid file as an older release wrote it.
	int old = std::stoi(sh({"-c", "setsid " + dir_ + "/ipc-dispatchd </dev/null >/dev/null 2>&1 & echo $! >" + dir_ +
					    "/ipc-dispatchd.pid; cat " + dir_ + "/ipc-dispatchd.pid"})
				    .out);
	const std::string unsupervised =
		"ipc-dispatchd: running (pid " + std::to_string(old) + ", unsupervised: restart puts it under a supervisor)\n";
	EXPECT_TRUE(wait_until([&] { return script("status").out == unsupervised; })) << script("status").out;
	r = script("restart");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(wait_until([&] { return kill(old, 0) != 0; })) << "the old service still runs";
	pid = program_pid();
	EXPECT_TRUE(serves());

	int supervisor = pid_in_file(dir_ + "/ipc-dispatchd.pid");
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

	// In the system log, each line has one tag, logger's (a stand-in
	// logger here, first on PATH, that writes what it is given).
	std::ofstream(dir_ + "/logger") << "#!/bin/sh\nwhile read -r line; do echo \"$2: $line\"; done >>" << dir_ << "/syslog\n";
	chmod((dir_ + "/logger").c_str(), 0755);
	std::string path = getenv("PATH");
	setenv("PATH", (dir_ + ":" + path).c_str(), 1);
	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nLOG=syslog\nMQTT_OPTIONS='--host 127.0.0.1 --port 1'\n");
	r = script("start", "S60ipc-mqtt");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(wait_until([&] { return text_of(dir_ + "/syslog").find("Connection refused") != std::string::npos; }));
	EXPECT_EQ(script("stop", "S60ipc-mqtt").status, 0);
	// A usage error too.
	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nLOG=syslog\nMQTT_OPTIONS='--port x'\n");
	EXPECT_EQ(script("start", "S60ipc-mqtt").status, 1);
	setenv("PATH", path.c_str(), 1);
	const std::string syslog = text_of(dir_ + "/syslog");
	EXPECT_NE(syslog.find("\nipc-mqtt: can't connect to 127.0.0.1:1: Connection refused; trying again in "), std::string::npos)
		<< syslog;
	EXPECT_NE(syslog.find("\nipc-mqtt: --port: 'x' is not a number from 1 to 65535 (see ipc-mqtt --help)\n"),
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
	EXPECT_NE(log().find("ipc-supervise: flaky (pid " + std::to_string(pid) + ") did not stop within 1 s; killed it\n"),
		  std::string::npos)
		<< log();
	EXPECT_NE(kill(pid, 0), 0);
	EXPECT_NE(kill(supervisor, 0), 0);
	EXPECT_EQ(ran(), 4);
}

// A camera whose root is read-only (squashfs), with a card the only place
// it writes: the release installed into a folder on the card and started
// by the camera's start-up hook through DIR/rc, pid files in RAM, settings
// kept by an upgrade; what a power cut in the middle of one leaves, rc
// finishes before it starts anything; a root install says what to do
// instead, and so does a card mounted noexec. Then the field, with a real
// broker and what Home Assistant shows of it: each program killed, the
// producer's queue created anew, removed and brought back, and rc stop;
// the card never written after the start.
TEST_F(InitScript, InstallIntoAFolderOnAReadOnlyRoot)
{
	// The release as it is unpacked; under an emulator its programs are
	// launchers.
	const std::string bin = dir_ + "/built", release = dir_ + "/release", card = dir_ + "/card", ipc = card + "/ipc";
	std::filesystem::create_directories(bin);
	for (const char *name : {"ipc-dispatchd", "ipc-notify", "ipc-listen", "ipc-supervise", "ipc-mqtt"})
		launcher(name, bin + "/" + name);
	// In mount and network namespaces of its own: the card, the release and
	// a card mounted noexec on RAM, a /run of its own, a broker, and the
	// root read-only; all undone, and what rc started stopped, however the
	// test ends.
	const std::vector<std::string> mounts = {card, release, dir_ + "/noexec", "/run"};
	own_network();
	start_broker(dir_);
	ASSERT_EQ(unshare(CLONE_NEWNS), 0);
	ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
	struct undo {
		std::function<void()> f;
		~undo() { f(); }
	} undo = {[&] {
		sh({ipc + "/rc", "stop"});
		mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND, nullptr);
		for (const std::string &d : mounts)
			umount2(d.c_str(), MNT_DETACH);
	}};
	for (const std::string &d : mounts) {
		std::filesystem::create_directories(d);
		ASSERT_EQ(mount("tmpfs", d.c_str(), "tmpfs", d.ends_with("noexec") ? MS_NOEXEC : 0, nullptr), 0) << d;
	}
	ASSERT_EQ(sh({IPC_SOURCE_DIR "/scripts/stage", release, bin}).status, 0);
	ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0) << strerror(errno);

	const struct {
		std::string where, err;
	} refused[] = {
		{"", "cannot be written (a read-only root?); nothing was changed. Install into a folder on the card instead: ./install --prefix DIR\n"},
		{dir_ + "/noexec/ipc", dir_ + "/noexec is mounted noexec: no program runs from " + dir_ + "/noexec/ipc; remount it"},
	};
	for (const auto &c : refused) {
		Ran r = c.where.empty() ? sh({release + "/install"}) : sh({release + "/install", "--prefix", c.where});
		EXPECT_EQ(r.status, 1) << r.out;
		EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	}

	Ran r = sh({release + "/install", "--prefix", ipc});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string hook = r.out.substr(r.out.rfind("for rc in"));
	hook.pop_back();  // its newline
	// What is on the card, and when each was last written.
	auto on_card = [&] {
		std::map<std::string, long> files;
		for (const auto &f : std::filesystem::recursive_directory_iterator(card)) {
			struct stat st = {};
			stat(f.path().c_str(), &st);
			files[f.path().string().substr(ipc.size())] = st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec;
		}
		return files;
	};
	std::set<std::string> files;
	for (const auto &[f, written] : on_card())
		files.insert(f);
	EXPECT_EQ(files, (std::set<std::string>{"", "/bin", "/bin/ipc-dispatchd", "/bin/ipc-notify", "/bin/ipc-listen", "/bin/ipc-supervise",
						 "/bin/ipc-mqtt", "/etc", "/etc/ipc-dispatchd", "/etc/ipc-mqtt", "/init.d",
						 "/init.d/S50ipc-dispatchd", "/init.d/S60ipc-mqtt", "/init.d/ipc-functions", "/rc"}));
	// The settings as written name the card's own paths, never the root's,
	// which is not where this install is: each path is in the folder, or
	// a queue, or /dev/null.
	for (const char *settings : {"/etc/ipc-mqtt", "/etc/ipc-dispatchd"}) {
		const std::string text = text_of(ipc + settings);
		const std::regex path("(^|[ \"=])(/[^ \":;,)]*)");
		int paths = 0;
		for (auto m = std::sregex_iterator(text.begin(), text.end(), path); m != std::sregex_iterator(); ++m, ++paths)
			EXPECT_TRUE((*m)[2].str().starts_with(ipc + "/") || (*m)[2].str().starts_with("/ipc_dispatch") || (*m)[2] == "/dev/null")
				<< settings << " names " << (*m)[2];
		EXPECT_GE(paths, 2) << text;
	}
	EXPECT_NE(sh({release + "/install", "--help"}).out.find(". DIR/etc/ipc-mqtt && eval \"DIR/bin/ipc-mqtt --remove"),
		  std::string::npos);
	// The owner's settings: a broker, and this camera's name; the service's
	// log in RAM.
	std::ofstream(ipc + "/etc/ipc-mqtt", std::ios::app) << "QUEUE=3\nMQTT_OPTIONS='--host 127.0.0.1 --id cam'\n";
	std::ofstream(ipc + "/etc/ipc-dispatchd", std::ios::app) << "LOG=/run/ipc-dispatchd.log\n";
	const std::string mine = text_of(ipc + "/etc/ipc-mqtt");
	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));

	// What rc status says: its exit status, and how many run.
	auto running = [&] {
		Ran st = sh({ipc + (std::filesystem::exists(ipc + "/rc") ? "/rc" : "/rc.new"), "status"});
		return std::pair(st.status, std::count(st.out.begin(), st.out.end(), '('));
	};
	const auto both = std::pair(0, 2L);
	auto pid_of = [](const std::string &name) { return program_pid("/run/" + name + ".state"); };
	ASSERT_EQ(sh({ipc + "/rc", "start"}).status, 0);
	EXPECT_EQ(running(), both);
	// An upgrade: the settings kept, both restarted; then each way a power
	// cut may leave a file (the new copy alone, or half of it beside the
	// old), which rc finishes or leaves to the next install; a pid file in
	// RAM that names another process.
	for (int round = 0; round < 3; round++) {
		int service = pid_of("ipc-dispatchd"), bridge = pid_of("ipc-mqtt");
		if (round == 1) {
			sh({ipc + "/rc", "stop"});
			for (const char *f : {"/bin/ipc-mqtt", "/init.d/S50ipc-dispatchd", "/rc"})
				std::filesystem::rename(ipc + f, ipc + f + ".new");
			for (const char *f : {"/bin/ipc-dispatchd", "/init.d/ipc-functions"})
				std::filesystem::copy_file(release + "/README.md", ipc + f + ".new");
			std::ofstream("/run/ipc-dispatchd.pid") << getpid() << "\n";
			sh({"-c", hook + "; wait"});  // the hook, and what it started in the background
			EXPECT_EQ(running(), both);
			for (const char *f : {"/bin/ipc-mqtt", "/init.d/S50ipc-dispatchd", "/rc"})
				EXPECT_TRUE(std::filesystem::exists(ipc + f) && !std::filesystem::exists(ipc + f + ".new")) << f;
			// The bridge runs under its own name: its supervisor was given it.
			std::ifstream cmdline("/proc/" + std::to_string(pid_in_file("/run/ipc-mqtt.pid")) + "/cmdline");
			std::string words(std::istreambuf_iterator<char>(cmdline), {});
			EXPECT_NE(words.find(ipc + "/bin/ipc-mqtt\0"s), std::string::npos) << words;
			continue;
		}
		if (round == 0)  // a newer release
			for (const char *f : {"/bin/ipc-dispatchd", "/bin/ipc-mqtt", "/etc/init.d/S60ipc-mqtt", "/rc"})
				std::ofstream(release + f, std::ios::app) << "\n";
		r = sh({release + "/install", "--prefix", ipc});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.out.find("kept " + ipc + "/etc/ipc-mqtt\n"), std::string::npos) << r.out;
		EXPECT_EQ(running(), both);
		EXPECT_NE(pid_of("ipc-dispatchd"), service);
		EXPECT_NE(pid_of("ipc-mqtt"), bridge);
	}
	EXPECT_EQ(text_of(ipc + "/etc/ipc-mqtt"), mine);
	for (const auto &f : std::filesystem::recursive_directory_iterator(card))
		EXPECT_FALSE(f.path().string().ends_with(".new")) << f.path();

	// What Home Assistant shows, from what the broker keeps: the bridge,
	// and the detection entities, which need the dispatcher too.
	auto shown = [&] {
		std::string kept = retained("ipc-dispatchd/cam/+");
		bool bridge = kept.find("/status online\n") != std::string::npos;
		return std::string(bridge ? "online" : "offline") + ", detection " +
		       (bridge && kept.find("/dispatcher online\n") != std::string::npos ? "available" : "unavailable");
	};
	// A notification into the queue there is now reaches the broker: the
	// motion sensor goes the other way.
	bool motion = false;
	auto reaches_broker = [&] {
		motion = !motion;
		send(dispatch, motion ? kMotionStart : kMotionStop);
		std::string want = std::string("ipc-dispatchd/cam/motion ") + (motion ? "ON" : "OFF") + "\n";
		bool got = wait_until([&] { return retained("ipc-dispatchd/cam/motion") == want; }, 15s);
		// The put-back, taken out as the camera's own reader would.
		for (auto quiet = Clock::now(); Clock::now() - quiet < 300ms;)
			if (!receive_all(dispatch).empty())
				quiet = Clock::now();
		return got;
	};
	// Every process of the release: what runs from the card.
	auto of_release = [&] {
		std::vector<int> pids;
		for (const auto &e : std::filesystem::directory_iterator("/proc")) {
			std::ifstream cmdline(e.path() / "cmdline");
			std::string words(std::istreambuf_iterator<char>(cmdline), {});
			if (words.find(ipc + "/") != std::string::npos && std::isdigit(e.path().filename().string()[0]))
				pids.push_back(std::stoi(e.path().filename()));
		}
		return pids;
	};
	auto since = Clock::now();
	auto seconds = [&] {
		auto s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since).count();
		since = Clock::now();
		return s;
	};
	ASSERT_TRUE(wait_until([&] { return shown() == "online, detection available"; }, 15s)) << shown();
	EXPECT_TRUE(reaches_broker());
	const auto card_then = on_card();

	const struct {
		const char *what;
		std::function<void()> act;
		const char *restarted;  // the program that runs again, under a new pid
		std::string shows;
		Clock::duration within;
		std::string said;  // by the service's supervisor
	} field[] = {
		{"the service killed", [&] { kill(pid_of("ipc-dispatchd"), SIGKILL); }, "ipc-dispatchd", "online, detection available", 5s,
		 " was killed by signal 9 (SIGKILL) after "},
		{"the bridge killed", [&] { kill(pid_of("ipc-mqtt"), SIGKILL); }, "ipc-mqtt", "online, detection available", 15s, ""},
		{"the queue created anew",
		 [&] {
			 mq_unlink("/ipc_dispatch");
			 dispatch = keep(create_queue("/ipc_dispatch"));
		 },
		 "ipc-dispatchd", "online, detection available", 15s, " held a removed /ipc_dispatch; starting it again (restart 2)\n"},
		{"the producer gone with its queue", [&] { mq_unlink("/ipc_dispatch"); }, nullptr, "online, detection unavailable", 60s,
		 ": waiting for /ipc_dispatch before starting ipc-dispatchd\n"},
		{"the queue back", [&] { dispatch = keep(create_queue("/ipc_dispatch")); }, "ipc-dispatchd", "online, detection available", 15s, ""},
	};
	for (const auto &c : field) {
		SCOPED_TRACE(c.what);
		int bridge = pid_of("ipc-mqtt"), old = c.restarted != nullptr ? pid_of(c.restarted) : 0;
		c.act();
		seconds();
		if (c.restarted != nullptr) {
			EXPECT_TRUE(wait_until([&] { return pid_of(c.restarted) != old && pid_of(c.restarted) > 0; }, c.within));
		}
		EXPECT_TRUE(wait_until([&] { return shown() == c.shows; }, c.within)) << shown();
		EXPECT_NE(text_of("/run/ipc-dispatchd.log").find(c.said), std::string::npos) << text_of("/run/ipc-dispatchd.log");
		EXPECT_EQ(running().first, c.restarted == nullptr ? 1 : 0) << "rc status: 1 while the service waits";
		std::cout << c.what << ": " << c.shows << " after " << seconds() << " s\n";
		if (c.restarted != nullptr) {
			EXPECT_TRUE(reaches_broker());
		}
		if (c.restarted == nullptr || strcmp(c.restarted, "ipc-mqtt") != 0) {
			EXPECT_EQ(pid_of("ipc-mqtt"), bridge) << "the bridge ran again";
		}
	}
	// With nothing to detect, what runs stays idle: under a tenth of a core.
	mq_unlink("/ipc_dispatch");
	ASSERT_TRUE(wait_until([&] { return shown() == "online, detection unavailable"; }, 60s));
	auto ticks = [&] {
		unsigned long n = 0;
		for (int pid : of_release())
			n += cpu_ticks(pid);
		return n;
	};
	unsigned long before = ticks();
	std::this_thread::sleep_for(3s);
	EXPECT_LT(ticks() - before, (unsigned long)sysconf(_SC_CLK_TCK) * 3 / 10);

	EXPECT_EQ(on_card(), card_then) << "the card was written after the start";
	EXPECT_EQ(sh({ipc + "/rc", "stop"}).status, 0);
	EXPECT_TRUE(wait_until([&] { return of_release().empty(); }, 10s));
	std::this_thread::sleep_for(2s);
	EXPECT_TRUE(of_release().empty()) << "something started again";
	EXPECT_EQ(running(), std::pair(3, 0L));
	EXPECT_EQ(shown(), "offline, detection unavailable");
}

} // namespace
