// Events off the device, to a real mosquitto broker on loopback: ipc-mqtt,
// and the pipeline ipc-listen | mosquitto_pub. Each test has a network
// namespace of its own too, so the broker's port is always free.
#include <net/if.h>
#include <poll.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <atomic>
#include <thread>

#include "harness.h"
#include "notifications.h"

using namespace harness;

namespace {

class Mqtt : public QueueTest {
protected:
	void SetUp() override
	{
		QueueTest::SetUp();
		own_network();
		dir_ = temp_dir();
	}
	Process &broker(const std::string &conf = "allow_anonymous true\n")
	{
		return start_broker(dir_, conf);
	}
	// Every message on the broker from now on, "TOPIC PAYLOAD" a line
	// (among the client's own debug lines, which tell when it subscribed).
	Process &subscribe(const std::string &topic = "#", const std::vector<std::string> &login = {})
	{
		Spawn how = {.args = {"stdbuf", "-oL", "mosquitto_sub", "-d", "-h", "127.0.0.1", "-v", "-t", topic},
			     .capture_out = true,
			     .wrap = false};
		how.args.insert(how.args.end(), login.begin(), login.end());
		Process &sub = procs_.emplace_back(spawn(how));
		EXPECT_TRUE(seen(sub, "Client (null) received SUBACK"));
		return sub;
	}
	// Lines that start with text.
	static size_t count(Process &p, const std::string &text)
	{
		drain(p);
		size_t n = 0;
		for (size_t at = 0; (at = p.out_text.find(text, at)) != std::string::npos; at++)
			n += at == 0 || p.out_text[at - 1] == '\n';
		return n;
	}
	bool seen(Process &p, const std::string &line, size_t times = 1)
	{
		return wait_until([&] { return count(p, line) >= times; });
	}
	// The bridge of queue N, run by the words before when they are given.
	Process &bridge(const std::vector<std::string> &options = {}, const std::string &n = "1",
			const std::vector<std::string> &before = {})
	{
		Spawn how = {.args = {program("ipc-mqtt"), "--host", "127.0.0.1", "--id", "cam", "--crying-hold", "1"},
			     .before = before};
		how.args.insert(how.args.end(), options.begin(), options.end());
		how.args.push_back(n);
		return procs_.emplace_back(spawn(how));
	}
	// A file of this test's own in /etc: written to an overlay on /etc in
	// a mount namespace of its own, so the machine's /etc is left alone and
	// the file need not be there already.
	void write_etc(const std::string &name, const std::string &text)
	{
		if (!etc_) {
			ASSERT_EQ(unshare(CLONE_NEWNS), 0);
			ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
			std::filesystem::create_directories(dir_ + "/etc/upper");
			std::filesystem::create_directories(dir_ + "/etc/work");
			std::string layers = "lowerdir=/etc,upperdir=" + dir_ + "/etc/upper,workdir=" + dir_ + "/etc/work";
			ASSERT_EQ(mount("overlay", "/etc", "overlay", 0, layers.c_str()), 0) << strerror(errno);
			etc_ = true;
		}
		std::ofstream("/etc/" + name) << text;
	}
	void TearDown() override
	{
		if (etc_)
			umount2("/etc", MNT_DETACH);
		QueueTest::TearDown();
	}
	bool etc_ = false;
	// A notification through the service, taken back once the bridge has
	// published its event.
	void notify(Process &svc, mqd_t dispatch, const std::string &bytes)
	{
		size_t from = err_text(svc).size();
		send(dispatch, bytes);
		take_back(svc, dispatch, bytes, from);
	}
	// A CA, a broker's certificate for broker.test and one that is valid
	// from tomorrow, a client's, a CA nobody trusts and a client's that it
	// signed, in dir_.
	void certificates()
	{
		Ran r = run_host({IPC_SOURCE_DIR "/tests/common/certs", dir_, "ca,rogue", "server/ca/DNS:broker.test",
				  "client/ca/DNS:cam", "tomorrow/ca/DNS:broker.test/+1d", "renewed/rogue/DNS:cam"});
		ASSERT_EQ(r.status, 0) << r.err;
	}
	// A TLS listener on port with the broker's certificate cert.
	std::string tls_listener(int port, const std::string &cert, const std::string &more = "")
	{
		return "listener " + std::to_string(port) + " 127.0.0.1\ncafile " + dir_ + "/ca.crt\ncertfile " + dir_ + "/" +
		       cert + ".crt\nkeyfile " + dir_ + "/" + cert + ".key\n" + more;
	}
	// What crosses the loopback to port, from now until stop_capture.
	Process &capture(int port)
	{
		Process &p = procs_.emplace_back(spawn({.args = {"tcpdump", "--immediate-mode", "-i", "lo", "-U", "-n", "-w", dir_ + "/capture",
								 "port", std::to_string(port)},
						       .wrap = false}));
		EXPECT_TRUE(wait_err(p, [](const std::string &t) { return t.find("listening on") != std::string::npos; }));
		return p;
	}
	std::string stop_capture(Process &p)
	{
		kill(p.pid, SIGTERM);
		wait_exit(p);
		std::ifstream in(dir_ + "/capture", std::ios::binary);
		return std::string(std::istreambuf_iterator<char>(in), {});
	}
	// A socket of this type bound to 127.0.0.1:port.
	static int bound(int type, int port)
	{
		int s = socket(AF_INET, type, 0);
		sockaddr_in a = loopback(port);
		EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0) << strerror(errno);
		return s;
	}
	std::string dir_;
};

// The build under test has TLS, unless IPC_MQTT_TLS=0 says it has none.
bool tls_built()
{
	const char *tls = getenv("IPC_MQTT_TLS");
	return tls == nullptr || std::string(tls) != "0";
}

// qemu-user refuses a guest's seccomp filter (it would filter qemu's own
// calls): there the bridge says so and runs without one; the board's
// kernel shows the filter (tests/system/cases).
bool emulated()
{
	return getenv("IPC_WRAPPER") != nullptr && *getenv("IPC_WRAPPER") != '\0';
}
const std::string kNoFilter = "ipc-mqtt: no seccomp filter (Invalid argument): every system call stays open\n";

std::string file_text(const std::string &path)
{
	std::ifstream in(path);
	return std::string(std::istreambuf_iterator<char>(in), {});
}

