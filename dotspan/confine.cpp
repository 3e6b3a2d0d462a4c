// Confinement: once main has checked and set up the descriptors, the process
// gives up everything a run does not need, so that code that takes over a
// run through crafted input can read standard input, write standard output
// and error, and allocate private memory, and nothing else: no file, through
// a path, a descriptor or a mapping; no other process; no signal, not even to
// itself; no executable memory; no wider pipe than the program's own; no core
// file. This file owns the list of calls, the filter that enforces it, and
// the steps before it that take away what a caller's environment may have
// left in the process; nothing else in dotspan knows of it.
//
// On Linux it is a seccomp filter, a classic BPF program that the kernel
// runs on every system call. A call that could do harm ends the process at
// once by SIGSYS: it is a bug or an attack, never something to tolerate
// quietly. A call that the C library or the loader makes and copes with
// when refused (a huge page, a grown mapping, a write to a descriptor that
// is closed anyway) is answered with an error instead, as the kernel itself
// might answer it. Where the kernel refuses seccomp outright (an old kernel,
// a container that forbids it, an emulator), the run goes on unconfined:
// confinement is a second wall, not a condition of running. Any other
// refusal (an outer filter that has used up the kernel's budget) stops the
// run before its first read: it must never go on unconfined unnoticed.
#include "confine.h"

#ifdef DOTSPAN_AUDIT_ARCH
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include <asm/unistd.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define DOTSPAN_VALGRIND 1
#endif

#if defined(__aarch64__) && !defined(PROT_MTE)
#define PROT_MTE 0x20   // a C library older than the kernel's memory tagging
#endif

