// What the bridge gives up once its files are open and its privileged part
// forked: root (setgroups, setresgid, setresuid to plain numbers, so that no
// passwd entry is needed), new privileges (no_new_privs), and every system
// call it does not make (a seccomp allow-list, checked architecture first).
// The filter is built by hand, as OpenSSH's is: libseccomp would not fit in
// the build without TLS, which has 94,208 bytes and used 92,100 before it.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mqtt.h"

namespace {

// The kernel's side (linux/filter.h, linux/seccomp.h, linux/audit.h), which
// the device's musl headers do not carry.
struct bpf_op {
	uint16_t code;
	uint8_t jt, jf;
	uint32_t k;
};
struct bpf_program {
	unsigned short len;
	bpf_op *ops;
};
struct syscall_data {
	int nr;
	uint32_t arch;
	uint64_t ip;
	uint64_t args[6];
};
constexpr uint16_t LD_ABS = 0x20, JEQ = 0x15, JSET = 0x45, RET = 0x06;  // of 32-bit words, by constants
constexpr unsigned long MODE_FILTER = 2;
constexpr uint32_t KILL_PROCESS = 0x80000000, ALLOW = 0x7fff0000, ERRNO = 0x00050000;

#if defined(__x86_64__)
constexpr uint32_t ARCH = 0xc000003e;  // AUDIT_ARCH_X86_64
#elif defined(__arm__) && !defined(__ARMEB__)
constexpr uint32_t ARCH = 0x40000028;  // AUDIT_ARCH_ARM
#else
#error "no seccomp allow-list for this architecture"
#endif

// What a row allows: the network part (the bridge, and its lookup child,
// which inherits its filter), the privileged part, or both; or it fails the
// call with EACCES, for a library that may probe and copes.
enum : uint8_t { NET = 1, PRIV = 2, BOTH = NET | PRIV, FAIL = 4 };
// What the sanitizers' build also calls on its way out, in either part.
#ifdef __SANITIZE_ADDRESS__
constexpr uint8_t SAN = BOTH;
#else
constexpr uint8_t SAN = NET;
#endif

// A row: the call's number, and in its top bits whom it is for (every
// number here is below 2^12, on either architecture).
using row = uint16_t;
constexpr int TO = 12;
// A number that does not fit divides by zero, which does not compile here.
constexpr row pack(long nr, int to)
{
	return (row)((nr | to << TO) / (nr < 1 << TO));
}

// Every call either part makes, as strace shows them through the
// integration suite (glibc on the host; musl on the device, under
// qemu-arm's -strace). A name that an architecture or a C library's headers
// lack is left out.
#define ROW(name, to) pack(__NR_##name, to),
constexpr row ROWS[] = {
	// Memory, the loop and its clocks; on 32-bit ARM each time64 call, and the one
	// before it that musl falls back to on a kernel before 5.1.
	ROW(read, BOTH) ROW(write, BOTH) ROW(close, BOTH) ROW(exit_group, BOTH) ROW(exit, BOTH) ROW(getpid, BOTH)
	ROW(futex, BOTH)
#ifdef __NR_futex_time64
	ROW(futex_time64, BOTH)
#endif
	ROW(brk, NET)
#ifdef __NR_mmap
	ROW(mmap, SAN)
#endif
#ifdef __NR_mmap2
	ROW(mmap2, SAN)
#endif
	ROW(munmap, NET) ROW(mremap, NET) ROW(mprotect, NET) ROW(madvise, NET) ROW(rt_sigprocmask, NET)
	ROW(rt_sigaction, NET) ROW(rt_sigreturn, NET)
#ifdef __NR_sigreturn
	ROW(sigreturn, NET)
#endif
	ROW(gettid, SAN) ROW(getrandom, NET)
#ifdef __NR_clock_gettime
	ROW(clock_gettime, NET)
#endif
#ifdef __NR_clock_gettime32
	ROW(clock_gettime32, NET)
#endif
#ifdef __NR_clock_gettime64
	ROW(clock_gettime64, NET)
#endif
#ifdef __NR_gettimeofday
	ROW(gettimeofday, NET)
#endif
#ifdef __NR_gettimeofday_time32
	ROW(gettimeofday_time32, NET)
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
#ifdef __NR_timerfd_settime
	ROW(timerfd_settime, NET)
#endif
#ifdef __NR_timerfd_settime32
	ROW(timerfd_settime32, NET)
#endif
#ifdef __NR_timerfd_settime64
	ROW(timerfd_settime64, NET)
#endif
	ROW(fcntl, BOTH)
#ifdef __NR_fcntl64
	ROW(fcntl64, BOTH)
#endif
	ROW(lseek, NET)
#ifdef __NR__llseek
	ROW(_llseek, NET)
#endif
#ifdef __NR_fstat
	ROW(fstat, NET)
#endif
#ifdef __NR_fstat64
	ROW(fstat64, NET)
#endif
#ifdef __NR_newfstatat
	ROW(newfstatat, NET)
#endif
#ifdef __NR_fstatat64
	ROW(fstatat64, NET)
#endif
	ROW(statx, NET)  // musl's fstat, before fstatat64
		// The broker's socket, the resolver's, and the privileged part's.
	ROW(socket, NET) ROW(connect, NET) ROW(bind, NET) ROW(getsockopt, NET) ROW(setsockopt, NET)
	ROW(getpeername, NET) ROW(shutdown, NET) ROW(sendto, BOTH) ROW(sendmsg, PRIV)
	ROW(sendmmsg, NET) ROW(recvfrom, BOTH) ROW(recvmsg, NET)
	// The lookup child: forked, killed, reaped.
	ROW(pipe2, NET)
#ifdef __NR_fork
	ROW(fork, NET)
#endif
	ROW(clone, NET) ROW(set_robust_list, NET) ROW(kill, NET) ROW(wait4, NET)
	ROW(sigaltstack, SAN)
	// The look under /proc.
	ROW(getdents64, PRIV)
#ifdef __NR_readlink
	ROW(readlink, PRIV)
#endif
	ROW(readlinkat, PRIV)
	// What a library asks for and copes without: glibc's resolver wants the
	// host name (uname), OpenSSL the memory (sysinfo), stdio a terminal.
	ROW(uname, FAIL) ROW(sysinfo, FAIL) ROW(ioctl, FAIL)
};
#undef ROW

// A file is opened to read only; anything else is refused.
constexpr uint32_t WRITING = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;

constexpr bpf_op op(uint16_t code, uint32_t k, uint8_t jt = 0, uint8_t jf = 0)
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
size_t build(bpf_op *f, uint8_t part)
{
	size_t n = 0, rows = 0;
	for (row r : ROWS)
		rows += ((r >> TO) & (part | FAIL)) != 0;
	size_t len = HEAD + OPEN_LEN * (sizeof(OPENS) / sizeof(OPENS[0])) + rows + TAIL, kill = len - 3, allow = len - 2,
	       fail = len - 1;
	auto to = [&](size_t label) { return (uint8_t)(label - n - 1); };
	f[n++] = op(LD_ABS, offsetof(syscall_data, arch));
	f[n] = op(JEQ, ARCH, 0, to(kill)), n++;
	f[n++] = op(LD_ABS, offsetof(syscall_data, nr));
	for (const auto &o : OPENS) {
		f[n] = op(JEQ, (uint32_t)o.nr, 0, 2), n++;
		// The flags' low word: the first on a little-endian machine.
		f[n++] = op(LD_ABS, (uint32_t)(offsetof(syscall_data, args) + sizeof(uint64_t) * (size_t)o.flags));
		f[n] = op(JSET, WRITING, to(fail), to(allow)), n++;
	}
	for (row r : ROWS)
		if ((r >> TO) & (part | FAIL))
			f[n] = op(JEQ, r & ((1 << TO) - 1), to((r >> TO) & part ? allow : fail)), n++;
	// A kernel before 4.14 reads KILL_PROCESS as its KILL, which kills the
	// thread: the same here, where each part has one.
	f[n++] = op(RET, KILL_PROCESS);
	f[n++] = op(RET, ALLOW);
	f[n++] = op(RET, ERRNO | EACCES);
	return n;
}

// no_new_privs, then the filter: false, with errno, when the kernel has
// neither.
bool filter(uint8_t part)
{
	bpf_op f[MAX_LEN];
	bpf_program prog = {(unsigned short)build(f, part), f};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, MODE_FILTER, &prog) == 0;
}

