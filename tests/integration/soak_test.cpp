// A long run of mixed notifications while the device's own reader drains
// "/ipc_dispatch": every notification must come back exactly once, byte
// for byte, and the subscribers must only ever see event names. The
// producer sends one a millisecond and the reader polls, so that the
// service, waiting in its receive, takes a good share (about one a turn).
#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "harness.h"
#include "notifications.h"

using namespace harness;

namespace {

class Soak : public QueueTest {};

constexpr int kNotifications = 10000;

std::vector<std::string> mixed_notifications()
{
	std::mt19937 random(20261208);
	auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
	std::vector<std::string> all;
	for (int i = 0; i < kNotifications; i++) {
		std::string n = kRows[below(std::size(kRows))].bytes;
		switch (i % 6) {
		case 0: // a row as it is
		case 1:
			break;
		case 2: // a row with trailing bytes
			n += std::string(below(100), static_cast<char>(below(256)));
			break;
		case 3: // a near miss: one byte changed, or cut short
			if (below(2) != 0)
				n[below(n.size())] ^= static_cast<char>(1 + below(255));
			else
				n.resize(below(n.size()));
			break;
		case 4: // the extremes
			n = below(2) != 0 ? std::string() : n + std::string(512 - n.size(), '\x80');
			break;
		default: // random bytes
			n.resize(below(513));
			for (char &c : n)
				c = static_cast<char>(random());
		}
		all.push_back(n);
	}
	return all;
}

long rss_kib(pid_t pid)
{
	std::ifstream status("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(status, line);)
		if (line.rfind("VmRSS:", 0) == 0)
			return std::stol(line.substr(6));
	return -1;
}

TEST_F(Soak, EveryNotificationComesBackExactlyOnce)
{
	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
	Process &svc = start_service();
	ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(9)); }));
	std::vector<mqd_t> subs;
	for (int i = 1; i <= 9; i++)
		subs.push_back(keep(open_queue(subscriber(i), O_RDONLY | O_NONBLOCK)));

	const std::vector<std::string> sent = mixed_notifications();
	mqd_t producer_q = keep(open_queue("/ipc_dispatch", O_WRONLY));
	std::thread producer([&] {
		auto next = Clock::now();
		for (size_t i = 0; i < sent.size(); i++) {
			send(producer_q, sent[i], static_cast<unsigned>(i % 4));
			std::this_thread::sleep_until(next += 1ms);
		}
	});

	std::set<std::string> names;
	for (const Row &row : kRows)
		names.insert(row.event);
	std::vector<std::string> got;
	size_t events = 0;
	long rss_warm = -1;
	auto end = Clock::now() + 60s;
	while (got.size() < sent.size() && Clock::now() < end) {
		for (const std::string &n : receive_all(dispatch)) {
			got.push_back(n);
			if (got.size() == 1000)
				rss_warm = rss_kib(svc.pid);
		}
		drain(svc);
		std::this_thread::sleep_for(1ms);
		for (mqd_t q : subs)
			for (const std::string &e : receive_all(q)) {
				EXPECT_EQ(names.count(e), 1u) << "not an event name: " << e;
				events++;
			}
	}
	producer.join();
	long rss_end = rss_kib(svc.pid);

	// Nothing more comes: the put-back never doubles a notification.
	std::string extra;
	EXPECT_FALSE(receive(dispatch, extra, nullptr, 200ms)) << "one more notification than was sent";
	EXPECT_TRUE(alive(svc));
	ASSERT_EQ(got.size(), sent.size());
	std::vector<std::string> want = sent;
	std::sort(want.begin(), want.end());
	std::sort(got.begin(), got.end());
	EXPECT_TRUE(got == want) << "the notifications that came back differ from those sent";
	EXPECT_GT(events, 0u) << "the service translated none of them";
	EXPECT_LE(rss_end, rss_warm) << "the service's memory grew from " << rss_warm << " to " << rss_end << " KiB";
	std::string trace = err_text(svc);
	size_t turns = 0;
	for (size_t at = 0; (at = trace.find("IPC message. Len: ", at)) != std::string::npos; at++)
		turns++;
	EXPECT_EQ(trace.find("Len: -1"), std::string::npos) << "a receive failed";
	EXPECT_GT(turns, 100u) << "the service took too few of the notifications to tell anything";
	printf("soak: %zu notifications back, %zu turns of the service, %zu events seen, "
	       "VmRSS %ld KiB after 1,000 and %ld KiB at the end\n",
	       got.size(), turns, events, rss_warm, rss_end);
}

} // namespace