// The Uid, NoNewPrivs and Seccomp lines of /proc/PID/status of whichever
// process of the bridge's (itself, the privileged part, a lookup) holds
// its TCP connection to port; empty while none does.
std::string sandbox_of(const Process &b, int port)
{
	std::set<std::string> sockets;
	std::istringstream tcp(file_text("/proc/" + std::to_string(b.pid) + "/net/tcp"));
	char remote[16];
	snprintf(remote, sizeof(remote), ":%04X ", port);
	for (std::string line; std::getline(tcp, line);) {
		std::istringstream words(line);
		std::string w[10];
		for (std::string &word : w)
			words >> word;
		if ((w[2] + " ").ends_with(remote) && w[3] == "01")  // ESTABLISHED
			sockets.insert("socket:[" + w[9] + "]");
	}
	std::vector<pid_t> pids = {b.pid};
	std::istringstream children(file_text("/proc/" + std::to_string(b.pid) + "/task/" + std::to_string(b.pid) + "/children"));
	for (pid_t child; children >> child;)
		pids.push_back(child);
	for (pid_t pid : pids) {
		std::error_code ec;
		for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
			if (sockets.contains(std::filesystem::read_symlink(fd.path(), ec).string())) {
				std::istringstream status(file_text("/proc/" + std::to_string(pid) + "/status"));
				std::string kept;
				for (std::string line; std::getline(status, line);)
					if (line.starts_with("Uid:") || line.starts_with("NoNewPrivs:") || line.starts_with("Seccomp:"))
						kept += line + "\n";
				return kept;
			}
	}
	return "";
}

// What sandbox_of shows of a bridge that runs as uid, with its filter
// where the kernel takes it.
std::string sandboxed(const std::string &uid = "65534")
{
	return "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\nNoNewPrivs:\t1\nSeccomp:\t" + (emulated() ? "0" : "2") + "\n";
}

const std::string kAnnounced = "ipc-dispatchd/cam/crying OFF\nipc-dispatchd/cam/dispatcher online\n"
				"ipc-dispatchd/cam/motion OFF\nipc-dispatchd/cam/person OFF\nipc-dispatchd/cam/status online\n";

// What Home Assistant needs of the device config, in jq, with its
// abbreviations expanded as Home Assistant expands them: the device, the
// origin, three binary sensors and the event entity, available while both
// the bridge and the dispatcher are, the event's template that makes
// {"event_type": NAME}, and the diagnostic sensors, which need the bridge
// alone.
const char kDeviceConfig[] = R"(
def abbr: {dev: "device", o: "origin", cmps: "components", p: "platform", avty_t: "availability_topic", stat_t: "state_topic",
  avty: "availability", avty_mode: "availability_mode",
  uniq_id: "unique_id", dev_cla: "device_class", pl_on: "payload_on", pl_off: "payload_off", evt_typ: "event_types",
  val_tpl: "value_template", ent_cat: "entity_category", unit_of_meas: "unit_of_measurement", stat_cla: "state_class",
  ids: "identifiers", mdl: "model", sw: "sw_version", url: "support_url"};