// The calls themselves, not the C library's wrappers: those make every
// thread change with the caller (musl's __synccall, 1.4 KB here), and each
// part has one thread. On ARM the 32-bit ids have calls of their own.
#ifdef __NR_setresuid32
constexpr long SETGROUPS = __NR_setgroups32, SETRESGID = __NR_setresgid32, SETRESUID = __NR_setresuid32;
#else
constexpr long SETGROUPS = __NR_setgroups, SETRESGID = __NR_setresgid, SETRESUID = __NR_setresuid;
#endif

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
	else if (syscall(SETGROUPS, 0, nullptr) == 0 && syscall(SETRESGID, gid, gid, gid) == 0 &&
		 syscall(SETRESUID, uid, uid, uid) == 0)
		return;
	say("can't run as uid ", (unsigned long)uid, " gid ", (unsigned long)gid, ": ", strerror(errno),
	    "; running as uid ", (unsigned long)geteuid(), "\n");
}

#ifdef __SANITIZE_ADDRESS__
bool filtered;
#endif

} // namespace

#ifdef __SANITIZE_ADDRESS__
// LeakSanitizer's check at exit stops the world with ptrace and threads of
// its own, which the filter refuses: in the sandbox it is off.
extern "C" int __lsan_is_turned_off(void);
extern "C" int __lsan_is_turned_off(void)
{
	return filtered;
}
#endif

void sandbox(const bridge &b)
{
#ifdef __SANITIZE_ADDRESS__
	filtered = true;
#endif
	give_up_root(b);
	if (!filter(NET))
		say("no seccomp filter (", strerror(errno), "): every system call stays open\n");
}

void sandbox_privileged(void)
{
	// Said once, by the network part.
	filter(PRIV);
}
