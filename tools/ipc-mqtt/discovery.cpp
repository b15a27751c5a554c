// What the broker is told: the topics, the sensors' states, and the
// retained configs by which Home Assistant discovers the camera.
#include <mosquitto.h>
#include <string.h>

#include "events/ipc_events.h"
#include "mqtt.h"

namespace {

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

void publish(bridge &b, const char *topic, const char *payload, size_t len, bool retain)
{
	int rc = mosquitto_publish(b.mosq, nullptr, topic, (int)len, payload, 1, retain);
	if (rc != MOSQ_ERR_SUCCESS)
		ipc_log(NAME, ": can't publish ", topic, ": ", mosquitto_strerror(rc), "\n");
	else if (b.verbose)  // a discovery config in bytes, the rest as it is
		ipc_log(NAME, ": published ", topic, " ", ipc_text{const_cast<char *>(payload), len, len < 64 ? len : 0},
			len < 64 ? "\n" : "(config)\n");
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

} // namespace

// PREFIX/what.
void make_topic(char *topic, const bridge &b, const char *what)
{
	ipc_text t = {topic, TOPIC_MAX - 1, 0};
	ipc_put_all(t, b.prefix, "/", what);
	topic[t.len] = '\0';
}

void publish_text(bridge &b, const char *what, const char *payload, bool retain)
{
	char topic[TOPIC_MAX];
	make_topic(topic, b, what);
	publish(b, topic, payload, strlen(payload), retain);
}

void publish_state(bridge &b, int s)
{
	publish_text(b, SENSOR[s].name, b.core.on[s] ? "ON" : "OFF");
}

// Everything a broker or Home Assistant that lost track should have.
void publish_all(bridge &b)
{
	if (b.discovery != nullptr)
		publish_configs(b);
	for (int s = 0; s < BRIDGE_SENSORS; s++)
		publish_state(b, s);
}