def full: if type == "object" then with_entries(.key |= (abbr[.] // .) | .value |= full) elif type == "array" then map(full) else . end;
full | .components as $c | .origin.name == "ipc-dispatchd" and (.origin.support_url // "https://" | test("^https?://"))
and .device == {identifiers: ["ipc-dispatchd_cam"], name: "cam", model: "ipc-dispatchd", sw_version: .origin.sw_version}
and .availability_topic == null and ($c | keys) == ["chain_breaks", "connections", "crying", "event", "events", "events_offline", "motion", "person", "uptime"]
and all($c | to_entries[]; if .value.platform == "sensor" then .value.availability_topic == "ipc-dispatchd/cam/status"
  and .value.availability == null else .value.availability == [{topic: "ipc-dispatchd/cam/status"},
  {topic: "ipc-dispatchd/cam/dispatcher"}] and .value.availability_mode == "all" and .value.availability_topic == null end)
and all($c | to_entries[]; .value.unique_id == "ipc-dispatchd_cam_" + .key and .value.name != null and .value.state_topic
  == "ipc-dispatchd/cam/" + (if .value.platform == "sensor" then "diagnostics" else .key end))
and ([$c.person, $c.motion, $c.crying] | map([.platform, .device_class, .payload_on, .payload_off])) == [["binary_sensor",
  "occupancy", "ON", "OFF"], ["binary_sensor", "motion", "ON", "OFF"], ["binary_sensor", "sound", "ON", "OFF"]]
and $c.event.platform == "event" and $c.event.value_template == "{{ {'event_type': value} | tojson }}"
and $c.event.event_types == ["AI_HUMAN_DETECTION_START", "AI_HUMAN_DETECTION_STOP", "MOTION_START", "MOTION_STOP", "BABY_CRYING"]
and all($c | to_entries[] | select(.value.platform == "sensor");
  .value.entity_category == "diagnostic" and .value.value_template == "{{ value_json." + .key + " }}")
)";

// The per-entity configs that 0.3.0 and 0.4.0 left on the broker.
const std::string kOldConfigs[] = {"homeassistant/binary_sensor/cam/person/config", "homeassistant/binary_sensor/cam/motion/config",
				   "homeassistant/binary_sensor/cam/crying/config", "homeassistant/event/cam/event/config"};

TEST_F(Mqtt, EventsStatesAndDiscoveryThroughBrokerRestartsAndRemoval)
{
	Process *brk = &broker();
	for (const std::string &old : kOldConfigs)
		run_host({"mosquitto_pub", "-h", "127.0.0.1", "-r", "-t", old, "-m", R"({"unique_id":"ipc-dispatchd_cam_x","device":{}})"});
	Process &sub = subscribe();
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	Process &b = bridge();
	ASSERT_TRUE(seen(sub, "ipc-dispatchd/cam/diagnostics")) << err_text(b);
	std::string states = retained("ipc-dispatchd/#");
	size_t at = states.find("ipc-dispatchd/cam/diagnostics {");
	EXPECT_EQ(states.erase(at, states.find('\n', at) + 1 - at), kAnnounced);
	std::ofstream(dir_ + "/device.jq") << kDeviceConfig;
	Ran config = run_host({"sh", "-c", "mosquitto_sub -h 127.0.0.1 -t homeassistant/device/cam/config -C 1 | jq -e -f " + dir_ + "/device.jq"});
	EXPECT_EQ(config.out, "true\n") << config.err;
	// The old configs moved as Home Assistant keeps their entities: each
	// asked to migrate, then the device config, then each cleared.
	size_t device = sub.out_text.find("\nhomeassistant/device/cam/config {");
	for (const std::string &old : kOldConfigs) {
		size_t migrate = sub.out_text.find("\n" + old + " {\"migrate_discovery\":true}\n"),
		       cleared = sub.out_text.find("\n" + old + " (null)\n");
		EXPECT_TRUE(migrate < device && device < cleared && cleared != std::string::npos) << old << sub.out_text;
	}
	std::string configs = retained("homeassistant/+/cam/#");  // none but the device config
	EXPECT_TRUE(configs.starts_with("homeassistant/device/cam/config {") && configs.find('\n') == configs.size() - 1) << configs;

	// Each event, and the state it sets.
	const struct {
		std::string bytes, event, state;
	} cases[] = {
		{kHumanStart, "AI_HUMAN_DETECTION_START", "person ON"}, {kMotionStart, "MOTION_START", "motion ON"},
		{kCrying2, "BABY_CRYING", "crying ON"},                  {kHumanStop, "AI_HUMAN_DETECTION_STOP", "person OFF"},
		{kMotionStop, "MOTION_STOP", "motion OFF"},
	};
	for (const auto &c : cases) {
		notify(svc, dispatch, c.bytes);
		EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/event " + c.event)) << c.event;
		EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/" + c.state)) << c.event;
	}
	// Crying goes off a hold after the last one.
	EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/crying OFF", 2));

	// A notification that nobody takes out comes back every 10 ms: its
	// event goes out once a second, no more.
	size_t before = count(sub, "ipc-dispatchd/cam/event BABY_CRYING");
	send(dispatch, kCrying1);
	std::this_thread::sleep_for(2500ms);
	std::string back;
	EXPECT_TRUE(receive(dispatch, back));
	size_t published = count(sub, "ipc-dispatchd/cam/event BABY_CRYING") - before;
	EXPECT_TRUE(published >= 2 && published <= 4) << published;

	// Home Assistant back, or a client flooding its birth message: one
	// round of configs and states, a moment after the burst.
	ASSERT_EQ(run_host({"sh", "-c", "yes online | head -n 2000 | mosquitto_pub -h 127.0.0.1 -t homeassistant/status -l"})
			  .status,
		  0);
	EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/person OFF", 4));
	std::this_thread::sleep_for(1500ms);
	EXPECT_EQ(count(sub, "ipc-dispatchd/cam/person OFF"), 4u);
	EXPECT_EQ(count(sub, "homeassistant/device/cam/config"), 2u);

	// A broker restarted without its retained messages gets them back, with
	// a state that an event moved while it was down.
	stop(*brk);
	notify(svc, dispatch, kMotionStart);
	broker();
	EXPECT_TRUE(wait_until([&] { return retained("ipc-dispatchd/cam/motion") == "ipc-dispatchd/cam/motion ON\n"; }))
		<< err_text(b);
	EXPECT_NE(retained("homeassistant/device/cam/config"), "");
	Ran diagnostics = run_host({"sh", "-c", "mosquitto_sub -h 127.0.0.1 -t ipc-dispatchd/cam/diagnostics -C 1 | jq -e "
						"'.connections == 2 and .events_offline >= 1 and .events > .events_offline'"});
	EXPECT_EQ(diagnostics.out, "true\n") << diagnostics.err;
	std::string log = err_text(b);
	if (emulated() && log.find(kNoFilter) != std::string::npos)
		log.erase(log.find(kNoFilter), kNoFilter.size());
	// The ID, the dispatcher seen, up, moved (once), down, up.
	EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
	EXPECT_EQ(log.substr(0, log.find('\n')), "ipc-mqtt: id cam, from --id");

	// Killed, the broker says offline for it (its will); stopped, it says
	// so itself and exits 0.
	Process &sub2 = subscribe("ipc-dispatchd/cam/status");
	kill(b.pid, SIGKILL);
	EXPECT_TRUE(seen(sub2, "ipc-dispatchd/cam/status offline"));
	Process &again = bridge({"--no-discovery"});
	EXPECT_TRUE(seen(sub2, "ipc-dispatchd/cam/status online", 2));
	kill(again.pid, SIGTERM);
	EXPECT_EQ(wait_exit(again), 0);
	EXPECT_TRUE(seen(sub2, "ipc-dispatchd/cam/status offline", 2));
	EXPECT_EQ(retained("ipc-dispatchd/cam/status"), "ipc-dispatchd/cam/status offline\n");

	// Renamed or retired: --remove clears what the broker keeps of the ID
	// (an old config left by another release among it), nothing of another
	// camera's; a broker that never answers is one line, exit 1, in 10 s.
	const std::string other = "ipc-dispatchd/other/status offline\n";
	run_host({"mosquitto_pub", "-h", "127.0.0.1", "-r", "-t", "ipc-dispatchd/other/status", "-m", "offline"});
	run_host({"mosquitto_pub", "-h", "127.0.0.1", "-r", "-t", kOldConfigs[1], "-m", "{}"});
	int silent = bound(SOCK_STREAM, 1885);
	ASSERT_EQ(listen(silent, 4), 0);
	const struct {
		std::vector<std::string> options;
		int status;
		std::string err;  // lines it writes, all of them where it fails
	} removals[] = {
		{{"1"}, 0, "ipc-mqtt: cleared homeassistant/device/cam/config\nipc-mqtt: cleared " + kOldConfigs[1] +
				   "\nipc-mqtt: cleared ipc-dispatchd/cam/diagnostics\nipc-mqtt: cleared 8 retained topics of cam on 127.0.0.1:1883\n"},
		{{}, 0, "ipc-mqtt: nothing retained of cam on 127.0.0.1:1883\n"},
		{{"--port", "1885"}, 1, "ipc-mqtt: can't connect to 127.0.0.1:1885: no answer within 10 s\n"},
	};
	for (const auto &c : removals) {
		std::vector<std::string> args = {"ipc-mqtt", "--remove", "--host", "127.0.0.1", "--id", "cam"};
		args.insert(args.end(), c.options.begin(), c.options.end());
		Ran r = run(args, 12s);
		EXPECT_EQ(r.status, c.status) << r.err;
		std::istringstream lines(c.err);
		for (std::string line; std::getline(lines, line);)
			EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << line << r.err;
		EXPECT_TRUE(c.status == 0 || r.err == (emulated() ? kNoFilter : "") + c.err) << r.err;
	}
	EXPECT_EQ(retained("#"), other);
	close(silent);
}

// A broker that wants a password gets it from the file's first line; a
// wrong one is refused, said once, and tried again. A file that others may
// read is warned about. Over TLS the password never crosses the wire in
// clear; in plain MQTT it does, which shows that the capture sees it. The
// file is read before root is given up, so one of root's alone serves, and
// what holds the broker's connection runs as nobody, under its filter.
TEST_F(Mqtt, PasswordFromAFile)
{
	std::string passwords = dir_ + "/passwords";
	ASSERT_EQ(run_host({"mosquitto_passwd", "-c", "-b", passwords, "cam", "s3cret"}).status, 0);
	chmod(passwords.c_str(), 0644);
	write_etc("hosts", "127.0.0.1 localhost broker.test\n");
	certificates();
	broker("allow_anonymous false\npassword_file " + passwords + "\n" + tls_listener(8883, "server"));
	Process &sub = subscribe("#", {"-u", "cam", "-P", "s3cret"});
	const std::string file = dir_ + "/password";
	const struct {
		std::string file;
		mode_t mode;
		bool accepted, tls;
	} cases[] = {{"s3cret\nsecond line\n", 0600, true, false}, {"wrong\n", 0640, false, false}, {"s3cret\n", 0600, true, true}};
	size_t online = 0;
	for (const auto &c : cases) {
		if (c.tls && !tls_built())
			continue;
		std::ofstream(file) << c.file;
		chmod(file.c_str(), c.mode);
		Process *capturing = c.accepted ? &capture(c.tls ? 8883 : 1883) : nullptr;
		std::vector<std::string> options = {"--username", "cam", "--password-file", file};
		if (c.tls)
			options.insert(options.end(), {"--host", "broker.test", "--cafile", dir_ + "/ca.crt"});
		Process &b = bridge(options);
		if (c.accepted) {
			EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/status online", ++online)) << err_text(b);
			EXPECT_EQ(sandbox_of(b, c.tls ? 8883 : 1883), sandboxed()) << err_text(b);
			stop(b);
			EXPECT_EQ(stop_capture(*capturing).find("s3cret") == std::string::npos, c.tls);
		} else {
			EXPECT_TRUE(wait_err(b, [](const std::string &t) { return t.find("not authorised") != std::string::npos; }));
			EXPECT_NE(err_text(b).find(": Connection Refused: not authorised; trying again in "), std::string::npos)
				<< err_text(b);
			std::this_thread::sleep_for(1500ms);
			EXPECT_TRUE(alive(b));
			EXPECT_EQ(count(sub, "ipc-dispatchd/cam/status online"), online);
		}
		std::string warning = "ipc-mqtt: warning: " + file + " can be read by group or others (chmod 600 " + file + ")\n";
		EXPECT_EQ(err_text(b).find(warning) == 0, (c.mode & 044) != 0) << err_text(b);
		stop(b);
	}
}

// An attempt that hangs is given up after 10 s and tried again, and all
// the while the bridge takes its events and stops at once: a resolver that
// never answers (a UDP port that reads nothing), a broker that accepts TCP
// and says nothing, whatever the keepalive. The name is looked up again at
// every attempt: a broker that moved is found. Over TLS, a handshake that
// fails says why in words and is retried the same way: the name given is
// the one the certificate must carry (an address is not), a CA not given
// is not trusted, a listener may want a client certificate, and a
// certificate that is not valid yet is taken once the broker has a
// current one, without a restart; so is the camera's own certificate,
// renewed on disk (a new file over the old), its key root's alone.
TEST_F(Mqtt, AnAttemptThatHangsIsGivenUp)
{
	const std::string hosts = "127.0.0.1 localhost broker.test\n";
	write_etc("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:2\n");
	write_etc("hosts", hosts + "127.0.0.2 moving.test\n");
	int dns = bound(SOCK_DGRAM, 53), silent = bound(SOCK_STREAM, 1884);
	ASSERT_EQ(listen(silent, 4), 0);
	certificates();
	Process &brk = broker("allow_anonymous true\n" + tls_listener(8883, "server") +
			      tls_listener(8884, "server", "require_certificate true\n") + tls_listener(8885, "tomorrow"));
	const std::string ca = dir_ + "/ca.crt", tls = " over TLS in ";
	const struct {
		std::vector<std::string> options;
		std::string first, then;  // lines the bridge writes
	} cases[] = {
		{{"--host", "unknown.test"}, "can't connect to unknown.test:1883: no address within 10 s; trying again in ", ""},
		{{"--port", "1884", "--keepalive", "65535"}, "can't connect to 127.0.0.1:1884: no answer within 10 s; trying again in ", ""},
		{{"--host", "moving.test"}, "can't connect to moving.test:1883: Connection refused", "connected to moving.test:1883"},
		{{"--host", "broker.test", "--port", "8885", "--cafile", ca},
		 "can't connect to broker.test:8885: the broker's certificate is not valid yet, by this camera's clock: 20",
		 "connected to broker.test:8885" + tls},
		{{"--host", "broker.test", "--cafile", dir_ + "/rogue.crt"},
		 "can't connect to broker.test:8883: the broker's certificate is not trusted (not signed by a CA of --cafile)", ""},
		{{"--cafile", ca}, "can't connect to 127.0.0.1:8883: the broker's certificate is not for 127.0.0.1 (--insecure skips", ""},
		{{"--cafile", ca, "--insecure"}, "connected to 127.0.0.1:8883" + tls, ""},
		{{"--host", "broker.test", "--port", "8884", "--capath", dir_, "--tls-version", "tlsv1.3"},
		 "can't connect to broker.test:8884: the broker wants a client certificate (--cert and --key)", ""},
		{{"--host", "broker.test", "--port", "8884", "--cafile", ca, "--cert", dir_ + "/renewed.crt", "--key",
		  dir_ + "/renewed.key", "--tls-version", "tlsv1.2"},
		 "can't connect to broker.test:8884: the broker did not accept this camera's certificate (--cert)",
		 "connected to broker.test:8884" + tls},
	};
	// The build without TLS refuses the options (see the usage errors).
	size_t n = tls_built() ? std::size(cases) : 3;
	ASSERT_EQ(run_host({"openssl", "rehash", dir_}).status, 0);
	for (const char *key : {"/client.key", "/renewed.key"})
		chmod((dir_ + key).c_str(), 0600);  // root's alone
	std::vector<Process *> bridges;
	for (size_t i = 0; i < n; i++)
		bridges.push_back(&bridge(cases[i].options, std::to_string(i + 1)));
	auto has = [](const std::string &line) {
		return [line](const std::string &t) { return line.empty() || t.find(line) != std::string::npos; };
	};
	ASSERT_TRUE(wait_err(*bridges[2], has(cases[2].first)));
	write_etc("hosts", hosts + "127.0.0.1 moving.test\n");
	if (n > 3) {
		ASSERT_TRUE(wait_err(*bridges[3], has(cases[3].first))) << err_text(*bridges[3]);
		for (const char *ext : {".crt", ".key"})
			std::filesystem::copy_file(dir_ + "/server" + ext, dir_ + "/tomorrow" + ext,
						   std::filesystem::copy_options::overwrite_existing);
		kill(brk.pid, SIGHUP);
		Process &renewing = *bridges.back();
		ASSERT_TRUE(wait_err(renewing, has(cases[n - 1].first))) << err_text(renewing);
		for (const char *ext : {".crt", ".key"}) {
			std::filesystem::copy_file(dir_ + "/client" + ext, dir_ + "/new" + ext);
			std::filesystem::rename(dir_ + "/new" + ext, dir_ + "/renewed" + ext);
		}
	}
	for (size_t i = 0; i < n; i++) {
		Process &b = *bridges[i];
		EXPECT_TRUE(wait_err(b, has(cases[i].first), 15s)) << err_text(b);
		EXPECT_TRUE(wait_err(b, has(cases[i].then), 15s)) << err_text(b);
		// Events while the next attempt hangs: all taken off the queue.
		mqd_t q = keep(open_queue(subscriber(static_cast<int>(i + 1))));
		for (int k = 0; k < 12; k++)
			send(q, k < 11 ? "MOTION_START" : "MOTION_STOP");
		EXPECT_TRUE(wait_until([&] { return attributes(q).mq_curmsgs == 0; })) << i;
	}
	std::this_thread::sleep_for(1500ms);
	for (Process *b : bridges) {
		auto asked = Clock::now();
		pid_t group = b->pid;
		kill(b->pid, SIGTERM);
		EXPECT_EQ(wait_exit(*b), 0) << err_text(*b);
		EXPECT_LT(Clock::now() - asked, 1s);
		EXPECT_NE(kill(-group, 0), 0) << "a lookup outlived the bridge";
	}
	close(dns);
	close(silent);
}

// Across 2^31 ms of CLOCK_MONOTONIC (24.9 days of uptime, in a time
// namespace): crying's hold lasts as long as it says, and the bridge
// sleeps while it waits.
TEST_F(Mqtt, CryingHoldAcrossTheClockWrap)
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	long long now_ms = t.tv_sec * 1000LL + t.tv_nsec / 1000000, wrap = 1LL << 31;
	while (wrap < now_ms + 10000)
		wrap += 1LL << 31;
	std::string offset = std::to_string((wrap - 3000 - now_ms) / 1000);
	broker();
	Process &sub = subscribe("ipc-dispatchd/cam/crying");
	Process &b = bridge({"--crying-hold", "6"}, "1", {"unshare", "--time", "--monotonic", offset, "--fork", "--"});
	ASSERT_TRUE(seen(sub, "ipc-dispatchd/cam/crying OFF")) << err_text(b);
	mqd_t q = keep(open_queue(subscriber(1)));
	send(q, "BABY_CRYING");
	ASSERT_TRUE(seen(sub, "ipc-dispatchd/cam/crying ON"));
	auto on = Clock::now();
	EXPECT_TRUE(wait_until([&] { return count(sub, "ipc-dispatchd/cam/crying OFF") == 2; }, 10s));
	auto held = Clock::now() - on;
	EXPECT_TRUE(held > 5500ms && held < 7500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(held).count();
	// The bridge is unshare's child: its CPU time in ticks.
	std::ifstream children("/proc/" + std::to_string(b.pid) + "/task/" + std::to_string(b.pid) + "/children");
	std::string child;
	children >> child;
	EXPECT_LT(cpu_ticks(std::stoi(child)), 50u) << "CPU ticks of " << child;
}

// The most lines in any 100 ms, of those that start with a time in
// seconds since the epoch (tcpdump's -tt, mosquitto_sub's %U) from from on;
// and the first and last of those times.
struct spread {
	size_t most = 0, lines = 0;
	double first = 0, last = 0;
};
spread spread_of(const std::string &text, double from)
{
	std::vector<double> t;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		if (double at = atof(line.c_str()); at >= from)
			t.push_back(at);
	std::sort(t.begin(), t.end());
	spread s = {0, t.size(), t.empty() ? 0 : t.front(), t.empty() ? 0 : t.back()};
	for (size_t i = 0, j = 0; i < t.size(); s.most = std::max(s.most, i - j + 1), i++)
		while (t[i] - t[j] >= 0.1)
			j++;
	return s;
}
double wall_now()
{
	timespec t;
	clock_gettime(CLOCK_REALTIME, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

// A fleet on one broker, each camera in an IPC namespace and as a user of
// its own. A broker killed and started again with nothing retained has
// every camera back, their attempts spread out rather than in step, and
// the states on the broker before online on every connect; Home
// Assistant's birth brings each device config once, over seconds.
TEST_F(Mqtt, AFleetComesBackSpreadOut)
{
	constexpr size_t kFleet = 40;
	const bool tls = tls_built();
	const int port = tls ? 8883 : 1884;
	ASSERT_EQ(run_host({IPC_SOURCE_DIR "/tests/common/certs", dir_, "ca", "broker/ca/IP:127.0.0.1"}).status, 0);
	const std::string conf = "user root\nallow_anonymous true\nlog_dest file " + dir_ + "/broker.log\nlog_type all\n" +
				 (tls ? tls_listener(port, "broker") : "listener 1884 127.0.0.1\n");
	Process *brk = &broker(conf);
	std::string copy = public_copy(program("ipc-mqtt")), p = std::to_string(port);
	std::vector<Process *> fleet;
	for (size_t i = 0; i < kFleet; i++) {
		std::string uid = std::to_string(20000 + i);
		Spawn how = {.args = {copy, "--id", "cam" + std::to_string(100 + i), "--host", "127.0.0.1", "--port", p},
			     .before = {"unshare", "--ipc", "setpriv", "--reuid", uid, "--regid", uid, "--clear-groups"}};
		if (tls)
			how.args.insert(how.args.end(), {"--cafile", dir_ + "/ca.crt"});
		how.args.push_back("1");
		fleet.push_back(&procs_.emplace_back(spawn(how)));
	}
	auto online = [&] {
		std::string status = retained("ipc-dispatchd/+/status");
		return std::count(status.begin(), status.end(), '\n') == kFleet && status.find("offline") == std::string::npos;
	};
	ASSERT_TRUE(wait_until(online, 60s)) << retained("ipc-dispatchd/+/status");
	// Started by a user of its own, each says once that it keeps that uid,
	// and runs, under its filter all the same.
	for (size_t i = 0; i < kFleet; i += kFleet - 1) {
		std::string uid = std::to_string(20000 + i), log = err_text(*fleet[i]),
			    line = "ipc-mqtt: can't run as uid 65534 gid 65534: Operation not permitted; running as uid " + uid + "\n";
		EXPECT_EQ(log.find(line), log.rfind(line)) << log;
		EXPECT_NE(log.find(line), std::string::npos) << log;
		EXPECT_EQ(sandbox_of(*fleet[i], port), sandboxed(uid)) << log;
	}

	Process &knocking = capture(port);
	stop(*brk);
	std::this_thread::sleep_for(3s);
	double restarted = wall_now();
	brk = &broker(conf);
	EXPECT_TRUE(wait_until(online, 45s)) << retained("ipc-dispatchd/+/status");
	double back = wall_now();
	stop_capture(knocking);
	Ran syns = run_host({"tcpdump", "-r", dir_ + "/capture", "-tt", "-n", "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn"});
	spread knocks = spread_of(syns.out, restarted);
	EXPECT_GE(knocks.lines, kFleet) << syns.err;
	EXPECT_LE(knocks.most, kFleet / 4) << "of " << knocks.lines << " attempts";

	// What each camera published, in order, "|" for each connect: on
	// every one, its states before online.
	std::ifstream log(dir_ + "/broker.log");
	std::map<std::string, std::string> sent;
	std::smatch m;
	const std::regex connect(" as ipc-mqtt-(\\S+) "), publish("Received PUBLISH from ipc-mqtt-(\\S+) .*/([a-z]+)', \\.\\.\\.");
	for (std::string line; std::getline(log, line);)
		if (std::regex_search(line, m, connect) || std::regex_search(line, m, publish))
			sent[m[1]] += m.size() > 2 ? m[2].str() + "," : "|";
	EXPECT_EQ(sent.size(), kFleet);
	for (const auto &[id, topics] : sent) {
		size_t good = 0;
		for (size_t at = 0; (at = topics.find("|person,motion,crying,dispatcher,status,", at)) != std::string::npos; at++)
			good++;
		EXPECT_EQ(good, 2u) << id << ": " << topics;
	}

	// Home Assistant's birth, once the connects' rounds are over.
	Process &configs = procs_.emplace_back(spawn(
		{.args = {"stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-t", "homeassistant/device/+/config", "-F", "%U %t"},
		 .capture_out = true,
		 .wrap = false}));
	std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, back + 6 - wall_now())));
	double birth = wall_now();
	ASSERT_EQ(run_host({"mosquitto_pub", "-h", "127.0.0.1", "-t", "homeassistant/status", "-m", "online"}).status, 0);
	std::this_thread::sleep_for(7500ms);
	drain(configs);
	spread answers = spread_of(configs.out_text, birth);
	std::set<std::string> once;  // each camera's config, once
	std::istringstream in(configs.out_text);
	for (std::string at, topic; in >> at >> topic;)
		if (atof(at.c_str()) >= birth)
			once.insert(topic);
	EXPECT_EQ(once.size(), kFleet);
	EXPECT_EQ(answers.lines, kFleet);
	EXPECT_LE(answers.most, kFleet / 4);
	EXPECT_GE(answers.last - answers.first, 1.5);
	std::cout << kFleet << " cameras back " << back - restarted << " s after the broker, at most " << knocks.most
		  << " attempts in 100 ms; the birth answered over " << answers.last - answers.first << " s, at most "
		  << answers.most << " in 100 ms\n";
}

// The most a process has been resident, in KiB.
long peak_kib(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(in, line);)
		if (line.starts_with("VmHWM:"))
			return std::stol(line.substr(6));
	return -1;
}

