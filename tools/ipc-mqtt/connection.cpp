// The MQTT connection: libmosquitto's client, each attempt (the lookup,
// then TCP, TLS and CONNECT), what a connect publishes, every loss and
// why in words, the retry's random delay, and the goodbye.
#include <errno.h>
#include <mosquitto.h>
#include <poll.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "mqtt.h"

namespace {

// Any loss of the connection, or an attempt that failed: the line that
// says so, once a loss, and the next attempt's time.
void went_down(bridge &b, const char *why)
{
	bridge_down d = bridge_lost(b.core, tool_now_ms(), next_random(b));
	b.done = b.removing;  // --remove makes one attempt, and says why it failed
	if (d.retry_in < 0 || !(d.first || b.verbose || b.removing))
		return;
	ipc_buf<47> then;
	// At most a minute: in 32 bits, where a division by a constant is a
	// multiplication.
	unsigned ms = (unsigned)d.retry_in;
	if (b.removing)
		ipc_put(then, "\n");
	else
		ipc_put_all(then, "; trying again in ", ms / 1000, ".", ms % 1000 / 100, " s\n");
	// libmosquitto's reasons may end in a full stop ("not authorised."),
	// which the line's own "; trying again" follows.
	size_t n = strlen(why);
	n -= n > 0 && why[n - 1] == '.';
	say(d.was_up ? "lost " : "can't connect to ", b.host, ":", b.port, ": ", ipc_chars{why, n}, then);
}

// Why an attempt or the link failed, in words: the handshake's reason
// first, then the broker's, then libmosquitto's.
void failed(bridge &b, int rc)
{
#if IPC_MQTT_TLS
	ipc_buf<191> why;
	if (b.tls && b.core.link == BRIDGE_CONNECTING && tls_failure(b, why) != nullptr) {
		went_down(b, why.str());
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

void on_connect(mosquitto *, void *data, int rc)
{
	bridge &b = *(bridge *)data;
	b.refused = rc;
	if (rc != 0)
		return;  // the disconnect that follows says so
	// The attempt's time: lookup, TCP, TLS's handshake and MQTT's CONNECT.
	bridge_ms now = tool_now_ms(), took = now - (b.core.attempt_until - BRIDGE_ATTEMPT_MS);
	bridge_connected(b.core, now);
	say("connected to ", b.host, ":", b.port, b.tls ? " over TLS" : "", " in ", took, " ms\n");
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

void on_disconnect(mosquitto *, void *data, int rc)
{
	failed(*(bridge *)data, rc);
}

} // namespace

bool make_client(bridge &b)
{
	mosquitto_lib_init();
	// --remove has a client ID of its own: a bridge of this ID that still
	// runs is not thrown off the broker.
	ipc_buf<sizeof("ipc-mqtt--remove") - 1 + ID_MAX> client_id;
	ipc_put_all(client_id, "ipc-mqtt-", b.id, b.removing ? "-remove" : "");
	b.mosq = mosquitto_new(client_id.str(), true, &b);
	if (b.mosq == nullptr) {
		ipc_log_error("Can't make an MQTT client", "");
		return false;
	}
	topic_buf topic;
	make_topic(topic, b, "status");
	if (!b.removing)
		mosquitto_will_set(b.mosq, topic.str(), 7, "offline", 1, true);
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

void start_attempt(bridge &b)
{
#if IPC_MQTT_TLS
	tls_attempt(b);
#endif
	const char *why = start_lookup(b.look, b.host);
	if (why != nullptr)
		went_down(b, why);
}

// The lookup answered: connect to the address, while the name stays what
// the lines say and what the broker's certificate is checked against.
void connect_to(bridge &b)
{
	ipc_buf<LOOKUP_ANSWER_MAX> answer;
	const char *said = lookup_answer(b.look, answer);
	if (said == nullptr)
		return;
	if (said[0] != '+') {
		went_down(b, said + 1);
		return;
	}
	bridge_looked_up(b.core);
	b.refused = 0;
	int rc = mosquitto_connect_async(b.mosq, said + 1, (int)b.port, (int)b.keepalive);
	if (rc != MOSQ_ERR_SUCCESS)
		failed(b, rc);
}

// An attempt that ran out of time: no answer to the lookup, or no CONNACK.
void give_up(bridge &b)
{
	bool looking_up = b.core.link == BRIDGE_LOOKING_UP;
	ipc_buf<63> why;
	ipc_put_all(why, looking_up ? "no address" : "no answer", " within ", BRIDGE_ATTEMPT_MS / 1000, " s");
	went_down(b, why.str());
	if (looking_up)
		end_lookup(b.look);
	else  // the broker hears that the attempt ended; the next one closes the socket
		shutdown(mosquitto_socket(b.mosq), SHUT_RDWR);
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

// The wall clock was set (NTP's first answer, on a camera that booted in
// 1970): a certificate refused as not yet valid may be valid now.
void clock_set(bridge &b)
{
#if IPC_MQTT_TLS
	if (tls_clock_was_set(b) && bridge_clock_set(b.core, tool_now_ms()))
		say("the clock was set; trying ", b.host, " again now\n");
#else
	(void)b;
#endif
}

// Publishes offline (not for --remove), says goodbye to the broker and
// waits, a little, for both to leave: the broker takes what came before
// the goodbye.
void disconnect(bridge &b)
{
	end_lookup(b.look);
	if (b.core.link != BRIDGE_UP)
		return;
	if (!b.removing)
		publish_text(b, "status", "offline");
	mosquitto_disconnect_callback_set(b.mosq, nullptr);
	mosquitto_disconnect(b.mosq);
	bridge_ms give_up = tool_now_ms() + 1000;
	while (mosquitto_want_write(b.mosq) && tool_now_ms() < give_up) {
		pollfd p = {mosquitto_socket(b.mosq), POLLOUT, 0};
		if (poll(&p, 1, 100) > 0 && mosquitto_loop_write(b.mosq, 1) != MOSQ_ERR_SUCCESS)
			break;
	}
	say("disconnected from ", b.host, ":", b.port, "\n");
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
