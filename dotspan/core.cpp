// The core: the seam's read and write contracts, the marker, the output
// block, the two filters with the CPU kernels under the vector one, and the
// block loop that runs them. It owns no descriptor and no global state but
// the CPU check made at start-up: every call reaches the system through the
// Io it is given, and every run starts from nothing.
//
// Input is read in large blocks and output is built in a block of its own, so
// ordinary text costs a few calls per block, not per line. Where the CPU has
// a vector unit the filter can use (AVX2 on x86-64, NEON on arm64), one pass
// over each block finds the period lines and copies at once; elsewhere a
// plain scalar filter, the reference, does the same work with one memchr per
// line. Both give the same answer.
#include "core.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

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

namespace dotspan {

namespace {

// After a call on fd failed (errno says why): waits where that helps, then
// returns 0 when the call is worth making again (it was interrupted, or fd is
// non-blocking and now ready), or else the error to report.
int wait_to_retry(const Io &io, int fd, bool for_write)
{
    int err = errno;
    if (err == EINTR)
        return 0;
    if (err != EAGAIN && err != EWOULDBLOCK)
        return err;
    while (io.wait(io.ctx, fd, for_write) < 0)
        if (errno != EINTR && errno != EAGAIN)
            return errno;
    return 0;
}

}   // namespace

ssize_t safe_read(const Io &io, int fd, char *p, size_t n, int *err)
{
    for (;;) {
        ssize_t r = io.read(io.ctx, fd, p, n < iomax ? n : iomax);
        if (r >= 0)
            return r;
        if ((*err = wait_to_retry(io, fd, false)) != 0)
            return -1;
    }
}

int full_write(const Io &io, int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = io.write(io.ctx, fd, p, n < iomax ? n : iomax);
        if (r > 0) {
            p += r;
            n -= size_t(r);
        } else if (r == 0) {
            return ENOSPC;
        } else if (int err = wait_to_retry(io, fd, true)) {
            return err;
        }
    }
    return 0;
}

namespace {

constexpr size_t markmax = 32;   // room for one marker: 1 + 20 digits + 3

// Writes p[0..n) to standard output past the block, unless a write failed.
void send(Out &o, const char *p, size_t n)
{
    if (o.err == 0)
        o.err = full_write(*o.io, 1, p, n);
}

// Appends p[0..n) to the block; a piece too big for it goes straight out.
void emit(Out &o, const char *p, size_t n)
{
    if (n > o.cap - o.len) {
        flush(o);
        if (n >= o.cap) {
            send(o, p, n);
            return;
        }
    }
    std::memcpy(o.buf + o.len, p, n);
    o.len += n;
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

// Appends the marker for a period line of len bytes to the block.
void mark(Out &o, size_t len)
{
    if (o.cap - o.len < markmax)
        flush(o);
    o.len = size_t(put_mark(o.buf + o.len, len) - o.buf);
}

// Appends a whole period line of len bytes at line, with its marker before it
// and a newline after it. The one way a line that was held, or too long for
// the vector filter's masks, is finished.
void put_period_line(Out &o, const char *line, size_t len)
{
    mark(o, len);
    emit(o, line, len);
    emit(o, "\n", 1);
}

// Scalar filter, the reference: one memchr per line. Each step copies one
// run: a period line with its marker, or the start of the block, and then
// the plain lines up to the next period line.
const char *filter_scalar(Out &o, const char *p, const char *end, bool &bol)
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
        if (bol && *p == '.') {
            if (eol == end)
                return p;
            mark(o, size_t(eol - p));
        }
        emit(o, p, size_t(q - p));
        bol = q[-1] == '\n';
        p = q;
    }
    return end;
}

#ifdef DOTSPAN_VECTOR
// The CPU-specific piece: masks(r) gives bit i of nls when r[i] is a newline
// and bit i of dots when r[i] is a period, for i in [0, 64). (copy64 is
// memcpy but where the compiler needs telling.)
struct Masks {
    uint64_t nls, dots;
};

#ifdef DOTSPAN_AVX2
#define VECTOR_TARGET __attribute__((target("avx2,bmi,bmi2")))
VECTOR_TARGET inline Masks masks(const char *r)
{
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r + 32));
    auto bits = [](__m256i lo, __m256i hi, char c) VECTOR_TARGET {
        __m256i v = _mm256_set1_epi8(c);
        return uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v))) |
               uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v)))) << 32;
    };
    return {bits(lo, hi, '\n'), bits(lo, hi, '.')};
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