// One MQTT packet: its first byte, the remaining length, the rest.
std::string packet(unsigned char first, const std::string &rest)
{
	std::string p(1, static_cast<char>(first));
	size_t n = rest.size();
	do {
		p += static_cast<char>((n & 127) | (n > 127 ? 128 : 0));
		n >>= 7;
	} while (n != 0);
	return p + rest;
}
std::string mqtt_string(const std::string &s)
{
	return std::string{static_cast<char>(s.size() >> 8), static_cast<char>(s.size() & 255)} + s;
}

// The CONNECT a client sent on s, by the deadline: its protocol level (4:
// 3.1.1, 5: MQTT 5), and its bytes in connect; 0 when none came whole.
int read_connect(int s, std::string &connect)
{
	auto until = Clock::now() + kDeadline;
	connect.clear();
	for (;;) {
		size_t at = 1, len = 0;
		for (int shift = 0; at < connect.size() && at < 5; at++, shift += 7) {
			len |= (static_cast<unsigned char>(connect[at]) & 127u) << shift;
			if (!(connect[at] & 128))
				break;
		}
		if (connect.size() > at + 7 && connect.size() >= at + 1 + len)
			return connect[0] == 0x10 ? connect[at + 7] : 0;
		pollfd p = {s, POLLIN, 0};
		char buf[512];
		ssize_t n = poll(&p, 1, 100) == 1 ? read(s, buf, sizeof(buf)) : -1;
		if (n == 0 || Clock::now() > until)
			return 0;
		if (n > 0)
			connect.append(buf, static_cast<size_t>(n));
	}
}

