// dotspan: copy standard input to standard output and write a span marker
// (byte 0x01, the line's length in decimal, "C3", ":") directly in front of
// every line whose first byte is a period.
//
// This file is the process around the core (core.h): it hands the core the
// system's calls, checks the descriptors before the first read, and turns
// what ends a run into an exit status. It does no filtering of its own.
//
// Errors: a failed read or write is reported once on standard error and the
// exit status is 1. Nothing else is ever written there.

#include "core.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The system's calls, as the core's seam takes them.
ssize_t sys_read(void *, int fd, void *p, size_t n) { return read(fd, p, n); }

ssize_t sys_write(void *, int fd, const void *p, size_t n) { return write(fd, p, n); }

int sys_wait(void *, int fd, bool for_write)
{
    pollfd pfd = {fd, short(for_write ? POLLOUT : POLLIN), 0};
    return poll(&pfd, 1, -1) < 0 ? -1 : 0;
}

void *sys_resize(void *, void *p, size_t n)
{
    if (n == 0) {
        std::free(p);
        return nullptr;
    }
    return std::realloc(p, n);
}

const dotspan::Io sys = {sys_read, sys_write, sys_wait, sys_resize};

// Writes "dotspan: <what>", with ": <reason>" when err is set, as one line on
// standard error, and exits with status 1.
[[noreturn]] void die(const char *what, int err)
{
    char msg[512];
    size_t n = 0;
    const char *parts[] = {"dotspan: ", what, err ? ": " : "", err ? std::strerror(err) : "", "\n"};
    for (const char *s : parts) {
        size_t k = std::min(std::strlen(s), sizeof msg - n);
        std::memcpy(msg + n, s, k);
        n += k;
    }
    (void)dotspan::full_write(sys, STDERR_FILENO, msg, n);   // nowhere left to report a failure to report
    std::exit(1);
}

// Gives the pipe on fd a 1 MiB buffer where the system allows it: the reader
// then wakes for 1 MiB at a time instead of 64 KiB, which halves the time of
// a pipeline into a reader like cat. A pipe that is already larger is left
// alone, and a refusal (a user's limit on pipe memory) changes nothing else.
void widen(int fd)
{
#ifdef F_SETPIPE_SZ
    if (fcntl(fd, F_GETPIPE_SZ) < 1 << 20)
        (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#else
    (void)fd;
#endif
}

// Checks standard input and output before the first read. When both are
// the same regular file and input remains to be read, every block written
// would be read again: the file would grow until the disk is full, or, opened
// for reading and writing, its unread input would be overwritten. That is
// refused before anything is written. Pipes are widened. A descriptor that
// fstat rejects is left for the first read or write to report.
void setup()
{
    struct stat ist, ost;
    bool have_in = fstat(STDIN_FILENO, &ist) == 0, have_out = fstat(STDOUT_FILENO, &ost) == 0;
    if (have_in && have_out && S_ISREG(ist.st_mode) && ist.st_dev == ost.st_dev && ist.st_ino == ost.st_ino) {
        off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
        if (at >= 0 && at < ist.st_size)
            die("input file is output file", 0);
    }
    if (have_in && S_ISFIFO(ist.st_mode))
        widen(STDIN_FILENO);
    if (have_out && S_ISFIFO(ost.st_mode))
        widen(STDOUT_FILENO);
}

}   // namespace

int main()
{
    setup();
    dotspan::Status st = dotspan::run(sys);
    if (st.what != nullptr)
        die(st.what, st.err);
    // A write error can surface only at close (on some file systems), and a
    // closed standard output must not pass for success with empty input.
    if (close(STDOUT_FILENO) != 0 && errno != EINTR)
        die("write error", errno);
    return 0;
}