namespace dotspan {

namespace {

// One condition on a call's argument i: its low 32 bits, masked, are one of
// n values (all a descriptor, a command, a count or a set of flags has;
// where the kernel reads 64 bits of a flag word it refuses unknown high
// bits). With null, the whole argument, a pointer, must be 0.
struct Arg {
    uint8_t i, n;
    uint32_t mask, v[2];
    bool null;
};
constexpr Arg is(uint8_t i, uint32_t v) { return {i, 1, ~0u, {v, v}, false}; }
constexpr Arg either(uint8_t i, uint32_t v, uint32_t w) { return {i, 2, ~0u, {v, w}, false}; }
[[maybe_unused]] constexpr Arg masked(uint8_t i, uint32_t mask, uint32_t v) { return {i, 1, mask, {v, v}, false}; }
[[maybe_unused]] constexpr Arg null(uint8_t i) { return {i, 1, ~0u, {0, 0}, true}; }

// A call is answered by the first rule with its number whose conditions
// all hold: allowed, or refused with an error.
struct Rule {
    long nr;
    Arg args[3];
    uint32_t then = SECCOMP_RET_ALLOW;
};
constexpr uint32_t answer(int err) { return SECCOMP_RET_ERRNO | uint32_t(err); }

#ifdef __NR_fcntl64
#define DOTSPAN_FCNTL __NR_fcntl64   // what fcntl is on 32-bit systems
#else
#define DOTSPAN_FCNTL __NR_fcntl
#endif
#ifdef __NR_mmap2
#define DOTSPAN_MMAP __NR_mmap2   // what mmap is on 32-bit systems
#else
#define DOTSPAN_MMAP __NR_mmap
#endif

struct Prog;
void compile(Prog &p, const Rule *rules, size_t n);   // below the list

// The list: every call a run makes once confined, each with the narrowest
// condition that lets the run's own calls through. A call that matches no
// row ends the process.
void build(Prog &p, uint32_t widest_pipe)
{
    [[maybe_unused]] constexpr uint32_t rw = PROT_READ | PROT_WRITE, private_anon = MAP_PRIVATE | MAP_ANONYMOUS;
    // clang-format off
    const Rule rules[] = {
        // call                 condition                                   then, and why
        {__NR_read,             {is(0, 0)}},                                // the input
        {__NR_write,            {either(0, 1, 2)}},                         // the output; the one error line
        {__NR_writev,           {either(0, 1, 2)}},                         // glibc's report of a corrupted heap; the loader's LD_DEBUG lines
        {__NR_write,            {}, answer(EBADF)},                         // any other descriptor is closed: the loader's LD_DEBUG_OUTPUT
        {__NR_writev,           {}, answer(EBADF)},                         // file at exit meets the answer it would meet anyway
#ifdef __NR_poll
        {__NR_poll,             {is(1, 1), is(2, ~0u)}},                    // wait for a non-blocking descriptor: one, no time limit
#else
        {__NR_ppoll,            {is(1, 1), null(2), null(3)}},              // the same: no time limit, and no signal mask of its own
#endif
        {__NR_restart_syscall,  {}},                                        // that wait resumed after SIGSTOP and SIGCONT
        {DOTSPAN_FCNTL,         {either(0, 0, 1), is(1, F_GETPIPE_SZ)}},    // how wide a long stream's pipe is
        {DOTSPAN_FCNTL,         {either(0, 0, 1), is(1, F_SETPIPE_SZ),
                                 is(2, widest_pipe)}},                      // widen it, to dotspan's own size and no more
        {__NR_close,            {is(0, 1)}},                                // the last close, which shows a late write error
        {__NR_getpid,           {}},                                        // the loader's LD_DEBUG lines at exit name the process
        {__NR_brk,              {}},                                        // the allocator's heap
#ifdef __s390x__
        {DOTSPAN_MMAP,          {}, answer(ENOMEM)},                        // s390x passes mmap's arguments in memory, unseen: the
                                                                            // allocator takes all its memory from brk instead
#else
        {DOTSPAN_MMAP,          {masked(3, MAP_HUGETLB, MAP_HUGETLB)},
                                answer(ENOMEM)},                            // huge pages, which no memory limit counts: the allocator
                                                                            // falls back to ordinary ones
        {DOTSPAN_MMAP,          {is(2, rw), is(3, private_anon)}},          // its large blocks: private memory, never a file's or code
#endif
#ifdef __aarch64__
        {DOTSPAN_MMAP,          {is(2, rw | PROT_MTE), is(3, private_anon)}},   // the same, tagged (glibc.mem.tagging)
        {__NR_mprotect,         {is(2, rw | PROT_MTE)}},                    // the heap tagged: never executable
#endif
        {__NR_mremap,           {}, answer(ENOMEM)},                        // it could grow a mapping of code; realloc copies instead
        {__NR_munmap,           {}},                                        // free of a large block
        {__NR_madvise,          {is(2, MADV_HUGEPAGE)}},                    // its blocks under glibc.malloc.hugetlb=1
        {__NR_exit_group,       {}},                                        // the end
    };
    // clang-format on
    compile(p, rules, sizeof rules / sizeof *rules);
}

// The BPF plumbing beneath the list.
struct Prog {
    sock_filter code[192];
    unsigned short len = 0;
    bool bad = false;   // the list outgrew the array or a jump: never installed cut short
    void put(sock_filter f)
    {
        if (len < sizeof code / sizeof *code)
            code[len++] = f;
        else
            bad = true;
    }
    // Points the false branch of the jump at code[at] to here.
    void land(unsigned short at)
    {
        unsigned d = unsigned(len - at - 1);
        bad |= d > 255;
        code[at].jf = uint8_t(d);
    }
};

constexpr uint32_t kill_process = SECCOMP_RET_KILL_PROCESS;

sock_filter load(uint32_t offset) { return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset); }
sock_filter ret(uint32_t action) { return BPF_STMT(BPF_RET | BPF_K, action); }
sock_filter jump(uint16_t op, uint32_t k, uint8_t yes, uint8_t no)
{
    return BPF_JUMP(BPF_JMP | op | BPF_K, k, yes, no);
}

// The offset of the low (word 0) or high (word 1) 32 bits of argument i.
uint32_t arg(int i, int word)
{
    uint32_t at = uint32_t(offsetof(seccomp_data, args)) + 8 * uint32_t(i);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = 1 - word;
#endif
    return at + 4 * uint32_t(word);
}

void compile(Prog &p, const Rule *rules, size_t n)
{
    // Another convention's calls (32-bit calls on a 64-bit kernel; n32 and
    // o32 on mips64) come with another arch and other numbers.
    p.put(load(offsetof(seccomp_data, arch)));
    p.put(jump(BPF_JEQ, DOTSPAN_AUDIT_ARCH, 1, 0));
    p.put(ret(kill_process));
#ifdef __x86_64__
    p.put(load(offsetof(seccomp_data, nr)));
    p.put(jump(BPF_JGE, __X32_SYSCALL_BIT, 0, 1));   // x32 numbers for the same calls, with the same arch
    p.put(ret(kill_process));
#endif
    for (const Rule &r : std::span(rules, n)) {
        unsigned short fails[8], nfails = 0;   // jumps whose false branch leads to the next rule
        p.put(load(offsetof(seccomp_data, nr)));
        fails[nfails++] = p.len;
        p.put(jump(BPF_JEQ, uint32_t(r.nr), 0, 0));
        for (const Arg &c : r.args) {
            if (c.n == 0)
                continue;
            p.put(load(arg(c.i, 0)));
            if (c.mask != ~0u)
                p.put(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, c.mask));
            if (c.n == 2)
                p.put(jump(BPF_JEQ, c.v[1], 1, 0));
            fails[nfails++] = p.len;
            p.put(jump(BPF_JEQ, c.v[0], 0, 0));
            if (c.null && sizeof(void *) == 8) {
                p.put(load(arg(c.i, 1)));
                fails[nfails++] = p.len;
                p.put(jump(BPF_JEQ, 0, 0, 0));
            }
        }
        p.put(ret(r.then));
        for (unsigned short k = 0; k < nfails; k++)
            p.land(fails[k]);
    }
    p.put(ret(kill_process));
}

