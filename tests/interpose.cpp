// Loaded into the program with LD_PRELOAD by the tests, to give it failures
// that this system does not give. DOTSPAN_TEST_FAULT says which:
//   big         read and write refuse counts over INT_MAX with EINVAL, as
//               macOS and some BSDs do
//   poll-read   reads of standard input say EAGAIN, and poll fails (ENOMEM)
//   poll-write  writes to standard output say EAGAIN, and poll fails (ENOMEM)
//   zero-write  writes to standard output return 0: no progress, no reason
//   open, socket, exec
//               after the first read, what code that took over the run
//               would try: open (create) the file DOTSPAN_TEST_PATH, make a
//               socket, or run a shell that writes "ran" to standard error.
//   x32, o32, n32, double-free
//               make an x32 call (x86-64 only), an o32 or n32 call (mips64
//               only), or free a block twice, which the C library reports
//               and aborts.
//   kill:PID    SIGKILL to process PID, by tgkill
//   madvise     MADV_REMOVE on a page of its own
//   widen:FD:N  widen the pipe on FD to N bytes
//   sigmask, ppoll-mask
//               block SIGTERM, SIGINT and SIGHUP, by rt_sigprocmask or for
//               the length of a ppoll, then wait for ever
//   poll-timeout
//               sleep for a chosen time in poll
//   mremap-dup  duplicate a page of its own code (MREMAP_DONTUNMAP)
//               If the call returns, "returned" goes to standard error.
// and these, where the call may be answered with an error, but must not
// succeed ("returned" when it does):
//   mmap:FD     map descriptor FD shared and write "PWNED" over its start
//   mmap-exec   map executable memory
//   read:FD     read FD, and copy what came to standard error
//   write:FD    write "PWNED" to FD
//   mmap-huge   map and use 2 MiB of huge pages
//   mremap-grow grow the mapping of its own code by a page
//   profile     write "PWNED" into the shared writable mapping that was
//               there when the library was loaded (LD_PROFILE's)
// and these, which nothing refuses, for what must end them or follow them:
//   heap-exec   run a return instruction written into the heap; ends by
//               SIGSEGV where the heap is not executable
//   spin        never return; SIGTERM must still end the run
//   read-fail:N reads of standard input fail (EIO) once N bytes have come
//   no-proc     nothing under /proc can be opened, as where it is not mounted
#ifdef __x86_64__
#include <asm/unistd.h>   // __X32_SYSCALL_BIT
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

bool fault(const char *name)
{
    const char *f = getenv("DOTSPAN_TEST_FAULT");
    return f != nullptr && std::strcmp(f, name) == 0;
}

// For a fault "name:A" or "name:A:B": true, with its numbers in a and b.
bool fault(const char *name, long *a, long *b = nullptr)
{
    const char *f = getenv("DOTSPAN_TEST_FAULT");
    size_t n = std::strlen(name);
    long dummy;
    return f != nullptr && std::strncmp(f, name, n) == 0 && f[n] == ':' &&
           std::sscanf(f + n + 1, "%ld:%ld", a, b ? b : &dummy) >= 1;
}

// The page that holds this function: code of the library's own.
void *own_page()
{
    auto at = reinterpret_cast<uintptr_t>(&own_page);
    return reinterpret_cast<void *>(at & ~uintptr_t(sysconf(_SC_PAGESIZE) - 1));
}

// Blocks the signals that end a run from outside.
sigset_t ending_signals()
{
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&s, sig);
    return s;
}

template <class F> F real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

int refuse(int err)
{
    errno = err;
    return -1;
}

void say(const char *s) { real<ssize_t (*)(int, const void *, size_t)>("write")(STDERR_FILENO, s, std::strlen(s)); }

// A return instruction written into the heap, for the heap-exec fault; made
// when the library is loaded, since making code visible to the CPU takes a
// system call on some CPUs (cacheflush on ARM and MIPS).
void (*heap_code)() = nullptr;
void write_heap_code();

