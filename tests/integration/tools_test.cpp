// ipc-notify, ipc-listen and ipc-mqtt's command line, alone and with the
// service.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <thread>

#include "harness.h"
#include "notifications.h"

using namespace harness;

namespace {

class Notify : public QueueTest {};
class Listen : public QueueTest {};
class Tools : public QueueTest {};

struct UsageCase {
	std::vector<std::string> args;
	std::string message;
	// When set, the C library's getopt_long reports the error in its own
	// words: glibc's are in message, musl's here.
	std::string musl = "";
};

// Each bad command line exits 2 with one line on stderr, and nothing else.
void expect_usage_errors(const std::string &tool, const std::vector<UsageCase> &cases)
{
	for (const UsageCase &c : cases) {
		std::vector<std::string> args = {tool};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Ran r = run(args);
		EXPECT_EQ(r.status, 2) << c.message;
		if (c.musl.empty())
			EXPECT_EQ(r.err, tool + ": " + c.message + " (see " + tool + " --help)\n");
		else
			EXPECT_TRUE(r.err == tool + ": " + c.message + "\n" || r.err == tool + ": " + c.musl + "\n") << r.err;
		EXPECT_EQ(r.out, "");
	}
}

TEST_F(Notify, UsageErrorsExitTwoWithOneLineAndSendNothing)
{
	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
	expect_usage_errors("ipc-notify", {

		{{}, "no EVENT given"},
		{{"MOTION"}, "unknown event 'MOTION'"},
		{{"motion_start"}, "unknown event 'motion_start'"},
		{{"MOTION_START", "MOTION_STOP"}, "one EVENT at a time"},
		{{"--hex", "0g"}, "--hex: 'g' is not a hex digit"},
		{{"--hex", "123"}, "--hex: odd number of hex digits"},
		{{"--hex", "1 23"}, "--hex: odd number of hex digits"},
		{{"--hex", std::string(1026, 'a')}, "--hex: more than 512 bytes"},
		{{"--hex", "00", "MOTION_START"}, "--hex takes no EVENT"},
		{{"--hex"}, "option '--hex' requires an argument", "option requires an argument: hex"},
		{{"--priority", "x", "MOTION_START"}, "--priority: 'x' is not a number from 0 to 32767"},
		{{"--priority", "-1", "MOTION_START"}, "--priority: '-1' is not a number from 0 to 32767"},
		{{"--priority", "32768", "MOTION_START"}, "--priority: '32768' is not a number from 0 to 32767"},
		{{"--priority", "99999999999999999999999", "MOTION_START"},
		 "--priority: '99999999999999999999999' is not a number from 0 to 32767"},
		{{"--create=yes"}, "option '--create' doesn't allow an argument", "option does not take an argument: create"},
		{{"--bogus", "MOTION_START"}, "unrecognized option '--bogus'", "unrecognized option: bogus"},
		// Options may follow the operand, and be cut short where that is
		// unambiguous.
		{{"MOTION_START", "--prio", "x"}, "--priority: 'x' is not a number from 0 to 32767"},
	});
	EXPECT_EQ(attributes(dispatch).mq_curmsgs, 0);
}

TEST_F(Notify, SendsTheBytesAskedFor)
{
	std::string big;
	std::string big_hex;
	for (int i = 0; i < 512; i++) {
		big += static_cast<char>(i);
		big_hex += hex_line(std::string(1, static_cast<char>(i))).substr(0, 2);
	}
	struct Case {
		std::vector<std::string> args;
		std::string bytes;
		unsigned prio;
	};
	// Each event by its name: its first row.
	std::vector<Case> cases;
	for (const Row &row : kRows)
		if (cases.empty() || cases.back().args[0] != row.event)
			cases.push_back({{row.event}, row.bytes, 0});
	cases.insert(cases.end(), {
		{{"--priority", "9", "BABY_CRYING"}, kCrying1, 9},
		{{"--priority=32767", "--", "MOTION_STOP"}, kMotionStop, 32767},
		{{"--hex", "04 00 00 00 02 00 00 00 04 60 04 60 00 00 00 00"}, kCrying2, 0},
		{{"--hex=0a0B\tfF\n 80"}, bytes_of({0x0a, 0x0b, 0xff, 0x80}), 0},
		{{"--hex", ""}, "", 0},
		{{"--hex", big_hex}, big, 0},
	});
	mqd_t dispatch = keep(create_queue("/ipc_dispatch"));
	for (const auto &c : cases) {
		std::vector<std::string> args = {"ipc-notify"};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Ran r = run(args);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "");
		std::string got;
		unsigned prio = 99;
		ASSERT_TRUE(receive(dispatch, got, &prio, 0s)) << c.args.back();
		EXPECT_EQ(got, c.bytes) << c.args.back();
		EXPECT_EQ(prio, c.prio) << c.args.back();
	}
}

