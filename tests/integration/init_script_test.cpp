// The example init script, run by busybox's shell as the device's init would.
#include <signal.h>
#include <sys/stat.h>

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
		// The script starts "$DAEMON" itself; an emulator has to come in
		// through a small launcher.
		std::string daemon = program("ipc-dispatchd");
		std::string exe;
		if (std::string command = shell_command("ipc-dispatchd"); command != daemon) {
			daemon = dir_ + "/ipc-dispatchd";
			std::ofstream(daemon) << "#!/bin/sh\nexec " << command << " \"$@\"\n";
			chmod(daemon.c_str(), 0755);
			// The emulator is what runs: the script's check of the pid
			// must look for it.
			exe = "EXE=$(readlink -f \"$(command -v " + command.substr(0, command.find(' ')) + ")\")\n";
		}
		// The machine's /dev/mqueue shows another IPC namespace's queues.
		std::ofstream(dir_ + "/defaults") << "DAEMON=" << daemon << "\nPIDFILE=" << dir_ << "/pid\nLOG=" << dir_
						 << "/log\nMQUEUE_DIR=" << dir_ << "\n" << exe;
		setenv("IPC_DISPATCHD_DEFAULTS", (dir_ + "/defaults").c_str(), 1);
	}
	void TearDown() override
	{
		if (int pid = pid_in_file(); pid > 0)
			kill(pid, SIGKILL);
		unsetenv("IPC_DISPATCHD_DEFAULTS");
		QueueTest::TearDown();
	}
	Ran script(const std::string &action)
	{
		Spawn how = {.args = {"busybox", "sh", IPC_SOURCE_DIR "/scripts/init.d/S50ipc-dispatchd", action},
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
	int pid_in_file()
	{
		int pid = 0;
		std::ifstream(dir_ + "/pid") >> pid;
		return pid;
	}
	std::string log()
	{
		std::ifstream in(dir_ + "/log");
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
	EXPECT_EQ(r.err, "ipc-dispatchd: failed to start (does /ipc_dispatch exist? see " + dir_ + "/log)\n");
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

	r = script("restart");
	EXPECT_EQ(r.status, 0) << r.err;
	int again = pid_in_file();
	EXPECT_NE(again, pid);
	EXPECT_NE(kill(pid, 0), 0) << "the old service still runs";
	EXPECT_EQ(kill(again, 0), 0);

	r = script("stop");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "ipc-dispatchd: stopped\n");
	EXPECT_NE(kill(again, 0), 0);
	EXPECT_EQ(script("status").status, 3);
	EXPECT_EQ(script("stop").out, "ipc-dispatchd: not running\n");
	EXPECT_EQ(script("bogus").status, 2);
}

} // namespace
