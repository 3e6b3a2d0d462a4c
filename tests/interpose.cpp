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
//   mmap-exec, x32, double-free
//               map executable memory, make an x32 call (x86-64 only), or
//               free a block twice, which the C library reports and aborts.
//   kill:PID    SIGKILL to process PID, by tgkill
//   mmap:FD     map descriptor FD shared and write "PWNED" over its start
//   madvise     MADV_REMOVE on a page of its own
//   widen:FD:N  widen the pipe on FD to N bytes
//   sigmask, ppoll-mask
//               block SIGTERM, SIGINT and SIGHUP, by rt_sigprocmask or for
//               the length of a ppoll, then wait for ever
//   poll-timeout
//               sleep for a chosen time in poll
//   mremap-dup  duplicate a page of its own code (MREMAP_DONTUNMAP)
//               If the call returns, "returned" goes to standard error.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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

// The calls a confined run must not be able to make.
void escape()
{
    long a = 0, b = 0;
    pollfd never = {STDOUT_FILENO, 0, 0};   // no event ever comes while the test reads the output
    sigset_t block = ending_signals();
    if (fault("kill", &a))
        syscall(SYS_tgkill, a, a, SIGKILL);
    else if (fault("mmap", &a)) {
        void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, int(a), 0);
        if (p != MAP_FAILED)
            std::memcpy(p, "PWNED", 5);
    } else if (fault("madvise"))
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
    else if (fault("mremap-dup"))
        mremap(own_page(), size_t(sysconf(_SC_PAGESIZE)), size_t(sysconf(_SC_PAGESIZE)),
               MREMAP_MAYMOVE | MREMAP_DONTUNMAP);
    else if (fault("open"))
        open(getenv("DOTSPAN_TEST_PATH"), O_WRONLY | O_CREAT, 0600);
    else if (fault("socket"))
        socket(AF_INET, SOCK_STREAM, 0);
    else if (fault("exec"))
        execl("/bin/sh", "sh", "-c", "echo ran >&2", static_cast<char *>(nullptr));
    else if (fault("mmap-exec"))
        mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    else if (fault("double-free")) {
        void *volatile q = std::malloc(64);
        std::free(q);
        std::free(q);
    }
#ifdef __x86_64__
    else if (fault("x32"))
        syscall(__X32_SYSCALL_BIT + SYS_getpid);
#endif
    else
        return;
    real<ssize_t (*)(int, const void *, size_t)>("write")(STDERR_FILENO, "returned\n", 9);
}

}   // namespace

extern "C" ssize_t read(int fd, void *p, size_t n)
{
    if ((fault("big") && n > INT_MAX) || (fault("poll-read") && fd == STDIN_FILENO))
        return refuse(fault("big") ? EINVAL : EAGAIN);
    ssize_t r = real<ssize_t (*)(int, void *, size_t)>("read")(fd, p, n);
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
