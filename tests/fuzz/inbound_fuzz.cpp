// libFuzzer over what ipc-mqtt takes from the broker: Home Assistant's
// birth, the old configs it moves, and --remove's retained messages. The
// first byte: bit 0 --remove, bit 1 retained; then the topic, up to a NUL
// (or one of the bridge's own, by the second byte); the rest, its payload.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "mqtt.h"

namespace {

bridge make_bridge(bool removing)
{
	bridge b = {};
	b.host = "broker.test";
	b.port = 1883;
	strcpy(b.id, "cam");
	strcpy(b.prefix, "ipc-dispatchd/cam");
	b.discovery = "homeassistant";
	b.removing = removing;
	bridge_init(b.core, 0, 30, 30);
	b.core.link = BRIDGE_UP;
	return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	static bridge b;
	b = make_bridge(data[0] & 1);
	bool retain = data[0] & 2;
	topic_buf own;
	switch (data[1] % 4) {
	case 0: old_config_topic(own, b, data[1] / 4 % OLD_CONFIGS); break;
	case 1: ipc_put(own, "homeassistant/status"); break;
	case 2: make_topic(own, b, "status"); break;
	default: break;
	}
	const char *rest = (const char *)data + 2;
	size_t len = size - 2;
	char topic[TOPIC_MAX + 1] = {};
	if (own.len != 0) {
		memcpy(topic, own.str(), own.len);
	} else {
		const char *end = (const char *)memchr(rest, '\0', len);
		size_t n = end == nullptr ? len : (size_t)(end - rest);
		if (n == 0 || n > TOPIC_MAX)
			return 0;
		memcpy(topic, rest, n);
		rest += n + (end != nullptr);
		len -= n + (end != nullptr);
	}
	// A copy of its own, so that the sanitizer sees a read past its end.
	char *payload = (char *)malloc(len == 0 ? 1 : len);
	memcpy(payload, rest, len);
	inbound(b, topic, payload, len, retain);
	free(payload);
	if (b.old_configs >> OLD_CONFIGS != 0)
		abort();
	if (!b.removing && b.cleared != 0)
		abort();
	return 0;
}
