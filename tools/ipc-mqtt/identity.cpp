// Who this camera is to the broker and to Home Assistant, where --id does
// not say: its host name, or where nobody set one, its MAC address.
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mqtt.h"

namespace {

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

} // namespace

bool id_char(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// This machine's host name up to its first dot, as an ID; where nobody set
// one (the kernel's "(none)", empty, localhost), the MAC address's.
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
