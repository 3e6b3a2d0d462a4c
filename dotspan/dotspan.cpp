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
#include <cstdint>
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
        if (r == 0)
            die("write", ENOSPC);   // no progress and no reason: never spin on it
        if (r > 0) {
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
// Most roff lines are shorter than 100 bytes; their digits are written directly.
inline void mark(size_t len)
{
    if (outsz - outlen < markmax)
        flush();
    char *o = out + outlen;
    o[0] = '\001';
    size_t digits;
    if (len < 10) {
        o[1] = char('0' + len);
        digits = 1;
    } else if (len < 100) {
        o[1] = char('0' + len / 10);
        o[2] = char('0' + len % 10);
        digits = 2;
    } else {
        digits = 3;
        for (size_t v = len / 1000; v != 0; v /= 10)
            digits++;
        for (char *d = o + 1 + digits; d > o + 1; len /= 10)
            *--d = char('0' + len % 10);
    }
    std::memcpy(o + 1 + digits, "C3:", 3);
    outlen += 1 + digits + 3;
}

// The scanners. Each returns q, the first position in (p, end) that starts a
// period line (q[-1] == '\n' and q[0] == '.'), or end when there is none;
// and sets *eol to the first newline in [p, q), or to end when [p, q) has
// none. When p starts a period line, *eol ends that line, and [p, q) is the
// line with the plain lines after it. Both read only [p, end).

// Scalar scanner, the reference: one memchr per line.
const char *scan_scalar(const char *p, const char *end, const char **eol)
{
    *eol = end;
    for (;;) {
        auto nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (nl == nullptr)
            return end;
        if (*eol == end)
            *eol = nl;
        if (nl + 1 == end)
            return end;
        if (nl[1] == '.')
            return nl + 1;
        p = nl + 1;
    }
}

#ifdef DOTSPAN_AVX2
// AVX2 scanner: 64 bytes a step, with no call per line. Each step turns the
// bytes at [r, r + 64) into two bit masks, newlines and periods; a period line
// starts at r + i when bit i of the periods and bit i - 1 of the newlines are
// both set, bit -1 being carried over from the step before. Invariant at the
// top of the loop: no position in (p, r) starts a period line; carry is 1 when
// r[-1] is a newline that may pair with r[0] (0 on the first step, as p itself
// is never a result); first is the first newline in [p, r), or end.
// A step runs only while r + 64 <= end; the scalar scanner does the rest.
__attribute__((target("avx2"))) const char *scan_avx2(const char *p, const char *end, const char **eol)
{
    const __m256i nl = _mm256_set1_epi8('\n');
    const __m256i dot = _mm256_set1_epi8('.');
    const char *first = end;   // kept local: a store through eol could alias the input
    const char *r = p;
    uint64_t carry = 0;
    while (end - r >= 64) {
        __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r));
        __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r + 32));
        uint64_t nls = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, nl))) |
                       uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, nl)))) << 32;
        uint64_t dots = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, dot))) |
                        uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, dot)))) << 32;
        if (nls != 0 && first == end)
            first = r + __builtin_ctzll(nls);
        uint64_t starts = (nls << 1 | carry) & dots;
        if (starts != 0) {
            *eol = first;
            return r + __builtin_ctzll(starts);
        }
        carry = nls >> 63;
        r += 64;
    }
    if (r == p)
        return scan_scalar(p, end, eol);
    const char *q = scan_scalar(r - 1, end, eol);
    if (first != end)
        *eol = first;
    return q;
}

// Read once, at start-up; the check covers the OS saving the vector registers.
bool cpu_has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
const bool have_avx2 = cpu_has_avx2();
#endif

inline const char *scan(const char *p, const char *end, const char **eol)
{
#ifdef DOTSPAN_AVX2
    if (have_avx2)
        return scan_avx2(p, end, eol);
#endif
    return scan_scalar(p, end, eol);
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

        // Each step copies one run: a period line with its marker, or the
        // start of the block, and then the plain lines up to the next period
        // line.
        const char *tail = end;   // start of a period line left pending, if any
        while (p < end) {
            const char *eol;
            const char *q = scan(p, end, &eol);
            if (bol && *p == '.') {
                if (eol == end) {
                    tail = p;
                    break;
                }
                mark(size_t(eol - p));
            }
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