// A queue that is missing, too small or not permitted: status 1 and one
// failure line, and nothing is created.
TEST_F(Tools, QueueThatCannotBeUsed)
{
	const struct {
		std::vector<std::string> args;
		std::string queue;  // made first, when set: its message size and mode
		long msgsize;
		mode_t mode;
		uid_t uid;  // root opens any queue
		std::string err;
	} cases[] = {
		{{"ipc-notify", "MOTION_START"}, "", 0, 0, 0, "Can't open mqueue /ipc_dispatch. Error: No such file or directory\n"},
		{{"ipc-listen", "--dispatch"}, "", 0, 0, 0, "Can't open mqueue /ipc_dispatch. Error: No such file or directory\n"},
		{{"ipc-notify", "MOTION_START"}, "/ipc_dispatch", 8, 0644, 0,
		 "Can't send to mqueue /ipc_dispatch. Error: Message too long\n"},
		{{"ipc-listen", "3"}, subscriber(3), 512, 0600, 65534, "Can't open mqueue /ipc_dispatch_3. Error: Permission denied\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args[0] + " " + c.args[1]);
		ASSERT_EQ(unshare(CLONE_NEWIPC), 0);
		if (!c.queue.empty())
			keep(create_queue(c.queue, 10, c.msgsize, c.mode));
		std::vector<std::string> args = c.args;
		args[0] = c.uid != 0 ? public_copy(program(args[0])) : program(args[0]);
		Process p = spawn({.args = args, .uid = c.uid});
		EXPECT_EQ(wait_exit(p), 1);
		EXPECT_EQ(glibc_words(err_text(p)), c.err);
		stop(p);
		if (c.queue.empty()) {
			EXPECT_FALSE(queue_exists("/ipc_dispatch"));
		}
	}
}

TEST_F(Notify, CreateMakesTheQueueWithTheServiceAttributes)
{
	// No umask: the mode is the tool's own.
	mode_t old = umask(0);
	Ran r = run({"ipc-notify", "--create"});
	umask(old);
	EXPECT_EQ(r.status, 0) << r.err;
	mqd_t dispatch = keep(open_queue("/ipc_dispatch"));
	mq_attr a = attributes(dispatch);
	EXPECT_EQ(a.mq_maxmsg, 10);
	EXPECT_EQ(a.mq_msgsize, 512);
	EXPECT_EQ(a.mq_curmsgs, 0);
	struct stat st = {};
	ASSERT_EQ(fstat(dispatch, &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);

	// An existing queue is used as it is.
	r = run({"ipc-notify", "--create", "MOTION_STOP"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(receive_all(dispatch), std::vector<std::string>{kMotionStop});
}

TEST_F(Listen, UsageErrorsExitTwoWithOneLine)
{
	expect_usage_errors("ipc-listen", {

		{{}, "no queue number N given"},
		{{"0"}, "N: '0' is not a number from 1 to 9"},
		{{"10"}, "N: '10' is not a number from 1 to 9"},
		{{"1x"}, "N: '1x' is not a number from 1 to 9"},
		{{"+1"}, "N: '+1' is not a number from 1 to 9"},
		{{"1", "2"}, "one queue number N at a time"},
		{{"--count", "0", "1"}, "--count: '0' is not a number above 0"},
		{{"--count", "", "1"}, "--count: '' is not a number above 0"},
		{{"--timeout", "-1", "1"}, "--timeout: '-1' is not a number of seconds from 0 to 31536000"},
		{{"--timeout", "1.5", "1"}, "--timeout: '1.5' is not a number of seconds from 0 to 31536000"},
		{{"--timeout"}, "option '--timeout' requires an argument", "option requires an argument: timeout"},
		{{"--dispatch", "1"}, "--dispatch takes no queue number N"},
		{{"-x", "1"}, "invalid option -- 'x'", "unrecognized option: x"},
	});
	for (int i = 1; i <= 9; i++)
		EXPECT_FALSE(queue_exists(subscriber(i)));
}

// Each is refused before a queue is opened or a broker is looked for.
TEST_F(Tools, MqttUsageErrorsExitTwoBeforeConnecting)
{
	const std::string ids = "' is not 1 to 64 letters, digits, - and _";
	const std::string prefixes = "' is not 1 to 128 characters without + and #";
	expect_usage_errors("ipc-mqtt", {

		{{}, "no queue number N given"},
		{{"10"}, "N: '10' is not a number from 1 to 9"},
		{{"1", "2"}, "one queue number N at a time"},
		{{"--remove", "1", "2"}, "one queue number N at a time"},
		{{"--remove", "0"}, "N: '0' is not a number from 1 to 9"},
		{{"--host", "", "1"}, "--host: empty"},
		{{"--host", std::string(254, 'h'), "1"}, "--host: longer than a DNS name (253 characters)"},
		{{"--port", "0", "1"}, "--port: '0' is not a number from 1 to 65535"},
		{{"--port", "65536", "1"}, "--port: '65536' is not a number from 1 to 65535"},
		{{"--id", "cam.1", "1"}, "--id: 'cam.1" + ids},
		{{"--id", "", "1"}, "--id: '" + ids},
		{{"--id", std::string(65, 'a'), "1"}, "--id: '" + std::string(65, 'a') + ids},
		{{"--topic", "home/+/cam", "1"}, "--topic: 'home/+/cam" + prefixes},
		{{"--topic", "home/#", "1"}, "--topic: 'home/#" + prefixes},
		{{"--discovery-prefix", "#", "1"}, "--discovery-prefix: '#" + prefixes},
		{{"--discovery-prefix", "ha", "--no-discovery", "1"}, "--discovery-prefix and --no-discovery together"},
		{{"--keepalive", "4", "1"}, "--keepalive: '4' is not a number of seconds from 5 to 65535"},
		{{"-k4", "1"}, "--keepalive: '4' is not a number of seconds from 5 to 65535"},
		{{"--crying-hold", "0", "1"}, "--crying-hold: '0' is not a number of seconds from 1 to 86400"},
		{{"--password-file", "/etc/hostname", "1"}, "--password-file needs --username"},
		{{"--user", "nobody", "1"}, "--user: 'nobody' is not UID:GID, two numbers"},
		{{"--user", "65534:", "1"}, "--user: '65534:' is not UID:GID, two numbers"},
		{{"--user", "4294967295:0", "1"}, "--user: '4294967295:0' is not UID:GID, two numbers"},
		{{"--verbose=yes", "1"}, "option '--verbose' doesn't allow an argument", "option does not take an argument: verbose"},
	});
	// TLS's, or where the build has none, that it has none.
	std::vector<UsageCase> tls = {
		{{"--insecure", "1"}, "--insecure needs --cafile or --capath, the CA to check the broker with"},
		{{"--cafile", "/nonexistent", "--cert", "c.crt", "1"}, "--cert needs --key"},
		{{"--capath", "/nonexistent", "--key", "c.key", "1"}, "--key needs --cert"},
		{{"--cafile", "/nonexistent", "--tls-version", "tlsv1.1", "1"}, "--tls-version: 'tlsv1.1' is not tlsv1.2 or tlsv1.3"},
	};
	for (UsageCase &c : tls)
		if (getenv("IPC_MQTT_TLS") != nullptr && std::string(getenv("IPC_MQTT_TLS")) == "0")
			c.message = c.args[0] + ": this ipc-mqtt is built without TLS";
	expect_usage_errors("ipc-mqtt", tls);
	for (int i = 1; i <= 9; i++)
		EXPECT_FALSE(queue_exists(subscriber(i)));
	Ran r = run({"ipc-mqtt", "--username", "cam", "--password-file", "/nonexistent", "1"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Can't read password file /nonexistent. Error: No such file or directory\n");
	if (tls[0].message.find("without TLS") != std::string::npos)
		return;
	// A TLS file that cannot be read, or is not what it should be.
	const struct {
		std::vector<std::string> args;
		std::string line;
	} files[] = {
		{{"--cafile", "/nonexistent"}, "Can't read --cafile /nonexistent. Error: No such file or directory\n"},
		{{"--cafile", "/etc/passwd"}, "ipc-mqtt: --cafile /etc/passwd: no CA certificate in it (PEM)\n"},
		{{"--capath", "/", "--cert", "/etc/passwd", "--key", "/etc/passwd"}, "ipc-mqtt: --cert /etc/passwd: no certificate in it (PEM)\n"},
	};
	for (const auto &f : files) {
		std::vector<std::string> args = {"ipc-mqtt", "--id", "cam"};
		args.insert(args.end(), f.args.begin(), f.args.end());
		args.push_back("1");
		r = run(args);
		EXPECT_EQ(r.status, 1) << f.line;
		EXPECT_TRUE(r.err.ends_with(f.line)) << r.err;
	}
}

// Each is refused before anything is started, stopped or written.
TEST_F(Tools, SuperviseUsageErrorsExitTwo)
{
	expect_usage_errors("ipc-supervise", {
		{{}, "no program to run"},
		{{"--queue", "ipc_dispatch", "true"}, "--queue: 'ipc_dispatch' is not a queue name (/NAME)"},
		{{"--stop-seconds", "3601", "true"}, "--stop-seconds: '3601' is not a number from 0 to 3600"},
		{{"--start-wait", "-1", "true"}, "--start-wait: '-1' is not a number from 0 to 3600"},
		{{"--start-check", "x", "true"}, "--start-check: 'x' is not a number from 0 to 3600"},
		{{"--state", std::string(247, 's'), "true"}, "--state: longer than 246 characters"},
		{{"--status", "true"}, "--start, --stop, --restart and --status need --state"},
		{{"--stop", "--name", "x", "true"}, "--start, --stop, --restart and --status need --state"},
		{{"--bogus", "true"}, "unrecognized option '--bogus'", "unrecognized option: bogus"},
	});
}

TEST_F(Tools, HelpAndVersionExitZero)
{
	// ipc-mqtt's second line: the libraries it runs with, so that an owner
	// can tell whether a security notice concerns the camera.
	const std::string tls = getenv("IPC_MQTT_TLS") != nullptr && std::string(getenv("IPC_MQTT_TLS")) == "0"
					? "without TLS"
					: "OpenSSL [0-9]+\\.[0-9]+\\.[0-9]+[a-z]* .*[0-9]{4}";
	const struct {
		std::string tool;
		std::vector<std::string> options;
		std::string built_with = "";
	} cases[] = {
		{"ipc-notify", {"--hex", "--priority", "--create", "--help", "--version", "EVENT", "BABY_CRYING"}},
		{"ipc-listen", {"--count", "--timeout", "--dispatch", "--waiting", "--help", "--version"}},
		{"ipc-supervise", {"--queue", "--state", "--log", "syslog", "--name", "--stop-seconds", "--start", "--stop",
				   "--restart", "--status", "--start-check", "--start-wait", "--hint", "--exe", "--help", "--version"}},
		{"ipc-mqtt", {"--host", "--port", "--id", "--topic", "--username", "--password-file", "--discovery-prefix",
			      "--no-discovery", "--keepalive", "--crying-hold", "--verbose", "--help", "--version", "--cafile",
			      "--capath", "--cert", "--key", "--insecure", "--tls-version", "--remove"},
		 "libmosquitto [0-9]+\\.[0-9]+\\.[0-9]+, " + tls + "\n"},
	};
	for (const auto &c : cases) {
		Ran r = run({c.tool, "--help"});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out.rfind("Usage: " + c.tool + " ", 0), 0u) << r.out;
		for (const std::string &o : c.options)
			EXPECT_NE(r.out.find(o), std::string::npos) << c.tool << " --help lacks " << o;
		r = run({c.tool, "--version"});
		EXPECT_EQ(r.status, 0);
		EXPECT_TRUE(std::regex_match(r.out, std::regex(c.tool + " " IPC_VERSION "\n" + c.built_with))) << r.out;
	}
}

TEST_F(Listen, CreatesItsQueueAndPrintsEachEventOnOneEscapedLine)
{
	// --waiting: the events may come before the listener has looked.
	Process p = spawn({.args = {program("ipc-listen"), "--waiting", "--count", "4", "4"}, .capture_out = true});
	ASSERT_TRUE(wait_until([] { return queue_exists(subscriber(4)); }));
	mqd_t q = keep(open_queue(subscriber(4), O_WRONLY));
	mq_attr a = attributes(q);
	EXPECT_EQ(a.mq_maxmsg, 10);
	EXPECT_EQ(a.mq_msgsize, 512);
	for (const std::string &m : {std::string("MOTION_START"), std::string("a\x1b[31m\\b\n"),
				      std::string("\xff\x00\x7f", 3), std::string()})
		send(q, m);
	EXPECT_EQ(wait_exit(p), 0);
	EXPECT_EQ(p.out_text, "MOTION_START\na\\x1b[31m\\\\b\\x0a\n\\xff\\x00\\x7f\n\n");
	EXPECT_EQ(err_text(p), "");
	stop(p);
}

// What waited in the queue before the listener started (events nobody
// read, maybe hours old) is taken out, and said on stderr, not printed as
// if it had just happened; --waiting prints it first.
TEST_F(Listen, SkipsWhatWaitedFromBefore)
{
	const std::string skipped = "ipc-listen: skipped old events (--waiting prints them)\n";
	const struct {
		std::vector<std::string> options;
		int waiting;
		std::string out, err;
	} cases[] = {
		{{}, 3, "MOTION_STOP\n", skipped},
		{{"--timeout", "5"}, 1, "MOTION_STOP\n", skipped},
		{{"--waiting"}, 2, "BABY_CRYING\nBABY_CRYING\nMOTION_STOP\n", ""},
	};
	for (const auto &c : cases) {
		mqd_t q = create_queue(subscriber(5));
		for (int i = 0; i < c.waiting; i++)
			send(q, "BABY_CRYING");
		Spawn how = {.args = {program("ipc-listen"), "--count", std::to_string(std::count(c.out.begin(), c.out.end(), '\n'))},
			     .capture_out = true};
		how.args.insert(how.args.end(), c.options.begin(), c.options.end());
		how.args.push_back("5");
		Process p = spawn(how);
		// The new event once the old are out: on stderr, or by the queue.
		ASSERT_TRUE(c.err.empty() ? wait_until([&] { return attributes(q).mq_curmsgs == 0; })
					  : wait_err(p, [&](const std::string &t) { return t == c.err; }))
			<< err_text(p);
		send(q, "MOTION_STOP");
		EXPECT_EQ(wait_exit(p), 0);
		EXPECT_EQ(p.out_text, c.out);
		EXPECT_EQ(err_text(p), c.err);
		stop(p);
		mq_close(q);
		mq_unlink(subscriber(5).c_str());
	}
}

TEST_F(Listen, TimesOutWithStatusThree)
{
	keep(create_queue(subscriber(2)));
	auto start = Clock::now();
	Ran r = run({"ipc-listen", "--timeout", "1", "2"});
	EXPECT_EQ(r.status, 3);
	EXPECT_GE(Clock::now() - start, 1s);
	EXPECT_EQ(r.out, "");

	// The time runs afresh after each event: events a second apart keep a
	// listener with --timeout 2 for 3 s and more.
	// --waiting: the first event may come before the listener has opened the queue.
	Process p = spawn({.args = {program("ipc-listen"), "--waiting", "--timeout", "2", "2"}, .capture_out = true});
	mqd_t q = keep(open_queue(subscriber(2), O_WRONLY));
	std::string want;
	for (int i = 0; i < 4; i++) {
		if (i > 0)
			std::this_thread::sleep_for(1s);
		send(q, "BABY_CRYING");
		want += "BABY_CRYING\n";
		EXPECT_TRUE(wait_until([&] { drain(p); return p.out_text == want; })) << p.out_text;
	}
	EXPECT_EQ(wait_exit(p), 3);
	EXPECT_EQ(p.out_text, want);
	stop(p);
}

// The tools with the service: what a script on the device sees.
TEST_F(Tools, NotifyThroughTheServiceToListen)
{
	mqd_t dispatch;
	Process &svc = start_ready(dispatch);
	Process &listener = procs_.emplace_back(spawn({.args = {program("ipc-listen"), "--waiting", "7"}, .capture_out = true}));
	// By name and in hex: the rows themselves are the service's test.
	const struct {
		std::vector<std::string> args;
		std::string bytes;
		std::string event;
	} cases[] = {
		{{"AI_HUMAN_DETECTION_START"}, kHumanStart, "AI_HUMAN_DETECTION_START"},
		{{"--hex", "04000000 02000000 04600460 00000000"}, kCrying2, "BABY_CRYING"},
	};
	std::string want;
	for (const auto &c : cases) {
		size_t from = err_text(svc).size();
		std::vector<std::string> args = {"ipc-notify"};
		args.insert(args.end(), c.args.begin(), c.args.end());
		ASSERT_EQ(run(args).status, 0);
		Relayed r = take_back(svc, dispatch, c.bytes, from);
		EXPECT_EQ(r.putback, c.bytes);
		// Once per turn: more than one if the notification went round
		// again before it was taken back.
		want += repeat(c.event + "\n", r.turns);
	}
	EXPECT_TRUE(wait_until([&] { drain(listener); return listener.out_text.size() >= want.size(); }));
	EXPECT_EQ(listener.out_text, want);
}

} // namespace