// valgrind runs the program on a CPU of its own, with calls of its own
// (executable memory for its translations), and hands the filter to the
// kernel, which would then end it at its first such call. It is asked
// through its own client request, which only its CPU answers: no name in
// the environment and no library a caller preloads can pass for it. A build
// without valgrind's header cannot ask, and is confined under it too.
bool under_valgrind()
{
#ifdef DOTSPAN_VALGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

// CPUs without a no-execute bit, where the kernel gives every program
// READ_IMPLIES_EXEC because that is what the hardware does: 32-bit ARM
// before ARMv6 (armel's oldest boards).
bool every_page_executable()
{
#ifdef __arm__
    auto platform = reinterpret_cast<const char *>(getauxval(AT_PLATFORM));
    return platform != nullptr && (std::strncmp(platform, "v4", 2) == 0 || std::strncmp(platform, "v5", 2) == 0);
#else
    return false;
#endif
}

// A personality with READ_IMPLIES_EXEC (setarch -X), which survives execve
// on 32-bit CPUs and s390x, makes every readable mapping executable: the
// heap among them. It is cleared and the program started again, so that the
// mappings made at the start are made without it. Returns only on failure.
int start_without_read_implies_exec(char **argv)
{
    int persona = personality(0xffffffff);
    if (persona == -1 || (persona & READ_IMPLIES_EXEC) == 0 || every_page_executable())
        return 0;
    if (personality(unsigned(persona) & ~unsigned(READ_IMPLIES_EXEC)) == -1)
        return errno;
    execve("/proc/self/exe", argv, environ);
    if (auto path = reinterpret_cast<const char *>(getauxval(AT_EXECFN)))   // no /proc: the path it was started by
        execve(path, argv, environ);
    return errno;
}

// Shared writable mappings present now (the loader maps its profile file so
// under LD_PROFILE) would let a run write a file through memory. Each is
// replaced by private memory that holds the same bytes, so that whatever
// writes there from now on writes the process's own copy. The loader's
// profiling timer is ignored from now on: its handler would return through
// rt_sigreturn, which could set any signal mask.
int privatize_shared_mappings()
{
    struct sigaction prof;
    if (sigaction(SIGPROF, nullptr, &prof) == 0 && prof.sa_handler != SIG_DFL && prof.sa_handler != SIG_IGN)
        signal(SIGPROF, SIG_IGN);
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {   // no /proc: only the loader's profiling is known to leave one
        const char *profile = getenv("LD_PROFILE");
        return profile != nullptr && *profile != '\0' ? errno : 0;
    }
    // Each line starts "lo-hi perms ", in hex; the rest is skipped.
    struct Range {
        uintptr_t lo, hi;
        bool readable;
    } shared[16];
    size_t nshared = 0;
    uintptr_t lo = 0, hi = 0;
    char perms[4] = {}, buf[4096];
    int field = 0, k = 0, err = 0;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        for (char c : std::span(buf, size_t(n))) {
            unsigned digit = c <= '9' ? unsigned(c - '0') : unsigned(c - 'a' + 10);
            if (c == '\n') {
                if (perms[1] == 'w' && perms[3] == 's') {
                    if (nshared == sizeof shared / sizeof *shared)
                        err = ENOMEM;
                    else
                        shared[nshared++] = {lo, hi, perms[0] == 'r'};
                }
                lo = hi = 0, field = k = 0, std::memset(perms, 0, sizeof perms);
            } else if (field == 0) {
                c == '-' ? void(field = 1) : void(lo = lo << 4 | digit);
            } else if (field == 1) {
                c == ' ' ? void(field = 2) : void(hi = hi << 4 | digit);
            } else if (field == 2) {
                c == ' ' ? void(field = 3) : k < 4 ? void(perms[k++] = c) : void();
            }
        }
    close(fd);
    for (const Range &r : std::span(shared, nshared)) {
        auto at = reinterpret_cast<void *>(r.lo);
        size_t len = r.hi - r.lo;
        void *copy = r.readable ? std::malloc(len) : nullptr;
        if (r.readable && copy == nullptr)
            return ENOMEM;
        if (copy)
            std::memcpy(copy, at, len);
        void *p = mmap(at, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p != MAP_FAILED && copy)
            std::memcpy(at, copy, len);
        std::free(copy);
        if (p == MAP_FAILED)
            return errno;
    }
    return err;
}

// No descriptor but the three: whatever the caller left open (a jobserver's
// pipe, a file) is out of reach. Kernels before 5.9 have no close_range, and
// an outer filter may refuse it: then the descriptors /proc lists are
// closed, a call each; and where there is no /proc, every number up to the
// hard limit is asked at once, 256 to a poll, which marks those that are
// not open. A hard limit of 2^20 then costs 4096 polls.
void close_inherited()
{
#ifdef __NR_close_range
    if (syscall(__NR_close_range, 3u, ~0u, 0u) == 0)
        return;
#endif
    if (int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        alignas(8) char buf[4096];   // linux_dirent64 records: the length at 16, the name at 19
        for (long n; (n = syscall(__NR_getdents64, dir, buf, sizeof buf)) > 0;)
            for (long at = 0; at < n;) {
                uint16_t reclen;
                std::memcpy(&reclen, buf + at + 16, sizeof reclen);
                long fd = std::strtol(buf + at + 19, nullptr, 10);
                if (fd > 2 && fd != dir)
                    close(int(fd));
                at += reclen;
            }
        close(dir);
        return;
    }
    rlimit lim = {};
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t top = lim.rlim_max < (rlim_t(1) << 30) ? lim.rlim_max : rlim_t(1) << 30;
    const int batch = lim.rlim_cur < 256 ? int(lim.rlim_cur) : 256;   // poll refuses more than the soft limit
    pollfd fds[256];
    for (rlim_t from = 3; from < top && batch > 0; from += rlim_t(batch)) {
        int n = 0;
        for (; n < batch && from + rlim_t(n) < top; n++)
            fds[n] = {int(from + rlim_t(n)), 0, 0};
        if (poll(fds, nfds_t(n), 0) >= 0)
            for (const pollfd &f : std::span(fds, size_t(n)))
                if ((f.revents & POLLNVAL) == 0)
                    close(f.fd);
    }
}

// A caller's blocked signals are inherited through execve; a blocked
// SIGTERM, SIGINT or SIGHUP would let a run that has been taken over
// outlive them. Ignored ones stay ignored: that is the caller's choice.
void unblock_ending_signals()
{
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&ending, sig);
    sigprocmask(SIG_UNBLOCK, &ending, nullptr);
}

