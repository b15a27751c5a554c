// What the bridge gives up once its files are open and its privileged part
// forked: root (setgroups, setresgid, setresuid to plain numbers, so that no
// passwd entry is needed), new privileges (no_new_privs), and every system
// call it does not make (a seccomp allow-list, checked architecture first).
// The filter is built by hand, as OpenSSH's is: libseccomp would not fit in
// the build without TLS, which has 94,208 bytes and used 92,100 before it.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mqtt.h"

namespace {

#if defined(__x86_64__)
constexpr uint32_t ARCH = AUDIT_ARCH_X86_64;
#elif defined(__arm__) && !defined(__ARMEB__)
constexpr uint32_t ARCH = AUDIT_ARCH_ARM;
#else
#error "no seccomp allow-list for this architecture"
#endif

// What a row allows: the network part (the bridge, and its lookup child,
// which inherits its filter), the privileged part, or both; or it fails the
// call with EACCES, for a library that may probe and copes.
enum : uint8_t { NET = 1, PRIV = 2, BOTH = NET | PRIV, FAIL = 4 };

struct row {
	uint16_t nr;
	uint8_t to;
};

// Every call either part makes, as strace shows them through the
// integration suite (glibc on the host; musl on the device, where the
// 32-bit ARM calls have time64 forms and older fallbacks). A name that an
// architecture lacks is left out by its #ifdef.
#define ROW(name, to) {__NR_##name, to},
constexpr row ROWS[] = {
	// Memory, the loop and its clocks.
	ROW(read, BOTH) ROW(write, BOTH) ROW(close, BOTH) ROW(exit_group, BOTH) ROW(exit, BOTH)
	ROW(brk, NET) ROW(munmap, NET) ROW(mremap, NET) ROW(mprotect, NET) ROW(madvise, NET)
#ifdef __NR_mmap
	ROW(mmap, NET)
#endif
#ifdef __NR_mmap2
	ROW(mmap2, NET)
#endif
	ROW(rt_sigprocmask, NET) ROW(rt_sigaction, NET) ROW(rt_sigreturn, NET)
#ifdef __NR_sigreturn
	ROW(sigreturn, NET)
#endif
	ROW(getpid, BOTH) ROW(futex, BOTH) ROW(gettid, NET) ROW(getrandom, NET) ROW(clock_gettime, NET) ROW(gettimeofday, NET)
#ifdef __NR_clock_gettime64
	ROW(clock_gettime64, NET)
#endif
	ROW(ppoll, NET)
#ifdef __NR_ppoll_time64
	ROW(ppoll_time64, NET)
#endif
#ifdef __NR_poll
	ROW(poll, NET)
#endif
	ROW(mq_timedreceive, NET)
#ifdef __NR_mq_timedreceive_time64
	ROW(mq_timedreceive_time64, NET)
#endif
	ROW(fcntl, NET)
#ifdef __NR_fcntl64
	ROW(fcntl64, NET)
#endif
	ROW(lseek, NET)
#ifdef __NR__llseek
	ROW(_llseek, NET)
#endif
	ROW(fstat, NET)
#ifdef __NR_fstat64
	ROW(fstat64, NET)
#endif
#ifdef __NR_newfstatat
	ROW(newfstatat, NET)
#endif
#ifdef __NR_fstatat64
	ROW(fstatat64, NET)
#endif
	ROW(statx, NET) ROW(timerfd_settime, NET)
#ifdef __NR_timerfd_settime64
	ROW(timerfd_settime64, NET)
#endif
	// The broker's socket and the resolver's.
	ROW(socket, NET) ROW(connect, NET) ROW(bind, NET) ROW(getsockopt, NET) ROW(setsockopt, NET)
	ROW(getsockname, NET) ROW(getpeername, NET) ROW(shutdown, NET) ROW(sendto, BOTH) ROW(recvfrom, BOTH)
	ROW(sendmsg, BOTH) ROW(recvmsg, NET) ROW(sendmmsg, NET) ROW(ioctl, NET)
#ifdef __NR_send
	ROW(send, BOTH)
#endif
#ifdef __NR_recv
	ROW(recv, BOTH)
#endif
	// The lookup child: forked, killed, reaped.
	ROW(pipe2, NET) ROW(kill, NET) ROW(wait4, NET)
#ifdef __NR_fork
	ROW(fork, NET)
#endif
	ROW(clone, NET) ROW(set_robust_list, NET)
	// The look under /proc.
	ROW(getdents64, PRIV)
#ifdef __NR_readlink
	ROW(readlink, PRIV)
#endif
	ROW(readlinkat, PRIV)
	// Whatever else a library asks for that neither part needs.
	ROW(uname, FAIL) ROW(sysinfo, FAIL)
};
#undef ROW

// A file is opened to read only; anything else is refused.
constexpr uint32_t WRITING = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;

constexpr sock_filter op(uint16_t code, uint32_t k, uint8_t jt = 0, uint8_t jf = 0)
{
	return {code, jt, jf, k};
}

// The calls that open a file, and the argument that holds their flags.
constexpr struct {
	int nr;
	int flags;
} OPENS[] = {
#ifdef __NR_open
	{__NR_open, 1},
#endif
	{__NR_openat, 2},
};
constexpr size_t HEAD = 3, OPEN_LEN = 3, TAIL = 3;
constexpr size_t MAX_LEN = HEAD + OPEN_LEN * (sizeof(OPENS) / sizeof(OPENS[0])) + sizeof(ROWS) / sizeof(ROWS[0]) + TAIL;
// Every jump is forward, to the tail, within a jump's 255.
static_assert(MAX_LEN < 255, "the allow-list's jumps");

// The program for one part: the architecture, or killed; each open, allowed
// to read; each row's call, allowed or failed; the rest, killed.
size_t build(sock_filter *f, uint8_t part)
{
	size_t n = 0, rows = 0;
	for (const row &r : ROWS)
		rows += (r.to & (part | FAIL)) != 0;
	size_t len = HEAD + OPEN_LEN * (sizeof(OPENS) / sizeof(OPENS[0])) + rows + TAIL, kill = len - 3, allow = len - 2,
	       fail = len - 1;
	auto to = [&](size_t label) { return (uint8_t)(label - n - 1); };
	f[n++] = op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
	f[n] = op(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 0, to(kill)), n++;
	f[n++] = op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
	for (const auto &o : OPENS) {
		f[n] = op(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)o.nr, 0, 2), n++;
		// The flags' low word: the first on a little-endian machine.
		f[n++] = op(BPF_LD | BPF_W | BPF_ABS, (uint32_t)(offsetof(seccomp_data, args) + sizeof(uint64_t) * (size_t)o.flags));
		f[n] = op(BPF_JMP | BPF_JSET | BPF_K, WRITING, to(fail), to(allow)), n++;
	}
	for (const row &r : ROWS)
		if (r.to & (part | FAIL))
			f[n] = op(BPF_JMP | BPF_JEQ | BPF_K, r.nr, to(r.to & part ? allow : fail)), n++;
	// A kernel before 4.14 takes KILL_PROCESS for its KILL, which kills the
	// thread: the same here, where each part has one.
	f[n++] = op(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
	f[n++] = op(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	f[n++] = op(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES);
	return n;
}

// no_new_privs, then the filter: false, with errno, when the kernel has
// neither.
bool filter(uint8_t part)
{
	sock_filter f[MAX_LEN];
	sock_fprog prog = {(unsigned short)build(f, part), f};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// The uid and gid of --user, or a line that says why not: started by
// another user, or a camera that forbids it.
void give_up_root(const bridge &b)
{
	uid_t uid = (uid_t)b.uid;
	gid_t gid = (gid_t)b.gid;
	if (getuid() == uid && geteuid() == uid)
		return;
	if (geteuid() != 0)
		errno = EPERM;
	else if (setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0)
		return;
	say("can't run as uid ", (unsigned long)uid, " gid ", (unsigned long)gid, ": ", strerror(errno),
	    "; running as uid ", (unsigned long)geteuid(), "\n");
}

} // namespace

void sandbox(const bridge &b)
{
	give_up_root(b);
	if (!filter(NET))
		say("no seccomp filter (", strerror(errno), "): every system call stays open\n");
}

void sandbox_privileged(void)
{
	// Said once, by the network part.
	filter(PRIV);
}
