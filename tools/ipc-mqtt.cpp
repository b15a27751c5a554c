// ipc-mqtt: publishes the events of one subscriber queue to an MQTT broker,
// as retained sensor states that Home Assistant discovers by itself.
#include <errno.h>
#include <getopt.h>
#include <arpa/inet.h>
#include <mosquitto.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "events/ipc_events.h"
#include "queues/ipc_queues.h"
#include "bridge.h"
#include "tool.h"

namespace {

char NAME[] = "ipc-mqtt";
constexpr size_t ID_MAX = 64;
constexpr size_t PREFIX_MAX = 128;
constexpr size_t TOPIC_MAX = PREFIX_MAX + sizeof("/binary_sensor//person/config") + ID_MAX;
constexpr size_t PASSWORD_MAX = 256;
constexpr size_t HOST_MAX = 253;  // the longest DNS name

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
	"                              (default the host name, or where that\n"
	"                              is unset cam- and the end of the MAC\n"
	"                              address)\n"
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

struct sensor {
	const char *name;  // topic and discovery's object
	const char *label;
	const char *device_class;
};
constexpr sensor SENSOR[BRIDGE_SENSORS] = {
	{"person", "Person", "occupancy"},
	{"motion", "Motion", "motion"},
	{"crying", "Crying", "sound"},
};

// The broker's name, looked up in a child of its own: a resolver that
// never answers holds up nothing but the child, whose answer comes back
// over a pipe that the loop polls. The answer is "+ADDRESS" or "-WHY".
struct lookup {
	pid_t pid;  // 0: none running
	int fd;
};
constexpr size_t ANSWER_MAX = 128;

// Zero at start: the defaults are set by parse_command_line, so that all of
// it lives in .bss and takes no room in the file.
struct bridge {
	// Settings.
	const char *host;  // as the user gave it: for the lines, and a later TLS check
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
	// The decisions, and the means.
	bridge_core core;
	mosquitto *mosq;
	lookup look;
	int refused;  // the broker's reason, when it refused us
};

constinit bridge the_bridge = {};
volatile sig_atomic_t stopping;

void on_stop_signal(int)
{
	stopping = 1;
}

bridge_ms now_ms(void)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (bridge_ms)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// PREFIX/what.
void make_topic(char *topic, const bridge &b, const char *what)
{
	ipc_text t = {topic, TOPIC_MAX - 1, 0};
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
	publish_text(b, SENSOR[s].name, b.core.on[s] ? "ON" : "OFF");
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

// One entity's config at DISCOVERY/COMPONENT/ID/OBJECT/config: its own
// fields (a JSON object's inside, without braces), then the state topic,
// availability, the IDs, the device and where the config came from.
void publish_config(bridge &b, const char *component, const char *object, const ipc_text &fields)
{
	char topic[TOPIC_MAX], state[TOPIC_MAX], status[TOPIC_MAX], json[2048];
	ipc_text t = {json, sizeof(json), 0};

	make_topic(state, b, object);
	make_topic(status, b, "status");
	ipc_put_all(t, "{", fields, ",\"state_topic\":");
	put_json(t, state);
	ipc_put(t, ",\"availability_topic\":");
	put_json(t, status);
	ipc_put_all(t, ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"unique_id\":\"ipc-dispatchd_",
		    b.id, "_", object, "\",\"device\":{\"identifiers\":[\"ipc-dispatchd_", b.id, "\"],\"name\":\"", b.id,
		    "\",\"model\":\"ipc-dispatchd\",\"sw_version\":\"", IPC_VERSION,
		    "\"},\"origin\":{\"name\":\"ipc-dispatchd\",\"sw_version\":\"", IPC_VERSION, "\"}}");
	ipc_text name = {topic, sizeof(topic) - 1, 0};
	ipc_put_all(name, b.discovery, "/", component, "/", b.id, "/", object, "/config");
	topic[name.len] = '\0';
	if (t.len == t.size)
		ipc_log(NAME, ": can't publish ", topic, ": longer than ", (long)sizeof(json), " bytes\n");
	else
		publish(b, topic, json, t.len, true);
}

void publish_configs(bridge &b)
{
	char buf[512];
	for (const sensor &s : SENSOR) {
		ipc_text f = {buf, sizeof(buf), 0};
		ipc_put_all(f, "\"name\":\"", s.label, "\",\"device_class\":\"", s.device_class,
			    "\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"");
		publish_config(b, "binary_sensor", s.name, f);
	}
	// The events themselves: Home Assistant wants {"event_type": NAME}.
	ipc_text f = {buf, sizeof(buf), 0};
	ipc_put(f, "\"name\":\"Event\",\"event_types\":[");
	const char *comma = "";
	for (const ipc_event &row : ipc_events)
		if (ipc_find_event(row.name) == &row) {
			ipc_put_all(f, comma, "\"", row.name, "\"");
			comma = ",";
		}
	ipc_put(f, "],\"value_template\":\"{{ {'event_type': value} | tojson }}\"");
	publish_config(b, "event", "event", f);
}

// Everything a broker or Home Assistant that lost track should have.
void publish_all(bridge &b)
{
	if (b.discovery != nullptr)
		publish_configs(b);
	for (int s = 0; s < BRIDGE_SENSORS; s++)
		publish_state(b, s);
}

void on_connect(mosquitto *, void *data, int rc)
{
	bridge &b = *(bridge *)data;
	b.refused = rc;
	if (rc != 0)
		return;  // the disconnect that follows says so
	ipc_log(NAME, ": connected to ", b.host, ":", (long)b.port, "\n");
	bridge_connected(b.core, now_ms());
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
		bridge_birth(b.core, now_ms());
}

// Any loss of the connection, or an attempt that failed.
void went_down(bridge &b, const char *why)
{
	bridge_down d = bridge_lost(b.core, now_ms());
	if (d.retry_in >= 0 && (d.first || b.verbose))
		ipc_log(NAME, d.was_up ? ": lost " : ": can't connect to ", b.host, ":", (long)b.port, ": ", why,
			"; trying again in ", (long)(d.retry_in / 1000), " s\n");
}

const char *reason(int rc)
{
	if (rc == MOSQ_ERR_KEEPALIVE)  // which libmosquitto calls an unknown error
		return "no answer within the keepalive";
	return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

void on_disconnect(mosquitto *, void *data, int rc)
{
	bridge &b = *(bridge *)data;
	went_down(b, rc == MOSQ_ERR_CONN_REFUSED && b.refused != 0 ? mosquitto_connack_string(b.refused) : reason(rc));
}

// The child's side: one lookup, one answer, and out.
[[noreturn]] void answer_lookup(const char *host, int fd)
{
	char answer[ANSWER_MAX] = "+";
	addrinfo hints = {}, *found = nullptr;
	hints.ai_socktype = SOCK_STREAM;
	int rc = getaddrinfo(host, nullptr, &hints, &found);
	if (rc != 0) {
		const char *why = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
		answer[0] = '-';
		strncpy(answer + 1, why, sizeof(answer) - 2);
	} else {
		// The first address, as the resolver orders them.
		const sockaddr *a = found->ai_addr;
		const void *bytes = a->sa_family == AF_INET6 ? (const void *)&((const sockaddr_in6 *)a)->sin6_addr
							     : (const void *)&((const sockaddr_in *)a)->sin_addr;
		inet_ntop(a->sa_family, bytes, answer + 1, sizeof(answer) - 1);
	}
	// Up to PIPE_BUF bytes, one write is all or nothing.
	ssize_t ignored = write(fd, answer, strlen(answer));
	(void)ignored;
	_exit(0);
}

void start_lookup(bridge &b)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
		went_down(b, strerror(errno));
		return;
	}
	pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		answer_lookup(b.host, p[1]);
	}
	int saved = errno;
	close(p[1]);
	if (pid < 0) {
		close(p[0]);
		went_down(b, strerror(saved));
		return;
	}
	b.look = {pid, p[0]};
}

void end_lookup(bridge &b)
{
	if (b.look.pid == 0)
		return;
	// Killed whether or not it answered: it never waits for anything else.
	kill(b.look.pid, SIGKILL);
	waitpid(b.look.pid, nullptr, 0);
	close(b.look.fd);
	b.look = {};
}

// The child answered, or ended without a word.
void finish_lookup(bridge &b)
{
	char answer[ANSWER_MAX];
	ssize_t n = read(b.look.fd, answer, sizeof(answer) - 1);
	if (n < 0 && errno == EAGAIN)
		return;
	end_lookup(b);
	answer[n > 0 ? n : 0] = '\0';
	if (n <= 0 || answer[0] != '+') {
		went_down(b, n > 0 ? answer + 1 : "the lookup ended without an answer");
		return;
	}
	bridge_looked_up(b.core);
	b.refused = 0;
	int rc = mosquitto_connect_async(b.mosq, answer + 1, (int)b.port, (int)b.keepalive);
	if (rc != MOSQ_ERR_SUCCESS)
		went_down(b, reason(rc));
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
	if (due & BRIDGE_ATTEMPT)
		start_lookup(b);
	if (due & BRIDGE_GIVE_UP)
		give_up(b);
	if (due & BRIDGE_CRYING_OFF)
		publish_state(b, BRIDGE_CRYING);
	if (due & BRIDGE_ANNOUNCE)
		publish_all(b);
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
			ipc_log(NAME, ": not an event, ignored\n");
		return;
	}
	bridge_publish p = bridge_event(b.core, (int)(row - ipc_events), now_ms());
	if (p.state >= 0)
		publish_state(b, p.state);
	if (p.event)
		publish_text(b, "event", name, false);
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

// "cam-" and the last three bytes of the MAC address of the first network
// interface that has one, as ESPHome and Tasmota name their devices; into
// id, with the interface's name into ifname (IF_NAMESIZE).
bool mac_id(char *id, char *ifname)
{
	struct if_nameindex *all = if_nameindex();
	int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	unsigned first = 0;
	for (struct if_nameindex *i = all; all != nullptr && s >= 0 && i->if_index != 0; i++) {
		ifreq r = {};
		strncpy(r.ifr_name, i->if_name, IF_NAMESIZE - 1);
		if (ioctl(s, SIOCGIFHWADDR, &r) != 0 || (first != 0 && i->if_index > first))
			continue;
		const unsigned char *mac = (const unsigned char *)r.ifr_hwaddr.sa_data;
		if ((mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) == 0)
			continue;  // the loopback's, or none
		static constexpr char hex[] = "0123456789abcdef";
		char *p = id;
		memcpy(p, "cam-", 4);
		p += 4;
		for (int k = 3; k < 6; k++) {
			*p++ = hex[mac[k] >> 4];
			*p++ = hex[mac[k] & 15];
		}
		*p = '\0';
		memcpy(ifname, r.ifr_name, IF_NAMESIZE);
		first = i->if_index;
	}
	if (s >= 0)
		close(s);
	if (all != nullptr)
		if_freenameindex(all);
	return first != 0;
}

// This machine's host name up to its first dot, as an ID; where nobody set
// one (the kernel's "(none)", empty, localhost), the MAC address's. Says
// where it came from into from (64 bytes).
void default_id(char *id, char *from)
{
	char host[256] = {};
	gethostname(host, sizeof(host) - 1);
	size_t n = strcspn(host, ".");
	host[n] = '\0';
	if (n == 0 || strcmp(host, "(none)") == 0 || strcmp(host, "localhost") == 0) {
		char ifname[IF_NAMESIZE] = {};
		ipc_text t = {from, 63, 0};
		if (mac_id(id, ifname)) {
			ipc_put_all(t, "the MAC address of ", ifname);
		} else {
			memcpy(id, "ipc-dispatchd", sizeof("ipc-dispatchd"));
			ipc_put(t, "no host name or MAC address");
		}
		from[t.len] = '\0';
		return;
	}
	for (n = 0; host[n] != '\0' && n < ID_MAX; n++)
		id[n] = id_char(host[n]) ? host[n] : '_';
	id[n] = '\0';
	strcpy(from, "the host name");
}

// The first line of the file, never the command line, where ps shows it.
bool read_password(const char *file, char *password)
{
	int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	struct stat st;
	if (fstat(fd, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
		ipc_log(NAME, ": warning: ", file, " can be read by group or others (chmod 600 ", file, ")\n");
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
	if (strlen(b.host) > HOST_MAX)
		tool_usage_error(NAME, "--host: longer than a DNS name (", (long)HOST_MAX, " characters)");
	parse_number("--port", port, 1, 65535, "number", &b.port);
	parse_number("--keepalive", keepalive, 5, 65535, "number of seconds", &b.keepalive);
	parse_number("--crying-hold", hold, 1, 86400, "number of seconds", &b.crying_hold);
	if (id != nullptr && !valid_id(id))
		tool_usage_error(NAME, "--id: '", id, "' is not 1 to ", (long)ID_MAX, " letters, digits, - and _");
	char from[64] = "--id";
	if (id != nullptr)
		memcpy(b.id, id, strlen(id) + 1);
	else
		default_id(b.id, from);
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
	ipc_log(NAME, ": id ", b.id, ", from ", from, "\n");
}

// Publishes offline, says goodbye to the broker and waits, a little, for
// both to leave.
void stop(bridge &b)
{
	end_lookup(b);
	if (b.core.link != BRIDGE_UP)
		return;
	publish_text(b, "status", "offline");
	mosquitto_disconnect_callback_set(b.mosq, nullptr);
	mosquitto_disconnect(b.mosq);
	bridge_ms give_up = now_ms() + 1000;
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

	bridge_init(b.core, now_ms(), b.crying_hold, b.keepalive);
	while (!stopping) {
		handle_due(b, bridge_due(b.core, now_ms()));
		// The broker's socket counts only while an attempt or the link
		// uses it: one given up waits for the next attempt to close it.
		bool linked = b.core.link == BRIDGE_CONNECTING || b.core.link == BRIDGE_UP;
		int sock = linked ? mosquitto_socket(b.mosq) : -1;
		pollfd p[3] = {{q, POLLIN, 0},
			       {sock, (short)(POLLIN | (mosquitto_want_write(b.mosq) ? POLLOUT : 0)), 0},
			       {b.look.pid != 0 ? b.look.fd : -1, POLLIN, 0}};
		int ms = bridge_wait_ms(b.core, now_ms());
		timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
		if (ppoll(p, 3, &wait, &during_poll) <= 0)
			continue;
		if (p[1].revents & (POLLIN | POLLERR | POLLHUP))
			mosquitto_loop_read(b.mosq, 1);
		if (p[1].revents & POLLOUT && mosquitto_socket(b.mosq) >= 0)
			mosquitto_loop_write(b.mosq, 1);
		if (p[2].revents != 0)
			finish_lookup(b);
		char msg[TOOL_MSG_MAX];
		for (ssize_t n; p[0].revents != 0 && (n = mq_receive(q, msg, sizeof(msg), nullptr)) >= 0;)
			handle_event(b, msg, (size_t)n);
	}
	stop(b);
	return TOOL_OK;
}
