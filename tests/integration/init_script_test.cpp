// The example init script, run by busybox's shell as the device's init would.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "harness.h"
#include "notifications.h"

using namespace harness;

namespace {

class InitScript : public QueueTest {
protected:
	void SetUp() override
	{
		QueueTest::SetUp();
		dir_ = temp_dir();
		// The machine's /dev/mqueue shows another IPC namespace's queues.
		defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS", "MQUEUE_DIR=" + dir_ + "\n");
	}
	// Puts program name at path, as the scripts start it: a copy, or
	// under an emulator a small launcher; returns the setting that makes
	// the pid's check look for what really runs.
	static std::string launcher(const std::string &name, const std::string &path)
	{
		std::string command = shell_command(name);
		if (command == program(name)) {
			std::filesystem::copy_file(command, path, std::filesystem::copy_options::overwrite_existing);
			return "";
		}
		std::ofstream(path) << "#!/bin/sh\nexec " << command << " \"$@\"\n";
		chmod(path.c_str(), 0755);
		return "EXE=$(readlink -f \"$(command -v " + command.substr(0, command.find(' ')) + ")\")\n";
	}
	// Settings for the script of program: its own copy (which a test may
	// replace as an upgrade does), its pid file and log in the test's
	// directory, and more.
	void defaults(const std::string &name, const char *variable, const std::string &more)
	{
		std::string daemon = dir_ + "/" + name, exe = launcher(name, daemon);
		std::string file = dir_ + "/" + name + ".defaults";
		std::ofstream(file) << "DAEMON=" << daemon << "\nPIDFILE=" << dir_ << "/" << name << ".pid\nLOG=" << dir_
				    << "/" << name << ".log\n" << exe << more;
		setenv(variable, file.c_str(), 1);
	}
	void TearDown() override
	{
		for (const char *name : {"ipc-dispatchd", "ipc-mqtt"})
			if (int pid = pid_in_file(name); pid > 0)
				kill(pid, SIGKILL);
		unsetenv("IPC_DISPATCHD_DEFAULTS");
		unsetenv("IPC_MQTT_DEFAULTS");
		QueueTest::TearDown();
	}
	Ran script(const std::string &action, const std::string &name = "S50ipc-dispatchd")
	{
		return sh({IPC_SOURCE_DIR "/scripts/init.d/" + name, action});
	}
	int pid_in_file(const std::string &name = "ipc-dispatchd")
	{
		int pid = 0;
		std::ifstream(dir_ + "/" + name + ".pid") >> pid;
		return pid;
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

TEST_F(InitScript, StartStatusRestartStop)
{
	Ran r = script("status");
	EXPECT_EQ(r.status, 3);
	EXPECT_EQ(r.out, "ipc-dispatchd: stopped\n");

	// Without the producer's queue the service cannot run, and start says so.
	r = script("start");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "ipc-dispatchd: failed to start (does /ipc_dispatch exist? see " + dir_ + "/ipc-dispatchd.log)\n");
	EXPECT_EQ(glibc_words(log()), "Can't open mqueue /ipc_dispatch. Error: No such file or directory\n");

	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
	r = script("start");
	EXPECT_EQ(r.status, 0) << r.err;
	int pid = pid_in_file();
	EXPECT_EQ(r.out, "ipc-dispatchd: started (pid " + std::to_string(pid) + ")\n");
	EXPECT_EQ(script("status").out, "ipc-dispatchd: running (pid " + std::to_string(pid) + ")\n");
	EXPECT_EQ(script("start").out, "ipc-dispatchd: already running (pid " + std::to_string(pid) + ")\n");

	// It serves, in the background, with its trace in the log.
	mqd_t sub = keep(open_queue(subscriber(1), O_RDONLY));
	send(dispatch, kMotionStart);
	std::string got;
	ASSERT_TRUE(receive(sub, got));
	EXPECT_EQ(got, "MOTION_START");
	ASSERT_TRUE(receive(dispatch, got));
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
		int again = pid_in_file();
		EXPECT_NE(again, pid);
		EXPECT_NE(kill(pid, 0), 0) << "the old service still runs";
		EXPECT_EQ(kill(again, 0), 0);
		pid = again;
	}
	int again = pid;

	r = script("stop");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "ipc-dispatchd: stopped\n");
	EXPECT_NE(kill(again, 0), 0);
	EXPECT_EQ(script("status").status, 3);
	EXPECT_EQ(script("stop").out, "ipc-dispatchd: not running\n");
	EXPECT_EQ(script("bogus").status, 2);
}

