// What the files of ipc-mqtt share: the settings and state of the one
// bridge, and the functions each file offers the others.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "core.h"
#include "tool.h"
#include "trace/trace.h"

struct mosquitto;
struct mosquitto_message;

extern char NAME[];
// What begins each line of the bridge's: "ipc-mqtt: ", or nothing where
// the log names the program on each line itself (busybox logger's tag,
// for S60ipc-mqtt's LOG=syslog: IPC_LOG_TAGGED is set).
extern const char *log_prefix;

constexpr size_t ID_MAX = 64;
constexpr size_t PREFIX_MAX = 128;
constexpr size_t TOPIC_MAX = PREFIX_MAX + sizeof("/binary_sensor//person/config") + ID_MAX;
constexpr size_t PASSWORD_MAX = 256;
constexpr size_t HOST_MAX = 253;  // the longest DNS name
constexpr unsigned long PORT = 1883, TLS_PORT = 8883;
// The per-entity discovery configs of 0.3.0 and 0.4.0: the three binary
// sensors', then the event's.
constexpr int OLD_CONFIGS = BRIDGE_SENSORS + 1;

// The broker's name, looked up in a child of its own (lookup.cpp).
struct lookup {
	pid_t pid;  // 0: none running
	int fd;
};

// The ipc-dispatchd that served the queue when last looked at (chain.cpp):
// its pid (0: none) and the descriptor by which it holds the queue.
struct dispatcher_seen {
	pid_t pid;
	int fd;
};

// What --cafile and its kin ask for; cafile or capath turns TLS on.
struct tls_settings {
	const char *cafile, *capath, *cert, *key;
	bool insecure;  // the chain is checked, the name is not
	int version;    // 0: TLS 1.2 or later; else TLS1_2_VERSION or TLS1_3_VERSION
};

// Zero at start: the defaults are set by parse_command_line, so that all of
// it lives in .bss and takes no room in the file.
struct bridge {
	// Settings.
	const char *host;  // as the user gave it: for the lines and the certificate's name
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
	bool tls;
	tls_settings tls_options;
	bool removing;  // --remove: clear what the broker holds of this ID, and end
	// The decisions, and the means.
	bridge_core core;
	mosquitto *mosq;
	lookup look;
	dispatcher_seen seen;
	bridge_ms chain_at;  // when to look at the dispatcher again
	int refused;  // the broker's reason, when it refused us
	uint64_t random;  // next_random's state; 0: not seeded yet
	unsigned old_configs;  // a bit for each old config seen, for the next round
	// --remove: the end, and how it went.
	bool done, removed;
	long cleared;
};

bridge_ms now_ms(void);
bridge_random next_random(bridge &b);
// Any loss of the connection, or an attempt that failed (main.cpp).
void went_down(bridge &b, const char *why);

// options.cpp: the command line into b, and the queue's number.
void parse_command_line(bridge &b, int argc, char **argv, int *index);

// identity.cpp: the ID where --id is not given, and where it came from
// (64 bytes).
bool id_char(char c);
void default_id(char *id, char *from);

// lookup.cpp: start one, end it (killed and reaped, whether or not it
// answered), and its answer: the address, or nullptr while it has none yet;
// a lookup that failed is ended and reported with went_down.
void start_lookup(bridge &b);
void end_lookup(bridge &b);
const char *lookup_answer(bridge &b, char *answer, size_t size);

// discovery.cpp: what the broker is told, and what the bridge listens to
// on it. Topics are TOPIC_MAX bytes.
void make_topic(char *topic, const bridge &b, const char *what);
void device_config_topic(char *topic, const bridge &b);
void old_config_topic(char *topic, const bridge &b, int i);
void publish_text(bridge &b, const char *what, const char *payload, bool retain = true);
void clear_retained(bridge &b, const char *topic);
void publish_state(bridge &b, int sensor);
void publish_dispatcher(bridge &b);  // online or offline, as b.core.served says
void publish_diagnostics(bridge &b);
void publish_round(bridge &b);  // the device config, every state, the diagnostics
void subscribe_discovery(bridge &b);
void discovery_message(bridge &b, const mosquitto_message *m);

// chain.cpp: whether an ipc-dispatchd serves the live /ipc_dispatch now;
// check_dispatcher looks, and tells the broker what changed.
bool dispatcher_serves(bridge &b);
void check_dispatcher(bridge &b);

// remove.cpp: --remove, once connected: what to listen to, each retained
// message (cleared), and the end, once the broker has gone quiet.
void subscribe_removal(bridge &b);
void removal_message(bridge &b, const mosquitto_message *m);
void removal_done(bridge &b);

// tls.cpp: TLS for the broker's connection, when b.tls. tls_setup says why
// and returns false when the files cannot be used; tls_failure, after a
// failed attempt, says why the handshake failed in words (nullptr: it was
// not the handshake); tls_clock_fd is readable when the wall clock was set.
bool tls_setup(bridge &b);
void tls_attempt(void);
const char *tls_failure(const bridge &b, char *why, size_t size);
int tls_clock_fd(void);
const char *tls_library(void);  // OpenSSL's name, version and date
bool tls_clock_was_set(void);