// Waits for the peer to close s, reading what it sends; false at the deadline.
bool closed_by_peer(int s, Clock::duration deadline = kDeadline)
{
	auto until = Clock::now() + deadline;
	for (char buf[4096]; Clock::now() < until;) {
		pollfd p = {s, POLLIN, 0};
		if (poll(&p, 1, 100) == 1 && read(s, buf, sizeof(buf)) <= 0)
			return true;
	}
	return false;
}

// An MQTT 3.1.1 broker in front of the real one (1883) on port: it
// refuses MQTT 5, as an older broker does, with its own CONNACK, and
// relays all else both ways. The levels it was asked for, in levels.
struct OldBroker {
	explicit OldBroker(int port) : listener(socket(AF_INET, SOCK_STREAM, 0))
	{
		int on = 1;
		setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
		sockaddr_in a = loopback(port);
		EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
		listen(listener, 4);
		relay = std::thread([this] { serve(); });
	}
	~OldBroker()
	{
		stopping = true;
		relay.join();
		close(listener);
	}
	void serve()
	{
		while (!stopping) {
			pollfd p = {listener, POLLIN, 0};
			if (poll(&p, 1, 100) != 1)
				continue;
			int client = accept(listener, nullptr, nullptr);
			std::string connect;
			int level = read_connect(client, connect);
			levels += std::to_string(level);
			if (level != 4) {
				send_all(client, std::string("\x20\x02\x00\x01", 4));
				close(client);
				continue;
			}
			int up = socket(AF_INET, SOCK_STREAM, 0);
			sockaddr_in a = loopback(1883);
			connect_to(up, a);
			send_all(up, connect);
			splice_both(client, up);
			close(client);
			close(up);
		}
	}
	static void connect_to(int s, sockaddr_in &a)
	{
		EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
	}
	static bool send_all(int s, const std::string &bytes)
	{
		for (size_t at = 0; at < bytes.size();) {
			ssize_t n = ::send(s, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
			if (n <= 0)
				return false;
			at += static_cast<size_t>(n);
		}
		return true;
	}
	void splice_both(int a, int b)
	{
		pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
		for (char buf[65536]; !stopping;) {
			if (poll(p, 2, 100) <= 0)
				continue;
			for (int i = 0; i < 2; i++) {
				if (p[i].revents == 0)
					continue;
				ssize_t n = read(p[i].fd, buf, sizeof(buf));
				if (n <= 0 || !send_all(p[1 - i].fd, std::string(buf, static_cast<size_t>(n))))
					return;
			}
		}
	}
	int listener;
	std::atomic<bool> stopping = false;
	std::string levels;
	std::thread relay;
};

// What the broker may send makes the bridge grow by less than 16 MiB over
// its peak, whatever it is: 96 MiB published on Home Assistant's birth
// topic, or retained on an old config's (the broker delivers both to a
// client that does not forbid them). In MQTT 5 the broker never sends
// them; in 3.1.1 (a broker that refuses 5, in front of the same one) the
// bridge refuses them, and says so. Either way an event reaches the broker.
TEST_F(Mqtt, NoMessageMakesTheBridgeGrow)
{
	broker();
	std::string big = dir_ + "/big";
	std::ofstream(big) << std::string(96 << 20, 'a');
	const struct {
		std::string topic;
		bool retain, v311;
	} cases[] = {
		{"homeassistant/status", false, false},
		{kOldConfigs[0], true, false},
		{"homeassistant/status", false, true},
		{kOldConfigs[1], true, true},
	};
	int n = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.topic + (c.v311 ? " over 3.1.1" : " over 5"));
		std::string queue = std::to_string(++n), port = std::to_string(1884 + n);
		std::unique_ptr<OldBroker> old = c.v311 ? std::make_unique<OldBroker>(1884 + n) : nullptr;
		Process &b = bridge(c.v311 ? std::vector<std::string>{"--port", port} : std::vector<std::string>{}, queue);
		ASSERT_TRUE(wait_err(b, [](const std::string &t) { return t.find("connected to") != std::string::npos; }))
			<< err_text(b);
		EXPECT_EQ(err_text(b).find("(MQTT 3.1.1)") != std::string::npos, c.v311) << err_text(b);
		Process &config = subscribe("homeassistant/device/cam/config"), &sub = subscribe("ipc-dispatchd/cam/event");
		ASSERT_TRUE(seen(config, "homeassistant/device/cam/config {")) << err_text(b);
		long before = peak_kib(b.pid);
		Process &delivered = subscribe(c.topic, {"-C", "1", "-F", "%l"});
		std::vector<std::string> pub = {"mosquitto_pub", "-h", "127.0.0.1", "-t", c.topic, "-f", big};
		if (c.retain)
			pub.push_back("-r");
		ASSERT_EQ(run_host(pub).status, 0);
		EXPECT_TRUE(seen(delivered, std::to_string(96 << 20), 1)) << delivered.out_text;
		if (c.v311) {
			EXPECT_TRUE(wait_err(b, [](const std::string &t) {
				return t.find("the broker sent more than the bridge takes") != std::string::npos &&
				       t.rfind("connected to") > t.find("the broker sent more");
			}, 15s)) << err_text(b);
		}
		mqd_t q = keep(open_queue(subscriber(n)));
		EXPECT_TRUE(wait_until([&] {
			send(q, "MOTION_START");
			return wait_until([&] { return count(sub, "ipc-dispatchd/cam/event MOTION_START") > 0; }, 1500ms);
		}, 20s)) << err_text(b);
		long after = peak_kib(b.pid);
		EXPECT_LT(after - before, 16 << 10) << before << " KiB before, " << after << " KiB after";
		std::cout << c.topic << (c.v311 ? " (3.1.1)" : " (5)") << ": VmHWM " << before << " KiB before, " << after
			  << " KiB after\n";
		stop(b);
		for (const std::string &t : {c.topic, std::string("homeassistant/device/cam/config")})
			run_host({"mosquitto_pub", "-h", "127.0.0.1", "-t", t, "-r", "-n"});
		if (old) {  // refused, then 3.1.1, and 3.1.1 again after the loss
			EXPECT_EQ(old->levels.substr(0, 3), "544");
		}
	}
}

