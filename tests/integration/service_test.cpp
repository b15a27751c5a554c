// The service binary over real queues: start-up, fan-out and put-back.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "notifications.h"

using namespace harness;

namespace {

std::string full_size()
{
	std::string s = kCrying2;
	for (int i = 0; s.size() < 512; i++)
		s += static_cast<char>(0x80 + i % 128);
	return s;
}

const std::vector<int> kAll = {1, 2, 3, 4, 5, 6, 7, 8, 9};

class Startup : public QueueTest {};
class Dispatch : public QueueTest {};

TEST_F(Startup, MissingDispatchQueueExitsOneWithOneLineAndCreatesNothing)
{
	Process &svc = start_service();
	EXPECT_EQ(wait_exit(svc), 1);
	EXPECT_EQ(err_text(svc), "Can't open mqueue /ipc_dispatch. Error: No such file or directory\n");
	for (int i = 1; i <= 9; i++)
		EXPECT_FALSE(queue_exists(subscriber(i))) << subscriber(i);
}

TEST_F(Startup, CreatesSubscriberQueuesWithTheSetAttributes)
{
	// No umask: the mode is the service's own.
	mode_t old = umask(0);
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	umask(old);
	for (int i = 1; i <= 9; i++) {
		mqd_t q = keep(open_queue(subscriber(i), O_RDONLY));
		mq_attr a = attributes(q);
		struct stat st = {};
		ASSERT_EQ(fstat(q, &st), 0);
		EXPECT_EQ(a.mq_maxmsg, 10) << subscriber(i);
		EXPECT_EQ(a.mq_msgsize, 512) << subscriber(i);
		EXPECT_EQ(a.mq_curmsgs, 0) << subscriber(i);
		EXPECT_EQ(st.st_mode & 07777, 0644u) << subscriber(i);
	}
	// All queues opened: the first line is the trace of the first message.
	relay(svc, dispatch, "x");
	EXPECT_EQ(err_text(svc).rfind("IPC message. Len: 1. Status: ", 0), 0u) << err_text(svc);
}

TEST_F(Startup, ExistingSubscriberQueueKeepsItsAttributesAndMessages)
{
	mqd_t old = keep(create_queue(subscriber(4), 3, 64, 0600));
	send(old, "left over", 5);
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	relay(svc, dispatch, kMotionStart);
	// By its name: the descriptor that made it would keep a queue that
	// was unlinked and made anew.
	mq_attr a = attributes(keep(open_queue(subscriber(4), O_RDONLY)));
	EXPECT_EQ(a.mq_maxmsg, 3);
	EXPECT_EQ(a.mq_msgsize, 64);
	std::vector<std::string> got = receive_all(old);
	ASSERT_GE(got.size(), 2u);
	EXPECT_EQ(got[0], "left over");
	EXPECT_EQ(got[1], "MOTION_START");
}

TEST_F(Startup, UnopenableSubscriberQueueGetsOneLineAndTheOthersWork)
{
	// Root opens any queue, so the service runs as nobody and queue 3
	// belongs to root alone.
	mode_t old = umask(0);
	mqd_t dispatch = keep(create_queue("/ipc_dispatch", 10, 512, 0666));
	umask(old);
	keep(create_queue(subscriber(3), 10, 512, 0600));
	Process &svc = start_service({.args = {public_copy(program("ipc-dispatchd"))}, .uid = 65534});
	ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(9)); })) << err_text(svc);

	std::vector<int> in_use = {1, 2, 4, 5, 6, 7, 8, 9};
	Relayed r = relay(svc, dispatch, kHumanStop);
	EXPECT_EQ(glibc_words(err_text(svc)),
		  "Can't open mqueue /ipc_dispatch_3. Error: Permission denied\n" +
			  repeat(turn_trace(kHumanStop, "AI_HUMAN_DETECTION_STOP", in_use), r.turns));
	for (int i : in_use)
		EXPECT_EQ(receive_all(keep(open_queue(subscriber(i)))),
			  std::vector<std::string>(static_cast<size_t>(r.turns), "AI_HUMAN_DETECTION_STOP"))
			<< subscriber(i);
	EXPECT_TRUE(receive_all(keep(open_queue(subscriber(3)))).empty());
}

