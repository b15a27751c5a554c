// ipc-mqtt's command line: its help, its options and their checks, and the
// password file. Every bad word is one line and exit status 2.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <mosquitto.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "queues/ipc_queues.h"
#include "mqtt.h"
#include "tool.h"

namespace {

constexpr unsigned long PORT = 1883, TLS_PORT = 8883;
constexpr size_t HOST_MAX = 253;  // the longest DNS name

constexpr char USAGE[] =
	"Usage: ipc-mqtt [--host HOST] [--port PORT] [--id ID] [--topic PREFIX]\n"
	"                [--username USER] [--password-file FILE]\n"
	"                [--cafile FILE | --capath DIR] [--cert FILE --key FILE]\n"
	"                [--insecure] [--tls-version VERSION]\n"
	"                [--discovery-prefix PREFIX | --no-discovery]\n"
	"                [--keepalive SECONDS] [--crying-hold SECONDS] [--verbose]\n"
	"                [--user UID:GID] N\n"
	"       ipc-mqtt --remove [the same options] [N]\n"
	"Publishes the events of /ipc_dispatch_N (N from 1 to 9, created when\n"
	"missing) to an MQTT broker: each on PREFIX/event; the sensors person,\n"
	"motion and crying, ON or OFF, retained, on PREFIX/SENSOR; PREFIX/status\n"
	"online or offline; PREFIX/diagnostics; Home Assistant discovery.\n"
	"Retries a lost broker. --remove clears what the broker keeps of ID\n"
	"(Home Assistant then removes the device) and exits.\n"
	"\n"
	"  -H, --host HOST             broker (default localhost)\n"
	"  -p, --port PORT             its port (default 1883, with TLS 8883)\n"
	"  -i, --id ID                 this device: letters, digits, - and _\n"
	"                              (default the host name, or where that\n"
	"                              is unset cam- and the end of the MAC\n"
	"                              address)\n"
	"  -t, --topic PREFIX          default ipc-dispatchd/ID\n"
	"  -u, --username USER         log in as USER\n"
	"  -P, --password-file FILE    with the password on FILE's first line\n"
	"      --cafile FILE           TLS, trusting the CA certificates in FILE\n"
	"      --capath DIR            TLS, trusting those in DIR (c_rehash)\n"
	"      --cert FILE             this device's certificate, for a broker\n"
	"      --key FILE              that asks for one, and its key\n"
	"      --insecure              do not check the broker's name against its\n"
	"                              certificate (its chain is still checked)\n"
	"      --tls-version VERSION   tlsv1.2 or tlsv1.3 (default either)\n"
	"  -d, --discovery-prefix PRE  Home Assistant's (default homeassistant)\n"
	"  -n, --no-discovery          publish no discovery configs\n"
	"  -k, --keepalive SECONDS     5 to 65535 (default 30)\n"
	"  -c, --crying-hold SECONDS   crying stays ON this long after the last\n"
	"                              BABY_CRYING, 1 to 86400 (default 30)\n"
	"  -v, --verbose               a line on stderr per publication\n"
	"      --user UID:GID          talk to the broker as (default 65534:65534)\n"
	"      --remove                clear the retained discovery configs of ID\n"
	"                              and every retained topic under PREFIX\n"
	"  -h, --help                  show this help\n"
	"      --version               show the version\n"
	"\n"
	"SIGTERM or SIGINT: publishes offline, exits 0. Exit status: 1 the queue,\n"
	"the password file or a TLS file could not be read, or --remove could\n"
	"not reach the broker within 10 s; 2 usage error.\n";

enum long_only { CAFILE = 256, CAPATH, CERT, KEY, INSECURE, TLS_VERSION, USER, REMOVE, VERSION };

constexpr option OPTIONS[] = {
	{"host", required_argument, nullptr, 'H'},
	{"port", required_argument, nullptr, 'p'},
	{"id", required_argument, nullptr, 'i'},
	{"topic", required_argument, nullptr, 't'},
	{"username", required_argument, nullptr, 'u'},
	{"password-file", required_argument, nullptr, 'P'},
	{"cafile", required_argument, nullptr, CAFILE},
	{"capath", required_argument, nullptr, CAPATH},
	{"cert", required_argument, nullptr, CERT},
	{"key", required_argument, nullptr, KEY},
	{"insecure", no_argument, nullptr, INSECURE},
	{"tls-version", required_argument, nullptr, TLS_VERSION},
	{"discovery-prefix", required_argument, nullptr, 'd'},
	{"no-discovery", no_argument, nullptr, 'n'},
	{"keepalive", required_argument, nullptr, 'k'},
	{"crying-hold", required_argument, nullptr, 'c'},
	{"verbose", no_argument, nullptr, 'v'},
	{"user", required_argument, nullptr, USER},
	{"remove", no_argument, nullptr, REMOVE},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, VERSION},
	{nullptr, 0, nullptr, 0},
};

