// Loaded into the program with LD_PRELOAD by the tests, to give it failures
// that this system does not give. DOTSPAN_TEST_FAULT says which:
//   big         read and write refuse counts over INT_MAX with EINVAL, as
//               macOS and some BSDs do
//   poll-read   reads of standard input say EAGAIN, and poll fails (ENOMEM)
//   poll-write  writes to standard output say EAGAIN, and poll fails (ENOMEM)
//   zero-write  writes to standard output return 0: no progress, no reason
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool fault(const char *name)
{
    const char *f = getenv("DOTSPAN_TEST_FAULT");
    return f != nullptr && std::strcmp(f, name) == 0;
}

template <class F> F real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

int refuse(int err)
{
    errno = err;
    return -1;
}

}   // namespace

extern "C" ssize_t read(int fd, void *p, size_t n)
{
    if ((fault("big") && n > INT_MAX) || (fault("poll-read") && fd == STDIN_FILENO))
        return refuse(fault("big") ? EINVAL : EAGAIN);
    return real<ssize_t (*)(int, void *, size_t)>("read")(fd, p, n);
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