inline Masks masks(const char *r)
{
    const auto *u = reinterpret_cast<const uint8_t *>(r);
    const uint8x16_t v[4] = {vld1q_u8(u), vld1q_u8(u + 16), vld1q_u8(u + 32), vld1q_u8(u + 48)};
    return {bits(v, '\n'), bits(v, '.')};
}

inline void copy64(char *o, const char *r) { std::memcpy(o, r, 64); }
#endif

// The masks of the step at s, with no bit for a byte at or past end.
VECTOR_TARGET inline Masks step_masks(const char *s, const char *end)
{
    if (s >= end)
        return {0, 0};
    Masks m = masks(s);
    if (end - s < 64) {
        uint64_t valid = (uint64_t(1) << (end - s)) - 1;
        m.nls &= valid;
        m.dots &= valid;
    }
    return m;
}

// The vector filter's steps, 64 bytes each, from p, which begins a line when
// bit 0 of carry is set. Each step is stored whole into the output block,
// then its period lines are walked in the masks: a period line at r + i gets
// its marker written over the copy at that point, and the step is stored
// again from r + i behind the marker. The masks of the next step are always
// at hand, so a line that ends there needs no branch of its own. Returns end,
// or the start of a period line with no newline in the 64 bytes from its
// period, having written everything before it.
//
// Invariants at the top of the loop: the output of [p, r) ends at o, and the
// block has room for a step there, or is flushed first; bit 0 of carry says
// whether r begins a line; m holds the masks of the step at r.
VECTOR_TARGET const char *vector_steps(Out &out, const char *p, const char *end, uint64_t carry)
{
    // Kept in locals: every store through o may alias out's fields.
    char *const base = out.buf, *const full = base + out.cap - steproom;
    const char *r = p;
    char *o = base + out.len;
    Masks m = step_masks(r, end);
    while (r < end) {
        if (o > full) {
            out.len = size_t(o - base);
            flush(out);
            o = base;
        }
        Masks next = step_masks(r + 64, end);
        copy64(o, r);
        for (uint64_t starts = (m.nls << 1 | carry) & m.dots; starts != 0; starts &= starts - 1) {
            size_t i = size_t(__builtin_ctzll(starts));
            // Newlines from the line's period on, as far into the next step
            // as 64 bits reach.
            uint64_t ahead = m.nls >> i | (next.nls << 1) << (63 - i);
            if (ahead == 0) {
                out.len = size_t(o + i - base);
                return r + i;
            }
            o = put_mark(o + i, size_t(__builtin_ctzll(ahead))) - i;
            copy64(o + i, r + i);
        }
        carry = m.nls >> 63;
        m = next;
        r += 64;
        o += 64;
    }
    o -= r - end;
    out.len = size_t(o - base);
    return end;
}

// Vector filter: the steps, and between them each period line too long for
// the masks, found with memchr and written whole.
VECTOR_TARGET const char *filter_vector(Out &o, const char *p, const char *end, bool &bol)
{
    for (const char *r = p; r < end;) {
        const char *line = vector_steps(o, r, end, bol || r != p);
        if (line == end)
            break;
        // The steps saw no newline in the 64 bytes from the period.
        const char *from = end - line > 64 ? line + 64 : end;
        auto nl = static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)));
        if (nl == nullptr)
            return line;
        put_period_line(o, line, size_t(nl - line));
        r = nl + 1;
    }
    if (p < end)
        bol = end[-1] == '\n';
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

}   // namespace

bool have_kernel(Kernel k)
{
#ifdef DOTSPAN_VECTOR
    return k != Kernel::vector || have_vector;
#else
    return k != Kernel::vector;
#endif
}

void flush(Out &o)
{
    send(o, o.buf, o.len);
    o.len = 0;
}

// The copies here are __builtin_memcpy, not the C library's: in a fortified
// build its checking wrapper, which can check nothing here (the block's size
// is not known where it is written), changes how the vector loop is inlined,
// and costs 8% of the instructions on lone periods.
char *put_mark(char *o, size_t len)
{
    if (len < short_marks.size()) {
        __builtin_memcpy(o, short_marks[len].b, 8);
        return o + short_marks[len].b[7];
    }
    *o++ = '\001';
    size_t digits = 3;
    for (size_t v = len / 1000; v != 0; v /= 10)
        digits++;
    o += digits;
    for (char *d = o; len != 0; len /= 10)
        *--d = char('0' + len % 10);
    __builtin_memcpy(o, "C3:", 3);
    return o + 3;
}

