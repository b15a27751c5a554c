// The privileged part: a child forked before the sandbox, that keeps root
// and answers the bridge's typed questions over a socketpair, one byte
// asked, one fixed answer given: whether an ipc-dispatchd serves the queue
// (a look under /proc that needs root), and, for TLS, a descriptor of one
// of the files given on the command line, opened afresh (a key may be
// root's alone, a certificate renewed on disk). It does nothing else, and
// ends when the bridge does.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mqtt.h"

namespace {

struct answer {
	int32_t value;  // the pid that serves (0: none); for a file, 0 or -1
	int32_t error;  // errno, where the file could not be opened
};

#if IPC_MQTT_TLS
const char *path_of(const bridge &b, int question)
{
	const tls_settings &s = b.tls_options;
	return question == PRIV_CAFILE ? s.cafile : question == PRIV_CERT ? s.cert : question == PRIV_KEY ? s.key : nullptr;
}
#endif

// The answer, and the file's descriptor with it when there is one.
void tell(int sock, answer a, int fd)
{
#if IPC_MQTT_TLS
	iovec io = {&a, sizeof(a)};
	alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
	msghdr m = {};
	m.msg_iov = &io;
	m.msg_iovlen = 1;
	if (fd >= 0) {
		m.msg_control = room;
		m.msg_controllen = sizeof(room);
		cmsghdr *c = CMSG_FIRSTHDR(&m);
		c->cmsg_level = SOL_SOCKET;
		c->cmsg_type = SCM_RIGHTS;
		c->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(c), &fd, sizeof(int));
	}
	ssize_t ignored = sendmsg(sock, &m, MSG_NOSIGNAL);
#else
	(void)fd;  // without TLS there are no files to hand over
	ssize_t ignored = send(sock, &a, sizeof(a), MSG_NOSIGNAL);
#endif
	(void)ignored;
}

[[noreturn]] void answer_questions(bridge &b, int sock)
{
	sandbox_privileged();
	for (unsigned char q; recv(sock, &q, 1, 0) == 1;) {
		answer a = {-1, EINVAL};
		int fd = -1;
		if (q == PRIV_DISPATCHER) {
			a = {dispatcher_now(b), 0};
#if IPC_MQTT_TLS
		} else if (path_of(b, q) != nullptr) {
			fd = open(path_of(b, q), O_RDONLY | O_CLOEXEC | O_NOCTTY);
			a = {fd >= 0 ? 0 : -1, fd >= 0 ? 0 : errno};
#endif
		}
		tell(sock, a, fd);
		if (fd >= 0)
			close(fd);
	}
	_exit(0);
}

} // namespace

void start_privileged(bridge &b, int queue)
{
	int s[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, s) != 0)
		return;
	pid_t pid = fork();
	if (pid == 0) {
		close(s[0]);
		close(queue);
		answer_questions(b, s[1]);
	}
	close(s[1]);
	if (pid < 0) {
		close(s[0]);
		return;
	}
	b.priv = {pid, s[0]};
}

// What the privileged part answered, and a descriptor that came with it into
// *fd; false when it has gone.
bool ask_privileged(bridge &b, unsigned char question, int32_t *value, int *fd)
{
	answer a;
	if (send(b.priv.fd, &question, 1, MSG_NOSIGNAL) != 1)
		return false;
#if IPC_MQTT_TLS
	iovec io = {&a, sizeof(a)};
	alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))];
	msghdr m = {};
	m.msg_iov = &io;
	m.msg_iovlen = 1;
	m.msg_control = room;
	m.msg_controllen = sizeof(room);
	if (recvmsg(b.priv.fd, &m, MSG_CMSG_CLOEXEC) != sizeof(a))
		return false;
	cmsghdr *c = CMSG_FIRSTHDR(&m);
	if (fd != nullptr && c != nullptr && c->cmsg_type == SCM_RIGHTS)
		memcpy(fd, CMSG_DATA(c), sizeof(int));
#else
	(void)fd;
	if (recv(b.priv.fd, &a, sizeof(a), 0) != sizeof(a))
		return false;
#endif
	*value = a.value;
	errno = a.error;
	return true;
}

#if IPC_MQTT_TLS
int privileged_open(bridge &b, int question)
{
	int32_t opened;
	int fd = -1;
	if (b.priv.pid == 0)
		return open(path_of(b, question), O_RDONLY | O_CLOEXEC | O_NOCTTY);
	if (!ask_privileged(b, (unsigned char)question, &opened, &fd))
		errno = EPIPE;
	return fd;
}
#endif

void end_privileged(bridge &b)
{
	if (b.priv.pid == 0)
		return;
	// It ends at the end of its questions.
	close(b.priv.fd);
	waitpid(b.priv.pid, nullptr, 0);
	b.priv = {};
}