// The refusals that mean the kernel or an outer policy rules seccomp out
// here: no seccomp (EINVAL, ENOSYS), or a container or emulator that
// forbids it (EPERM, and qemu's user mode answers EINVAL).
bool ruled_out(int err) { return err == EINVAL || err == ENOSYS || err == EPERM; }

}   // namespace

int confine(int widest_pipe, char **argv)
{
    if (under_valgrind())
        return 0;
    if (int err = start_without_read_implies_exec(argv))
        return err;
    // The allocator sets itself up at its first call: glibc's seeds its heap
    // checks (getrandom) and, under some of its tunables, reads files. That
    // call is made here, before the filter.
    void *volatile first = std::malloc(1);
    std::free(first);
    if (int err = privatize_shared_mappings())
        return err;
    close_inherited();
    unblock_ending_signals();
    // No core file, which would put the run's memory on disk.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    Prog p;
    build(p, uint32_t(widest_pipe));
    if (p.bad)
        return E2BIG;
    sock_fprog prog = {p.len, p.code};
    // Without no_new_privs an unprivileged process may not install a filter;
    // it also keeps any program the process could run from gaining rights.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
        return ruled_out(errno) ? 0 : errno;
    return 0;
}

}   // namespace dotspan

#else

namespace dotspan {

int confine(int, char **) { return 0; }

}   // namespace dotspan

#endif
