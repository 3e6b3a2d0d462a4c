// dotspan: copy standard input to standard output and write a span marker
// (byte 0x01, the line's length in decimal, "C3", ":") directly in front of
// every line whose first byte is a period.
//
// Input is read in large blocks and output is built in a block of its own, so
// ordinary text costs a few system calls per block, not per line. Where the
// CPU has a vector unit the filter can use (AVX2 on x86-64, NEON on arm64),
// one pass over each block finds the period lines and copies at once;
// elsewhere a plain scalar filter, the reference, does the same work with one
// memchr per line. Both give the same answer.
//
// Errors: a failed read or write is reported once on standard error and the
// exit status is 1. Nothing else is ever written there.

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// The vector filter needs a way to turn 64 bytes into bit masks: AVX2 on
// x86-64 (checked at run time, with BMI1 and BMI2 for the bit work), NEON on
// arm64 (always there). Elsewhere the scalar filter does the work alone.
#if !defined(DOTSPAN_SCALAR_ONLY) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DOTSPAN_VECTOR 1
#define DOTSPAN_AVX2 1
#include <immintrin.h>
#elif !defined(DOTSPAN_SCALAR_ONLY) && defined(__aarch64__) && defined(__ARM_NEON)
#define DOTSPAN_VECTOR 1
#define DOTSPAN_NEON 1
#include <arm_neon.h>
#endif

namespace {

constexpr size_t bufsz = 128 * 1024;   // the fixed input block
constexpr size_t outsz = 256 * 1024;   // the output block
constexpr size_t markmax = 32;         // room for one marker: 1 + 20 digits + 3
constexpr size_t iomax = size_t(1) << 30;   // the most one read or write asks for

// Output block. Invariant: out[0..outlen) is marked text not yet written;
// it is written whenever the next piece would not fit, and after every read
// before the next read can wait, so a line that has arrived is never held back
// by a slow input.
char out[outsz];
size_t outlen;

// After a read or write on fd failed: returns 0 when it is worth trying
// again (it was interrupted, or fd is non-blocking and now ready), else the
// error to report.
int retry(int fd, short events)
{
    int err = errno;
    if (err == EINTR)
        return 0;
    if (err != EAGAIN && err != EWOULDBLOCK)
        return err;
    pollfd pfd = {fd, events, 0};
    while (poll(&pfd, 1, -1) < 0)
        if (errno != EINTR && errno != EAGAIN)
            return errno;
    return 0;
}

// Writes all n bytes of p to fd, finishing partial writes. Requests are
// capped at iomax: some systems refuse counts over INT_MAX. Returns 0, or the
// error that stopped it.
int put(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = write(fd, p, n < iomax ? n : iomax);
        if (r > 0) {
            p += r;
            n -= size_t(r);
        } else if (r == 0) {
            return ENOSPC;   // no progress and no reason: never spin on it
        } else if (int err = retry(fd, POLLOUT)) {
            return err;
        }
    }
    return 0;
}

// Writes "dotspan: <what>", with ": <reason>" when err is set, as one line on
// standard error, and exits with status 1.
[[noreturn]] void die(const char *what, int err)
{
    char msg[512];
    size_t n = 0;
    const char *parts[] = {"dotspan: ", what, err ? ": " : "", err ? std::strerror(err) : "", "\n"};
    for (const char *s : parts) {
        size_t k = std::strlen(s);
        if (k > sizeof msg - n)
            k = sizeof msg - n;
        std::memcpy(msg + n, s, k);
        n += k;
    }
    (void)put(STDERR_FILENO, msg, n);   // nowhere left to report a failure to report
    _exit(1);
}

// Reads at most n bytes from standard input; 0 means end of input.
size_t fill(char *p, size_t n)
{
    for (;;) {
        ssize_t r = read(STDIN_FILENO, p, n < iomax ? n : iomax);
        if (r >= 0)
            return size_t(r);
        if (int err = retry(STDIN_FILENO, POLLIN))
            die("read error", err);
    }
}

