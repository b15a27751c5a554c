// ipc-mqtt's decisions, with the time as an argument and no I/O: the
// sensors, the repeat rule, retries, deadlines, rounds and counts (see
// core.h).
#include "core.h"

namespace {

// What each row of the event table does to the sensors.
struct effect {
	bridge_sensor sensor;
	bool on;
};
constexpr effect EFFECT[] = {
	{BRIDGE_PERSON, true},   // AI_HUMAN_DETECTION_START
	{BRIDGE_PERSON, false},  // AI_HUMAN_DETECTION_STOP
	{BRIDGE_MOTION, true},   // MOTION_START
	{BRIDGE_MOTION, false},  // MOTION_STOP
	{BRIDGE_CRYING, true},   // BABY_CRYING
	{BRIDGE_CRYING, true},   // BABY_CRYING, second pattern
};
static_assert(sizeof(EFFECT) / sizeof(EFFECT[0]) == IPC_EVENT_ROWS, "an effect for every row of the event table");

bridge_ms earliest(bridge_ms a, bridge_ms b)
{
	return a < b ? a : b;
}

// A round a moment after a burst of asks, but no later than a gap after
// it began, and no sooner than a gap after the last round; then spread
// later still, as drawn by the burst's first ask.
void ask(bridge_core &c, bridge_ms now, bridge_ms spread)
{
	if (c.link != BRIDGE_UP)
		return;  // the connect's round will come
	if (c.announce_at == BRIDGE_NEVER) {
		c.asked_since = now;
		c.spread = spread;
	}
	bridge_ms at = earliest(now + BRIDGE_ROUND_QUIET_MS, c.asked_since + BRIDGE_ROUND_GAP_MS);
	if (c.round_at != BRIDGE_NONE && at < c.round_at + BRIDGE_ROUND_GAP_MS)
		at = c.round_at + BRIDGE_ROUND_GAP_MS;
	c.announce_at = at + c.spread;
}

} // namespace

bridge_ms bridge_jitter(bridge_ms cap, bridge_random r)
{
	// A multiplication, not a remainder: no division on the device, and
	// no value drawn more often than another by more than one in 2^32/cap.
	return (bridge_ms)(((uint64_t)cap + 1) * r >> 32);
}

void bridge_init(bridge_core &c, bridge_ms now, unsigned long crying_hold_s, unsigned long keepalive_s)
{
	c = {};
	c.crying_hold = (bridge_ms)crying_hold_s * 1000;
	// Four times a keepalive, so that a ping is never late.
	c.misc_every = (bridge_ms)keepalive_s * 250;
	c.crying_off_at = BRIDGE_NEVER;
	for (bridge_ms &at : c.published_at)
		at = BRIDGE_NONE;
	c.link = BRIDGE_DOWN;
	c.retry_ms = BRIDGE_RETRY_FIRST_MS;
	c.retry_at = now;
	c.attempt_until = BRIDGE_NEVER;
	c.announce_at = BRIDGE_NEVER;
	c.asked_since = BRIDGE_NONE;
	c.round_at = BRIDGE_NONE;
	c.misc_at = now;
	c.unserved_since = now;
	c.started = now;
	c.diagnostics_at = BRIDGE_NEVER;
}

bridge_publish bridge_event(bridge_core &c, int row, bridge_ms now)
{
	const effect &e = EFFECT[row];
	bool changed = c.on[e.sensor] != e.on;
	c.on[e.sensor] = e.on;
	if (e.sensor == BRIDGE_CRYING)
		c.crying_off_at = now + c.crying_hold;
	c.events++;
	if (c.link != BRIDGE_UP) {
		c.events_offline++;
		return {-1, false};
	}
	// Rows that share a name share its first row's time.
	const ipc_event *first = ipc_find_event(ipc_events[row].name);
	bridge_ms &last = c.published_at[first - ipc_events];
	bool repeat = last != BRIDGE_NONE && now - last < BRIDGE_REPEAT_MS;
	if (!repeat)
		last = now;
	return {changed ? (int)e.sensor : -1, !repeat};
}