// The start of the first shared writable mapping when the library was
// loaded, for the profile fault.
uintptr_t shared_at = 0;
__attribute__((constructor)) void find_shared()
{
    write_heap_code();
    if (!fault("profile"))
        return;
    FILE *f = std::fopen("/proc/self/maps", "r");
    char line[512], perms[8];
    unsigned long lo, hi;
    while (f != nullptr && shared_at == 0 && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "%lx-%lx %7s", &lo, &hi, perms) == 3 && perms[1] == 'w' && perms[3] == 's')
            shared_at = lo;
    if (f != nullptr)
        std::fclose(f);
}

// A return instruction, as this CPU encodes it.
#if defined(__x86_64__) || defined(__i386__)
const unsigned char ret_insn[] = {0xc3};
#elif defined(__aarch64__)
const unsigned char ret_insn[] = {0xc0, 0x03, 0x5f, 0xd6};
#elif defined(__arm__)
const unsigned char ret_insn[] = {0x1e, 0xff, 0x2f, 0xe1};   // bx lr, in ARM state
#elif defined(__s390x__)
const unsigned char ret_insn[] = {0x07, 0xfe};   // br %r14
#elif defined(__powerpc64__)
const unsigned char ret_insn[] = {0x20, 0x00, 0x80, 0x4e};   // blr
#elif defined(__mips__)
const unsigned char ret_insn[] = {0x08, 0x00, 0xe0, 0x03, 0, 0, 0, 0};   // jr $ra, and its delay slot
#elif defined(__riscv)
const unsigned char ret_insn[] = {0x67, 0x80, 0x00, 0x00};
#endif

void write_heap_code()
{
    if (!fault("heap-exec"))
        return;
    auto code = static_cast<unsigned char *>(std::malloc(64));
    std::memcpy(code, ret_insn, sizeof ret_insn);
    __builtin___clear_cache(reinterpret_cast<char *>(code), reinterpret_cast<char *>(code + sizeof ret_insn));
    heap_code = reinterpret_cast<void (*)()>(code);
}

// The faults whose call may be answered with an error: true when one of
// them was asked for.
bool try_to_succeed()
{
    long a = 0;
    const long page = sysconf(_SC_PAGESIZE);
    char got[64];
    if (fault("read", &a)) {
        ssize_t n = syscall(SYS_read, a, got, sizeof got);
        if (n > 0)
            say("returned: "), real<ssize_t (*)(int, const void *, size_t)>("write")(STDERR_FILENO, got, size_t(n));
    } else if (fault("write", &a)) {
        if (syscall(SYS_write, a, "PWNED", 5) > 0)
            say("returned\n");
    } else if (fault("mmap", &a)) {
        void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, int(a), 0);
        if (p != MAP_FAILED)
            std::memcpy(p, "PWNED", 5), say("returned\n");
    } else if (fault("mmap-exec")) {
        if (mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED)
            say("returned\n");
    } else if (fault("mmap-huge")) {
        void *p = mmap(nullptr, 2 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
        if (p != MAP_FAILED)
            std::memset(p, 1, 2 << 20), say("returned\n");
    } else if (fault("mremap-grow")) {
        if (mremap(own_page(), size_t(page), 2 * size_t(page), MREMAP_MAYMOVE) != MAP_FAILED)
            say("returned\n");
    } else if (fault("mremap-dup")) {
        if (mremap(own_page(), size_t(page), size_t(page), MREMAP_MAYMOVE | MREMAP_DONTUNMAP) != MAP_FAILED)
            say("returned\n");
    } else if (fault("profile")) {
        if (shared_at != 0)
            std::memcpy(reinterpret_cast<void *>(shared_at), "PWNED", 5);
    } else {
        return false;
    }
    return true;
}