// Writes all n bytes to standard output.
void drain(const char *p, size_t n)
{
    if (int err = put(STDOUT_FILENO, p, n))
        die("write error", err);
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

// The markers of lines shorter than 128 bytes, which are most roff lines and
// every line the vector filter measures in its masks: the marker's bytes,
// then its size in the last of 8 bytes.
struct Mark {
    char b[8];
};
constexpr auto short_marks = [] {
    std::array<Mark, 128> t{};
    for (size_t len = 0; len < t.size(); len++) {
        char *p = t[len].b;
        *p++ = '\001';
        if (len >= 100)
            *p++ = char('0' + len / 100);
        if (len >= 10)
            *p++ = char('0' + len / 10 % 10);
        *p++ = char('0' + len % 10);
        *p++ = 'C', *p++ = '3', *p++ = ':';
        t[len].b[7] = char(p - t[len].b);
    }
    return t;
}();

// Writes the marker for a period line of len bytes at o: 0x01, len in
// decimal, "C3:". Returns the end of the marker. A short line's marker is
// copied whole from the table, all 8 bytes of it, so o needs 8 bytes of room.
inline char *put_mark(char *o, size_t len)
{
    if (len < short_marks.size()) {
        std::memcpy(o, short_marks[len].b, 8);
        return o + short_marks[len].b[7];
    }
    *o++ = '\001';
    size_t digits = 3;
    for (size_t v = len / 1000; v != 0; v /= 10)
        digits++;
    o += digits;
    for (char *d = o; len != 0; len /= 10)
        *--d = char('0' + len % 10);
    std::memcpy(o, "C3:", 3);
    return o + 3;
}

// Appends the marker for a period line of len bytes to the output.
inline void mark(size_t len)
{
    if (outsz - outlen < markmax)
        flush();
    outlen = size_t(put_mark(out + outlen, len) - out);
}

// The block filters. filter(p, end, bol) appends to the output the marked
// text of the lines in [p, end); *bol says whether p begins a line, and is
// updated for end. A period line whose newline is not in [p, end) cannot be
// marked yet: the filter stops there and returns its start, having written
// everything before it. Otherwise it returns end; a plain line cut off at end
// is written as far as it goes. The filters may read up to `slack` bytes past
// end (the caller's buffers have room for them) but use none of those bytes.
constexpr size_t slack = 128;

// Scalar filter, the reference: one memchr per line. Each step copies one
// run: a period line with its marker, or the start of the block, and then
// the plain lines up to the next period line.
const char *filter_scalar(const char *p, const char *end, bool *bol)
{
    while (p < end) {
        const char *q = p, *eol = end;   // next period line; first newline in [p, q)
        for (const char *s = p;;) {
            auto nl = static_cast<const char *>(std::memchr(s, '\n', size_t(end - s)));
            if (nl == nullptr) {
                q = end;
                break;
            }
            if (eol == end)
                eol = nl;
            q = nl + 1;
            if (q == end || *q == '.')
                break;
            s = q;
        }
        if (*bol && *p == '.') {
            if (eol == end)
                return p;
            mark(size_t(eol - p));
        }
        emit(p, size_t(q - p));
        *bol = q[-1] == '\n';
        p = q;
    }
    return end;
}

#ifdef DOTSPAN_VECTOR
// The CPU-specific piece: masks() sets bit i of *nls when r[i] is a newline
// and bit i of *dots when r[i] is a period, for i in [0, 64). (copy64 is
// memcpy but where the compiler needs telling.)
#ifdef DOTSPAN_AVX2
#define VECTOR_TARGET __attribute__((target("avx2,bmi,bmi2")))
VECTOR_TARGET inline void masks(const char *r, uint64_t *nls, uint64_t *dots)
{
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r + 32));
    auto bits = [](__m256i lo, __m256i hi, char c) VECTOR_TARGET {
        __m256i v = _mm256_set1_epi8(c);
        return uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v))) |
               uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v)))) << 32;
    };
    *nls = bits(lo, hi, '\n');
    *dots = bits(lo, hi, '.');
}

// Copies 64 bytes in two 32-byte moves (memcpy compiles to four 16-byte ones).
VECTOR_TARGET inline void copy64(char *o, const char *r)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 32),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r + 32)));
}
#elif defined(DOTSPAN_NEON)
#define VECTOR_TARGET
// NEON has no movemask: each byte a compare sets keeps its bit's weight
// within a group of 8, and pairwise sums fold 64 bytes into 64 bits.
inline uint64_t bits(const uint8x16_t v[4], uint8_t c)
{
    const uint8x16_t weight = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t k = vdupq_n_u8(c);
    uint8x16_t w[4];
    for (int j = 0; j < 4; j++)
        w[j] = vandq_u8(vceqq_u8(v[j], k), weight);
    uint8x16_t sum = vpaddq_u8(vpaddq_u8(w[0], w[1]), vpaddq_u8(w[2], w[3]));
    sum = vpaddq_u8(sum, sum);
    return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
}

inline void masks(const char *r, uint64_t *nls, uint64_t *dots)
{
    const auto *u = reinterpret_cast<const uint8_t *>(r);
    const uint8x16_t v[4] = {vld1q_u8(u), vld1q_u8(u + 16), vld1q_u8(u + 32), vld1q_u8(u + 48)};
    *nls = bits(v, '\n');
    *dots = bits(v, '.');
}
#endif

#ifndef DOTSPAN_AVX2
inline void copy64(char *o, const char *r) { std::memcpy(o, r, 64); }
#endif

