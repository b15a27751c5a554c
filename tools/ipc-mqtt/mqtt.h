// What the files of ipc-mqtt offer one another, file by file. What they
// hold is in state.h, what they decide in core.h.
#pragma once

#include <stddef.h>

#include "core.h"
#include "state.h"
#include "tool.h"
#include "trace/trace.h"

// A topic at its longest: an old config's under the longest prefix.
constexpr size_t TOPIC_MAX = PREFIX_MAX + sizeof("/binary_sensor//person/config") - 1 + ID_MAX;
using topic_buf = ipc_buf<TOPIC_MAX>;
// The per-entity discovery configs of 0.3.0 and 0.4.0: the three binary
// sensors', then the event's.
constexpr int OLD_CONFIGS = BRIDGE_SENSORS + 1;

// The most the broker may send in one packet. The largest the bridge takes
// is an old config or, for --remove, the device config it publishes (at
// most 6 KiB, in a topic of TOPIC_MAX); what is larger is refused before
// it is taken into memory (connection.cpp) and, in MQTT 5, never sent.
constexpr size_t PACKET_MAX = 16384;

// options.cpp: the command line into b's settings, and the queue's number.
void parse_command_line(bridge &b, int argc, char **argv, int *index);

// identity.cpp: the ID where --id is not given, and where it came from,
// each appended to its text.
bool id_char(char c);
void default_id(ipc_text &id, ipc_text &from);

// connection.cpp: the MQTT client and its link to the broker. make_client
// once; then each attempt as core.cpp decides: start_attempt looks the
// broker up, connect_to connects once the lookup answered, give_up ends
// one that ran out of time; handle_socket reads and writes when the
// broker's socket is ready; clock_set retries at once what the clock may
// have failed; disconnect says goodbye.
bool make_client(bridge &b);
void start_attempt(bridge &b);
void connect_to(bridge &b);
void give_up(bridge &b);
void handle_socket(bridge &b, short revents);
void clock_set(bridge &b);
void disconnect(bridge &b);
bridge_random next_random(bridge &b);  // for the retries and the births
// Once started: the address space may grow but a little beyond what it
// has now, so that what a broker sends can never take the camera's memory.
void bound_memory(void);

// lookup.cpp: the broker's name in a child of its own. start_lookup says
// why it could not start one (nullptr: it did); lookup_answer, once the
// child answered, gives "+ADDRESS" or "-WHY" in answer and ends it
// (nullptr: no answer yet); end_lookup kills and reaps it, whether or not
// it answered.
constexpr size_t LOOKUP_ANSWER_MAX = 127;
const char *start_lookup(lookup_child &l, const char *host);
const char *lookup_answer(lookup_child &l, ipc_buf<LOOKUP_ANSWER_MAX> &answer);
void end_lookup(lookup_child &l);

// discovery.cpp: what the broker is told, and what the bridge listens to
// on it. A topic is written into its buffer whole, from the start.
void make_topic(topic_buf &topic, const bridge &b, const char *what);
void device_config_topic(topic_buf &topic, const bridge &b);
void old_config_topic(topic_buf &topic, const bridge &b, int i);
void subscribe(bridge &b, topic_buf *topics, int n);  // n: 2 + OLD_CONFIGS at most
void publish_text(bridge &b, const char *what, const char *payload, bool retain = true);
void clear_retained(bridge &b, const char *topic);
void publish_state(bridge &b, int sensor);
void publish_dispatcher(bridge &b);  // online or offline, as b.core.served says
void publish_diagnostics(bridge &b);
void publish_round(bridge &b);  // the device config, every state, the diagnostics
void subscribe_discovery(bridge &b);
// What came from the broker, its topic and payload: Home Assistant's birth,
// an old config, or for --remove a retained message.
void inbound(bridge &b, const char *topic, const void *payload, size_t len, bool retain);

// dispatcher.cpp: whether an ipc-dispatchd serves the live /ipc_dispatch now;
// check_dispatcher looks, and tells the broker what changed; the
// privileged part looks with dispatcher_now (the pid that serves, or 0).
bool dispatcher_serves(bridge &b);
void check_dispatcher(bridge &b);
pid_t dispatcher_now(bridge &b);

// privileged.cpp: the part that keeps root and answers typed questions,
// forked by start_privileged before the sandbox (without it, the bridge
// looks and opens itself); ask_privileged puts the answer in *value and
// errno, and a descriptor that came with it in *fd, false when the part
// has gone; privileged_open opens a TLS file by its question (-1 and
// errno where it cannot); end_privileged ends and reaps it.
enum priv_question : unsigned char { PRIV_DISPATCHER, PRIV_CAFILE, PRIV_CERT, PRIV_KEY };
void start_privileged(bridge &b, int queue);
bool ask_privileged(bridge &b, unsigned char question, int32_t *value, int *fd);
int privileged_open(bridge &b, int question);
void end_privileged(bridge &b);

// sandbox.cpp: the network part gives up root for --user, then new
// privileges and every system call it does not make, and says once what it
// could not give up; the privileged part keeps root, and gives up the rest.
void sandbox(const bridge &b);
void sandbox_privileged(void);

// remove.cpp: --remove, once connected: what to listen to, each retained
// message (cleared), and the end, once the broker has gone quiet.
void subscribe_removal(bridge &b);
void removal_message(bridge &b, const char *topic, const void *payload, size_t len, bool retain);
void removal_done(bridge &b);

// tls.cpp: TLS for the broker's connection, when b.tls. tls_setup says why
// and returns false when the files cannot be used, and sets b.clock_fd;
// tls_attempt starts a handshake's verdict afresh; tls_failure, after a
// failed attempt, says why the handshake failed in words (nullptr: it was
// not the handshake).
bool tls_setup(bridge &b);
void tls_attempt(bridge &b);
const char *tls_failure(const bridge &b, ipc_text &why);
bool tls_clock_was_set(const bridge &b);
const char *tls_library(void);  // OpenSSL's name, version and date
