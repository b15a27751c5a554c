// The example init script, run by busybox's shell as the device's init would.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

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
	// Settings for the script of program: its pid file and log in the
	// test's directory, and more.
	void defaults(const std::string &name, const char *variable, const std::string &more)
	{
		// The script starts "$DAEMON" itself; an emulator has to come in
		// through a small launcher.
		// A copy of its own, which a test may replace as an upgrade does.
		std::string daemon = dir_ + "/" + name;
		std::string exe;
		if (std::string command = shell_command(name); command == program(name)) {
			std::filesystem::copy_file(command, daemon, std::filesystem::copy_options::overwrite_existing);
		} else {
			daemon = dir_ + "/" + name;
			std::ofstream(daemon) << "#!/bin/sh\nexec " << command << " \"$@\"\n";
			chmod(daemon.c_str(), 0755);
			// The emulator is what runs: the script's check of the pid
			// must look for it.
			exe = "EXE=$(readlink -f \"$(command -v " + command.substr(0, command.find(' ')) + ")\")\n";
		}
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
		Spawn how = {.args = {"busybox", "sh", IPC_SOURCE_DIR "/scripts/init.d/" + name, action},
			     .capture_out = true,
			     .wrap = false};
		Process p = spawn(how);
		Ran r;
		r.status = wait_exit(p);
		r.out = p.out_text;
		r.err = err_text(p);
		stop(p);
		return r;
	}
	int pid_in_file(const std::string &name = "ipc-dispatchd")
	{
		int pid = 0;
		std::ifstream(dir_ + "/" + name + ".pid") >> pid;
		return pid;
	}
	std::string log(const std::string &name = "ipc-dispatchd")
	{
		std::ifstream in(dir_ + "/" + name + ".log");
		return std::string(std::istreambuf_iterator<char>(in), {});
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

} // namespace