// A broker that sends what no broker should: the bridge drops the
// connection with one line, connects again, and grows by less than 16 MiB
// over it all. The broker's first answer to each CONNECT, then what it
// sends; the bridge's protocol level for each (5, or 4 once it has seen
// 5 refused, and kept while 4 works).
TEST_F(Mqtt, AHostileBrokerNeverTakesTheBridgeDown)
{
	int listener = bound(SOCK_STREAM, 1883);
	ASSERT_EQ(listen(listener, 4), 0);
	const std::string v5_ok("\x20\x03\x00\x00\x00", 5), v3_ok("\x20\x02\x00\x00", 4), birth = mqtt_string("homeassistant/status"),
			  config = mqtt_string(kOldConfigs[0]);
	std::string flood;
	for (int i = 0; i < 200000; i++)
		flood += packet(0x30, birth + std::string(1, '\0') + "x");  // no properties
	const struct {
		const char *what;
		int level;
		std::string answer, then;
		size_t filler;  // bytes of it, after then
	} cases[] = {
		{"a plain session", 5, v5_ok, "", 0},
		{"a 256 MiB length, 48 MiB sent", 5, v5_ok, std::string("\x30\xff\xff\xff\x7f", 5) + birth, 48 << 20},
		{"a length of five bytes", 5, v5_ok, std::string("\x30\xff\xff\xff\xff\x01", 6), 0},
		{"a topic past the packet", 5, v5_ok, packet(0x30, std::string("\x00\x40", 2) + "homeassistant"), 0},
		{"QoS 3", 5, v5_ok, packet(0x36, birth + std::string("\x00\x01\x00", 3) + "online"), 0},
		{"reserved type 0", 5, v5_ok, std::string("\x00\x00", 2), 0},
		{"SUBACK with flags", 5, v5_ok, std::string("\x92\x03\x00\x01\x01", 5), 0},
		{"a PUBREL without its flags", 5, v5_ok, std::string("\x60\x02\x00\x07", 4), 0},
		{"a second CONNACK", 5, v5_ok, v5_ok, 0},
		{"an unsolicited topic, stray acknowledgements", 5, v5_ok,
		 packet(0x30, mqtt_string("elsewhere/x") + std::string(1, '\0') + "online") + std::string("\x40\x02\x03\xe7\x50\x02\x03\xe8\x70\x02\x03\xe9", 12), 0},
		{"200,000 births that are not", 5, v5_ok, flood, 0},
		{"old configs that are not", 5, v5_ok, packet(0x31, config + std::string(1, '\0') + "not json") +
		 packet(0x31, config + std::string(1, '\0') + "{" + std::string(5000, ' ') + "}"), 0},
		{"MQTT 5's DISCONNECT, for a session taken over", 5, v5_ok, std::string("\xe0\x01\x8e", 3), 0},
		{"a CONNACK that ends early", 5, std::string("\x20\x01\x00", 3), "", 0},
		{"3.1.1 then", 4, v3_ok, "", 0},
		{"3.1.1 kept", 4, v3_ok, "", 0},
		{"3.1.1's refusal of its own level", 4, std::string("\x20\x02\x00\x01", 4), "", 0},
		{"a hang-up on MQTT 5's CONNECT", 5, "", "", 0},
		{"3.1.1 after it", 4, v3_ok, "", 0},
	};
	Process &b = bridge({"--keepalive", "5"});
	long before = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		pollfd p = {listener, POLLIN, 0};
		ASSERT_EQ(poll(&p, 1, 15000), 1) << err_text(b);
		int s = accept(listener, nullptr, nullptr);
		std::string connect;
		EXPECT_EQ(read_connect(s, connect), c.level) << err_text(b);
		OldBroker::send_all(s, c.answer + c.then);
		for (size_t sent = 0; sent < c.filler && OldBroker::send_all(s, std::string(1 << 20, 'z'));)
			sent += 1 << 20;
		if (before == 0) {
			ASSERT_TRUE(wait_err(b, [](const std::string &t) { return t.find("connected to") != std::string::npos; }));
			before = peak_kib(b.pid);
		}
		shutdown(s, SHUT_WR);
		EXPECT_TRUE(closed_by_peer(s)) << err_text(b);
		close(s);
		EXPECT_TRUE(alive(b));
		err_text(b);  // read: its stderr holds but a few lines unread
	}
	pollfd p = {listener, POLLIN, 0};
	EXPECT_EQ(poll(&p, 1, 15000), 1) << "no attempt after the last: " << err_text(b);
	long after = peak_kib(b.pid);
	EXPECT_LT(after - before, 16 << 10) << before << " KiB before, " << after << " KiB after";
	std::cout << "a hostile broker: VmHWM " << before << " KiB before, " << after << " KiB after\n";
	// Each connect and each loss said once; the birth that is not, once.
	std::string log = err_text(b);
	auto lines = [&](const std::string &text) {
		size_t n = 0;
		for (size_t at = 0; (at = log.find("\nipc-mqtt: " + text, at)) != std::string::npos; at++)
			n++;
		return n;
	};
	long connects = std::count_if(std::begin(cases), std::end(cases), [&](const auto &c) { return c.answer == v5_ok || c.answer == v3_ok; });
	EXPECT_EQ(lines("connected to 127.0.0.1:1883"), static_cast<size_t>(connects)) << log;
	EXPECT_EQ(lines("lost 127.0.0.1:1883: "), static_cast<size_t>(connects)) << log;
	EXPECT_EQ(lines("lost 127.0.0.1:1883: the broker sent more than the bridge takes"), 1u) << log;
	EXPECT_EQ(lines("lost 127.0.0.1:1883: the broker's reason 142 (MQTT 5); trying again in "), 1u) << log;
	EXPECT_EQ(lines("ignored homeassistant/status: 1 bytes, neither online nor offline (said once a minute)\n"), 1u) << log;
	EXPECT_EQ(lines("ignored " + kOldConfigs[0] + ": 8 bytes, not a JSON object (said once a minute)\n"), 1u) << log;
	EXPECT_EQ(lines("ignored "), 2u) << log;
	stop(b);
	close(listener);
}

