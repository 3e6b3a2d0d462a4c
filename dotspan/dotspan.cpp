// dotspan: copy standard input to standard output and write a span marker
// (byte 0x01, the line's length in decimal, "C3", ":") directly in front of
// every line whose first byte is a period.
//
// Input is read in large blocks and output is built in a block of its own, so
// ordinary text costs a few system calls per block, not per line. The search
// for period lines runs over whole blocks; on x86-64 CPUs with AVX2 a vector
// scanner does it, elsewhere a plain scalar one, and both give the same answer.
//
// Errors: a failed read or write is reported once on standard error and the
// exit status is 1. Nothing else is ever written there.

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#if !defined(DOTSPAN_SCALAR_ONLY) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DOTSPAN_AVX2 1
#include <immintrin.h>
#endif

namespace {

constexpr size_t bufsz = 128 * 1024;   // the fixed input block
constexpr size_t outsz = 256 * 1024;   // the output block
constexpr size_t markmax = 32;         // room for one marker: 1 + 20 digits + 3

// Output block. Invariant: out[0..outlen) is marked text not yet written;
// it is written whenever the next piece would not fit, and after every read
// before the next read can wait, so a line that has arrived is never held back
// by a slow input.
char out[outsz];
size_t outlen;

[[noreturn]] void die(const char *what, int err)
{
    // One line, in one write: "dotspan: read error: Bad file descriptor".
    char msg[512];
    size_t n = 0;
    const char *parts[] = {"dotspan: ", what, " error: ", std::strerror(err), "\n"};
    for (const char *s : parts) {
        size_t k = std::strlen(s);
        if (k > sizeof msg - n)
            k = sizeof msg - n;
        std::memcpy(msg + n, s, k);
        n += k;
    }
    ssize_t r = write(STDERR_FILENO, msg, n);
    (void)r;   // nowhere left to report a failure to report
    _exit(1);
}

// Waits until fd is ready for events; used when a descriptor was handed to us
// in non-blocking mode and a read or write said EAGAIN.
void await(int fd, short events)
{
    pollfd pfd = {fd, events, 0};
    while (poll(&pfd, 1, -1) < 0)
        if (errno != EINTR && errno != EAGAIN)
            break;   // the retried read or write reports the real error
}

// Reads at most n bytes from standard input; 0 means end of input.
size_t fill(char *p, size_t n)
{
    for (;;) {
        ssize_t r = read(STDIN_FILENO, p, n);
        if (r >= 0)
            return size_t(r);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            await(STDIN_FILENO, POLLIN);
        else if (errno != EINTR)
            die("read", errno);
    }
}

// Writes all n bytes to standard output, finishing partial writes.
void drain(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = write(STDOUT_FILENO, p, n);
        if (r >= 0) {
            p += r;
            n -= size_t(r);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            await(STDOUT_FILENO, POLLOUT);
        } else if (errno != EINTR) {
            die("write", errno);
        }
    }
}

void flush()
{
    drain(out, outlen);
    outlen = 0;
}

// Appends p[0..n) to the output; a piece too big for the block goes straight out.
void emit(const char *p, size_t n)
{
    if (n > outsz - outlen) {
        flush();
        if (n >= outsz) {
            drain(p, n);
            return;
        }
    }
    std::memcpy(out + outlen, p, n);
    outlen += n;
}

// Appends the marker for a period line of len bytes: 0x01, len in decimal, "C3:".
void mark(size_t len)
{
    if (outsz - outlen < markmax)
        flush();
    char tmp[markmax];
    char *e = tmp + sizeof tmp;
    char *d = e;
    *--d = ':';
    *--d = '3';
    *--d = 'C';
    do {
        *--d = char('0' + len % 10);
        len /= 10;
    } while (len != 0);
    *--d = '\001';
    std::memcpy(out + outlen, d, size_t(e - d));
    outlen += size_t(e - d);
}

// Scalar scanner, the reference. Returns the first q in (p, end) with
// q[-1] == '\n' and q[0] == '.', the start of the next period line after p,
// or end when [p, end) holds none. Reads only [p, end).
const char *scan_scalar(const char *p, const char *end)
{
    for (;;) {
        auto nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (nl == nullptr || nl + 1 == end)
            return end;
        if (nl[1] == '.')
            return nl + 1;
        p = nl + 1;
    }
}

