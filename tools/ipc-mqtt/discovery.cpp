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
		say("published ", topic, " (", len, " bytes)\n");
	else if (b.verbose)
		say("published ", topic, " ", ipc_chars{payload, len}, "\n");
}

// A JSON string: quotes, backslashes and control characters escaped.
void put_json(ipc_text &t, const char *s)
{
	ipc_put(t, "\"");
	for (; *s != '\0'; s++) {
		if (*s == '"' || *s == '\\')
			ipc_put_all(t, "\\", ipc_chars{s, 1});
		else if ((unsigned char)*s < 0x20)
			ipc_put_all(t, "\\u00", ipc_hex{s, 1});
		else
			ipc_put(t, s, 1);
	}
	ipc_put(t, "\"");
}

// One entity of the device config: "KEY":{"p":PLATFORM,FIELDS,AVAILABILITY,
// "stat_t":PREFIX/TOPIC,"uniq_id":"ipc-dispatchd_ID_KEY"}. A detection
// entity is available while the bridge and the dispatcher both are: Home
// Assistant must never show "no crying" while nothing can hear it. A
// diagnostic needs the bridge alone.
void put_component(ipc_text &t, const bridge &b, const char *key, const char *platform, const ipc_text &fields,
		   const char *topic)
{
	topic_buf state, status, dispatcher;
	make_topic(state, b, topic);
	make_topic(status, b, "status");
	make_topic(dispatcher, b, "dispatcher");
	ipc_put_all(t, "\"", key, "\":{\"p\":\"", platform, "\",", fields);
	if (strcmp(platform, "sensor") == 0) {
		ipc_put(t, ",\"avty_t\":");
		put_json(t, status.str());
	} else {
		ipc_put(t, ",\"avty\":[{\"topic\":");
		put_json(t, status.str());
		ipc_put(t, "},{\"topic\":");
		put_json(t, dispatcher.str());
		ipc_put(t, "}],\"avty_mode\":\"all\"");
	}
	ipc_put(t, ",\"stat_t\":");
	put_json(t, state.str());
	ipc_put_all(t, ",\"uniq_id\":\"ipc-dispatchd_", b.id, "_", key, "\"}");
}

void publish_device_config(bridge &b)
{
	ipc_buf<6144> t;
	ipc_buf<512> f;

	ipc_put_all(t, "{\"dev\":{\"ids\":[\"ipc-dispatchd_", b.id, "\"],\"name\":\"", b.id,
		    "\",\"mdl\":\"ipc-dispatchd\",\"sw\":\"", IPC_VERSION, "\"},\"o\":{\"name\":\"ipc-dispatchd\",\"sw\":\"",
		    IPC_VERSION, "\"", IPC_SUPPORT_URL[0] != '\0' ? ",\"url\":\"" : "", IPC_SUPPORT_URL,
		    IPC_SUPPORT_URL[0] != '\0' ? "\"" : "", "},\"cmps\":{");
	for (const sensor &s : SENSOR) {
		f.len = 0;
		ipc_put_all(f, "\"name\":\"", s.label, "\",\"dev_cla\":\"", s.device_class, "\",\"pl_on\":\"ON\",\"pl_off\":\"OFF\"");
		put_component(t, b, s.name, "binary_sensor", f, s.name);
		ipc_put(t, ",");
	}
	// The events themselves: Home Assistant wants {"event_type": NAME}.
	f.len = 0;
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
	topic_buf topic;
	device_config_topic(topic, b);
	if (t.len == t.size)
		say("can't publish ", topic, ": longer than ", t.size, " bytes\n");
	else
		publish(b, topic.str(), t.buf, t.len, true);
}

// The device config; where the broker held per-entity configs of this ID,
// moved the way Home Assistant keeps their entities: each told to migrate,
// then the device config, then each cleared.
void publish_configs(bridge &b)
{
	static constexpr char MIGRATE[] = "{\"migrate_discovery\":true}";
	topic_buf topic;
	unsigned old = b.old_configs;
	b.old_configs = 0;
	for (int i = 0; i < OLD_CONFIGS; i++)
		if (old & 1u << i) {
			old_config_topic(topic, b, i);
			publish(b, topic.str(), MIGRATE, sizeof(MIGRATE) - 1, false);
		}
	publish_device_config(b);
	long moved = 0;
	for (int i = 0; i < OLD_CONFIGS; i++)
		if (old & 1u << i) {
			old_config_topic(topic, b, i);
			publish(b, topic.str(), "", 0, true);
			moved++;
		}
	if (moved != 0) {
		device_config_topic(topic, b);
		say("moved ", moved, " per-entity discovery configs into ", topic, "\n");
	}
}

} // namespace

// PREFIX/what.
void make_topic(topic_buf &topic, const bridge &b, const char *what)
{
	topic.len = 0;
	ipc_put_all(topic, b.prefix, "/", what);
}

void device_config_topic(topic_buf &topic, const bridge &b)
{
	topic.len = 0;
	ipc_put_all(topic, b.discovery, "/device/", b.id, "/config");
}

