// ipc-mqtt --remove: clears what the broker keeps of one camera, so that
// Home Assistant removes its device: the discovery configs, old and new,
// then every retained topic under PREFIX.
#include <mosquitto.h>
#include <string.h>

#include "mqtt.h"

// One subscription, the discovery configs' filters first: the broker sends
// what it keeps in that order, so Home Assistant loses the device before
// its states are cleared under it.
void subscribe_removal(bridge &b)
{
	topic_buf topics[2 + OLD_CONFIGS];
	int n = 0;
	if (b.discovery != nullptr) {
		device_config_topic(topics[n++], b);
		for (int i = 0; i < OLD_CONFIGS; i++)
			old_config_topic(topics[n++], b, i);
	}
	make_topic(topics[n++], b, "#");
	subscribe(b, topics, n);
}

// A retained message is cleared as it comes, and the end waits for the
// broker to be quiet a moment after the last one. What the bridge clears
// comes back empty, and is not retained.
void removal_message(bridge &b, const char *topic, const void *payload, size_t len, bool retain)
{
	if (!retain || len == 0)
		return;
	topic_buf status;
	make_topic(status, b, "status");
	if (strcmp(topic, status.str()) == 0 && len == 6 && memcmp(payload, "online", 6) == 0)
		say("warning: ", status, " says online: a bridge with this ID still runs, and publishes again"
			" (stop it first)\n");
	clear_retained(b, topic);
	say("cleared ", topic, "\n");
	b.cleared++;
	bridge_ask_round(b.core, tool_now_ms());
}

void removal_done(bridge &b)
{
	if (b.cleared == 0)
		say("nothing retained of ", b.id, " on ", b.host, ":", b.port, "\n");
	else
		say("cleared ", b.cleared, " retained topics of ", b.id, " on ", b.host, ":", b.port, "\n");
	b.done = b.removed = true;
}
