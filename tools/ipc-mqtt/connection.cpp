// The MQTT connection: libmosquitto's client, each attempt (the lookup,
// then TCP, TLS and CONNECT), what a connect publishes, every loss and
// why in words, the retry's random delay, and the goodbye.
#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <string.h>
#include <sys/random.h>
#include <sys/resource.h>
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

// A broker's reason, in MQTT 3.1.1's words where it has them: the lines
// are the same whichever version the broker speaks. MQTT 5's other codes
// are a number (mosquitto_reason_string's words would cost 2 KB).
const char *reason(int code, ipc_text &why)
{
	static constexpr unsigned char V311[][2] = {{MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION, 1},
						    {MQTT_RC_CLIENTID_NOT_VALID, 2},
						    {MQTT_RC_SERVER_UNAVAILABLE, 3},
						    {MQTT_RC_BAD_USERNAME_OR_PASSWORD, 4},
						    {MQTT_RC_NOT_AUTHORIZED, 5}};
	for (const auto &v : V311)
		if (code == v[0])
			code = v[1];
	if (code <= 5)
		return mosquitto_connack_string(code);
	ipc_put_all(why, "the broker's reason ", code, " (MQTT 5)");
	return why.str();
}

// A broker that refuses MQTT 5 (older brokers, RabbitMQ 3.10) says
// "unacceptable protocol version", in either version's CONNACK, or hangs
// up on the CONNECT: the next attempt speaks the other version. Whichever
// connected is kept for the next.
void other_version(bridge &b, int rc)
{
	bool refused = b.refused == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || b.refused == 1;
	bool hung_up = b.refused == 0 && (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_PROTOCOL);
	if (b.core.link == BRIDGE_CONNECTING && (refused || hung_up))
		b.v311 = !b.v311;
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
	other_version(b, rc);
	const char *text;
	ipc_buf<47> code;
	if (b.refused != 0 && b.core.link == BRIDGE_CONNECTING)
		text = reason(b.refused, code);
	else if (rc >= 0x80)  // MQTT 5's DISCONNECT: the broker's reason
		text = reason(rc, code);
	else if (rc == 0)  // MQTT 5's DISCONNECT without one
		text = "the broker ended the connection";
	else if (rc == MOSQ_ERR_NOMEM) {  // refused at the allocation, or the cap of bound_memory
		// What is retained there would come again on every connect.
		text = b.deaf || b.discovery == nullptr ? "the broker sent more than the bridge takes"
							: "the broker sent more than the bridge takes (Home Assistant's birth is not heard from now on)";
		b.deaf = true;
	}
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
	if (b.core.link != BRIDGE_CONNECTING)
		return;  // a second CONNACK
	b.refused = rc;
	if (rc != 0)
		return;  // the disconnect that follows says so
	// The attempt's time: lookup, TCP, TLS's handshake and MQTT's CONNECT.
	bridge_ms now = tool_now_ms(), took = now - (b.core.attempt_until - BRIDGE_ATTEMPT_MS);
	bridge_connected(b.core, now);
	b.said_refused = false;
	say("connected to ", b.host, ":", b.port, b.tls ? " over TLS" : "", " in ", took, " ms",
	    b.v311 ? " (MQTT 3.1.1)\n" : "\n");
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
	if (b.discovery != nullptr && !b.deaf)
		subscribe_discovery(b);
}

// A broker whose ACL does not let this login write its topics still lets
// it in, and drops each publication; MQTT 5 says so in the PUBACK alone.
// Said once a connection: otherwise nothing would.
void on_publish(mosquitto *, void *data, int, int reason, const mosquitto_property *)
{
	bridge &b = *(bridge *)data;
	if (reason < 0x80 || b.said_refused)
		return;
	b.said_refused = true;
	if (reason == 135)
		say("the broker does not let login ", b.username != nullptr ? b.username : "(none)", " publish ", b.prefix,
		    "/: not authorised (does its ACL want the login to be the --id?)\n");
	else
		say("the broker refused a publication: MQTT 5 reason ", reason, "\n");
}

void on_message(mosquitto *, void *data, const mosquitto_message *m)
{
	bridge &b = *(bridge *)data;
	inbound(b, m->topic, m->payload, (size_t)m->payloadlen, m->retain);
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
	mosquitto_publish_v5_callback_set(b.mosq, on_publish);
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
	// libmosquitto has no asynchronous connect with properties. Its
	// blocking one keeps them for the next connect (or clears them, for
	// 3.1.1), then refuses the port -1 before it connects.
	mosquitto_property *props = nullptr;
	mosquitto_int_option(b.mosq, MOSQ_OPT_PROTOCOL_VERSION, b.v311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
	if (!b.v311)
		mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, PACKET_MAX);
	mosquitto_connect_bind_v5(b.mosq, said + 1, -1, (int)b.keepalive, nullptr, props);
	mosquitto_property_free_all(&props);
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

// Everything a broker sends is taken into memory whole: libmosquitto takes
// the length a packet claims (up to 256 MiB) at its word, and allocates it
// before the bridge sees a byte. Linked in (the device), its allocations
// are refused above PACKET_MAX; everywhere, the address space is capped
// at what start-up left plus MEMORY_ROOM (inherited by the lookup child),
// so that a larger allocation fails, the connection is dropped and made
// again. The cap is relative: the sanitizers' shadow is there already.
constexpr size_t MEMORY_ROOM = 8 << 20;

void bound_memory(void)
{
	char statm[64] = {};
	int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
	ssize_t n = fd < 0 ? -1 : read(fd, statm, sizeof(statm) - 1);
	if (fd >= 0)
		close(fd);
	unsigned long long pages = 0;
	for (const char *p = statm; n > 0 && *p >= '0' && *p <= '9'; p++)
		pages = pages * 10 + (unsigned)(*p - '0');
	rlimit cap;
	cap.rlim_cur = cap.rlim_max = (rlim_t)(pages * (unsigned long long)getpagesize() + MEMORY_ROOM);
	// prlimit, not setrlimit: one thread, and musl's setrlimit brings the
	// machinery that sets it in every thread.
	if (pages == 0 || prlimit(0, RLIMIT_AS, &cap, nullptr) != 0)
		say("warning: can't cap the memory: ", strerror(errno), "\n");
}

#ifdef LIBMOSQUITTO_STATIC
extern "C" void *__real_mosquitto__malloc(size_t n);
extern "C" void *__real_mosquitto__calloc(size_t nmemb, size_t n);
extern "C" void *__wrap_mosquitto__malloc(size_t n);
extern "C" void *__wrap_mosquitto__calloc(size_t nmemb, size_t n);
extern "C" void *__wrap_mosquitto__malloc(size_t n)
{
	return n > PACKET_MAX ? nullptr : __real_mosquitto__malloc(n);
}
extern "C" void *__wrap_mosquitto__calloc(size_t nmemb, size_t n)
{
	return nmemb != 0 && n > PACKET_MAX / nmemb ? nullptr : __real_mosquitto__calloc(nmemb, n);
}
#endif

#if defined(__SANITIZE_ADDRESS__)
// The cap works by an allocation that fails, as the C library's does:
// AddressSanitizer's own default ends the process instead. And its
// quarantine of freed memory, 256 MiB by default, would grow with every
// message a broker floods the bridge with: 4 MiB still holds thousands of
// the bridge's blocks for catching a use after free.
extern "C" const char *__asan_default_options();
extern "C" const char *__asan_default_options()
{
	return "allocator_may_return_null=1:quarantine_size_mb=4";
}
#endif