// DISCOVERY/binary_sensor/ID/SENSOR/config, then DISCOVERY/event/ID/event/config.
void old_config_topic(topic_buf &topic, const bridge &b, int i)
{
	topic.len = 0;
	ipc_put_all(topic, b.discovery, i < BRIDGE_SENSORS ? "/binary_sensor/" : "/event/", b.id, "/",
		    i < BRIDGE_SENSORS ? SENSOR[i].name : "event", "/config");
}

// One subscription to n topics.
void subscribe(bridge &b, topic_buf *topics, int n)
{
	char *list[2 + OLD_CONFIGS];
	for (int i = 0; i < n; i++) {
		topics[i].str();
		list[i] = topics[i].buf;
	}
	mosquitto_subscribe_multiple(b.mosq, nullptr, n, list, 1, 0, nullptr);
}

void publish_text(bridge &b, const char *what, const char *payload, bool retain)
{
	topic_buf topic;
	make_topic(topic, b, what);
	publish(b, topic.str(), payload, strlen(payload), retain);
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
	// The uptime's one 64-bit division costs nothing more: musl's printf,
	// which libmosquitto links, carries __aeabi_uldivmod already.
	const uint64_t value[] = {(uint64_t)(tool_now_ms() - c.started) / 1000, c.connections, c.events, c.events_offline,
				  c.chain_breaks};
	static_assert(sizeof(value) / sizeof(value[0]) == sizeof(DIAGNOSTIC) / sizeof(DIAGNOSTIC[0]));
	ipc_buf<191> json;
	for (size_t i = 0; i < sizeof(value) / sizeof(value[0]); i++)
		ipc_put_all(json, i == 0 ? "{\"" : ",\"", DIAGNOSTIC[i].key, "\":", value[i]);
	ipc_put(json, "}");
	publish_text(b, "diagnostics", json.str());
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
	topic_buf topics[1 + OLD_CONFIGS];
	ipc_put_all(topics[0], b.discovery, "/status");
	for (int i = 0; i < OLD_CONFIGS; i++)
		old_config_topic(topics[i + 1], b, i);
	subscribe(b, topics, 1 + OLD_CONFIGS);
}

namespace {

// Home Assistant's birth is "online" (and its will "offline"); an old
// config is a JSON object that 0.3.0 and 0.4.0 wrote from 1 KiB buffers.
constexpr size_t BIRTH_MAX = 7, OLD_CONFIG_MAX = 4096;
enum { IGNORED_BIRTH, IGNORED_CONFIG };

// Anyone who may publish on the broker may send these: what is not what
// it should be is ignored, and said once a minute of each kind at most.
void ignored(bridge &b, int kind, const char *topic, size_t len, const char *why)
{
	bridge_ms now = tool_now_ms();
	if (now < b.quiet_until[kind])
		return;
	b.quiet_until[kind] = now + 60000;
	say("ignored ", topic, ": ", len, " bytes, ", why, " (said once a minute)\n");
}

bool blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool json_object(const char *p, size_t len)
{
	size_t at = 0;
	while (len > 0 && blank(p[len - 1]))
		len--;
	while (at < len && blank(p[at]))
		at++;
	return len - at >= 2 && p[at] == '{' && p[len - 1] == '}' && memchr(p, '\0', len) == nullptr;
}

// An old config asks for a round that moves it (what the bridge itself
// sends there, the request to migrate and the empty payload, does not);
// Home Assistant's "online" asks for a round too.
void discovery_message(bridge &b, const char *t, const char *p, size_t len)
{
	topic_buf topic;
	for (int i = 0; i < OLD_CONFIGS; i++) {
		old_config_topic(topic, b, i);
		if (strcmp(t, topic.str()) != 0)
			continue;
		if (len > OLD_CONFIG_MAX) {
			ignored(b, IGNORED_CONFIG, t, len, "too long for a config");
			return;
		}
		bool migrate = false;  // "migrate_discovery", or its abbreviation "migr_discvry"
		for (size_t at = 0; at + 5 <= len && !migrate; at++)
			migrate = memcmp(p + at, "\"migr", 5) == 0;
		if (len == 0 || migrate)
			return;
		if (!json_object(p, len)) {
			ignored(b, IGNORED_CONFIG, t, len, "not a JSON object");
			return;
		}
		b.old_configs |= 1u << i;
		bridge_ask_round(b.core, tool_now_ms());
		return;
	}
	topic.len = 0;
	ipc_put_all(topic, b.discovery, "/status");
	if (strcmp(t, topic.str()) != 0)
		return;
	if (len == 6 && memcmp(p, "online", 6) == 0)
		bridge_birth(b.core, tool_now_ms(), next_random(b));
	else if (len > BIRTH_MAX)
		ignored(b, IGNORED_BIRTH, t, len, "too long for a birth");
	else if (!(len == 7 && memcmp(p, "offline", 7) == 0))
		ignored(b, IGNORED_BIRTH, t, len, "neither online nor offline");
}

} // namespace

void inbound(bridge &b, const char *topic, const void *payload, size_t len, bool retain)
{
	if (b.removing)
		removal_message(b, topic, payload, len, retain);
	else if (b.discovery != nullptr)
		discovery_message(b, topic, (const char *)payload, len);
}
