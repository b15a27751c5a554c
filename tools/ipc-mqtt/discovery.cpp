// What the broker is told: the topics, the sensors' states, the
// diagnostics, and the one retained config by which Home Assistant
// discovers the camera, moved there from the per-entity configs of 0.3.0.
#include <mosquitto.h>
#include <string.h>

#include "events/ipc_events.h"
#include "mqtt.h"

namespace {

struct sensor {
	const char *name;  // topic, and the key of its entity
	const char *label;
	const char *device_class;
};
constexpr sensor SENSOR[BRIDGE_SENSORS] = {
	{"person", "Person", "occupancy"},
	{"motion", "Motion", "motion"},
	{"crying", "Crying", "sound"},
};

// The diagnostics' entities, all read from PREFIX/diagnostics: the key in
// its JSON (and of the entity), the name, and fields of their own.
struct diagnostic {
	const char *key, *label, *fields;
};
constexpr diagnostic DIAGNOSTIC[] = {
	{"uptime", "Uptime", "\"dev_cla\":\"duration\",\"unit_of_meas\":\"s\""},
	{"connections", "Connections", "\"stat_cla\":\"total_increasing\""},
	{"events", "Events", "\"stat_cla\":\"total_increasing\""},
	{"events_offline", "Events while offline", "\"stat_cla\":\"total_increasing\""},
	{"chain_breaks", "Detection outages", "\"stat_cla\":\"total_increasing\""},
};

void publish(bridge &b, const char *topic, const char *payload, size_t len, bool retain)
{
	int rc = mosquitto_publish(b.mosq, nullptr, topic, (int)len, payload, 1, retain);
	if (rc != MOSQ_ERR_SUCCESS)
		say("can't publish ", topic, ": ", mosquitto_strerror(rc), "\n");
	else if (b.verbose && len > 160)  // the device config, by its size
		say("published ", topic, " (", (long)len, " bytes)\n");
	else if (b.verbose)
		say("published ", topic, " ", ipc_text{const_cast<char *>(payload), len, len}, "\n");
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

// A count in decimal: 64 bits, where a long has 32 on the device.
void put_count(ipc_text &t, uint64_t n)
{
	char digits[20];
	size_t i = sizeof(digits);
	do
		digits[--i] = (char)('0' + n % 10);
	while ((n /= 10) != 0);
	ipc_put(t, digits + i, sizeof(digits) - i);
}

// One entity of the device config: "KEY":{"p":PLATFORM,FIELDS,AVAILABILITY,
// "stat_t":PREFIX/TOPIC,"uniq_id":"ipc-dispatchd_ID_KEY"}. A detection
// entity is available while the bridge and the dispatcher both are: Home
// Assistant must never show "no crying" while nothing can hear it. A
// diagnostic needs the bridge alone.
void put_component(ipc_text &t, const bridge &b, const char *key, const char *platform, const ipc_text &fields,
		   const char *topic)
{
	char state[TOPIC_MAX], status[TOPIC_MAX], dispatcher[TOPIC_MAX];
	make_topic(state, b, topic);
	make_topic(status, b, "status");
	make_topic(dispatcher, b, "dispatcher");
	ipc_put_all(t, "\"", key, "\":{\"p\":\"", platform, "\",", fields);
	if (strcmp(platform, "sensor") == 0) {
		ipc_put(t, ",\"avty_t\":");
		put_json(t, status);
	} else {
		ipc_put(t, ",\"avty\":[{\"topic\":");
		put_json(t, status);
		ipc_put(t, "},{\"topic\":");
		put_json(t, dispatcher);
		ipc_put(t, "}],\"avty_mode\":\"all\"");
	}
	ipc_put(t, ",\"stat_t\":");
	put_json(t, state);
	ipc_put_all(t, ",\"uniq_id\":\"ipc-dispatchd_", b.id, "_", key, "\"}");
}

void publish_device_config(bridge &b)
{
	char topic[TOPIC_MAX], json[6144], buf[512];
	ipc_text t = {json, sizeof(json), 0};

	ipc_put_all(t, "{\"dev\":{\"ids\":[\"ipc-dispatchd_", b.id, "\"],\"name\":\"", b.id,
		    "\",\"mdl\":\"ipc-dispatchd\",\"sw\":\"", IPC_VERSION, "\"},\"o\":{\"name\":\"ipc-dispatchd\",\"sw\":\"",
		    IPC_VERSION, "\"", IPC_SUPPORT_URL[0] != '\0' ? ",\"url\":\"" : "", IPC_SUPPORT_URL,
		    IPC_SUPPORT_URL[0] != '\0' ? "\"" : "", "},\"cmps\":{");
	for (const sensor &s : SENSOR) {
		ipc_text f = {buf, sizeof(buf), 0};
		ipc_put_all(f, "\"name\":\"", s.label, "\",\"dev_cla\":\"", s.device_class, "\",\"pl_on\":\"ON\",\"pl_off\":\"OFF\"");
		put_component(t, b, s.name, "binary_sensor", f, s.name);
		ipc_put(t, ",");
	}
	// The events themselves: Home Assistant wants {"event_type": NAME}.
	ipc_text f = {buf, sizeof(buf), 0};
	ipc_put(f, "\"name\":\"Event\",\"evt_typ\":[");
	const char *comma = "";
	for (const ipc_event &row : ipc_events)
		if (ipc_find_event(row.name) == &row) {
			ipc_put_all(f, comma, "\"", row.name, "\"");
			comma = ",";
		}
	ipc_put(f, "],\"val_tpl\":\"{{ {'event_type': value} | tojson }}\"");
	put_component(t, b, "event", "event", f, "event");
	for (const diagnostic &d : DIAGNOSTIC) {
		f.len = 0;
		ipc_put_all(f, "\"name\":\"", d.label, "\",\"ent_cat\":\"diagnostic\",", d.fields,
			    ",\"val_tpl\":\"{{ value_json.", d.key, " }}\"");
		ipc_put(t, ",");
		put_component(t, b, d.key, "sensor", f, "diagnostics");
	}
	ipc_put(t, "}}");
	device_config_topic(topic, b);
	if (t.len == t.size)
		say("can't publish ", topic, ": longer than ", (long)sizeof(json), " bytes\n");
	else
		publish(b, topic, json, t.len, true);
}

// The device config; where the broker held per-entity configs of this ID,
// moved the way Home Assistant keeps their entities: each told to migrate,
// then the device config, then each cleared.
void publish_configs(bridge &b)
{
	static constexpr char MIGRATE[] = "{\"migrate_discovery\":true}";
	char topic[TOPIC_MAX];
	unsigned old = b.old_configs;
	b.old_configs = 0;
	for (int i = 0; i < OLD_CONFIGS; i++)
		if (old & 1u << i) {
			old_config_topic(topic, b, i);
			publish(b, topic, MIGRATE, sizeof(MIGRATE) - 1, false);
		}
	publish_device_config(b);
	long moved = 0;
	for (int i = 0; i < OLD_CONFIGS; i++)
		if (old & 1u << i) {
			old_config_topic(topic, b, i);
			publish(b, topic, "", 0, true);
			moved++;
		}
	if (moved != 0) {
		device_config_topic(topic, b);
		say("moved ", moved, " per-entity discovery configs into ", topic, "\n");
	}
}

} // namespace

// PREFIX/what.
void make_topic(char *topic, const bridge &b, const char *what)
{
	ipc_text t = {topic, TOPIC_MAX - 1, 0};
	ipc_put_all(t, b.prefix, "/", what);
	topic[t.len] = '\0';
}

void device_config_topic(char *topic, const bridge &b)
{
	ipc_text t = {topic, TOPIC_MAX - 1, 0};
	ipc_put_all(t, b.discovery, "/device/", b.id, "/config");
	topic[t.len] = '\0';
}

// DISCOVERY/binary_sensor/ID/SENSOR/config, then DISCOVERY/event/ID/event/config.
void old_config_topic(char *topic, const bridge &b, int i)
{
	ipc_text t = {topic, TOPIC_MAX - 1, 0};
	ipc_put_all(t, b.discovery, i < BRIDGE_SENSORS ? "/binary_sensor/" : "/event/", b.id, "/",
		    i < BRIDGE_SENSORS ? SENSOR[i].name : "event", "/config");
	topic[t.len] = '\0';
}

void publish_text(bridge &b, const char *what, const char *payload, bool retain)
{
	char topic[TOPIC_MAX];
	make_topic(topic, b, what);
	publish(b, topic, payload, strlen(payload), retain);
}

void clear_retained(bridge &b, const char *topic)
{
	publish(b, topic, "", 0, true);
}

void publish_state(bridge &b, int s)
{
	publish_text(b, SENSOR[s].name, b.core.on[s] ? "ON" : "OFF");
}

void publish_dispatcher(bridge &b)
{
	publish_text(b, "dispatcher", b.core.served ? "online" : "offline");
}

// {"uptime":S,"connections":N,"events":N,"events_offline":N,"chain_breaks":N}, in the
// order and with the keys of the diagnostics' entities.
void publish_diagnostics(bridge &b)
{
	const bridge_core &c = b.core;
	const uint64_t value[] = {(uint64_t)(tool_now_ms() - c.started) / 1000, c.connections, c.events, c.events_offline,
				  c.chain_breaks};
	static_assert(sizeof(value) / sizeof(value[0]) == sizeof(DIAGNOSTIC) / sizeof(DIAGNOSTIC[0]));
	char json[192];
	ipc_text t = {json, sizeof(json) - 1, 0};
	for (size_t i = 0; i < sizeof(value) / sizeof(value[0]); i++) {
		ipc_put_all(t, i == 0 ? "{\"" : ",\"", DIAGNOSTIC[i].key, "\":");
		put_count(t, value[i]);
	}
	ipc_put(t, "}");
	json[t.len] = '\0';
	publish_text(b, "diagnostics", json);
}

// Everything a broker or Home Assistant that lost track should have.
void publish_round(bridge &b)
{
	if (b.discovery != nullptr)
		publish_configs(b);
	for (int s = 0; s < BRIDGE_SENSORS; s++)
		publish_state(b, s);
	publish_dispatcher(b);
	publish_diagnostics(b);
}

// Home Assistant's birth on DISCOVERY/status, and this ID's old configs.
void subscribe_discovery(bridge &b)
{
	char topics[1 + OLD_CONFIGS][TOPIC_MAX], *list[1 + OLD_CONFIGS];
	ipc_text t = {topics[0], TOPIC_MAX - 1, 0};
	ipc_put_all(t, b.discovery, "/status");
	topics[0][t.len] = '\0';
	list[0] = topics[0];
	for (int i = 0; i < OLD_CONFIGS; i++) {
		old_config_topic(topics[i + 1], b, i);
		list[i + 1] = topics[i + 1];
	}
	mosquitto_subscribe_multiple(b.mosq, nullptr, 1 + OLD_CONFIGS, list, 1, 0, nullptr);
}

// An old config asks for a round that moves it (what the bridge itself
// sends there, the request to migrate and the empty payload, does not);
// Home Assistant's "online" asks for a round too.
void discovery_message(bridge &b, const mosquitto_message *m)
{
	char topic[TOPIC_MAX];
	size_t len = (size_t)m->payloadlen;
	for (int i = 0; i < OLD_CONFIGS; i++) {
		old_config_topic(topic, b, i);
		if (strcmp(m->topic, topic) != 0)
			continue;
		const char *p = (const char *)m->payload;
		bool migrate = false;  // "migrate_discovery", or its abbreviation "migr_discvry"
		for (size_t at = 0; at + 5 <= len && !migrate; at++)
			migrate = memcmp(p + at, "\"migr", 5) == 0;
		if (len == 0 || migrate)
			return;
		b.old_configs |= 1u << i;
		bridge_ask_round(b.core, tool_now_ms());
		return;
	}
	if (len == 6 && memcmp(m->payload, "online", 6) == 0)
		bridge_birth(b.core, tool_now_ms(), next_random(b));
}
