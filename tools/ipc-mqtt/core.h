// What ipc-mqtt decides, apart from how it talks: the sensors' states,
// crying's hold, the repeat rule, the retry delays, the deadline of an
// attempt, the rounds of configs and states, what Home Assistant is told of
// the dispatcher, and the diagnostics' counts. The time and the random
// numbers are arguments and nothing here does I/O; its state is
// bridge_core (state.h), and main.cpp and connection.cpp are the shell.
#pragma once

#include "state.h"

// A retry waits a random time, uniform from 0 to a cap ("full jitter"),
// the cap doubling from the first to the most with each failure. Cameras
// that lost one broker at one instant come back spread out, not in step:
// a fleet in step overflows the broker's listen backlog and its
// handshakes, and every attempt fails again, in step again.
constexpr bridge_ms BRIDGE_RETRY_FIRST_MS = 1000, BRIDGE_RETRY_MAX_MS = 60000;
// The same event again within this is not published: a notification that
// no other reader takes out comes back every 10 ms.
constexpr bridge_ms BRIDGE_REPEAT_MS = 1000;
// An attempt (lookup, TCP, CONNACK) that takes longer is given up, whatever
// the keepalive.
constexpr bridge_ms BRIDGE_ATTEMPT_MS = 10000;
// A round of configs and states goes out this long after a connect, or
// after a burst of what asks for one (Home Assistant's "online", old
// configs on the broker) has gone quiet; rounds are at least
// BRIDGE_ROUND_GAP_MS apart, and a burst waits no longer than that.
constexpr bridge_ms BRIDGE_ROUND_QUIET_MS = 1000, BRIDGE_ROUND_GAP_MS = 5000;
// Home Assistant's birth reaches every camera at once; each answers it up
// to this much later still, at random, so that a thousand device configs
// come over five seconds rather than in one instant.
constexpr bridge_ms BRIDGE_BIRTH_SPREAD_MS = 5000;
// The diagnostics go out with every round and this often in between.
constexpr bridge_ms BRIDGE_DIAGNOSTICS_MS = 300000;
// Whether a dispatcher serves the camera's queue is looked at this often,
// and it is said to be gone once it has been for the grace: a service that
// its supervisor starts again is back within it.
constexpr bridge_ms BRIDGE_CHAIN_EVERY_MS = 1000, BRIDGE_CHAIN_GRACE_MS = 5000;

// A random number from the shell, uniform over 32 bits.
using bridge_random = uint32_t;
// Uniform from 0 to cap, both included.
bridge_ms bridge_jitter(bridge_ms cap, bridge_random r);

void bridge_init(bridge_core &c, bridge_ms now, unsigned long crying_hold_s, unsigned long keepalive_s);

// What one event does: the sensor whose state is to be published (-1:
// none), and whether the event itself is. Nothing is published while the
// link is not up; the states go out on connect.
struct bridge_publish {
	int state;
	bool event;
};
bridge_publish bridge_event(bridge_core &c, int row, bridge_ms now);

// What is due now, a mask.
enum bridge_due_what : unsigned {
	BRIDGE_ATTEMPT = 1,     // look the broker up: the link is LOOKING_UP now
	BRIDGE_GIVE_UP = 2,     // the attempt ran out of time: end it, then bridge_lost
	BRIDGE_CRYING_OFF = 4,  // crying's hold is over: publish its state
	BRIDGE_ANNOUNCE = 8,    // a round: configs, every state, diagnostics
	BRIDGE_MISC = 16,       // libmosquitto's keepalive checks
	BRIDGE_DIAGNOSTICS = 32,
};
unsigned bridge_due(bridge_core &c, bridge_ms now);

// How long the shell may wait for its descriptors before something is due,
// in ms, at most a minute.
int bridge_wait_ms(const bridge_core &c, bridge_ms now);

void bridge_looked_up(bridge_core &c);  // the name has an address: connect
// Up: a round follows a moment later, once the broker has answered the
// subscriptions made on connect.
void bridge_connected(bridge_core &c, bridge_ms now);
// Something asks for a round: the broker holds what a round moves or
// clears. bridge_birth: Home Assistant said "online"; its round waits up to
// BRIDGE_BIRTH_SPREAD_MS more, by r.
void bridge_ask_round(bridge_core &c, bridge_ms now);
void bridge_birth(bridge_core &c, bridge_ms now, bridge_random r);
// The wall clock was set: while the link is down, the next attempt starts
// now, from the first retry delay, and its failure is said. True when it
// does.
bool bridge_clock_set(bridge_core &c, bridge_ms now);

// What the shell saw: whether a dispatcher serves the queue that exists now.
// True when what Home Assistant is told changes (it is c.served): at
// once when one serves, after BRIDGE_CHAIN_GRACE_MS without one when it
// does not. Nothing serves until one is seen.
bool bridge_chain(bridge_core &c, bridge_ms now, bool serving);

// The link went down, or an attempt failed; r draws the delay. retry_in:
// when the next attempt starts, in ms, or -1 when the link was down already (a socket
// given up that libmosquitto closes later), which changes nothing; first:
// the first failure since the link was last up, the one to say; was_up:
// the link was lost rather than never made.
struct bridge_down {
	bridge_ms retry_in;
	bool first;
	bool was_up;
};
bridge_down bridge_lost(bridge_core &c, bridge_ms now, bridge_random r);
