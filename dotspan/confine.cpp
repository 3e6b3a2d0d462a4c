// Confinement: once main has checked and set up the descriptors, the process
// gives up everything a run does not need, so that code that takes over a
// run through crafted input can read standard input, write standard output
// and error, and allocate private memory, and nothing else: no file, through
// a path or a descriptor; no other process; no signal, not even to itself;
// no wider pipe than the program's own; no core file. This file owns the list
// of calls and the filter that enforces it; nothing else in dotspan knows of
// it.
//
// On Linux it is a seccomp filter, a classic BPF program that the kernel
// runs on every system call. A call outside the list ends the process at
// once by SIGSYS: it is a bug or an attack, never something to tolerate
// quietly. Where the kernel refuses the filter (an old kernel, a container
// that forbids seccomp, an emulator), the run goes on unconfined:
// confinement is a second wall, not a condition of running.
#include "confine.h"

// The CPUs whose list of calls is proven: the whole suite runs confined on a
// real kernel of each in CI. A call made through another convention (32-bit
// or x32 calls on a 64-bit kernel) has other numbers, and is refused.
#if defined(DOTSPAN_CONFINE) && defined(__linux__)
#if defined(__x86_64__) && !defined(__ILP32__)
#define DOTSPAN_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
#define DOTSPAN_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__) && defined(__ARM_EABI__) && defined(__ARM_PCS_VFP) && !defined(__ARMEB__)   // armhf
#define DOTSPAN_ARCH AUDIT_ARCH_ARM
#elif defined(__s390x__)
#define DOTSPAN_ARCH AUDIT_ARCH_S390X
#endif
#endif

#ifdef DOTSPAN_ARCH
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include <asm/unistd.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

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
constexpr Arg masked(uint8_t i, uint32_t mask, uint32_t v) { return {i, 1, mask, {v, v}, false}; }
[[maybe_unused]] constexpr Arg null(uint8_t i) { return {i, 1, ~0u, {0, 0}, true}; }

// A call is allowed when a rule with its number has every condition true.
struct Rule {
    long nr;
    Arg args[3];
};

// The flags glibc's allocator adds with glibc.malloc.hugetlb=2: huge pages,
// and which size.
constexpr uint32_t huge = MAP_HUGETLB | uint32_t(MAP_HUGE_MASK) << MAP_HUGE_SHIFT;

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
    // clang-format off
    const Rule rules[] = {
        // call                 condition                                   why
        {__NR_read,             {is(0, 0)}},                                // the input
        {__NR_write,            {either(0, 1, 2)}},                         // the output; the one error line
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
        {__NR_brk,              {}},                                        // the allocator's heap
#ifdef __s390x__
        {DOTSPAN_MMAP,          {}},                                        // its large blocks; s390x passes the arguments in memory, unseen
#else
        {DOTSPAN_MMAP,          {is(2, PROT_READ | PROT_WRITE),
                                 masked(3, ~huge, MAP_PRIVATE | MAP_ANONYMOUS)}},  // its large blocks: private memory, never a file's or code
#endif
        {__NR_mremap,           {is(3, MREMAP_MAYMOVE)}},                   // realloc of a large block: moved, never duplicated
        {__NR_munmap,           {}},                                        // free of one
        {__NR_madvise,          {is(2, MADV_HUGEPAGE)}},                    // its blocks under glibc.malloc.hugetlb=1
        {__NR_writev,           {is(0, 2)}},                                // glibc's report of a corrupted heap, before abort() ends the run
        {__NR_exit_group,       {}},                                        // the end
    };
    // clang-format on
    compile(p, rules, sizeof rules / sizeof *rules);
}

// The BPF plumbing beneath the list.
struct Prog {
    sock_filter code[160];
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
    p.put(load(offsetof(seccomp_data, arch)));
    p.put(jump(BPF_JEQ, DOTSPAN_ARCH, 1, 0));
    p.put(ret(kill_process));
#ifdef __x86_64__
    p.put(load(offsetof(seccomp_data, nr)));
    p.put(jump(BPF_JGE, __X32_SYSCALL_BIT, 0, 1));   // x32 numbers for the same calls
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
        p.put(ret(SECCOMP_RET_ALLOW));
        for (unsigned short k = 0; k < nfails; k++)
            p.land(fails[k]);
    }
    p.put(ret(kill_process));
}

// valgrind runs the program on a CPU of its own, with calls of its own
// (executable memory for its translations), and hands the filter to the
// kernel, which would then end it at its first such call. It is known by a
// function of the library it loads into every program it runs: a name in
// the environment alone proves nothing.
bool under_valgrind() { return dlsym(RTLD_DEFAULT, "_vgnU_freeres") != nullptr; }

}   // namespace

bool confine(int widest_pipe)
{
    if (under_valgrind())
        return false;
    // The allocator sets itself up at its first call: glibc's seeds its heap
    // checks (getrandom) and, under some of its tunables, reads files. That
    // call is made here, before the filter.
    void *volatile first = std::malloc(1);
    std::free(first);
    // No descriptor but the three: whatever the caller left open (a
    // jobserver's pipe, a file) is out of reach.
    if (syscall(__NR_close_range, 3u, ~0u, 0u) != 0)
        for (long fd = 3, top = sysconf(_SC_OPEN_MAX); fd < top; fd++)
            close(int(fd));
    // No core file, which would put the run's memory on disk.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    Prog p;
    build(p, uint32_t(widest_pipe));
    if (p.bad)
        return false;
    sock_fprog prog = {p.len, p.code};
    // Without no_new_privs an unprivileged process may not install a filter;
    // it also keeps any program the process could run from gaining rights.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

}   // namespace dotspan

#else

namespace dotspan {

bool confine(int) { return false; }

}   // namespace dotspan

#endif
