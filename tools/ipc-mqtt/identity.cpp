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
bool mac_id(ipc_text &id, char *ifname)
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
		id.len = 0;
		ipc_put_all(id, "cam-", ipc_hex{mac + 3, 3});
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
void default_id(ipc_text &id, ipc_text &from)
{
	char host[256] = {};
	gethostname(host, sizeof(host) - 1);
	size_t n = strcspn(host, ".");
	host[n] = '\0';
	if (n == 0 || strcmp(host, "(none)") == 0 || strcmp(host, "localhost") == 0) {
		char ifname[IF_NAMESIZE] = {};
		if (mac_id(id, ifname)) {
			ipc_put_all(from, "the MAC address of ", ifname);
		} else {
			ipc_put(id, "ipc-dispatchd");
			ipc_put(from, "no host name or MAC address");
		}
		return;
	}
	for (char *p = host; *p != '\0'; p++)
		*p = id_char(*p) ? *p : '_';
	ipc_put_all(id, host);  // cut at ID_MAX
	ipc_put(from, "the host name");
}
