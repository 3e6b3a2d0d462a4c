// dotspan: copy standard input to standard output and write a span marker
// (byte 0x01, the line's length in decimal, "C3", ":") directly in front of
// every line whose first byte is a period.
//
// This file is the process around the core (core.h): it hands the core the
// system's calls, checks the descriptors before the first read, confines the
// process (confine.h), widens pipes that carry a long stream, and turns what
// ends a run into an exit status. It does no filtering of its own.
//
// Errors: a failed read or write is reported once on standard error and the
// exit status is 1, as is a confinement that the system refused for a reason
// other than ruling seccomp out (confine.h). Nothing else is ever written
// there.

#include "confine.h"
#include "core.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Gives the pipe on fd a buffer of widen_to bytes where the system allows
// it: the reader then wakes for that much at a time instead of 64 KiB, which
// cuts the time of a long stream into a reader like cat by a third. On the
// man pages into cat, 1 MiB gains nothing over 256 KiB, and 128 KiB a fifth
// as much. A pipe that is already as large is left alone, and a refusal (a
// user's limit on pipe memory) changes nothing else.
constexpr int widen_to = 256 << 10;
void widen(int fd)
{
#ifdef F_SETPIPE_SZ
    if (fcntl(fd, F_GETPIPE_SZ) < widen_to)
        (void)fcntl(fd, F_SETPIPE_SZ, widen_to);
#else
    (void)fd;
#endif
}

// Pipe memory comes from a budget per user, shared by all of that user's
// programs: past it, every new pipe of the user gets 8 KiB. So standard input
// and output are widened only once they have carried widen_after bytes: a run
// over a page or two, where a wide pipe gains nothing, takes none of the
// budget. Index 0 is standard input, 1 standard output; watch is true while
// the descriptor is a pipe not yet widened.
constexpr size_t widen_after = 1 << 20;
struct Stream {
    bool watch;
    size_t moved;
} streams[2];

ssize_t moved(int fd, ssize_t n)
{
    if (fd <= 1 && n > 0 && streams[fd].watch && (streams[fd].moved += size_t(n)) >= widen_after) {
        widen(fd);
        streams[fd].watch = false;
    }
    return n;
}

// The system's calls, as the core's seam takes them.
ssize_t sys_read(void *, int fd, void *p, size_t n) { return moved(fd, read(fd, p, n)); }

ssize_t sys_write(void *, int fd, const void *p, size_t n) { return moved(fd, write(fd, p, n)); }

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

// Checks standard input and output before the first read. When both are
// the same regular file and input remains to be read, every block written
// would be read again: the file would grow until the disk is full, or, opened
// for reading and writing, its unread input would be overwritten. That is
// refused before anything is written. Pipes are watched for widening. A
// descriptor that fstat rejects is left for the first read or write to
// report. A file size limit (ulimit -f) is a write error, EFBIG, reported
// like any other, rather than SIGXFSZ ending the process without a word.
void setup()
{
    struct stat ist, ost;
    bool have_in = fstat(STDIN_FILENO, &ist) == 0, have_out = fstat(STDOUT_FILENO, &ost) == 0;
    if (have_in && have_out && S_ISREG(ist.st_mode) && ist.st_dev == ost.st_dev && ist.st_ino == ost.st_ino) {
        off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
        if (at >= 0 && at < ist.st_size)
            die("input file is output file", 0);
    }
    streams[0].watch = have_in && S_ISFIFO(ist.st_mode);
    streams[1].watch = have_out && S_ISFIFO(ost.st_mode);
    signal(SIGXFSZ, SIG_IGN);
}

}   // namespace

int main(int, char **argv)
{
    setup();
    // Only a confined build can get here, and a coverage build is not one;
    // the tests' row for a caller's full filter budget does.
    if (int err = dotspan::confine(widen_to, argv))
        die("cannot confine the run", err);   // GCOVR_EXCL_LINE
    dotspan::Status st = dotspan::run(sys);
    if (st.what != nullptr)
        die(st.what, st.err);
    // A write error can surface only at close (on some file systems), and a
    // closed standard output must not pass for success with empty input.
    if (close(STDOUT_FILENO) != 0 && errno != EINTR)
        die("write error", errno);
    return 0;
}
