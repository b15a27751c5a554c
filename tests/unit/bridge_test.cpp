// ipc-mqtt's decisions, with the time as an argument: one script of
// inputs and what each must give, run from several starting times, across
// 2^31 ms and 2^32 ms of uptime among them, what Home Assistant is told of
// the dispatcher, and the diagnostics' counts.
#include <gtest/gtest.h>

#include "core.h"

namespace {

enum input { DUE, WAIT, EVENT, LOOKED_UP, CONNECTED, LOST, BIRTHS, CLOCK_SET, CHAIN, COUNTS };

struct step {
	bridge_ms at;  // ms after the start
	input what;
	int64_t arg;   // EVENT: the row; BIRTHS: how many, 900 ms apart; LOST: the random number;
	               // CHAIN: 1 when a dispatcher serves
	long want;     // DUE: the mask; WAIT: ms; EVENT: the state published; LOST: retry_in;
	               // CLOCK_SET: 1 when it brings the attempt forward; BIRTHS: the random number;
	               // CHAIN: 1 when what Home Assistant is told changes
	bool flag;     // EVENT: the event published; LOST: the first failure of a loss; CHAIN: served
	uint64_t counts[4] = {};  // COUNTS: connections, events, events while not up, chain breaks
};

constexpr unsigned ATTEMPT = BRIDGE_ATTEMPT, GIVE_UP = BRIDGE_GIVE_UP, CRYING_OFF = BRIDGE_CRYING_OFF,
		   ANNOUNCE = BRIDGE_ANNOUNCE, MISC = BRIDGE_MISC, DIAGNOSTICS = BRIDGE_DIAGNOSTICS;
// Random numbers: the highest draws the whole cap, the lowest nothing.
constexpr bridge_random MAX = UINT32_MAX, HALF = 1u << 31;

const step kScript[] = {
	// An attempt whose lookup never answers is given up after 10 s.
	{0, DUE, 0, ATTEMPT | MISC, false},
	{0, WAIT, 0, 10000, false},
	{0, EVENT, 2, -1, false},  // motion ON while down: nothing goes out
	{9999, DUE, 0, 0, false},
	{10000, DUE, 0, GIVE_UP, false},
	{10000, LOST, MAX, 1000, true},
	{10500, WAIT, 0, 500, false},
	{11000, DUE, 0, ATTEMPT, false},
	{11000, LOOKED_UP, 0, 0, false},
	{11200, CONNECTED, 0, 0, false},
	// The repeat rule: once a second per event name; a state when it moves.
	// The connect's round comes a moment later.
	{11200, EVENT, 2, -1, true},
	{11700, EVENT, 2, -1, false},
	{12200, DUE, 0, ANNOUNCE, false},
	{12200, EVENT, 2, -1, true},
	{12300, EVENT, 4, BRIDGE_CRYING, true},
	{12400, EVENT, 5, -1, false},  // the other crying pattern is the same name
	{12400, EVENT, 3, BRIDGE_MOTION, true},
	{12400, WAIT, 0, 2600, false},  // keepalive's checks at 15 s
	{15000, DUE, 0, MISC, false},
	// Crying's hold: 6 s after the last one.
	{18399, DUE, 0, 0, false},
	{18400, DUE, 0, CRYING_OFF, false},
	// Home Assistant's birth: one round a moment after a burst, rounds 5 s
	// apart, and a flood still gets one every 5 s.
	{18400, BIRTHS, 2, 0, false},
	{19300, WAIT, 0, 1000, false},
	{20300, DUE, 0, ANNOUNCE, false},
	{20400, BIRTHS, 1, 0, false},
	{25299, DUE, 0, 0, false},
	{25300, DUE, 0, ANNOUNCE, false},
	{26000, BIRTHS, 6, 0, false},
	{31000, DUE, 0, ANNOUNCE | MISC, false},
	// Lost: retried after 1, 2, 4 ... s; said once; a second report of the
	// same loss changes nothing.
	{31000, LOST, MAX, 1000, true},
	{31000, LOST, MAX, -1, false},
	{31000, BIRTHS, 1, 0, false},  // down: the connect will publish everything
	{32000, DUE, 0, ATTEMPT, false},
	{32000, LOST, MAX, 2000, false},
	{33999, DUE, 0, 0, false},
	{34000, DUE, 0, ATTEMPT, false},
	{34000, LOST, MAX, 4000, false},
	{34000, WAIT, 0, 4000, false},
	{38000, DUE, 0, ATTEMPT, false},
	{38000, LOOKED_UP, 0, 0, false},
	{38100, CONNECTED, 0, 0, false},
	{38100, DUE, 0, 0, false},
	{38100, LOST, MAX, 1000, true},  // the delay starts again after a connect
	{39100, DUE, 0, ATTEMPT, false},
	{39100, LOST, MAX, 2000, false},
	// The wall clock set while down (a certificate may be valid now): tried
	// at once, from the first delay, and its failure said; not mid-attempt.
	{39200, CLOCK_SET, 0, 1, false},
	{39200, DUE, 0, ATTEMPT, false},
	{39200, CLOCK_SET, 0, 0, false},
	{39300, LOST, MAX, 1000, true},
	// The counts: connections made, events taken, and those while not up.
	{39300, EVENT, 0, -1, false},
	{39300, COUNTS, 0, 0, false, {2, 8, 2}},
	// A birth while the connect's round waits joins it; the diagnostics go
	// out with each round and every 5 minutes after.
	{40300, DUE, 0, ATTEMPT, false},
	{40300, LOOKED_UP, 0, 0, false},
	{40400, CONNECTED, 0, 0, false},
	{40500, BIRTHS, 1, 0, false},
	{41499, DUE, 0, 0, false},
	{41500, DUE, 0, ANNOUNCE, false},
	{41500, COUNTS, 0, 0, false, {3, 8, 2}},
	{341499, DUE, 0, MISC, false},
	{341500, DUE, 0, DIAGNOSTICS, false},
	// A birth's round waits up to 5 s more, drawn once for the burst.
	{341500, BIRTHS, 2, MAX, false},
	{348399, DUE, 0, 0, false},
	{348400, DUE, 0, ANNOUNCE, false},
	// Each delay is drawn from 0 to the cap, a lost link's first too; the
	// cap doubles all the same.
	{348500, LOST, 0, 0, true},
	{348500, DUE, 0, ATTEMPT, false},
	{348500, LOST, HALF, 1000, false},
	{349499, DUE, 0, 0, false},
	{349500, DUE, 0, ATTEMPT, false},
	{349500, LOST, MAX, 4000, false},
	{353500, WAIT, 0, 0, false},
	// The dispatcher: not served until seen, whatever the grace; served at
	// once; gone only after 5 s without, counted once; back within the
	// grace, nothing said, and the next loss has its own grace.
	{353500, CHAIN, 0, 0, false},
	{360000, CHAIN, 0, 0, false},
	{360100, CHAIN, 1, 1, true},
	{360200, CHAIN, 1, 0, true},
	{361000, CHAIN, 0, 0, true},
	{365999, CHAIN, 0, 0, true},
	{366000, CHAIN, 0, 1, false},
	{367000, CHAIN, 0, 0, false},
	{367000, COUNTS, 0, 0, false, {3, 8, 2, 1}},
	{368000, CHAIN, 1, 1, true},
	{369000, CHAIN, 0, 0, true},
	{370000, CHAIN, 1, 0, true},
	{372000, CHAIN, 0, 0, true},
	{376999, CHAIN, 0, 0, true},
	{377000, CHAIN, 0, 1, false},
	{377000, COUNTS, 0, 0, false, {3, 8, 2, 2}},
};

TEST(Bridge, ScriptFromAnyUptime)
{
	const bridge_ms kStarts[] = {0, 1000, (1LL << 31) - 20000, (1LL << 32) - 15000, 365LL * 86400 * 1000};
	for (bridge_ms start : kStarts) {
		bridge_core c;
		bridge_init(c, start, 6, 60);
		for (const step &s : kScript) {
			bridge_ms now = start + s.at;
			SCOPED_TRACE(testing::Message() << "start " << start << ", step at " << s.at);
			switch (s.what) {
			case DUE: EXPECT_EQ(bridge_due(c, now), (unsigned)s.want); break;
			case WAIT: EXPECT_EQ(bridge_wait_ms(c, now), s.want); break;
			case EVENT: {
				bridge_publish p = bridge_event(c, (int)s.arg, now);
				EXPECT_EQ(p.state, s.want);
				EXPECT_EQ(p.event, s.flag);
				break;
			}
			case LOOKED_UP: bridge_looked_up(c); break;
			case CONNECTED: bridge_connected(c, now); break;
			case LOST: {
				bridge_down d = bridge_lost(c, now, (bridge_random)s.arg);
				EXPECT_EQ(d.retry_in, s.want);
				EXPECT_EQ(d.first, s.flag);
				break;
			}
			case CLOCK_SET: EXPECT_EQ(bridge_clock_set(c, now), s.want != 0); break;
			case BIRTHS:
				for (int i = 0; i < s.arg; i++)
					bridge_birth(c, now + 900 * i, (bridge_random)s.want);
				break;
			case CHAIN:
				EXPECT_EQ(bridge_chain(c, now, s.arg != 0), s.want != 0);
				EXPECT_EQ(c.served, s.flag);
				break;
			case COUNTS:
				EXPECT_EQ((std::vector{c.connections, c.events, c.events_offline, c.chain_breaks}),
					  (std::vector(s.counts, s.counts + 4)));
				break;
			}
		}
	}
}

} // namespace
