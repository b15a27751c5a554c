// ipc-mqtt: publishes the events of one subscriber queue to an MQTT broker,
// as retained sensor states that Home Assistant discovers by itself. This
// file: the one bridge, its signals, and the loop that waits for the
// queue, the broker's socket, the lookup and the clock, and does what
// core.cpp says is due.
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include "events/ipc_events.h"
#include "mqtt.h"
#include "tool.h"

namespace {

constinit bridge the_bridge = {};

void on_stop_signal(int)
{
	the_bridge.stopping = 1;
}

// SIGTERM and SIGINT end the loop. They are blocked but while ppoll waits,
// so that none comes between a check and the wait: the mask for ppoll into
// during.
void catch_stop_signals(sigset_t *during)
{
	sigset_t stop_signals;
	sigemptyset(&stop_signals);
	sigaddset(&stop_signals, SIGTERM);
	sigaddset(&stop_signals, SIGINT);
	sigprocmask(SIG_BLOCK, &stop_signals, during);
	struct sigaction sa = {};
	sa.sa_handler = on_stop_signal;
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);
}

void handle_due(bridge &b, unsigned due)
{
	if (due & BRIDGE_ATTEMPT)
		start_attempt(b);
	if (due & BRIDGE_GIVE_UP)
		give_up(b);
	if (due & BRIDGE_CRYING_OFF)
		publish_state(b, BRIDGE_CRYING);
	if ((due & BRIDGE_ANNOUNCE) && b.removing)
		removal_done(b);
	else if (due & BRIDGE_ANNOUNCE)
		publish_round(b);
	if (due & BRIDGE_DIAGNOSTICS)
		publish_diagnostics(b);
	if (due & BRIDGE_MISC)
		mosquitto_loop_misc(b.mosq);
}

// What an event does: its sensor's state, and the event itself, unless it
// was published less than a second ago.
void handle_event(bridge &b, const char *msg, size_t len)
{
	char name[IPC_EVENT_NAME_MAX + 1] = {};
	// An event name has no terminator and no NUL inside.
	if (len <= IPC_EVENT_NAME_MAX && memchr(msg, '\0', len) == nullptr)
		memcpy(name, msg, len);
	const ipc_event *row = ipc_find_event(name);
	if (row == nullptr) {
		if (b.verbose)
			say("not an event, ignored\n");
		return;
	}
	bridge_publish p = bridge_event(b.core, (int)(row - ipc_events), tool_now_ms());
	if (p.state >= 0)
		publish_state(b, p.state);
	if (p.event)
		publish_text(b, "event", name, false);
}

} // namespace

int main(int argc, char **argv)
{
	bridge &b = the_bridge;
	int index = 0;

	// Where S60ipc-mqtt's LOG=syslog tags each line, no name begins it.
	static char name[] = "ipc-mqtt";
	tool_start(name, TOOL_TAGGED_BY_ENV);
	parse_command_line(b, argc, argv, &index);
	mqd_t q = b.removing ? (mqd_t)-1 : tool_open_queue(index, O_NONBLOCK);
	if (q == (mqd_t)-1 && !b.removing)
		return TOOL_FAILED;

	// A log that stalls must not hold the events back here either.
	ipc_log_nonblocking();
	signal(SIGPIPE, SIG_IGN);
	sigset_t during_poll;
	catch_stop_signals(&during_poll);
	if (!make_client(b)) {
		mosquitto_destroy(b.mosq);
		mosquitto_lib_cleanup();
		return TOOL_FAILED;
	}
	int clock = b.tls ? b.clock_fd : -1;
	bound_memory();
	// The files are open: the rest speaks to the network, and needs none
	// of root's powers but what the privileged part keeps.
	if (!b.removing)
		start_privileged(b, q);
	sandbox(b);

	bridge_init(b.core, tool_now_ms(), b.crying_hold, b.keepalive);
	b.chain_at = tool_now_ms();
	while (!b.stopping && !b.done) {
		handle_due(b, bridge_due(b.core, tool_now_ms()));
		if (b.done)
			break;
		if (!b.removing && tool_now_ms() >= b.chain_at) {
			check_dispatcher(b);
			b.chain_at = tool_now_ms() + BRIDGE_CHAIN_EVERY_MS;
		}
		// The broker's socket counts only while an attempt or the link
		// uses it: one given up waits for the next attempt to close it.
		bool linked = b.core.link == BRIDGE_CONNECTING || b.core.link == BRIDGE_UP;
		int sock = linked ? mosquitto_socket(b.mosq) : -1;
		pollfd p[4] = {{q, POLLIN, 0},
			       {sock, (short)(POLLIN | (mosquitto_want_write(b.mosq) ? POLLOUT : 0)), 0},
			       {b.look.pid != 0 ? b.look.fd : -1, POLLIN, 0},
			       {clock, POLLIN, 0}};
		bridge_ms now = tool_now_ms();
		int ms = bridge_wait_ms(b.core, now);
		if (!b.removing && b.chain_at - now < ms)
			ms = b.chain_at > now ? (int)(b.chain_at - now) : 0;
		timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
		if (ppoll(p, 4, &wait, &during_poll) <= 0)
			continue;
		if (p[1].revents != 0)
			handle_socket(b, p[1].revents);
		if (p[2].revents != 0)
			connect_to(b);
		if (p[3].revents != 0)
			clock_set(b);
		char msg[TOOL_MSG_MAX];
		for (ssize_t n; p[0].revents != 0 && (n = mq_receive(q, msg, sizeof(msg), nullptr)) >= 0;)
			handle_event(b, msg, (size_t)n);
	}
	disconnect(b);
	end_privileged(b);
	return b.removing && !b.removed ? TOOL_FAILED : TOOL_OK;
}
