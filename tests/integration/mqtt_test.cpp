// Events off the device, to a real mosquitto broker on loopback: ipc-mqtt,
// and the pipeline ipc-listen | mosquitto_pub. Each test has a network
// namespace of its own too, so the broker's port is always free.
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
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
		ASSERT_EQ(unshare(CLONE_NEWNET), 0);
		int s = socket(AF_INET, SOCK_DGRAM, 0);
		ifreq lo = {};
		strcpy(lo.ifr_name, "lo");
		lo.ifr_flags = IFF_UP;
		ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &lo), 0);
		close(s);
		dir_ = temp_dir();
	}
	// A broker on 127.0.0.1:1883 with these lines of configuration.
	Process &broker(const std::string &conf = "allow_anonymous true\n")
	{
		std::ofstream(dir_ + "/mosquitto.conf") << "listener 1883 127.0.0.1\n" << conf;
		Process &b = procs_.emplace_back(spawn({.args = {"mosquitto", "-c", dir_ + "/mosquitto.conf"}, .wrap = false}));
		EXPECT_TRUE(wait_until([] {
			int s = socket(AF_INET, SOCK_STREAM, 0);
			sockaddr_in a = {};
			a.sin_family = AF_INET;
			a.sin_port = htons(1883);
			a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
			bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
			close(s);
			return up;
		})) << err_text(b);
		return b;
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
	// The messages the broker keeps, as a new subscriber gets them, sorted.
	std::string retained(const std::string &topic)
	{
		Ran r = run_host({"mosquitto_sub", "-h", "127.0.0.1", "-v", "-t", topic, "--retained-only", "-W", "1"});
		std::vector<std::string> lines;
		std::istringstream in(r.out);
		for (std::string line; std::getline(in, line);)
			lines.push_back(line + "\n");
		std::sort(lines.begin(), lines.end());
		std::string all;
		for (const std::string &l : lines)
			all += l;
		return all;
	}
	Ran run_host(const std::vector<std::string> &args)
	{
		Process p = spawn({.args = args, .capture_out = true, .wrap = false});
		Ran r = {wait_exit(p), p.out_text, err_text(p)};
		stop(p);
		return r;
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
	Process &bridge(const std::vector<std::string> &options = {})
	{
		Spawn how = {.args = {program("ipc-mqtt"), "--host", "127.0.0.1", "--id", "cam", "--crying-hold", "1", "1"}};
		how.args.insert(how.args.begin() + 1, options.begin(), options.end());
		return procs_.emplace_back(spawn(how));
	}
	// A notification through the service, taken back once the bridge has
	// published its event.
	void notify(Process &svc, mqd_t dispatch, const std::string &bytes)
	{
		size_t from = err_text(svc).size();
		send(dispatch, bytes);
		take_back(svc, dispatch, bytes, from);
	}
	std::string dir_;
};

const std::string kAnnounced = "ipc-dispatchd/cam/crying OFF\nipc-dispatchd/cam/motion OFF\n"
				"ipc-dispatchd/cam/person OFF\nipc-dispatchd/cam/status online\n";

// What Home Assistant needs of the discovery configs, in jq.
const char kDiscovery[] =
	"length == 3 and (map(.unique_id) | unique | length) == 3 and "
	"(map(.device_class) | sort) == [\"motion\", \"occupancy\", \"sound\"] and "
	"all(.[]; .state_topic == \"ipc-dispatchd/cam/\" + (.unique_id | split(\"_\") | last) and "
	".availability_topic == \"ipc-dispatchd/cam/status\" and .payload_on == \"ON\" and "
	".device.identifiers == [\"ipc-dispatchd_cam\"] and .device.name == \"cam\" and "
	".device.model == \"ipc-dispatchd\" and (.device.sw_version | length) > 0)";

TEST_F(Mqtt, EventsStatesAndDiscoveryThroughBrokerRestarts)
{
	Process *brk = &broker();
	Process &sub = subscribe();
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	Process &b = bridge();
	ASSERT_TRUE(seen(sub, "ipc-dispatchd/cam/crying OFF")) << err_text(b);
	EXPECT_EQ(retained("ipc-dispatchd/#"), kAnnounced);
	Ran configs = run_host({"sh", "-c", "mosquitto_sub -h 127.0.0.1 -t 'homeassistant/#' --retained-only -W 1 | jq -se '" +
						    std::string(kDiscovery) + "'"});
	EXPECT_EQ(configs.out, "true\n") << configs.err;

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

	// Home Assistant back: the configs and states again.
	ASSERT_EQ(run_host({"mosquitto_pub", "-h", "127.0.0.1", "-t", "homeassistant/status", "-m", "online"}).status, 0);
	EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/person OFF", 3));
	EXPECT_EQ(count(sub, "homeassistant/binary_sensor/cam/motion/config"), 2u);

	// A broker restarted without its retained messages gets them back, with
	// a state that an event moved while it was down.
	stop(*brk);
	notify(svc, dispatch, kMotionStart);
	broker();
	EXPECT_TRUE(wait_until([&] { return retained("ipc-dispatchd/cam/motion") == "ipc-dispatchd/cam/motion ON\n"; }))
		<< err_text(b);
	EXPECT_NE(retained("homeassistant/binary_sensor/cam/crying/config"), "");
	std::string log = err_text(b);
	EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;  // up, down, up

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
}

// A broker that wants a password gets it from the file's first line; a
// wrong one is refused, said once, and tried again.
TEST_F(Mqtt, PasswordFromAFile)
{
	std::string passwords = dir_ + "/passwords";
	ASSERT_EQ(run_host({"mosquitto_passwd", "-c", "-b", passwords, "cam", "s3cret"}).status, 0);
	chmod(passwords.c_str(), 0644);
	broker("allow_anonymous false\npassword_file " + passwords + "\n");
	Process &sub = subscribe("#", {"-u", "cam", "-P", "s3cret"});
	const struct {
		std::string file;
		bool accepted;
	} cases[] = {{"s3cret\nsecond line\n", true}, {"wrong\n", false}};
	for (const auto &c : cases) {
		std::ofstream(dir_ + "/password") << c.file;
		Process &b = bridge({"--username", "cam", "--password-file", dir_ + "/password"});
		if (c.accepted) {
			EXPECT_TRUE(seen(sub, "ipc-dispatchd/cam/status online")) << err_text(b);
		} else {
			EXPECT_TRUE(wait_err(b, [](const std::string &t) { return t.find("not authorised") != std::string::npos; }));
			std::this_thread::sleep_for(1500ms);
			EXPECT_TRUE(alive(b));
			EXPECT_EQ(count(sub, "ipc-dispatchd/cam/status online"), 1u);
		}
		stop(b);
	}
}

// Where mosquitto's clients are on the machine: ipc-listen 1 | mosquitto_pub -l.
TEST_F(Mqtt, ListenPipedToMosquittoPub)
{
	broker();
	Process &sub = subscribe("camera/events");
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	std::string bridge = shell_command("ipc-listen") + " 1 | mosquitto_pub -l -h 127.0.0.1 -t camera/events";
	procs_.emplace_back(spawn({.args = {"sh", "-c", bridge}, .wrap = false}));
	ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(1)); }));
	notify(svc, dispatch, kMotionStart);
	EXPECT_TRUE(seen(sub, "camera/events MOTION_START"));
}

} // namespace
