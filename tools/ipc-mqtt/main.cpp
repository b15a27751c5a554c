// ipc-mqtt: publishes the events of one subscriber queue to an MQTT broker,
// as retained sensor states that Home Assistant discovers by itself.
#include <errno.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "events/ipc_events.h"
#include "mqtt.h"
#include "tool.h"

char NAME[] = "ipc-mqtt";

namespace {

constinit bridge the_bridge = {};
volatile sig_atomic_t stopping;

void on_stop_signal(int)
{
	stopping = 1;
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

void on_connect(mosquitto *, void *data, int rc)
{
	bridge &b = *(bridge *)data;
	b.refused = rc;
	if (rc != 0)
		return;  // the disconnect that follows says so
	// The attempt's time: lookup, TCP, TLS's handshake and MQTT's CONNECT.
	bridge_ms now = now_ms(), took = now - (b.core.attempt_until - BRIDGE_ATTEMPT_MS);
	bridge_connected(b.core, now);
	say("connected to ", b.host, ":", (long)b.port, b.tls ? " over TLS" : "", " in ", (long)took, " ms\n");
	if (b.removing) {
		subscribe_removal(b);
		return;
	}
	// The states first: the broker may keep some from before the loss,
	// and whoever sees online must see states that are true.
	for (int s = 0; s < BRIDGE_SENSORS; s++)
		publish_state(b, s);
	publish_dispatcher(b);
	publish_text(b, "status", "online");
	if (b.discovery != nullptr)
		subscribe_discovery(b);
}

void on_message(mosquitto *, void *data, const mosquitto_message *m)
{
	bridge &b = *(bridge *)data;
	if (b.removing)
		removal_message(b, m);
	else
		discovery_message(b, m);
}

// Why an attempt or the link failed, in words: the handshake's reason
// first, then the broker's, then libmosquitto's.
void failed(bridge &b, int rc)
{
#if IPC_MQTT_TLS
	char why[192];
	if (b.tls && b.core.link == BRIDGE_CONNECTING && tls_failure(b, why, sizeof(why)) != nullptr) {
		went_down(b, why);
		return;
	}
#endif
	const char *text;
	if (rc == MOSQ_ERR_CONN_REFUSED && b.refused != 0)
		text = mosquitto_connack_string(b.refused);
	else if (rc == MOSQ_ERR_KEEPALIVE)  // which libmosquitto calls an unknown error
		text = "no answer within the keepalive";
	else if (rc == MOSQ_ERR_ERRNO)
		text = strerror(errno);
	else
		text = mosquitto_strerror(rc);
	went_down(b, text);
}

void on_disconnect(mosquitto *, void *data, int rc)
{
	failed(*(bridge *)data, rc);
}

// The lookup answered: connect to the address, while the name stays what
// the lines say and what the broker's certificate is checked against.
void connect_to(bridge &b)
{
	char answer[128];
	const char *address = lookup_answer(b, answer, sizeof(answer));
	if (address == nullptr)
		return;
	bridge_looked_up(b.core);
	b.refused = 0;
	int rc = mosquitto_connect_async(b.mosq, address, (int)b.port, (int)b.keepalive);
	if (rc != MOSQ_ERR_SUCCESS)
		failed(b, rc);
}

// An attempt that ran out of time: no answer to the lookup, or no CONNACK.
void give_up(bridge &b)
{
	bool looking_up = b.core.link == BRIDGE_LOOKING_UP;
	char why[64];
	ipc_text t = {why, sizeof(why) - 1, 0};
	ipc_put_all(t, looking_up ? "no address" : "no answer", " within ", (long)(BRIDGE_ATTEMPT_MS / 1000), " s");
	why[t.len] = '\0';
	went_down(b, why);
	if (looking_up)
		end_lookup(b);
	else  // the broker hears that the attempt ended; the next one closes the socket
		shutdown(mosquitto_socket(b.mosq), SHUT_RDWR);
}

void handle_due(bridge &b, unsigned due)
{
	if (due & BRIDGE_ATTEMPT) {
#if IPC_MQTT_TLS
		tls_attempt();
#endif
		start_lookup(b);
	}
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

// The broker's socket is ready. While a TLS handshake is pending,
// libmosquitto reports a failure only by what the call returns, and takes
// a refused or dropped connection for one still on its way: an attempt's
// error or hang-up is seen to here.
void handle_socket(bridge &b, short revents)
{
	bool attempt = b.core.link == BRIDGE_CONNECTING;
	int sock = mosquitto_socket(b.mosq), err = 0;
	socklen_t len = sizeof(err);
	if (attempt && (revents & POLLERR) && getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
		errno = err;
		failed(b, MOSQ_ERR_ERRNO);
		shutdown(sock, SHUT_RDWR);
		return;
	}
	int rc = MOSQ_ERR_SUCCESS;
	if (revents & (POLLIN | POLLERR | POLLHUP))
		rc = mosquitto_loop_read(b.mosq, 1);
	if (rc == MOSQ_ERR_SUCCESS && revents & POLLOUT && mosquitto_socket(b.mosq) >= 0)
		rc = mosquitto_loop_write(b.mosq, 1);
	if (b.core.link != BRIDGE_CONNECTING)
		return;
	sockaddr_storage peer;
	socklen_t peer_len = sizeof(peer);
	if (rc != MOSQ_ERR_SUCCESS)
		failed(b, rc);
	else if (!(revents & POLLHUP))
		return;
	else if (getpeername(sock, (sockaddr *)&peer, &peer_len) != 0)  // its error went to the handshake
		went_down(b, "no connection (refused or unreachable)");
	else
		failed(b, MOSQ_ERR_CONN_LOST);
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
	bridge_publish p = bridge_event(b.core, (int)(row - ipc_events), now_ms());
	if (p.state >= 0)
		publish_state(b, p.state);
	if (p.event)
		publish_text(b, "event", name, false);
}

// The wall clock was set (NTP's first answer, on a camera that booted in
// 1970): a certificate refused as not yet valid may be valid now.
void handle_clock(bridge &b)
{
#if IPC_MQTT_TLS
	if (tls_clock_was_set() && bridge_clock_set(b.core, now_ms()))
		say("the clock was set; trying ", b.host, " again now\n");
#else
	(void)b;
#endif
}

bool make_client(bridge &b)
{
	mosquitto_lib_init();
	// --remove has a client ID of its own: a bridge of this ID that still
	// runs is not thrown off the broker.
	char client_id[ID_MAX + sizeof("ipc-mqtt--remove")], topic[TOPIC_MAX];
	ipc_text t = {client_id, sizeof(client_id) - 1, 0};
	ipc_put_all(t, "ipc-mqtt-", b.id, b.removing ? "-remove" : "");
	client_id[t.len] = '\0';
	b.mosq = mosquitto_new(client_id, true, &b);
	if (b.mosq == nullptr) {
		ipc_log_error("Can't make an MQTT client", "");
		return false;
	}
	make_topic(topic, b, "status");
	if (!b.removing)
		mosquitto_will_set(b.mosq, topic, 7, "offline", 1, true);
	if (b.username != nullptr)
		mosquitto_username_pw_set(b.mosq, b.username, b.has_password ? b.password : nullptr);
	mosquitto_connect_callback_set(b.mosq, on_connect);
	mosquitto_disconnect_callback_set(b.mosq, on_disconnect);
	mosquitto_message_callback_set(b.mosq, on_message);
#if IPC_MQTT_TLS
	if (b.tls)
		return tls_setup(b);
#endif
	return true;
}

// Publishes offline (not for --remove), says goodbye to the broker and
// waits, a little, for both to leave: the broker takes what came before
// the goodbye.
void stop(bridge &b)
{
	end_lookup(b);
	if (b.core.link != BRIDGE_UP)
		return;
	if (!b.removing)
		publish_text(b, "status", "offline");
	mosquitto_disconnect_callback_set(b.mosq, nullptr);
	mosquitto_disconnect(b.mosq);
	bridge_ms give_up = now_ms() + 1000;
	while (mosquitto_want_write(b.mosq) && now_ms() < give_up) {
		pollfd p = {mosquitto_socket(b.mosq), POLLOUT, 0};
		if (poll(&p, 1, 100) > 0 && mosquitto_loop_write(b.mosq, 1) != MOSQ_ERR_SUCCESS)
			break;
	}
	say("disconnected from ", b.host, ":", (long)b.port, "\n");
}

} // namespace

bridge_ms now_ms(void)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (bridge_ms)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// xorshift64*, seeded once from the kernel: what the retries and the
// answer to a birth draw from.
bridge_random next_random(bridge &b)
{
	if (b.random == 0) {
		// Never waits for the kernel's pool at boot: without it the time,
		// the process and the ID, which differs from camera to camera.
		if (getrandom(&b.random, sizeof(b.random), GRND_NONBLOCK) != (ssize_t)sizeof(b.random)) {
			timespec t;
			clock_gettime(CLOCK_MONOTONIC, &t);
			b.random = (uint64_t)t.tv_sec * 1000000007u ^ (uint64_t)t.tv_nsec << 20 ^ (uint64_t)getpid();
			for (const char *p = b.id; *p != '\0'; p++)
				b.random = (b.random ^ (unsigned char)*p) * 0x100000001b3u;
		}
		b.random |= 1;  // zero is xorshift's one fixed point
	}
	b.random ^= b.random >> 12;
	b.random ^= b.random << 25;
	b.random ^= b.random >> 27;
	return (bridge_random)(b.random * 0x2545f4914f6cdd1du >> 32);
}

void went_down(bridge &b, const char *why)
{
	bridge_down d = bridge_lost(b.core, now_ms(), next_random(b));
	b.done = b.removing;  // --remove makes one attempt, and says why it failed
	if (d.retry_in < 0 || !(d.first || b.verbose || b.removing))
		return;
	char then[48];
	ipc_text t = {then, sizeof(then) - 1, 0};
	if (b.removing)
		ipc_put(t, "\n");
	else
		ipc_put_all(t, "; trying again in ", (long)(d.retry_in / 1000), ".", (long)(d.retry_in % 1000 / 100), " s\n");
	then[t.len] = '\0';
	// libmosquitto's reasons may end in a full stop ("not authorised."),
	// which the line's own "; trying again" follows.
	size_t n = strlen(why);
	n -= n > 0 && why[n - 1] == '.';
	say(d.was_up ? "lost " : "can't connect to ", b.host, ":", (long)b.port, ": ",
	    ipc_text{const_cast<char *>(why), n, n}, then);
}

int main(int argc, char **argv)
{
	bridge &b = the_bridge;
	int index = 0;

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
#if IPC_MQTT_TLS
	int clock = b.tls ? tls_clock_fd() : -1;
#else
	int clock = -1;
#endif

	bridge_init(b.core, now_ms(), b.crying_hold, b.keepalive);
	b.chain_at = now_ms();
	while (!stopping && !b.done) {
		handle_due(b, bridge_due(b.core, now_ms()));
		if (b.done)
			break;
		if (!b.removing && now_ms() >= b.chain_at) {
			check_dispatcher(b);
			b.chain_at = now_ms() + BRIDGE_CHAIN_EVERY_MS;
		}
		// The broker's socket counts only while an attempt or the link
		// uses it: one given up waits for the next attempt to close it.
		bool linked = b.core.link == BRIDGE_CONNECTING || b.core.link == BRIDGE_UP;
		int sock = linked ? mosquitto_socket(b.mosq) : -1;
		pollfd p[4] = {{q, POLLIN, 0},
			       {sock, (short)(POLLIN | (mosquitto_want_write(b.mosq) ? POLLOUT : 0)), 0},
			       {b.look.pid != 0 ? b.look.fd : -1, POLLIN, 0},
			       {clock, POLLIN, 0}};
		bridge_ms now = now_ms();
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
			handle_clock(b);
		char msg[TOOL_MSG_MAX];
		for (ssize_t n; p[0].revents != 0 && (n = mq_receive(q, msg, sizeof(msg), nullptr)) >= 0;)
			handle_event(b, msg, (size_t)n);
	}
	stop(b);
	return b.removing && !b.removed ? TOOL_FAILED : TOOL_OK;
}
