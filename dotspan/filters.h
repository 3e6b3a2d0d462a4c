// What the two filters share (core.cpp, vector.cpp): the marker, written
// inline where a filter writes it; the one choice of a vector filter for
// this CPU; and the filters themselves, beneath filter() (core.h).
#pragma once

#include "core.h"

#include <array>

// The vector filter needs a way to turn 64 bytes into bit masks: AVX2 on
// x86-64 (checked at run time, with BMI1 and BMI2 for the bit work), NEON on
// little-endian arm64 (always there; its masks are built in lane order,
// which big-endian arm64 reads otherwise). Elsewhere the scalar filter does
// the work alone.
#if !defined(DOTSPAN_SCALAR_ONLY) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DOTSPAN_AVX2 1
#elif !defined(DOTSPAN_SCALAR_ONLY) && defined(__aarch64__) && defined(__ARM_NEON) && !defined(__AARCH64EB__)
#define DOTSPAN_NEON 1
#endif

namespace dotspan {

#if defined(DOTSPAN_AVX2) || defined(DOTSPAN_NEON)
inline constexpr bool vector_built = true;
#else
inline constexpr bool vector_built = false;
#endif

// The markers of lines shorter than 128 bytes, which are most roff lines and
// every line the vector filter measures in its masks: the marker's bytes,
// then its size in the last of 8 bytes.
struct Mark {
    char b[8];
};
inline constexpr auto short_marks = [] {
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

// Writes the marker for a period line of len bytes at o: 0x01, len in decimal,
// "C3:"; returns its end. Needs 8 bytes of room at o, and 24 when len >= 128.
// The copies here are __builtin_memcpy, not the C library's: in a fortified
// build its checking wrapper, which can check nothing here (the block's size
// is not known where it is written), changes how the vector loop is inlined,
// and costs 8% of the instructions on lone periods.
inline char *put_mark(char *o, size_t len)
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

// Appends a whole period line of len bytes at line, with its marker before it
// and a newline after it (core.cpp). The one way a line that was held, or
// too long for the vector filter's masks, is finished.
void put_period_line(Out &o, const char *line, size_t len);

// The filters, each with filter()'s contract. The scalar one (core.cpp) is
// the reference; the vector one (vector.cpp) gives the same output for
// every input, and is called only where cpu_has_vector() says so.
const char *filter_scalar(Out &o, const char *p, const char *end, bool &bol);
const char *filter_vector(Out &o, const char *p, const char *end, bool &bol);
// Whether this build has the vector filter and this CPU can run it; asked
// once, at start-up.
bool cpu_has_vector();

}   // namespace dotspan
