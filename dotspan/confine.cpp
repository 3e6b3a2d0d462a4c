// Confinement: once main has checked and set up the descriptors, the process
// gives up every system call a run does not need, so that a fault in the
// filter reached by crafted input can read standard input, write standard
// output and error, and allocate, and nothing else: no file is opened, no
// socket made, no program run. This file owns the list of calls and the
// filter that enforces it; nothing else in dotspan knows of it.
//
// On Linux it is a seccomp filter, a classic BPF program that the kernel
// runs on every system call. A call outside the list ends the process at
// once by SIGSYS: it is a bug or an attack, never something to tolerate
// quietly. Where the kernel refuses the filter (an old kernel, a container
// that forbids seccomp, an emulator, valgrind), the run goes on unconfined:
// confinement is a second wall, not a condition of running.
#include "confine.h"

#if defined(DOTSPAN_CONFINE) && defined(__linux__)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

// The architecture whose calls the list names: a call made through another
// one (32-bit calls on a 64-bit kernel) has other numbers, and is refused.
#if defined(__x86_64__) && defined(__ILP32__)
#define DOTSPAN_ARCH 0   // x32: not supported, left unconfined
#elif defined(__x86_64__)
#define DOTSPAN_ARCH AUDIT_ARCH_X86_64
#elif defined(__i386__)
#define DOTSPAN_ARCH AUDIT_ARCH_I386
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
#define DOTSPAN_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__) && !defined(__ARMEB__)
#define DOTSPAN_ARCH AUDIT_ARCH_ARM
#elif defined(__riscv) && __riscv_xlen == 64
#define DOTSPAN_ARCH AUDIT_ARCH_RISCV64
#else
#define DOTSPAN_ARCH 0   // not known here: left unconfined
#endif
#else
#define DOTSPAN_ARCH 0   // built without confinement
#endif

namespace dotspan {

#if DOTSPAN_ARCH != 0

namespace {

// The filter as it is built. A fixed array rather than a std::vector: the
// program then needs no C++ runtime library, whose loading alone would cost
// more than a run over a page.
// A list that outgrew the array is never installed cut short: the run then
// goes unconfined, and the tests that look for the filter fail.
struct Prog {
    sock_filter code[128];
    unsigned short len = 0;
    bool full = false;
    void push_back(sock_filter f)
    {
        if (len < sizeof code / sizeof *code)
            code[len++] = f;
        else
            full = true;
    }
};

constexpr uint32_t allow = SECCOMP_RET_ALLOW;
constexpr uint32_t kill_process = SECCOMP_RET_KILL_PROCESS;

sock_filter load(uint32_t offset) { return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset); }
sock_filter ret(uint32_t action) { return BPF_STMT(BPF_RET | BPF_K, action); }
sock_filter jump(uint16_t op, uint32_t k, uint8_t yes, uint8_t no)
{
    return BPF_JUMP(BPF_JMP | op | BPF_K, k, yes, no);
}

// The low 32 bits of argument i: all a descriptor, a command or a
// protection has.
uint32_t arg(int i)
{
    uint32_t at = uint32_t(offsetof(seccomp_data, args)) + 8 * uint32_t(i);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    at += 4;
#endif
    return at;
}

// Each rule starts with the call's number in the accumulator and leaves it
// there when the number is not its own.

// Allows call nr whatever its arguments.
void any(Prog &p, long nr)
{
    p.push_back(jump(BPF_JEQ, uint32_t(nr), 0, 1));
    p.push_back(ret(allow));
}

// Allows call nr when argument i is one of vals; any other value ends the
// process.
void one_of(Prog &p, long nr, int i, std::initializer_list<uint32_t> vals)
{
    uint8_t n = uint8_t(vals.size());
    p.push_back(jump(BPF_JEQ, uint32_t(nr), 0, uint8_t(n + 3)));
    p.push_back(load(arg(i)));
    for (uint32_t v : vals)
        p.push_back(jump(BPF_JEQ, v, --n + 1, 0));   // to the allow after the kill
    p.push_back(ret(kill_process));
    p.push_back(ret(allow));
}

// Allows call nr when argument i has none of bits set.
void none_of(Prog &p, long nr, int i, uint32_t bits)
{
    p.push_back(jump(BPF_JEQ, uint32_t(nr), 0, 4));
    p.push_back(load(arg(i)));
    p.push_back(jump(BPF_JSET, bits, 0, 1));
    p.push_back(ret(kill_process));
    p.push_back(ret(allow));
}

}   // namespace

bool confine()
{
    // valgrind runs the program on a CPU of its own, with calls of its own
    // (executable memory for its translations), and hands the filter to the
    // kernel, which would then end it at its first such call. It is known by
    // the library it preloads; whoever sets LD_PRELOAD runs code in the
    // process anyway.
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "/vgpreload_") != nullptr)
        return false;
    Prog p;
    p.push_back(load(offsetof(seccomp_data, arch)));
    p.push_back(jump(BPF_JEQ, DOTSPAN_ARCH, 1, 0));
    p.push_back(ret(kill_process));
    p.push_back(load(offsetof(seccomp_data, nr)));
#ifdef __x86_64__
    p.push_back(jump(BPF_JGE, __X32_SYSCALL_BIT, 0, 1));   // x32 numbers for the same calls
    p.push_back(ret(kill_process));
#endif
    // The run: standard input, output and error, and the wait for a
    // non-blocking descriptor to be ready.
    one_of(p, SYS_read, 0, {0});
    one_of(p, SYS_write, 0, {1, 2});
    one_of(p, SYS_close, 0, {1});   // the final close shows a late write error
#ifdef SYS_poll
    any(p, SYS_poll);
#endif
#ifdef SYS_ppoll
    any(p, SYS_ppoll);
#endif
#ifdef SYS_ppoll_time64
    any(p, SYS_ppoll_time64);
#endif
#ifdef F_SETPIPE_SZ
    one_of(p, SYS_fcntl, 1, {F_GETPIPE_SZ, F_SETPIPE_SZ});   // widening a pipe once a stream runs long
#ifdef SYS_fcntl64
    one_of(p, SYS_fcntl64, 1, {F_GETPIPE_SZ, F_SETPIPE_SZ});
#endif
#endif
    // The allocator: memory, never executable memory.
    any(p, SYS_brk);
#ifdef SYS_mmap2
    none_of(p, SYS_mmap2, 2, PROT_EXEC);
#else
    none_of(p, SYS_mmap, 2, PROT_EXEC);
#endif
    any(p, SYS_mremap);
    any(p, SYS_munmap);
    any(p, SYS_madvise);
    any(p, SYS_getrandom);   // the allocator's first call seeds its heap checks
    // The end of the process, and the return from a signal or a restarted call.
    any(p, SYS_exit);
    any(p, SYS_exit_group);
    any(p, SYS_rt_sigreturn);
#ifdef SYS_sigreturn
    any(p, SYS_sigreturn);
#endif
    any(p, SYS_restart_syscall);
    // The C library's abort, so that a heap corruption it detects is still
    // reported on standard error before SIGABRT ends the process.
    one_of(p, SYS_writev, 0, {2});
    any(p, SYS_rt_sigprocmask);
    any(p, SYS_getpid);
    any(p, SYS_gettid);
    any(p, SYS_tgkill);
    p.push_back(ret(kill_process));

    if (p.full)
        return false;
    sock_fprog prog = {p.len, p.code};
    // Without no_new_privs an unprivileged process may not install a filter;
    // it also keeps any program the process could run from gaining rights.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

#else

bool confine() { return false; }

#endif

}   // namespace dotspan
