// The broker's name, looked up in a child of its own: a resolver that
// never answers holds up nothing but the child, whose answer comes back
// over a pipe that the loop polls. The answer is "+ADDRESS" or "-WHY"; what
// it means for the connection, connection.cpp says.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mqtt.h"

namespace {

// The child's side: one lookup, one answer, and out.
[[noreturn]] void answer_lookup(const char *host, int fd)
{
	ipc_buf<LOOKUP_ANSWER_MAX> answer;
	addrinfo hints = {}, *found = nullptr;
	hints.ai_socktype = SOCK_STREAM;
	int rc = getaddrinfo(host, nullptr, &hints, &found);
	if (rc != 0) {
		ipc_put_all(answer, "-", rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
	} else {
		// The first address, as the resolver orders them.
		const sockaddr *a = found->ai_addr;
		const void *bytes = a->sa_family == AF_INET6 ? (const void *)&((const sockaddr_in6 *)a)->sin6_addr
							     : (const void *)&((const sockaddr_in *)a)->sin_addr;
		char address[INET6_ADDRSTRLEN] = {};
		inet_ntop(a->sa_family, bytes, address, sizeof(address));
		ipc_put_all(answer, "+", address);
	}
	// Up to PIPE_BUF bytes, one write is all or nothing.
	ssize_t ignored = write(fd, answer.buf, answer.len);
	(void)ignored;
	_exit(0);
}

} // namespace

const char *start_lookup(lookup_child &l, const char *host)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
		return strerror(errno);
	pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		answer_lookup(host, p[1]);
	}
	int saved = errno;
	close(p[1]);
	if (pid < 0) {
		close(p[0]);
		return strerror(saved);
	}
	l = {pid, p[0]};
	return nullptr;
}

void end_lookup(lookup_child &l)
{
	if (l.pid == 0)
		return;
	// Killed whether or not it answered: it never waits for anything else.
	kill(l.pid, SIGKILL);
	waitpid(l.pid, nullptr, 0);
	close(l.fd);
	l = {};
}

const char *lookup_answer(lookup_child &l, ipc_buf<LOOKUP_ANSWER_MAX> &answer)
{
	ssize_t n = read(l.fd, answer.buf, answer.size);
	if (n < 0 && errno == EAGAIN)
		return nullptr;
	end_lookup(l);
	answer.len = n > 0 ? (size_t)n : 0;
	if (n <= 0)
		ipc_put(answer, "-the lookup ended without an answer");
	return answer.str();
}