bool valid_id(const char *id)
{
	size_t n = 0;
	for (; id[n] != '\0'; n++)
		if (!id_char(id[n]))
			return false;
	return n > 0 && n <= ID_MAX;
}

bool valid_prefix(const char *prefix)
{
	size_t n = strlen(prefix);
	return n > 0 && n <= PREFIX_MAX && strpbrk(prefix, "+#") == nullptr;
}

// The first line of the file, never the command line, where ps shows it.
bool read_password(const char *file, char *password)
{
	int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	// A FAT card has no modes to set: the mount shows every file alike.
	constexpr unsigned long FAT_MAGIC = 0x4d44;  // MSDOS_SUPER_MAGIC
	struct statfs fs;
	struct stat st;
	if (fstatfs(fd, &fs) == 0 && (unsigned long)fs.f_type == FAT_MAGIC)
		say("warning: ", file, " is on a FAT file system, which has no file modes: whoever has the card can read it\n");
	else if (fstat(fd, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
		say("warning: ", file, " can be read by group or others (chmod 600 ", file, ")\n");
	ssize_t n = read(fd, password, PASSWORD_MAX);
	int saved = errno;
	close(fd);
	errno = saved;
	if (n < 0)
		return false;
	password[n] = '\0';
	password[strcspn(password, "\r\n")] = '\0';
	return true;
}

// A whole number from min to max in text, when it is given, or a usage
// error that names the option and what it should be.
void parse_number(const char *option, const char *text, unsigned long min, unsigned long max, const char *what,
		  unsigned long *value)
{
	if (text != nullptr && (!tool_parse_number(text, max, value) || *value < min))
		tool_usage_error(option, ": '", text, "' is not a ", what, " from ", (long)min, " to ", (long)max);
}

// --user UID:GID, two numbers: no passwd entry is needed, none looked up.
void parse_user(bridge &b, const char *user)
{
	constexpr unsigned long ID_LIMIT = 4294967294;  // (uid_t)-1 means "unchanged"
	b.uid = b.gid = 65534;
	const char *colon = user != nullptr ? strchr(user, ':') : nullptr;
	char uid[11] = {};
	if (colon != nullptr && colon - user < (ptrdiff_t)sizeof(uid))
		memcpy(uid, user, (size_t)(colon - user));
	if (user != nullptr && (uid[0] == '\0' || !tool_parse_number(uid, ID_LIMIT, &b.uid) ||
				!tool_parse_number(colon + 1, ID_LIMIT, &b.gid)))
		tool_usage_error("--user: '", user, "' is not UID:GID, two numbers");
}

// The TLS options, as mosquitto's own clients take them. Files are opened
// here, so that one that cannot be read is said at once and by name.
void check_tls(bridge &b, const char *version)
{
	tls_settings &s = b.tls_options;
	const char *given = s.cafile != nullptr ? "--cafile" : s.capath != nullptr ? "--capath" : s.cert != nullptr ? "--cert"
			    : s.key != nullptr ? "--key" : s.insecure ? "--insecure" : version != nullptr ? "--tls-version" : nullptr;
	if (given == nullptr)
		return;
	if (!IPC_MQTT_TLS)
		tool_usage_error(given, ": this ipc-mqtt is built without TLS");
	if (s.cafile == nullptr && s.capath == nullptr)
		tool_usage_error(given, " needs --cafile or --capath, the CA to check the broker with");
	if ((s.cert == nullptr) != (s.key == nullptr))
		tool_usage_error(s.cert != nullptr ? "--cert needs --key" : "--key needs --cert");
	if (version != nullptr && strcmp(version, "tlsv1.2") != 0 && strcmp(version, "tlsv1.3") != 0)
		tool_usage_error("--tls-version: '", version, "' is not tlsv1.2 or tlsv1.3");
	if (version != nullptr)
		s.version = version[6] == '2' ? 0x0303 : 0x0304;  // TLS1_2_VERSION, TLS1_3_VERSION
	const struct {
		const char *option, *path;
		int mode;
	} files[] = {{"Can't read --cafile ", s.cafile, R_OK}, {"Can't read --capath ", s.capath, R_OK | X_OK},
		     {"Can't read --cert ", s.cert, R_OK},     {"Can't read --key ", s.key, R_OK}};
	for (const auto &f : files)
		if (f.path != nullptr && access(f.path, f.mode) != 0) {
			ipc_log_error(f.option, f.path);
			exit(TOOL_FAILED);
		}
	b.tls = true;
}

// --version: the version, and the libraries this program runs with (linked
// in on the device), for telling whether a security notice concerns it.
[[noreturn]] void show_version(void)
{
	ipc_buf<192> t;
	int major, minor, revision;
	mosquitto_lib_version(&major, &minor, &revision);
	ipc_put_all(t, tool_name(), " " IPC_VERSION "\nlibmosquitto ", (long)major, ".", (long)minor, ".", (long)revision, ", ");
#if IPC_MQTT_TLS
	ipc_put_all(t, tls_library(), "\n");
#else
	ipc_put_all(t, "without TLS\n");
#endif
	exit(ipc_write_all(STDOUT_FILENO, t.buf, t.len) ? TOOL_OK : TOOL_FAILED);
}

} // namespace

void parse_command_line(bridge &b, int argc, char **argv, int *index)
{
	const char *port = nullptr, *keepalive = nullptr, *hold = nullptr, *id = nullptr, *prefix = nullptr,
		   *password_file = nullptr, *version = nullptr, *user = nullptr;
	bool no_discovery = false, discovery_given = false;
	unsigned long n = 0;
	tls_settings &tls = b.tls_options;

	b.host = "localhost";
	b.discovery = "homeassistant";
	b.keepalive = 30;
	b.crying_hold = 30;

	for (int c; (c = tool_next_option(argc, argv, "hH:p:i:t:u:P:d:nk:c:v", OPTIONS, USAGE)) != -1;) {
		switch (c) {
		case 'H': b.host = optarg; break;
		case 'p': port = optarg; break;
		case 'i': id = optarg; break;
		case 't': prefix = optarg; break;
		case 'u': b.username = optarg; break;
		case 'P': password_file = optarg; break;
		case CAFILE: tls.cafile = optarg; break;
		case CAPATH: tls.capath = optarg; break;
		case CERT: tls.cert = optarg; break;
		case KEY: tls.key = optarg; break;
		case INSECURE: tls.insecure = true; break;
		case TLS_VERSION: version = optarg; break;
		case 'd': b.discovery = optarg; discovery_given = true; break;
		case 'n': no_discovery = true; break;
		case 'k': keepalive = optarg; break;
		case 'c': hold = optarg; break;
		case 'v': b.verbose = true; break;
		case USER: user = optarg; break;
		case REMOVE: b.removing = true; break;
		case VERSION: show_version();
		}
	}
	int operands = argc - optind;
	if (operands > 1 || (operands == 0 && !b.removing))
		tool_usage_error(operands == 0 ? "no queue number N given" : "one queue number N at a time");
	parse_number("N", operands == 1 ? argv[optind] : nullptr, 1, IPC_QUEUE_COUNT - 1, "number", &n);
	*index = (int)n;
	if (*b.host == '\0')
		tool_usage_error("--host: empty");
	if (strlen(b.host) > HOST_MAX)
		tool_usage_error("--host: longer than a DNS name (", (long)HOST_MAX, " characters)");
	parse_number("--keepalive", keepalive, 5, 65535, "number of seconds", &b.keepalive);
	parse_number("--crying-hold", hold, 1, 86400, "number of seconds", &b.crying_hold);
	if (id != nullptr && !valid_id(id))
		tool_usage_error("--id: '", id, "' is not 1 to ", (long)ID_MAX, " letters, digits, - and _");
	if (prefix != nullptr && !valid_prefix(prefix))
		tool_usage_error("--topic: '", prefix, "' is not 1 to ", (long)PREFIX_MAX,
				 " characters without + and #");
	if (no_discovery && discovery_given)
		tool_usage_error("--discovery-prefix and --no-discovery together");
	if (no_discovery)
		b.discovery = nullptr;
	else if (!valid_prefix(b.discovery))
		tool_usage_error("--discovery-prefix: '", b.discovery, "' is not 1 to ", (long)PREFIX_MAX,
				 " characters without + and #");
	if (password_file != nullptr && b.username == nullptr)
		tool_usage_error("--password-file needs --username");
	parse_user(b, user);
	check_tls(b, version);
	b.port = b.tls ? TLS_PORT : PORT;
	parse_number("--port", port, 1, 65535, "number", &b.port);

	ipc_buf<ID_MAX> chosen;
	ipc_buf<63> from;
	if (id != nullptr) {
		ipc_put(chosen, id);
		ipc_put(from, "--id");
	} else {
		default_id(chosen, from);
	}
	memcpy(b.id, chosen.str(), chosen.len + 1);
	ipc_buf<PREFIX_MAX> topics;
	if (prefix != nullptr)
		ipc_put(topics, prefix);
	else
		ipc_put_all(topics, "ipc-dispatchd/", b.id);
	memcpy(b.prefix, topics.str(), topics.len + 1);
	if (password_file != nullptr && !read_password(password_file, b.password)) {
		ipc_log_error("Can't read password file ", password_file);
		exit(TOOL_FAILED);
	}
	b.has_password = password_file != nullptr;
	if (!b.removing)  // whose topics it clears, --remove says at the end
		say("id ", b.id, ", from ", from, "\n");
}
