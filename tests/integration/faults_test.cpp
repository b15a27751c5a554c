// The service in a hostile environment: it must keep serving, and never
// lose or change a notification that it took.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "harness.h"
#include "notifications.h"

using namespace harness;

namespace {

class Faults : public QueueTest {};

const std::vector<int> kAll = {1, 2, 3, 4, 5, 6, 7, 8, 9};

size_t count_of(const std::string &text, const std::string &what)
{
	size_t n = 0;
	for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
		n++;
	return n;
}

// Messages larger than the service's buffer cannot be received at all: the
// service says so on every turn and leaves them to the queue's other readers.
TEST_F(Faults, DispatchQueueWithLargerMessagesIsLeftAlone)
{
	mqd_t dispatch = keep(create_queue("/ipc_dispatch", 10, 1024));
	const std::string sent[] = {kHumanStart, std::string(1024, '\x5a'), kMotionStop};
	for (const std::string &n : sent)
		send(dispatch, n);
	Process &svc = start_service();
	const std::string failed = "IPC message. Len: -1. Status: Message too long!\n";
	ASSERT_TRUE(wait_err(svc, [&](const std::string &t) { return count_of(glibc_words(t), failed) >= 5; }))
		<< err_text(svc);
	EXPECT_TRUE(alive(svc));
	std::string trace = glibc_words(err_text(svc));
	EXPECT_EQ(trace, repeat(failed, static_cast<int>(count_of(trace, failed))));
	EXPECT_EQ(receive_all(dispatch), std::vector<std::string>(std::begin(sent), std::end(sent)));
}

// With the namespace's queues_max reached, the subscriber queues past it
// cannot be created. Root may exceed the limit, so the service runs as
// nobody.
TEST_F(Faults, QueueLimitReachedLeavesTheLaterSubscribersOut)
{
	std::ofstream("/proc/sys/fs/mqueue/queues_max") << 4;
	mode_t old = umask(0);
	mqd_t dispatch = keep(create_queue("/ipc_dispatch", 10, 512, 0666));
	umask(old);
	Process &svc = start_service({.args = {public_copy(program("ipc-dispatchd"))}, .uid = 65534});
	std::string failures;
	for (int i = 4; i <= 9; i++)
		failures += "Can't open mqueue " + subscriber(i) + ". Error: No space left on device\n";
	ASSERT_TRUE(wait_err(svc, [&](const std::string &t) { return t == failures; })) << err_text(svc);

	Relayed r = relay(svc, dispatch, kCrying2);
	EXPECT_EQ(r.trace, repeat(turn_trace(kCrying2, "BABY_CRYING", {1, 2, 3}), r.turns));
	for (int i = 1; i <= 3; i++)
		EXPECT_EQ(receive_all(keep(open_queue(subscriber(i)))),
			  std::vector<std::string>(static_cast<size_t>(r.turns), "BABY_CRYING"));
	for (int i = 4; i <= 9; i++)
		EXPECT_FALSE(queue_exists(subscriber(i)));
}

TEST_F(Faults, RestartAfterSigtermReusesTheSubscriberQueuesAndTheirEvents)
{
	mqd_t dispatch;
	Process &first = start_ready(dispatch);
	Relayed before = relay(first, dispatch, kHumanStart);
	kill(first.pid, SIGTERM);
	EXPECT_EQ(wait_exit(first), 128 + SIGTERM);

	// The queues outlive the service, with what was waiting in them.
	for (int i = 1; i <= 9; i++)
		EXPECT_EQ(attributes(keep(open_queue(subscriber(i)))).mq_curmsgs, before.turns) << subscriber(i);
	Process &second = start_service();
	Relayed after = relay(second, dispatch, kHumanStop);
	EXPECT_EQ(after.trace, repeat(turn_trace(kHumanStop, "AI_HUMAN_DETECTION_STOP", kAll), after.turns));
	for (int i = 1; i <= 9; i++) {
		std::vector<std::string> want(static_cast<size_t>(before.turns), "AI_HUMAN_DETECTION_START");
		want.insert(want.end(), static_cast<size_t>(after.turns), "AI_HUMAN_DETECTION_STOP");
		mqd_t q = keep(open_queue(subscriber(i)));
		EXPECT_EQ(attributes(q).mq_maxmsg, 10);
		EXPECT_EQ(receive_all(q), want) << subscriber(i);
	}
}

// An open descriptor keeps an unlinked queue alive: the service and the
// peers that still hold it go on as before.
TEST_F(Faults, DispatchQueueUnlinkedWhileRunning)
{
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	ASSERT_EQ(mq_unlink("/ipc_dispatch"), 0);
	for (const Row &n : {kRows[2], kRows[3]}) {
		Relayed r = relay(svc, dispatch, n.bytes);
		EXPECT_EQ(r.putback, n.bytes);
		EXPECT_EQ(r.trace, repeat(turn_trace(n.bytes, n.event.c_str(), kAll), r.turns));
	}
	EXPECT_TRUE(alive(svc));
	EXPECT_FALSE(queue_exists("/ipc_dispatch"));
}

// Standard error whose reader stops reading: a pipe, or a terminal that
// nobody reads. Every notification still reaches the subscribers and comes
// back, a turn still takes its 13 system calls, and once the log is read
// again it holds whole turns and lines counting the turns it dropped.
class StalledLog : public QueueTest, public ::testing::WithParamInterface<std::string> {};

INSTANTIATE_TEST_SUITE_P(Faults, StalledLog, ::testing::Values("pipe", "terminal"));

// Counts the whole turns and the dropped ones that the log tells of; false
// at the first text that is neither a turn nor a drop line.
bool whole_turns(const std::string &log, int &turns)
{
	turns = 0;
	for (size_t at = 0; at < log.size();) {
		size_t was = at;
		if (log.compare(at, 7, "Trace: ") == 0) {
			char *end;
			long n = std::strtol(log.c_str() + at + 7, &end, 10);
			size_t rest = static_cast<size_t>(end - log.c_str());
			for (const char *tail : {" turn dropped\n", " turns dropped\n"})
				if (n > 0 && log.compare(rest, strlen(tail), tail) == 0) {
					turns += static_cast<int>(n);
					at = rest + strlen(tail);
				}
		}
		for (const Row &e : kRows)
			if (std::string t = turn_trace(e.bytes, e.event.c_str(), kAll);
			    at == was && log.compare(at, t.size(), t) == 0) {
				turns++;
				at += t.size();
			}
		if (at == was)
			return false;
	}
	return true;
}

TEST_P(StalledLog, NeverHoldsTheEventsBack)
{
	int reader, writer;
	if (GetParam() == "pipe") {
		int fds[2];
		ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
		fcntl(fds[1], F_SETPIPE_SZ, 4096);  // full within a few turns
		reader = fds[0];
		writer = fds[1];
	} else {
		reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		ASSERT_TRUE(reader >= 0 && grantpt(reader) == 0 && unlockpt(reader) == 0);
		writer = open(ptsname(reader), O_RDWR | O_NOCTTY | O_CLOEXEC);
		termios raw;
		ASSERT_EQ(tcgetattr(writer, &raw), 0);
		cfmakeraw(&raw);  // no carriage return before each line end
		tcsetattr(writer, TCSANOW, &raw);
	}
	fcntl(reader, F_SETFL, O_NONBLOCK);
	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
	// Deep enough that no event is lost while the test looks elsewhere.
	std::ofstream("/proc/sys/fs/mqueue/msg_max") << 100;
	mqd_t sub = keep(create_queue(subscriber(1), 100, 512, 0644, O_RDONLY));
	Process &svc = start_service({.args = {program("ipc-dispatchd")}, .err_to = writer});
	close(writer);
	ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(9)); }));

	// One event a turn: the events count the turns.
	int turns = 0;
	std::string logged;
	auto read_on = [&] {
		char buf[65536];
		for (ssize_t n; (n = read(reader, buf, sizeof(buf))) > 0;)
			logged.append(buf, static_cast<size_t>(n));
	};
	auto events_are = [&](const std::string &event) {
		std::vector<std::string> got = receive_all(sub);
		turns += static_cast<int>(got.size());
		return !got.empty() && got == std::vector<std::string>(got.size(), event);
	};
	// Far more turns than the log can hold, then a notification at a time.
	send(dispatch, kMotionStart);
	ASSERT_TRUE(wait_until([&] { events_are("MOTION_START"); return turns >= 300; }, 30s)) << turns;
	std::string back;
	ASSERT_TRUE(receive(dispatch, back));
	events_are("MOTION_START");
	// From here on the calls of each turn are counted, on the host's own
	// binary.
	bool count_calls = std::getenv("IPC_WRAPPER") == nullptr;
	std::string calls = temp_dir() + "/calls";
	if (count_calls) {
		Process &strace = procs_.emplace_back(
			spawn({.args = {"strace", "-o", calls, "-p", std::to_string(svc.pid)}, .wrap = false}));
		ASSERT_TRUE(wait_err(strace, [](const std::string &t) { return t.find(" attached") != std::string::npos; }));
	}
	for (size_t i = 0; i < 2 * std::size(kRows); i++) {
		const Row &e = kRows[i % std::size(kRows)];
		send(dispatch, e.bytes);
		ASSERT_TRUE(wait_until([&] { return events_are(e.event); })) << e.event;
		ASSERT_TRUE(receive(dispatch, back));
		EXPECT_EQ(back, e.bytes);
	}
	// Read again, the log goes on with whole turns.
	send(dispatch, kHumanStart);
	ASSERT_TRUE(wait_until([&] {
		read_on();
		events_are("AI_HUMAN_DETECTION_START");
		return glibc_words(logged).find(" dropped\n" + turn_trace(kHumanStart, "AI_HUMAN_DETECTION_START", kAll)) !=
		       std::string::npos;
	})) << logged.substr(logged.size() - std::min<size_t>(logged.size(), 2000));
	ASSERT_TRUE(receive(dispatch, back));
	events_are("AI_HUMAN_DETECTION_START");
	int told = 0;
	EXPECT_TRUE(wait_until([&] {
		read_on();
		return whole_turns(glibc_words(logged), told) && told == turns;
	})) << "the log tells of " << told << " of " << turns << " turns";
	close(reader);

	if (!count_calls)
		return;
	Process &strace = procs_.back();
	kill(strace.pid, SIGTERM);  // strace lets the service go and ends
	wait_exit(strace);
	std::ifstream in(calls);
	std::vector<size_t> receives;
	size_t n = 0;
	for (std::string line; std::getline(in, line); n++)
		if (line.rfind("mq_timedreceive(", 0) == 0)
			receives.push_back(n);
	// The turn that strace came in on may have been interrupted.
	int other = 0;
	for (size_t i = 2; i < receives.size(); i++)
		other += receives[i] - receives[i - 1] != 13;
	EXPECT_GE(receives.size(), 12u);
	EXPECT_EQ(other, 0) << "turns of other than 13 calls, in " << calls;
}

} // namespace