#ifdef DOTSPAN_AVX2
// AVX2 scanner: the same result as scan_scalar. Each step tests the 32 pairs
// (q[i-1], q[i]) for i in [0, 32) with two overlapping loads, and takes the
// lowest pair that is newline then period. Invariant: every q' in (p, q) has
// been tested and is no period line start; q + 32 <= end for each vector step,
// so nothing past end is read. The last few bytes go to the scalar scanner.
__attribute__((target("avx2"))) const char *scan_avx2(const char *p, const char *end)
{
    const __m256i nl = _mm256_set1_epi8('\n');
    const __m256i dot = _mm256_set1_epi8('.');
    const char *q = p + 1;
    while (end - q >= 32) {
        __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q - 1));
        __m256i cur = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q));
        __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(prev, nl), _mm256_cmpeq_epi8(cur, dot));
        unsigned m = unsigned(_mm256_movemask_epi8(hit));
        if (m != 0)
            return q + __builtin_ctz(m);
        q += 32;
    }
    return q < end ? scan_scalar(q - 1, end) : end;
}

const bool have_avx2 = __builtin_cpu_supports("avx2");
#endif

// The start of the next period line after p, or end; see scan_scalar.
inline const char *scan(const char *p, const char *end)
{
#ifdef DOTSPAN_AVX2
    if (have_avx2)
        return scan_avx2(p, end);
#endif
    return scan_scalar(p, end);
}

} // namespace

int main()
{
    // Input buffer. Invariants between reads:
    //  - buf[0..held) is the start of a period line whose newline has not yet
    //    arrived; nothing of it has been written, since its marker needs its
    //    length. held == 0 when no such line is pending.
    //  - buf[0..held) holds no newline, so it is never searched again: each
    //    read searches only the bytes it brought.
    //  - cap is bufsz, except while a pending period line needs more: then it
    //    doubles as that line grows, and falls back once the line is written.
    //  - bol is true when the next byte to arrive begins a line. When a plain
    //    line has been partly written, bol is false and held is 0.
    size_t cap = bufsz;
    char *buf = static_cast<char *>(std::malloc(cap));
    size_t held = 0;
    bool bol = true;
    if (buf == nullptr)
        die("read", ENOMEM);

    for (;;) {
        if (held == cap) {
            cap *= 2;
            char *bigger = static_cast<char *>(std::realloc(buf, cap));
            if (bigger == nullptr)
                die("read", ENOMEM);
            buf = bigger;
        }
        size_t n = fill(buf + held, cap - held);
        if (n == 0)
            break;

        const char *p = buf;
        const char *end = buf + held + n;
        if (held > 0) {
            auto nl = static_cast<const char *>(std::memchr(buf + held, '\n', n));
            if (nl == nullptr) {
                held += n;
                continue;
            }
            mark(size_t(nl - buf));
            emit(buf, size_t(nl + 1 - buf));
            p = nl + 1;
            held = 0;
            bol = true;
        }

        const char *tail = end;   // start of a period line left pending, if any
        while (p < end) {
            if (bol && *p == '.') {
                auto nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
                if (nl == nullptr) {
                    tail = p;
                    break;
                }
                mark(size_t(nl - p));
                emit(p, size_t(nl + 1 - p));
                p = nl + 1;
                continue;
            }
            const char *q = scan(p, end);
            emit(p, size_t(q - p));
            bol = q[-1] == '\n';
            p = q;
        }
        flush();

        if (tail < end) {
            held = size_t(end - tail);
            std::memmove(buf, tail, held);
            bol = false;
        }
        if (cap > bufsz && held <= bufsz) {
            cap = bufsz;
            if (char *smaller = static_cast<char *>(std::realloc(buf, cap)))
                buf = smaller;
        }
    }

    // End of input: a last line without a newline still ends with one.
    if (held > 0) {
        mark(held);
        emit(buf, held);
        emit("\n", 1);
    } else if (!bol) {
        emit("\n", 1);
    }
    flush();
    // A write error can surface only at close (on some file systems), and a
    // closed standard output must not pass for success with empty input.
    if (close(STDOUT_FILENO) != 0 && errno != EINTR)
        die("write", errno);
    std::free(buf);
    return 0;
}