const char *filter(Kernel k, Out &o, const char *p, const char *end, bool &bol)
{
#ifdef DOTSPAN_VECTOR
    if (k == Kernel::vector)
        return filter_vector(o, p, end, bol);
#else
    (void)k;
#endif
    return filter_scalar(o, p, end, bol);
}

size_t grow(size_t cap) { return cap <= (SIZE_MAX - slack) / 2 ? 2 * cap : 0; }

Status run(const Io &io, const Sizes &sizes)
{
    const size_t block = sizes.block;
    const Kernel kernel = sizes.kernel != Kernel::automatic ? sizes.kernel
                          : have_kernel(Kernel::vector)     ? Kernel::vector
                                                            : Kernel::scalar;
    Out out = {nullptr, 0, sizes.out > steproom ? sizes.out : steproom, &io, 0};
    out.buf = static_cast<char *>(io.resize(io.ctx, nullptr, out.cap));

    // Input buffer. Invariants between reads:
    //  - buf[0..held) is the start of a period line whose newline has not yet
    //    arrived; nothing of it has been written, since its marker needs its
    //    length. held == 0 when no such line is pending.
    //  - buf[0..held) holds no newline, so it is never searched again: each
    //    read searches only the bytes it brought.
    //  - cap is at most the larger of block and 2 * held: it doubles while
    //    the held line fills it, and is cut back to that bound as soon as a
    //    held line is written, whatever is held next. Memory so follows the
    //    line held now, never the longest one held before.
    //  - The allocation is always cap + slack bytes, for the filters' reads
    //    past the end of the data.
    //  - bol is true when the next byte to arrive begins a line. When a plain
    //    line has been partly written, bol is false and held is 0.
    size_t cap = block;
    char *buf = static_cast<char *>(io.resize(io.ctx, nullptr, cap + slack));
    size_t held = 0;
    bool bol = true;
    Status st = {nullptr, 0};
    if (out.buf == nullptr || buf == nullptr)
        st = {"read error", ENOMEM};

    while (st.what == nullptr) {
        if (held == cap) {
            size_t bigger = grow(cap);
            char *p = bigger ? static_cast<char *>(io.resize(io.ctx, buf, bigger + slack)) : nullptr;
            if (p == nullptr) {
                st = {"read error", ENOMEM};
                break;
            }
            buf = p, cap = bigger;
        }
        int err = 0;
        ssize_t n = safe_read(io, 0, buf + held, cap - held, &err);
        if (n <= 0) {
            if (n < 0)
                st = {"read error", err};
            break;
        }

        const char *p = buf;
        const char *end = buf + held + n;
        if (held > 0) {
            auto nl = static_cast<const char *>(std::memchr(buf + held, '\n', size_t(n)));
            if (nl == nullptr) {
                held += size_t(n);
                continue;
            }
            put_period_line(out, buf, size_t(nl - buf));
            p = nl + 1;
            held = 0;
            bol = true;
        }

        const char *tail = filter(kernel, out, p, end, bol);
        flush(out);
        if (out.err != 0) {
            st = {"write error", out.err};
            break;
        }
        if (tail < end) {
            held = size_t(end - tail);
            std::memmove(buf, tail, held);
            bol = false;
        }
        size_t fit = held <= cap / 2 ? std::max(block, 2 * held) : cap;   // 2 * held cannot wrap
        if (cap > fit) {
            if (char *smaller = static_cast<char *>(io.resize(io.ctx, buf, fit + slack)))
                buf = smaller, cap = fit;
        }
    }

    // End of input: a last line without a newline still ends with one.
    if (st.what == nullptr) {
        if (held > 0)
            put_period_line(out, buf, held);
        else if (!bol)
            emit(out, "\n", 1);
        flush(out);
        if (out.err != 0)
            st = {"write error", out.err};
    }
    io.resize(io.ctx, buf, 0);
    io.resize(io.ctx, out.buf, 0);
    return st;
}

}   // namespace dotspan