unsigned bridge_due(bridge_core &c, bridge_ms now)
{
	unsigned due = 0;
	if (c.link == BRIDGE_DOWN && now >= c.retry_at) {
		c.link = BRIDGE_LOOKING_UP;
		c.attempt_until = now + BRIDGE_ATTEMPT_MS;
		due |= BRIDGE_ATTEMPT;
	} else if ((c.link == BRIDGE_LOOKING_UP || c.link == BRIDGE_CONNECTING) && now >= c.attempt_until) {
		due |= BRIDGE_GIVE_UP;
	}
	if (now >= c.crying_off_at) {
		c.crying_off_at = BRIDGE_NEVER;
		c.on[BRIDGE_CRYING] = false;
		if (c.link == BRIDGE_UP)
			due |= BRIDGE_CRYING_OFF;
	}
	if (c.link == BRIDGE_UP && now >= c.announce_at) {
		c.announce_at = BRIDGE_NEVER;
		c.round_at = now;
		c.diagnostics_at = now + BRIDGE_DIAGNOSTICS_MS;
		due |= BRIDGE_ANNOUNCE;
	} else if (c.link == BRIDGE_UP && now >= c.diagnostics_at) {
		c.diagnostics_at = now + BRIDGE_DIAGNOSTICS_MS;
		due |= BRIDGE_DIAGNOSTICS;
	}
	if (now >= c.misc_at) {
		c.misc_at = now + c.misc_every;
		due |= BRIDGE_MISC;
	}
	return due;
}

int bridge_wait_ms(const bridge_core &c, bridge_ms now)
{
	bridge_ms until = earliest(c.misc_at, c.crying_off_at);
	if (c.link == BRIDGE_DOWN)
		until = earliest(until, c.retry_at);
	else if (c.link != BRIDGE_UP)
		until = earliest(until, c.attempt_until);
	else
		until = earliest(until, earliest(c.announce_at, c.diagnostics_at));
	if (until <= now)
		return 0;
	// Deadlines are seconds to hours away: the difference cannot overflow.
	bridge_ms wait = until - now;
	return wait > 60000 ? 60000 : (int)wait;
}

void bridge_looked_up(bridge_core &c)
{
	if (c.link == BRIDGE_LOOKING_UP)
		c.link = BRIDGE_CONNECTING;
}

void bridge_connected(bridge_core &c, bridge_ms now)
{
	c.link = BRIDGE_UP;
	c.said_down = false;
	c.retry_ms = BRIDGE_RETRY_FIRST_MS;
	c.attempt_until = BRIDGE_NEVER;
	c.connections++;
	// What the broker holds comes right after the subscriptions' answer: a
	// round that waits a moment sees it, and asks made meanwhile join it.
	c.announce_at = now + BRIDGE_ROUND_QUIET_MS;
	c.asked_since = now;
	c.spread = 0;
	c.round_at = BRIDGE_NONE;
}

void bridge_ask_round(bridge_core &c, bridge_ms now)
{
	ask(c, now, 0);
}

void bridge_birth(bridge_core &c, bridge_ms now, bridge_random r)
{
	ask(c, now, bridge_jitter(BRIDGE_BIRTH_SPREAD_MS, r));
}

bool bridge_clock_set(bridge_core &c, bridge_ms now)
{
	if (c.link != BRIDGE_DOWN)
		return false;
	c.retry_at = now;
	c.retry_ms = BRIDGE_RETRY_FIRST_MS;
	c.said_down = false;
	return true;
}

bool bridge_chain(bridge_core &c, bridge_ms now, bool serving)
{
	if (serving) {
		c.unserved_since = BRIDGE_NONE;
		bool changed = !c.served;
		c.served = true;
		return changed;
	}
	if (c.unserved_since == BRIDGE_NONE)
		c.unserved_since = now;
	if (!c.served || now - c.unserved_since < BRIDGE_CHAIN_GRACE_MS)
		return false;
	c.served = false;
	c.chain_breaks++;
	return true;
}

bridge_down bridge_lost(bridge_core &c, bridge_ms now, bridge_random r)
{
	if (c.link == BRIDGE_DOWN)
		return {-1, false, false};
	bridge_down d = {bridge_jitter(c.retry_ms, r), !c.said_down, c.link == BRIDGE_UP};
	c.said_down = true;
	c.link = BRIDGE_DOWN;
	c.attempt_until = BRIDGE_NEVER;
	c.announce_at = BRIDGE_NEVER;
	c.diagnostics_at = BRIDGE_NEVER;
	c.retry_at = now + d.retry_in;
	c.retry_ms = c.retry_ms * 2 > BRIDGE_RETRY_MAX_MS ? BRIDGE_RETRY_MAX_MS : c.retry_ms * 2;
	return d;
}