// A camera whose host name nobody set is named after its MAC address.
TEST_F(Mqtt, IdFromTheHostNameOrTheMacAddress)
{
	ASSERT_EQ(unshare(CLONE_NEWUTS), 0);
	ASSERT_EQ(run_host({"ip", "link", "add", "eth0", "address", "02:00:00:ab:cd:ef", "type", "bridge"}).status, 0);
	const struct {
		std::string host, line;
		bool mac = true;
	} cases[] = {
		{"(none)", "ipc-mqtt: id cam-abcdef, from the MAC address of eth0\n"},
		{"", "ipc-mqtt: id cam-abcdef, from the MAC address of eth0\n"},
		{"localhost", "ipc-mqtt: id cam-abcdef, from the MAC address of eth0\n"},
		{"nursery.home", "ipc-mqtt: id nursery, from the host name\n"},
		{"(none)", "ipc-mqtt: id ipc-dispatchd, from no host name or MAC address\n", false},
	};
	for (const auto &c : cases) {
		if (!c.mac)
			run_host({"ip", "link", "del", "eth0"});
		ASSERT_EQ(sethostname(c.host.data(), c.host.size()), 0);
		Process &b = procs_.emplace_back(spawn({.args = {program("ipc-mqtt"), "--host", "127.0.0.1", "1"}}));
		EXPECT_TRUE(wait_err(b, [](const std::string &t) { return t.find('\n') != std::string::npos; }));
		EXPECT_EQ(err_text(b).substr(0, c.line.size()), c.line) << c.host;
		stop(b);
	}
}

// Where mosquitto's clients are on the machine: ipc-listen 3 | mosquitto_pub -l.
TEST_F(Mqtt, ListenPipedToMosquittoPub)
{
	broker();
	Process &sub = subscribe("camera/events");
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	// --waiting: an event may come before the listener is up.
	std::string bridge = shell_command("ipc-listen") + " --waiting 3 | mosquitto_pub -l -h 127.0.0.1 -t camera/events";
	procs_.emplace_back(spawn({.args = {"sh", "-c", bridge}, .wrap = false}));
	ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(3)); }));
	notify(svc, dispatch, kMotionStart);
	EXPECT_TRUE(seen(sub, "camera/events MOTION_START"));
}

} // namespace