// The calls a confined run must not be able to make.
void escape()
{
    long a = 0, b = 0;
    pollfd never = {STDOUT_FILENO, 0, 0};   // no event ever comes while the test reads the output
    sigset_t block = ending_signals();
    if (try_to_succeed())
        return;
    if (fault("kill", &a))
        syscall(SYS_tgkill, a, a, SIGKILL);
 else if (fault("madvise"))
        madvise(own_page(), size_t(sysconf(_SC_PAGESIZE)), MADV_REMOVE);
    else if (fault("widen", &a, &b))
        fcntl(int(a), F_SETPIPE_SZ, int(b));
    else if (fault("sigmask")) {
        syscall(SYS_rt_sigprocmask, SIG_BLOCK, &block, nullptr, 8);
        real<int (*)(pollfd *, nfds_t, int)>("poll")(&never, 1, -1);
    } else if (fault("ppoll-mask"))
        ppoll(&never, 1, nullptr, &block);
    else if (fault("poll-timeout"))
        real<int (*)(pollfd *, nfds_t, int)>("poll")(&never, 1, 10);
    else if (fault("heap-exec"))
        heap_code();
    else if (fault("spin"))
        for (;;)
            asm volatile("");
    else if (fault("open"))
        open(getenv("DOTSPAN_TEST_PATH"), O_WRONLY | O_CREAT, 0600);
    else if (fault("socket"))
        socket(AF_INET, SOCK_STREAM, 0);
    else if (fault("exec"))
        execl("/bin/sh", "sh", "-c", "echo ran >&2", static_cast<char *>(nullptr));
    else if (fault("double-free")) {
        void *volatile q = std::malloc(64);
        std::free(q);
        std::free(q);
    }
#ifdef __x86_64__
    else if (fault("x32"))
        syscall(__X32_SYSCALL_BIT + SYS_getpid);
#endif
#if defined(__mips64) && _MIPS_SIM == _ABI64
    else if (fault("o32"))   // getpid by the other conventions' numbers, which an n64 process may make
        syscall(4000 + 20);
    else if (fault("n32"))
        syscall(6000 + 38);
#endif
    else
        return;
    say("returned\n");
}

}   // namespace

extern "C" ssize_t read(int fd, void *p, size_t n)
{
    static size_t total = 0;   // read from standard input so far
    long upto = 0;
    if ((fault("big") && n > INT_MAX) || (fault("poll-read") && fd == STDIN_FILENO))
        return refuse(fault("big") ? EINVAL : EAGAIN);
    if (fault("read-fail", &upto) && fd == STDIN_FILENO) {
        if (total >= size_t(upto))
            return refuse(EIO);
        n = std::min(n, size_t(upto) - total);
    }
    ssize_t r = real<ssize_t (*)(int, void *, size_t)>("read")(fd, p, n);
    if (r > 0 && fd == STDIN_FILENO)
        total += size_t(r);
    if (r > 0 && fd == STDIN_FILENO)
        escape();
    return r;
}

extern "C" ssize_t write(int fd, const void *p, size_t n)
{
    if (fault("zero-write") && fd == STDOUT_FILENO)
        return 0;
    if ((fault("big") && n > INT_MAX) || (fault("poll-write") && fd == STDOUT_FILENO))
        return refuse(fault("big") ? EINVAL : EAGAIN);
    return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, p, n);
}

extern "C" int poll(pollfd *fds, nfds_t n, int timeout)
{
    if (fault("poll-read") || fault("poll-write"))
        return refuse(ENOMEM);
    return real<int (*)(pollfd *, nfds_t, int)>("poll")(fds, n, timeout);
}

// Opening anything under /proc fails, for the no-proc fault.
bool hidden(const char *path) { return fault("no-proc") && std::strncmp(path, "/proc/", 6) == 0; }

mode_t mode_of(int flags, va_list ap) { return flags & (O_CREAT | O_TMPFILE) ? mode_t(va_arg(ap, unsigned)) : 0; }

#define OPEN(name)                                                                                                     \
    extern "C" int name(const char *path, int flags, ...)                                                              \
    {                                                                                                                  \
        va_list ap;                                                                                                    \
        va_start(ap, flags);                                                                                           \
        mode_t mode = mode_of(flags, ap);                                                                              \
        va_end(ap);                                                                                                    \
        return hidden(path) ? refuse(ENOENT) : real<int (*)(const char *, int, ...)>(#name)(path, flags, mode);        \
    }
OPEN(open)
OPEN(open64)

extern "C" int openat(int at, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    return hidden(path) ? refuse(ENOENT) : real<int (*)(int, const char *, int, ...)>("openat")(at, path, flags, mode);
}
