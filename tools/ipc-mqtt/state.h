// Everything ipc-mqtt holds, in one place: the settings from its command
// line, the decisions' state (bridge_core, which core.cpp alone changes),
// and what each file keeps of the connection, the lookup, the dispatcher,
// TLS and --remove. There is one bridge, zero at start (main.cpp's).
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "events/ipc_events.h"

// Milliseconds of CLOCK_MONOTONIC, in 64 bits: a year of uptime is about
// 2^35 ms, and a 32-bit count wraps after 24.9 days.
using bridge_ms = int64_t;
constexpr bridge_ms BRIDGE_NEVER = INT64_MAX;  // a deadline that is not set
constexpr bridge_ms BRIDGE_NONE = INT64_MIN;   // a moment that has not come

enum bridge_sensor { BRIDGE_PERSON, BRIDGE_MOTION, BRIDGE_CRYING, BRIDGE_SENSORS };

// DOWN until retry_at, then an attempt: the lookup of the broker's name,
// then TCP and MQTT's CONNECT until its CONNACK; UP until the link is lost.
enum bridge_link { BRIDGE_DOWN, BRIDGE_LOOKING_UP, BRIDGE_CONNECTING, BRIDGE_UP };

// What the bridge decides, apart from how it talks (core.h).
struct bridge_core {
	bridge_ms crying_hold;  // --crying-hold, in ms
	bridge_ms misc_every;   // libmosquitto's keepalive checks: four a keepalive
	// What the broker should know.
	bool on[BRIDGE_SENSORS];                 // each sensor's state
	bridge_ms crying_off_at;                 // end of crying's hold; BRIDGE_NEVER: none running
	bridge_ms published_at[IPC_EVENT_ROWS];  // of each event name: the repeat rule
	// The connection.
	bridge_link link;
	bool said_down;       // the line for this loss has been written: one line a loss
	bridge_ms retry_ms;   // the cap of the next retry's delay, doubling
	bridge_ms retry_at;   // when DOWN ends
	bridge_ms attempt_until;  // when a lookup or CONNECT is given up
	// Rounds of configs and states.
	bridge_ms announce_at;  // the next round; BRIDGE_NEVER: none waiting
	bridge_ms asked_since;  // the first ask of the burst the round waits for
	bridge_ms round_at;     // the last round: rounds are a gap apart
	bridge_ms spread;       // the random part of the waiting round's delay
	bridge_ms misc_at;      // libmosquitto's next keepalive check
	// The dispatcher.
	bool served;               // Home Assistant is told one serves the queue
	bridge_ms unserved_since;  // since when none has (BRIDGE_NONE: one does)
	// The diagnostics.
	bridge_ms started;          // bridge_init's time: the uptime
	bridge_ms diagnostics_at;   // the next diagnostics between rounds
	uint64_t connections;       // connects made
	uint64_t events;            // events taken off the queue
	uint64_t events_offline;    // of those, the ones that came while not UP
	uint64_t chain_breaks;      // the times the dispatcher was said to be gone
};

constexpr size_t ID_MAX = 64;
constexpr size_t PREFIX_MAX = 128;
constexpr size_t PASSWORD_MAX = 256;

struct mosquitto;
struct ssl_ctx_st;  // OpenSSL's SSL_CTX

// What --cafile and its kin ask for; cafile or capath turns TLS on.
struct tls_settings {
	const char *cafile, *capath, *cert, *key;
	bool insecure;  // the chain is checked, the name is not
	int version;    // 0: TLS 1.2 or later; else TLS1_2_VERSION or TLS1_3_VERSION
};

// What the last attempt's handshake learnt (tls.cpp). A broker that
// refuses the certificate often resets the connection along with its
// alert, and the reset drops the alert: the request is then the clue.
struct tls_verdict {
	long verify;      // the first fault found in the broker's chain (X509_V_OK: none)
	int alert;        // the alert the broker ended it with (-1: none)
	bool asked_cert;  // it asked for this device's certificate
};

