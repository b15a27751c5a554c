// The service in a hostile environment: it must keep serving, and never
// lose or change a notification that it took.
#include <signal.h>
#include <unistd.h>

#include <fstream>

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
		EXPECT_EQ(receive_all(keep(open_queue(subscriber(i)))).size(), static_cast<size_t>(r.turns));
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
	for (const std::string &n : {kMotionStart, kMotionStop}) {
		Relayed r = relay(svc, dispatch, n);
		EXPECT_EQ(r.putback, n);
		EXPECT_EQ(r.trace.find("Status: Success!"), r.trace.find("Status:"));
	}
	EXPECT_TRUE(alive(svc));
	EXPECT_FALSE(queue_exists("/ipc_dispatch"));
}

} // namespace
