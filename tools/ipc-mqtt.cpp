// ipc-mqtt: publishes the events of one subscriber queue to an MQTT broker,
// as retained sensor states that Home Assistant discovers by itself.
#include <errno.h>
#include <getopt.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "events/ipc_events.h"
#include "queues/ipc_queues.h"
#include "tool.h"

namespace {

char NAME[] = "ipc-mqtt";
constexpr size_t ID_MAX = 64;
constexpr size_t PREFIX_MAX = 128;
constexpr size_t TOPIC_MAX = PREFIX_MAX + sizeof("/binary_sensor//person/config") + ID_MAX;
constexpr size_t PASSWORD_MAX = 256;
constexpr long RETRY_FIRST_MS = 1000, RETRY_MAX_MS = 60000;
constexpr long REPEAT_MS = 1000;  // the same event again within this is not published

constexpr char USAGE[] =
	"Usage: ipc-mqtt [--host HOST] [--port PORT] [--id ID] [--topic PREFIX]\n"
	"                [--username USER] [--password-file FILE]\n"
	"                [--discovery-prefix PREFIX | --no-discovery]\n"
	"                [--keepalive SECONDS] [--crying-hold SECONDS] [--verbose] N\n"
	"Publishes the events of /ipc_dispatch_N (N from 1 to 9, created when\n"
	"missing) to an MQTT broker: each on PREFIX/event; the sensors person,\n"
	"motion and crying, ON or OFF, retained, on PREFIX/SENSOR; PREFIX/status\n"
	"online or offline; Home Assistant discovery. Retries a lost broker.\n"
	"\n"
	"  -H, --host HOST             broker (default localhost)\n"
	"  -p, --port PORT             its port (default 1883)\n"
	"  -i, --id ID                 this device: letters, digits, - and _\n"
	"                              (default the host name)\n"
	"  -t, --topic PREFIX          default ipc-dispatchd/ID\n"
	"  -u, --username USER         log in as USER\n"
	"  -P, --password-file FILE    with the password on FILE's first line\n"
	"  -d, --discovery-prefix PRE  Home Assistant's (default homeassistant)\n"
	"  -n, --no-discovery          publish no discovery configs\n"
	"  -k, --keepalive SECONDS     5 to 65535 (default 30)\n"
	"  -c, --crying-hold SECONDS   crying stays ON this long after the last\n"
	"                              BABY_CRYING, 1 to 86400 (default 30)\n"
	"  -v, --verbose               a line on stderr per publication\n"
	"  -h, --help                  show this help\n"
	"      --version               show the version\n"
	"\n"
	"SIGTERM or SIGINT: publishes offline, exits 0. Exit status: 1 the queue\n"
	"or the password file could not be read, 2 usage error.\n";

constexpr option OPTIONS[] = {
	{"host", required_argument, nullptr, 'H'},
	{"port", required_argument, nullptr, 'p'},
	{"id", required_argument, nullptr, 'i'},
	{"topic", required_argument, nullptr, 't'},
	{"username", required_argument, nullptr, 'u'},
	{"password-file", required_argument, nullptr, 'P'},
	{"discovery-prefix", required_argument, nullptr, 'd'},
	{"no-discovery", no_argument, nullptr, 'n'},
	{"keepalive", required_argument, nullptr, 'k'},
	{"crying-hold", required_argument, nullptr, 'c'},
	{"verbose", no_argument, nullptr, 'v'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

enum sensor_index { PERSON, MOTION, CRYING, SENSORS };

struct sensor {
	const char *name;  // topic and discovery's object
	const char *label;
	const char *device_class;
};
constexpr sensor SENSOR[SENSORS] = {
	{"person", "Person", "occupancy"},
	{"motion", "Motion", "motion"},
	{"crying", "Crying", "sound"},
};

// What each row of the event table does to the sensors.
struct effect {
	sensor_index sensor;
	bool on;
};
constexpr effect EFFECT[] = {
	{PERSON, true},   // AI_HUMAN_DETECTION_START
	{PERSON, false},  // AI_HUMAN_DETECTION_STOP
	{MOTION, true},   // MOTION_START
	{MOTION, false},  // MOTION_STOP
	{CRYING, true},   // BABY_CRYING
	{CRYING, true},   // BABY_CRYING, second pattern
};
static_assert(sizeof(EFFECT) / sizeof(EFFECT[0]) == IPC_EVENT_ROWS, "an effect for every row of the event table");

enum link_state { DOWN, CONNECTING, UP };

// Zero at start: the defaults are set by parse_command_line, so that all of
// it lives in .bss and takes no room in the file.
struct bridge {
	// Settings.
	const char *host;
	unsigned long port;
	char id[ID_MAX + 1];
	char prefix[PREFIX_MAX + 1];
	const char *username;
	char password[PASSWORD_MAX + 1];
	bool has_password;
	const char *discovery;  // nullptr: no discovery
	unsigned long keepalive;
	unsigned long crying_hold;
	bool verbose;
	// What the broker should know.
	bool on[SENSORS];
	long crying_off_at;                 // 0: no hold running
	long published_at[IPC_EVENT_ROWS];  // of each event name, 0: never
	// The connection.
	mosquitto *mosq;
	link_state link;
	bool connected_once;
	bool said_down;  // the line for this loss has been written
	int refused;     // the broker's reason, when it refused us
	long retry_ms;
	long retry_at;
};

constinit bridge the_bridge = {};
volatile sig_atomic_t stopping;

void on_stop_signal(int)
{
	stopping = 1;
}

long now_ms(void)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// PREFIX/what, or DISCOVERY/binary_sensor/ID/what/config with config.
void make_topic(char *topic, const bridge &b, const char *what, bool config = false)
{
	ipc_text t = {topic, TOPIC_MAX - 1, 0};
	if (config)
		ipc_put_all(t, b.discovery, "/binary_sensor/", b.id, "/", what, "/config");
	else
		ipc_put_all(t, b.prefix, "/", what);
	topic[t.len] = '\0';
}

void publish(bridge &b, const char *topic, const char *payload, size_t len, bool retain)
{
	int rc = mosquitto_publish(b.mosq, nullptr, topic, (int)len, payload, 1, retain);
	if (rc != MOSQ_ERR_SUCCESS)
		ipc_log(NAME, ": can't publish ", topic, ": ", mosquitto_strerror(rc), "\n");
	else if (b.verbose)  // a discovery config in bytes, the rest as it is
		ipc_log(NAME, ": published ", topic, " ", ipc_text{const_cast<char *>(payload), len, len < 64 ? len : 0},
			len < 64 ? "\n" : "(config)\n");
}

void publish_text(bridge &b, const char *what, const char *payload, bool retain = true)
{
	char topic[TOPIC_MAX];
	make_topic(topic, b, what);
	publish(b, topic, payload, strlen(payload), retain);
}

void publish_state(bridge &b, int s)
{
	publish_text(b, SENSOR[s].name, b.on[s] ? "ON" : "OFF");
}

// A JSON string: quotes, backslashes and control characters escaped.
void put_json(ipc_text &t, const char *s)
{
	static constexpr char hex[] = "0123456789abcdef";
	ipc_put(t, "\"");
	for (; *s != '\0'; s++) {
		unsigned char c = (unsigned char)*s;
		if (c == '"' || c == '\\') {
			const char escaped[] = {'\\', (char)c};
			ipc_put(t, escaped, 2);
		} else if (c < 0x20) {
			const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
			ipc_put(t, escaped, sizeof(escaped));
		} else {
			ipc_put(t, s, 1);
		}
	}
	ipc_put(t, "\"");
}

void publish_config(bridge &b, int s)
{
	char topic[TOPIC_MAX], state[TOPIC_MAX], status[TOPIC_MAX], json[1024];
	ipc_text t = {json, sizeof(json), 0};

	make_topic(state, b, SENSOR[s].name);
	make_topic(status, b, "status");
	ipc_put_all(t, "{\"name\":\"", SENSOR[s].label, "\",\"device_class\":\"", SENSOR[s].device_class,
		    "\",\"state_topic\":");
	put_json(t, state);
	ipc_put(t, ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",\"availability_topic\":");
	put_json(t, status);
	ipc_put_all(t, ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"unique_id\":\"ipc-dispatchd_",
		    b.id, "_", SENSOR[s].name, "\",\"device\":{\"identifiers\":[\"ipc-dispatchd_", b.id, "\"],\"name\":\"",
		    b.id, "\",\"model\":\"ipc-dispatchd\",\"sw_version\":\"", IPC_VERSION, "\"}}");
	make_topic(topic, b, SENSOR[s].name, true);
	publish(b, topic, json, t.len, true);
}

// Everything a broker or Home Assistant that lost track should have.
void publish_all(bridge &b)
{
	if (b.discovery != nullptr)
		for (int s = 0; s < SENSORS; s++)
			publish_config(b, s);
	for (int s = 0; s < SENSORS; s++)
		publish_state(b, s);
}

void on_connect(mosquitto *, void *data, int rc)
{
	bridge &b = *(bridge *)data;
	b.refused = rc;
	if (rc != 0)
		return;  // the disconnect that follows says so
	ipc_log(NAME, ": connected to ", b.host, ":", (long)b.port, "\n");
	b.link = UP;
	b.connected_once = true;
	b.said_down = false;
	b.retry_ms = RETRY_FIRST_MS;
	publish_text(b, "status", "online");
	if (b.discovery != nullptr) {
		char topic[TOPIC_MAX];
		ipc_text t = {topic, sizeof(topic) - 1, 0};
		ipc_put_all(t, b.discovery, "/status");
		topic[t.len] = '\0';
		mosquitto_subscribe(b.mosq, nullptr, topic, 1);
	}
	publish_all(b);
}

// Home Assistant says "online" on DISCOVERY/status whenever it starts.
void on_message(mosquitto *, void *data, const mosquitto_message *m)
{
	bridge &b = *(bridge *)data;
	if (m->payloadlen == 6 && memcmp(m->payload, "online", 6) == 0)
		publish_all(b);
}

// Any loss of the connection, or a connection that never came up.
void went_down(bridge &b, const char *why)
{
	if (!b.said_down || b.verbose)
		ipc_log(NAME, b.link == UP ? ": lost " : ": can't connect to ", b.host, ":", (long)b.port, ": ", why,
			"; trying again in ", b.retry_ms / 1000, " s\n");
	b.said_down = true;
	b.link = DOWN;
	b.retry_at = now_ms() + b.retry_ms;
	b.retry_ms = b.retry_ms * 2 > RETRY_MAX_MS ? RETRY_MAX_MS : b.retry_ms * 2;
}

const char *reason(int rc)
{
	return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

void on_disconnect(mosquitto *, void *data, int rc)
{
	bridge &b = *(bridge *)data;
	went_down(b, rc == MOSQ_ERR_CONN_REFUSED && b.refused != 0 ? mosquitto_connack_string(b.refused) : reason(rc));
}

void connect(bridge &b)
{
	int rc = b.connected_once ? mosquitto_reconnect_async(b.mosq)
				  : mosquitto_connect_async(b.mosq, b.host, (int)b.port, (int)b.keepalive);
	if (rc == MOSQ_ERR_SUCCESS)
		b.link = CONNECTING;
	else
		went_down(b, reason(rc));
}

// What an event does: its sensor's state, and the event itself, unless it
// was published less than a second ago (a notification that no other
// reader takes out comes back every 10 ms).
void handle_event(bridge &b, const char *msg, size_t len)
{
	char name[IPC_EVENT_NAME_MAX + 1] = {};
	// An event name has no terminator and no NUL inside.
	if (len <= IPC_EVENT_NAME_MAX && memchr(msg, '\0', len) == nullptr)
		memcpy(name, msg, len);
	const ipc_event *row = ipc_find_event(name);
	if (row == nullptr) {
		if (b.verbose)
			ipc_log(NAME, ": not an event, ignored\n");
		return;
	}
	long now = now_ms();
	int r = (int)(row - ipc_events);
	const effect &e = EFFECT[r];
	bool changed = b.on[e.sensor] != e.on;
	b.on[e.sensor] = e.on;
	if (e.sensor == CRYING)
		b.crying_off_at = now + (long)b.crying_hold * 1000;
	if (b.link != UP)
		return;
	if (changed)
		publish_state(b, e.sensor);
	if (b.published_at[r] == 0 || now - b.published_at[r] >= REPEAT_MS) {
		b.published_at[r] = now;
		publish_text(b, "event", name, false);
	}
}

bool id_char(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool valid_id(const char *id)
{
	size_t n = 0;
	for (; id[n] != '\0'; n++)
		if (!id_char(id[n]))
			return false;
	return n > 0 && n <= ID_MAX;
}

bool valid_prefix(const char *prefix)
{
	size_t n = strlen(prefix);
	return n > 0 && n <= PREFIX_MAX && strpbrk(prefix, "+#") == nullptr;
}

// This machine's host name up to its first dot, as an ID.
void default_id(char *id)
{
	char host[256] = {};
	gethostname(host, sizeof(host) - 1);
	size_t n = 0;
	for (; host[n] != '\0' && host[n] != '.' && n < ID_MAX; n++)
		id[n] = id_char(host[n]) ? host[n] : '_';
	id[n] = '\0';
	if (n == 0)
		memcpy(id, "ipc-dispatchd", sizeof("ipc-dispatchd"));
}

// The first line of the file, never the command line, where ps shows it.
bool read_password(const char *file, char *password)
{
	int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	ssize_t n = read(fd, password, PASSWORD_MAX);
	int saved = errno;
	close(fd);
	errno = saved;
	if (n < 0)
		return false;
	password[n] = '\0';
	password[strcspn(password, "\r\n")] = '\0';
	return true;
}

// A whole number from min to max in text, when it is given, or a usage
// error that names the option and what it should be.
void parse_number(const char *option, const char *text, unsigned long min, unsigned long max, const char *what,
		  unsigned long *value)
{
	if (text != nullptr && (!tool_parse_number(text, max, value) || *value < min))
		tool_usage_error(NAME, option, ": '", text, "' is not a ", what, " from ", (long)min, " to ", (long)max);
}

void parse_command_line(bridge &b, int argc, char **argv, int *index)
{
	const char *port = nullptr, *keepalive = nullptr, *hold = nullptr, *id = nullptr, *prefix = nullptr,
		   *password_file = nullptr;
	bool no_discovery = false, discovery_given = false;
	unsigned long n = 0;

	b.host = "localhost";
	b.port = 1883;
	b.discovery = "homeassistant";
	b.keepalive = 30;
	b.crying_hold = 30;
	b.retry_ms = RETRY_FIRST_MS;

	for (int c; (c = tool_next_option(NAME, argc, argv, "hH:p:i:t:u:P:d:nk:c:v", OPTIONS, USAGE)) != -1;) {
		switch (c) {
		case 'H': b.host = optarg; break;
		case 'p': port = optarg; break;
		case 'i': id = optarg; break;
		case 't': prefix = optarg; break;
		case 'u': b.username = optarg; break;
		case 'P': password_file = optarg; break;
		case 'd': b.discovery = optarg; discovery_given = true; break;
		case 'n': no_discovery = true; break;
		case 'k': keepalive = optarg; break;
		case 'c': hold = optarg; break;
		case 'v': b.verbose = true; break;
		}
	}
	int operands = argc - optind;
	if (operands != 1)
		tool_usage_error(NAME, operands == 0 ? "no queue number N given" : "one queue number N at a time");
	parse_number("N", argv[optind], 1, IPC_QUEUE_COUNT - 1, "number", &n);
	*index = (int)n;
	if (*b.host == '\0')
		tool_usage_error(NAME, "--host: empty");
	parse_number("--port", port, 1, 65535, "number", &b.port);
	parse_number("--keepalive", keepalive, 5, 65535, "number of seconds", &b.keepalive);
	parse_number("--crying-hold", hold, 1, 86400, "number of seconds", &b.crying_hold);
	if (id != nullptr && !valid_id(id))
		tool_usage_error(NAME, "--id: '", id, "' is not 1 to ", (long)ID_MAX, " letters, digits, - and _");
	if (id != nullptr)
		memcpy(b.id, id, strlen(id) + 1);
	else
		default_id(b.id);
	if (prefix != nullptr && !valid_prefix(prefix))
		tool_usage_error(NAME, "--topic: '", prefix, "' is not 1 to ", (long)PREFIX_MAX,
				 " characters without + and #");
	ipc_text t = {b.prefix, PREFIX_MAX, 0};
	if (prefix != nullptr)
		ipc_put(t, prefix);
	else
		ipc_put_all(t, "ipc-dispatchd/", b.id);
	b.prefix[t.len] = '\0';
	if (no_discovery && discovery_given)
		tool_usage_error(NAME, "--discovery-prefix and --no-discovery together");
	if (no_discovery)
		b.discovery = nullptr;
	else if (!valid_prefix(b.discovery))
		tool_usage_error(NAME, "--discovery-prefix: '", b.discovery, "' is not 1 to ", (long)PREFIX_MAX,
				 " characters without + and #");
	if (password_file != nullptr && b.username == nullptr)
		tool_usage_error(NAME, "--password-file needs --username");
	if (password_file != nullptr && !read_password(password_file, b.password)) {
		ipc_log_error("Can't read password file ", password_file);
		exit(TOOL_FAILED);
	}
	b.has_password = password_file != nullptr;
}

// Until when poll may wait: the next retry, the end of crying's hold, and
// keepalive's checks, four times a keepalive, so that a ping is never late.
int wait_ms(const bridge &b, long now, long misc_at)
{
	long until = misc_at;
	if (b.link == DOWN && b.retry_at < until)
		until = b.retry_at;
	if (b.crying_off_at != 0 && b.crying_off_at < until)
		until = b.crying_off_at;
	return until <= now ? 0 : (int)(until - now);
}

// Publishes offline, says goodbye to the broker and waits, a little, for
// both to leave.
void stop(bridge &b)
{
	if (b.link != UP)
		return;
	publish_text(b, "status", "offline");
	mosquitto_disconnect_callback_set(b.mosq, nullptr);
	mosquitto_disconnect(b.mosq);
	long give_up = now_ms() + 2000;
	while (mosquitto_want_write(b.mosq) && now_ms() < give_up) {
		pollfd p = {mosquitto_socket(b.mosq), POLLOUT, 0};
		if (poll(&p, 1, 100) > 0 && mosquitto_loop_write(b.mosq, 1) != MOSQ_ERR_SUCCESS)
			break;
	}
	ipc_log(NAME, ": disconnected from ", b.host, ":", (long)b.port, "\n");
}

} // namespace

int main(int argc, char **argv)
{
	bridge &b = the_bridge;
	int index = 0;
	char topic[TOPIC_MAX];

	parse_command_line(b, argc, argv, &index);
	mqd_t q = tool_open_queue(index, O_NONBLOCK);
	if (q == (mqd_t)-1)
		return TOOL_FAILED;

	// A log that stalls must not hold the events back here either.
	ipc_log_nonblocking();
	signal(SIGPIPE, SIG_IGN);
	// Blocked but while poll waits, so that none comes between a check and
	// the wait.
	sigset_t stop_signals, during_poll;
	sigemptyset(&stop_signals);
	sigaddset(&stop_signals, SIGTERM);
	sigaddset(&stop_signals, SIGINT);
	sigprocmask(SIG_BLOCK, &stop_signals, &during_poll);
	struct sigaction sa = {};
	sa.sa_handler = on_stop_signal;
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);

	mosquitto_lib_init();
	char client_id[ID_MAX + sizeof("ipc-mqtt-")];
	ipc_text t = {client_id, sizeof(client_id) - 1, 0};
	ipc_put_all(t, "ipc-mqtt-", b.id);
	client_id[t.len] = '\0';
	b.mosq = mosquitto_new(client_id, true, &b);
	if (b.mosq == nullptr) {
		ipc_log_error("Can't make an MQTT client", "");
		return TOOL_FAILED;
	}
	make_topic(topic, b, "status");
	mosquitto_will_set(b.mosq, topic, 7, "offline", 1, true);
	if (b.username != nullptr)
		mosquitto_username_pw_set(b.mosq, b.username, b.has_password ? b.password : nullptr);
	mosquitto_connect_callback_set(b.mosq, on_connect);
	mosquitto_disconnect_callback_set(b.mosq, on_disconnect);
	mosquitto_message_callback_set(b.mosq, on_message);

	long misc_at = 0;
	while (!stopping) {
		long now = now_ms();
		if (b.link == DOWN && now >= b.retry_at)
			connect(b);
		if (b.crying_off_at != 0 && now >= b.crying_off_at) {
			b.crying_off_at = 0;
			b.on[CRYING] = false;
			if (b.link == UP)
				publish_state(b, CRYING);
		}
		if (now >= misc_at) {
			mosquitto_loop_misc(b.mosq);
			misc_at = now + (long)b.keepalive * 250;
		}
		int sock = mosquitto_socket(b.mosq);
		pollfd p[2] = {{q, POLLIN, 0}, {sock, (short)(POLLIN | (mosquitto_want_write(b.mosq) ? POLLOUT : 0)), 0}};
		int ms = wait_ms(b, now_ms(), misc_at);
		timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
		if (ppoll(p, sock >= 0 ? 2 : 1, &wait, &during_poll) <= 0)
			continue;
		if (p[1].revents & (POLLIN | POLLERR | POLLHUP))
			mosquitto_loop_read(b.mosq, 1);
		if (p[1].revents & POLLOUT && mosquitto_socket(b.mosq) >= 0)
			mosquitto_loop_write(b.mosq, 1);
		char msg[TOOL_MSG_MAX];
		for (ssize_t n; p[0].revents != 0 && (n = mq_receive(q, msg, sizeof(msg), nullptr)) >= 0;)
			handle_event(b, msg, (size_t)n);
	}
	stop(b);
	return TOOL_OK;
}