// The broker's name, looked up in a child of its own (lookup.cpp).
struct lookup_child {
	pid_t pid;  // 0: none running
	int fd;     // the pipe its answer comes over
};

// The ipc-dispatchd that served the queue when last looked at (dispatcher.cpp):
// looking at it again costs a few system calls, a scan of /proc many.
struct dispatcher_seen {
	pid_t pid;  // 0: none
	int fd;     // the descriptor by which it holds the queue
};

// The part that keeps root (privileged.cpp).
struct privileged_part {
	pid_t pid;  // 0: none, the bridge looks itself
	int fd;     // the socketpair it answers on
};

struct bridge {
	// Settings (options.cpp): the defaults are set there, not here, so
	// that all of the bridge lives in .bss and takes no room in the file;
	// fixed once parse_command_line returns.
	const char *host;              // as the user gave it: for the lines and the certificate's name
	unsigned long port;            // the broker's: 1883, or 8883 with TLS
	char id[ID_MAX + 1];           // who the camera is to the broker and Home Assistant
	char prefix[PREFIX_MAX + 1];   // of every topic but the discovery configs
	const char *username;          // nullptr: no login
	char password[PASSWORD_MAX + 1];  // from a file: never on the command line, where ps shows it
	bool has_password;             // --password-file was given (the password may be empty)
	const char *discovery;         // Home Assistant's prefix; nullptr: no discovery
	unsigned long keepalive;       // seconds, for the broker and the keepalive checks
	unsigned long crying_hold;     // seconds
	bool verbose;                  // a line per publication
	bool tls;                      // the broker is spoken to over TLS
	tls_settings tls_options;      // what tls.cpp sets up from
	bool removing;                 // --remove: clear what the broker holds of this ID, and end

	// The decisions: what is due, and when (core.cpp).
	bridge_core core;

	// The loop (main.cpp).
	volatile sig_atomic_t stopping;  // SIGTERM or SIGINT came: publish offline and end
	bridge_ms chain_at;              // when to look at the dispatcher again

	// The connection (connection.cpp).
	mosquitto *mosq;   // libmosquitto's client, made once
	int refused;       // the broker's reason in its CONNACK, when it refused us
	bool said_refused;  // a publication the broker refused was said, this connection
	uint64_t random;   // next_random's state, for the retries and births; 0: not seeded yet
	lookup_child look;  // the lookup of the broker's name (lookup.cpp)

	// TLS (tls.cpp).
	tls_verdict handshake;    // of the last attempt, for saying why it failed
	const char *server_name;  // for SNI: the name given, never an address (nullptr)
	int clock_fd;             // readable when the wall clock is set: a certificate may be valid now

	// The dispatcher (dispatcher.cpp).
	dispatcher_seen seen;  // the one that served last

	// Home Assistant (discovery.cpp).
	unsigned old_configs;  // a bit for each old per-entity config seen, moved by the next round

	// --remove (remove.cpp).
	long cleared;  // the retained topics cleared
	bool removed;  // it reached the broker and cleared what there was
	bool done;     // it is over, either way: the loop ends

	// What the broker may send (connection.cpp, discovery.cpp).
	bool v311;  // the next attempt speaks MQTT 3.1.1: a broker refused 5 (0: 5 first)
	bool deaf;  // the broker sent more than the bridge takes: it subscribes no more
	bridge_ms quiet_until[2];  // of the line about an ignored birth, and config: once a minute

	// Least privilege (sandbox.cpp, privileged.cpp, and tls.cpp's files).
	unsigned long uid, gid;  // --user: who the network part runs as
	privileged_part priv;    // the part that keeps root
	ssl_ctx_st *tls_context; // the last good one (tls.cpp), which libmosquitto holds too
	bool reload_failed;      // a TLS file could not be used at the last attempt: said once
};
