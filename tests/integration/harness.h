// Drives the real programs over real queues, each test in a private IPC
// namespace of its own.
#pragma once

#include <gtest/gtest.h>
#include <mqueue.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "notifications.h"

namespace harness {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough for an emulated binary on a busy machine; only a failing test
// waits that long.
constexpr auto kDeadline = 10s;

// Path of one of the project's programs: $IPC_BIN_DIR/name, or the build's.
std::string program(const std::string &name);

struct Spawn {
	std::vector<std::string> args;
	uid_t uid = 0;            // run as this user when non-zero
	bool close_std = false;   // start with descriptors 0, 1 and 2 closed
	bool capture_out = false; // capture standard output (else /dev/null)
	bool capture_err = true;  // capture standard error, one record per write(2)
	int err_to = -1;          // else, when set: standard error goes to this descriptor
	bool wrap = true;         // run through $IPC_WRAPPER (for the project's programs)
	std::vector<std::string> before = {};  // words that run it all (a namespace's command, say)
};

struct Process {
	pid_t pid = -1;
	int out = -1;
	int err = -1;
	std::string out_text;
	std::vector<std::string> err_writes;  // each write(2) to stderr, in order
};

// Runs a program, through $IPC_WRAPPER (an emulator, say) when it is set,
// in a process group of its own.
Process spawn(const Spawn &how);
// The words that run one of the project's programs, for a shell command.
std::string shell_command(const std::string &name);

struct Ran {
	int status;
	std::string out;
	std::string err;
};
// Runs one of the project's programs to its end.
Ran run(const std::vector<std::string> &args, Clock::duration deadline = kDeadline);
// Everything written so far to stderr, as one text.
std::string err_text(Process &p);
// Reads what the process has written, without waiting.
void drain(Process &p);
// Waits until pred holds on the stderr text read so far, or the deadline.
bool wait_err(Process &p, const std::function<bool(const std::string &)> &pred,
	      Clock::duration deadline = kDeadline);
// Exit status (or 128 + signal), or -1 if it has not ended by the deadline.
int wait_exit(Process &p, Clock::duration deadline = kDeadline);
bool alive(const Process &p);
void stop(Process &p);

// Queues.
mqd_t create_queue(const std::string &name, long maxmsg = 10, long msgsize = 512,
		   mode_t mode = 0644, int flags = O_RDWR);
mqd_t open_queue(const std::string &name, int flags = O_RDWR);
bool queue_exists(const std::string &name);
mq_attr attributes(mqd_t q);
void send(mqd_t q, const std::string &bytes, unsigned prio = 0);
// Receives one message; false when none arrives by the deadline.
bool receive(mqd_t q, std::string &bytes, unsigned *prio = nullptr,
	     Clock::duration deadline = kDeadline);
std::vector<std::string> receive_all(mqd_t q);  // what is waiting, now
std::string subscriber(int i);                   // "/ipc_dispatch_i"
// A new directory that any user may read.
std::string temp_dir();
// A copy of a program that any user may run, for tests that drop root.
std::string public_copy(const std::string &path);

bool wait_until(const std::function<bool()> &pred, Clock::duration deadline = kDeadline);
// The CPU time a process has used, user and system, in clock ticks.
unsigned long cpu_ticks(pid_t pid);

// 127.0.0.1:port, for bind and connect.
sockaddr_in loopback(int port);

// The C libraries word some errors differently; this maps musl's words to
// glibc's so that one expectation serves both builds.
std::string glibc_words(std::string text);

// The service's side of one notification.
struct Relayed {
	std::string putback;
	unsigned prio = 99;
	std::string trace;  // stderr of the turn(s), in glibc's words
	int turns = 0;      // more than one when the message circulated before it was taken back
};
// Waits until the service has traced the notification bytes (in its stderr
// from offset from on), then takes the put-back out of "/ipc_dispatch" as
// the device's own reader would.
Relayed take_back(Process &svc, mqd_t dispatch, const std::string &bytes, size_t from);
// Sends the notification, then take_back.
Relayed relay(Process &svc, mqd_t dispatch, const std::string &bytes, unsigned prio = 0);
// What one turn of the service writes for a message whose event (or
// nullptr) goes to the subscriber queues in_use.
std::string turn_trace(const std::string &bytes, const char *event, const std::vector<int> &in_use);
std::string repeat(const std::string &s, int n);

// Each test gets a fresh IPC namespace and the umask 022.
class QueueTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;
	Process &start_service(Spawn how = {});
	// Starts the service on a fresh "/ipc_dispatch" and waits until all
	// nine subscriber queues exist.
	Process &start_ready(mqd_t &dispatch);
	// A network namespace of the test's own, its loopback up: a broker's
	// port is always free.
	void own_network();
	// A broker on 127.0.0.1:1883 with these lines of configuration, its
	// file in dir.
	Process &start_broker(const std::string &dir, const std::string &conf = "allow_anonymous true\n");
	// The messages the broker keeps, as a new subscriber gets them, sorted.
	std::string retained(const std::string &topic);
	// A program of this machine's, to its end.
	Ran run_host(const std::vector<std::string> &args);
	std::deque<Process> procs_;
	std::vector<mqd_t> queues_;
	mqd_t keep(mqd_t q);
};

} // namespace harness