// The bridge's script: a broker that is down does not stop it starting; a
// bad option does. Options are shell words, quotes and all, never globbed.
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
	}

	defaults("ipc-mqtt", "IPC_MQTT_DEFAULTS", "QUEUE=3\nMQTT_OPTIONS='--host 127.0.0.1 --port 1'\n");
	Ran r = script("start", "S60ipc-mqtt");
	EXPECT_EQ(r.status, 0) << r.err;
	int pid = pid_in_file("ipc-mqtt");
	EXPECT_EQ(r.out, "ipc-mqtt: started (pid " + std::to_string(pid) + ")\n");
	EXPECT_TRUE(queue_exists(subscriber(3)));
	EXPECT_EQ(script("status", "S60ipc-mqtt").out, "ipc-mqtt: running (pid " + std::to_string(pid) + ")\n");
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
		EXPECT_EQ(pid_in_file("ipc-mqtt"), 0) << action;
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

// A program that ignores SIGTERM is killed after STOP_SECONDS, and stop
// says so.
TEST_F(InitScript, StopKillsWhatIgnoresTerm)
{
	std::string stubborn = dir_ + "/stubborn";
	std::ofstream(stubborn) << "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 0.1; done\n";
	chmod(stubborn.c_str(), 0755);
	keep(create_queue("/ipc_dispatch"));
	defaults("ipc-dispatchd", "IPC_DISPATCHD_DEFAULTS",
		 "MQUEUE_DIR=" + dir_ + "\nDAEMON=" + stubborn + "\nEXE=$(readlink -f /bin/sh)\nSTOP_SECONDS=1\n");
	ASSERT_EQ(script("start").status, 0);
	int pid = pid_in_file();
	Ran r = script("stop");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "ipc-dispatchd: pid " + std::to_string(pid) + " did not stop within 1 s; killed it\n");
	EXPECT_NE(kill(pid, 0), 0);
}

// A camera whose root is read-only (squashfs), with a card the only place
// it writes: the release installed into a folder on the card and started
// by the camera's start-up hook through DIR/rc, pid files in RAM, settings
// kept by an upgrade; what a power cut in the middle of one leaves still
// starts; a root install says what to do instead, and so does a card
// mounted noexec.
TEST_F(InitScript, InstallIntoAFolderOnAReadOnlyRoot)
{
	// The release as it is unpacked; under an emulator its programs are
	// launchers, and the pid's check looks for the emulator.
	const std::string bin = dir_ + "/built", release = dir_ + "/release", card = dir_ + "/card", ipc = card + "/ipc";
	std::string exe;
	std::filesystem::create_directories(bin);
	for (const char *name : {"ipc-dispatchd", "ipc-notify", "ipc-listen", "ipc-mqtt"})
		exe = launcher(name, bin + "/" + name);
	// In a mount namespace of its own: the card, the release and a card
	// mounted noexec on RAM, a /run of its own, and the root read-only;
	// all undone, and what rc started stopped, however the test ends.
	const std::vector<std::string> mounts = {card, release, dir_ + "/noexec", "/run"};
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
	std::set<std::string> files;
	for (const auto &f : std::filesystem::recursive_directory_iterator(card))
		files.insert(f.path().string().substr(ipc.size()));
	EXPECT_EQ(files, (std::set<std::string>{"", "/bin", "/bin/ipc-dispatchd", "/bin/ipc-notify", "/bin/ipc-listen", "/bin/ipc-mqtt", "/etc",
						 "/etc/ipc-dispatchd", "/etc/ipc-mqtt", "/init.d", "/init.d/S50ipc-dispatchd",
						 "/init.d/S60ipc-mqtt", "/init.d/ipc-functions", "/rc"}));
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
	// The owner's settings: no mqueue file system to wait on, a broker.
	std::ofstream(ipc + "/etc/ipc-dispatchd", std::ios::app) << "MQUEUE_DIR=/nowhere\n" << exe;
	std::ofstream(ipc + "/etc/ipc-mqtt", std::ios::app) << "QUEUE=3\nMQTT_OPTIONS='--host 127.0.0.1 --port 1'\n" << exe;
	const std::string mine = text_of(ipc + "/etc/ipc-mqtt");
	keep(create_queue("/ipc_dispatch"));

	auto pid_of = [](const std::string &name) {
		int pid = 0;
		std::ifstream("/run/" + name + ".pid") >> pid;
		return pid;
	};
	// What rc status says: its exit status, and how many run.
	auto running = [&] {
		Ran st = sh({ipc + (std::filesystem::exists(ipc + "/rc") ? "/rc" : "/rc.new"), "status"});
		return std::pair(st.status, std::count(st.out.begin(), st.out.end(), '('));
	};
	const auto both = std::pair(0, 2L);
	ASSERT_EQ(sh({ipc + "/rc", "start"}).status, 0);
	EXPECT_EQ(running(), both);
	// An upgrade: the settings kept, both restarted; then each way a power
	// cut may leave a file (the new copy alone, or half of it beside the
	// old), which rc takes, and the next install mends; a pid file in RAM
	// that names another process.
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
	EXPECT_EQ(sh({ipc + "/rc", "stop"}).status, 0);
	EXPECT_EQ(running(), std::pair(3, 0L));
}

} // namespace
