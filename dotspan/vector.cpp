// The vector filter: one pass over each block finds the period lines in
// 64-byte steps, with bit masks from the CPU's vector unit (AVX2 on x86-64,
// NEON on arm64; filters.h chooses), and copies at once. Its output equals
// the scalar filter's, the reference in core.cpp, for every input; the tests
// compare the two. Where this build has no vector unit to use, the file
// gives the scalar filter in its place and says there is none.
#include "filters.h"

#include <cstdint>
#include <cstring>

#if defined(DOTSPAN_AVX2)
#include <immintrin.h>
#elif defined(DOTSPAN_NEON)
#include <arm_neon.h>
#endif

namespace dotspan {

#if defined(DOTSPAN_AVX2) || defined(DOTSPAN_NEON)
namespace {

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

}   // namespace

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
namespace {

#ifdef DOTSPAN_AVX2
bool check_cpu()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}
#else
constexpr bool check_cpu() { return true; }
#endif
const bool have_vector = check_cpu();

}   // namespace

bool cpu_has_vector() { return have_vector; }

#else

bool cpu_has_vector() { return false; }

const char *filter_vector(Out &o, const char *p, const char *end, bool &bol) { return filter_scalar(o, p, end, bol); }

#endif

}   // namespace dotspan