// Vector filter: one pass that finds and copies at once, 64 bytes a step.
// Each step is stored whole into the output block, then its period lines are
// walked in the masks: a period line at r + i gets its marker written over
// the copy at that point, and the step is stored again from r + i behind the
// marker. The masks of the next step are always at hand, so a line that ends
// there needs no branch of its own; a longer line is found with memchr and
// copied whole.
//
// Invariants at the top of the loop: the output of [p, r) ends at o, and the
// output block has room for a step there, or is flushed first; bit 0 of carry
// says whether r begins a line; nls and dots are the masks of the step at r.
// Masks never show bytes at or past end.
VECTOR_TARGET const char *filter_vector(const char *p, const char *end, bool *bol)
{
    constexpr size_t steproom = 512;   // a step, 32 markers and an overrun
    auto step = [end](const char *s, uint64_t *n, uint64_t *d) VECTOR_TARGET {
        if (s >= end) {
            *n = *d = 0;
            return;
        }
        masks(s, n, d);
        if (end - s < 64) {
            uint64_t valid = (uint64_t(1) << (end - s)) - 1;
            *n &= valid;
            *d &= valid;
        }
    };
    const char *r = p;
    char *o = out + outlen;
    uint64_t carry = *bol, nls, dots, nls1, dots1;
    step(r, &nls, &dots);
    while (r < end) {
        if (size_t(out + outsz - o) < steproom) {
            outlen = size_t(o - out);
            flush();
            o = out;
        }
        step(r + 64, &nls1, &dots1);
        copy64(o, r);
        for (uint64_t starts = (nls << 1 | carry) & dots; starts != 0; starts &= starts - 1) {
            size_t i = size_t(__builtin_ctzll(starts));
            // Newlines from the line's period on, as far into the next step
            // as 64 bits reach.
            uint64_t ahead = nls >> i | (nls1 << 1) << (63 - i);
            if (ahead == 0) {
                // A long line: find its end, copy it whole and go on behind
                // it; it holds no other period line start.
                const char *line = r + i, *from = r + 64 < end ? r + 64 : end;
                auto nl = static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)));
                outlen = size_t(o + i - out);
                if (nl == nullptr)
                    return line;
                mark(size_t(nl - line));
                emit(line, size_t(nl + 1 - line));
                r = nl + 1;
                o = out + outlen;
                carry = 1;
                step(r, &nls, &dots);
                goto next;
            }
            o = put_mark(o + i, size_t(__builtin_ctzll(ahead))) - i;
            copy64(o + i, r + i);
        }
        carry = nls >> 63;
        nls = nls1;
        dots = dots1;
        r += 64;
        o += 64;
    next:;
    }
    o -= r - end;
    outlen = size_t(o - out);
    if (p < end)
        *bol = end[-1] == '\n';
    return end;
}

// Read once, at start-up; the check covers the OS saving the vector registers.
// Every CPU with AVX2 has BMI1 and BMI2 too (tzcnt, blsr, shlx), which the
// mask walk uses; they are checked all the same.
#ifdef DOTSPAN_AVX2
bool cpu_has_vector()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}
#else
constexpr bool cpu_has_vector() { return true; }
#endif
const bool have_vector = cpu_has_vector();
#endif

inline const char *filter(const char *p, const char *end, bool *bol)
{
#ifdef DOTSPAN_VECTOR
    if (have_vector)
        return filter_vector(p, end, bol);
#endif
    return filter_scalar(p, end, bol);
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

// The next size of the input buffer while a held line fills it, or 0 when
// that would not fit in size_t (past 2 GiB on a 32-bit system).
size_t grow(size_t cap)
{
    return cap <= (SIZE_MAX - slack) / 2 ? 2 * cap : 0;
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
    //    The allocation is always cap + slack bytes, for the filters' reads
    //    past the end of the data.
    //  - bol is true when the next byte to arrive begins a line. When a plain
    //    line has been partly written, bol is false and held is 0.
    size_t cap = bufsz;
    char *buf = static_cast<char *>(std::malloc(cap + slack));
    size_t held = 0;
    bool bol = true;
    if (buf == nullptr)
        die("read error", ENOMEM);
    setup();

    for (;;) {
        if (held == cap) {
            cap = grow(cap);
            char *bigger = cap ? static_cast<char *>(std::realloc(buf, cap + slack)) : nullptr;
            if (bigger == nullptr)
                die("read error", ENOMEM);
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

        const char *tail = filter(p, end, &bol);
        flush();

        if (tail < end) {
            held = size_t(end - tail);
            std::memmove(buf, tail, held);
            bol = false;
        }
        if (cap > bufsz && held <= bufsz) {
            cap = bufsz;
            if (char *smaller = static_cast<char *>(std::realloc(buf, cap + slack)))
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
        die("write error", errno);
    std::free(buf);
    return 0;
}