TEST_F(Dispatch, EveryMessageIsTracedTranslatedFannedOutAndPutBack)
{
	struct Case {
		const char *what;
		std::string bytes;
		unsigned prio;
		const char *event;  // nullptr: nothing is sent to the subscribers
	};
	// Each row of the table, to every subscriber: the event's bytes are
	// seen here only.
	std::vector<Case> cases;
	for (const Row &row : kRows)
		cases.push_back({row.event.c_str(), row.bytes, 0, row.event.c_str()});
	cases.insert(cases.end(), {
		// The length received is the length matched and put back.
		{"11 bytes of a row", kMotionStart.substr(0, 11), 0, nullptr},
		{"not a notification", "hello", 0, nullptr},
		{"zero length", "", 0, nullptr},
		{"full size", full_size(), 0, "BABY_CRYING"},
		// The put-back always goes with priority 0.
		{"sent with priority 7", kHumanStop, 7, "AI_HUMAN_DETECTION_STOP"},
		{"unrecognised, priority 3", bytes_of({0xff, 0x80, 0x7f, 0}), 3, nullptr},
	});
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	mqd_t subs[10];
	for (int i = 1; i <= 9; i++)
		subs[i] = keep(open_queue(subscriber(i), O_RDONLY | O_NONBLOCK));

	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		Relayed r = relay(svc, dispatch, c.bytes, c.prio);
		EXPECT_EQ(r.putback, c.bytes);
		EXPECT_EQ(r.prio, 0u);
		ASSERT_GE(r.turns, 1);
		EXPECT_EQ(r.trace, repeat(turn_trace(c.bytes, c.event, kAll), r.turns));
		for (int i = 1; i <= 9; i++) {
			std::vector<std::string> want;
			if (c.event != nullptr)
				want.assign(static_cast<size_t>(r.turns), c.event);
			EXPECT_EQ(receive_all(subs[i]), want) << subscriber(i);
		}
	}
	// Each turn, that of the full-size message too, left in a single
	// write, whole lines only.
	drain(svc);
	for (const std::string &w : svc.err_writes) {
		EXPECT_EQ(w.rfind("IPC message.", 0), 0u) << "not a turn's start: " << w;
		EXPECT_EQ(w.find("IPC message.", 1), std::string::npos) << "more than one turn: " << w;
		EXPECT_EQ(w.back(), '\n') << "not whole lines: " << w;
	}
	EXPECT_TRUE(alive(svc));
}

TEST_F(Dispatch, FullSubscriberLosesTheEventWhileTheOthersGetIt)
{
	mqd_t full = keep(create_queue(subscriber(2)));
	for (int n = 0; n < 10; n++)
		send(full, "old " + std::to_string(n));
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);

	Relayed r = relay(svc, dispatch, kMotionStart);
	EXPECT_EQ(r.trace, repeat(turn_trace(kMotionStart, "MOTION_START", kAll), r.turns));
	for (int i : {1, 3, 4, 5, 6, 7, 8, 9})
		EXPECT_EQ(receive_all(keep(open_queue(subscriber(i)))),
			  std::vector<std::string>(static_cast<size_t>(r.turns), "MOTION_START"))
			<< subscriber(i);
	std::vector<std::string> old = receive_all(full);
	ASSERT_EQ(old.size(), 10u);
	for (size_t n = 0; n < old.size(); n++)
		EXPECT_EQ(old[n], "old " + std::to_string(n));

	// Still serving, and the failed send does not show in the next
	// turn's status.
	Relayed next = relay(svc, dispatch, kMotionStop);
	EXPECT_EQ(next.trace, repeat(turn_trace(kMotionStop, "MOTION_STOP", kAll), next.turns));
	EXPECT_TRUE(alive(svc));
}

// Started as an init system may start it, with standard descriptors that
// are no use, it serves every subscriber and puts each notification back.
TEST_F(Startup, ServesWhateverItsStandardDescriptorsAre)
{
	int log[2];
	ASSERT_EQ(pipe2(log, O_CLOEXEC), 0);
	const struct {
		const char *what;
		Spawn how;
	} cases[] = {
		// The dispatch queue then lands on descriptor 0.
		{"descriptors 0 to 2 closed", {.args = {}, .close_std = true, .capture_err = false}},
		// A log reader that dies must not take the dispatcher with it.
		{"log reader gone", {.args = {}, .err_to = log[1]}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		ASSERT_EQ(unshare(CLONE_NEWIPC), 0);
		mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
		Process &svc = start_service(c.how);
		if (c.how.err_to >= 0) {
			close(log[0]);
			close(log[1]);
		}
		ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(9)); }));
		mqd_t subs[10];
		for (int i = 1; i <= 9; i++)
			subs[i] = keep(open_queue(subscriber(i), O_RDONLY));
		for (const Row &n : {kRows[2], kRows[4]}) {
			send(dispatch, n.bytes);
			std::string got;
			for (int i = 1; i <= 9; i++) {
				ASSERT_TRUE(receive(subs[i], got)) << subscriber(i) << ", service gone: " << !alive(svc);
				EXPECT_EQ(got, n.event) << subscriber(i);
			}
			unsigned prio;
			ASSERT_TRUE(receive(dispatch, got, &prio));
			EXPECT_EQ(got, n.bytes);
			EXPECT_EQ(prio, 0u);
			// The turns it went round before it was taken back.
			for (int i = 1; i <= 9; i++)
				for (const std::string &again : receive_all(subs[i]))
					EXPECT_EQ(again, n.event) << subscriber(i);
		}
		EXPECT_TRUE(alive(svc));
		stop(svc);
	}
}

} // namespace
