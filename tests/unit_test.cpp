// The program compiled in, with its main renamed: the vector filter against
// the scalar one, the reference, on every start, end and alignment (each
// filter's output block is compared after a call), and the buffer's growth.
#define main dotspan_main
#include "../dotspan/dotspan.cpp"
#undef main

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Got {
    std::string out;
    size_t tail;
    bool bol;
};

[[maybe_unused]] Got run(const char *(*f)(const char *, const char *, bool *), const char *p, const char *end, bool bol)
{
    outlen = 0;
    const char *tail = f(p, end, &bol);
    return {std::string(out, outlen), size_t(tail - p), bol};
}

} // namespace

TEST(Filter, VectorAgreesWithScalar)
{
#ifndef DOTSPAN_VECTOR
    GTEST_SKIP() << "built without a vector filter";
#else
    if (!have_vector)
        GTEST_SKIP() << "this CPU has no vector unit the filter can use";
    std::mt19937 rng(3);
    for (int round = 0; round < 60; round++) {
        // Dense and sparse mixes of the two bytes the filter looks for, with
        // lines from one byte to a few steps long; the bytes past the end
        // the filters may read are of the same mix, and must not count.
        std::vector<char> v(400 + slack);
        unsigned density = round % 3 == 0 ? 2 + round % 5 : round % 3 == 1 ? 8 + round : 150;
        for (char &c : v)
            c = rng() % density == 0 ? '\n' : rng() % 4 == 0 ? '.' : 'a';
        const char *b = v.data();
        for (size_t from = 0; from < 70; from++)
            for (size_t to = from; to <= 400; to++)
                for (bool bol : {true, false}) {
                    Got s = run(filter_scalar, b + from, b + to, bol);
                    Got x = run(filter_vector, b + from, b + to, bol);
                    std::string where = "round " + std::to_string(round) + " [" + std::to_string(from) + ", " +
                                        std::to_string(to) + ") bol " + std::to_string(bol);
                    ASSERT_EQ(x.tail, s.tail) << where;
                    ASSERT_EQ(x.out, s.out) << where;
                    if (s.tail == to - from) {
                        ASSERT_EQ(x.bol, s.bol) << where;
                    }
                }
    }
#endif
}

TEST(Buffer, GrowthStopsBeforeTheSizeWraps)
{
    // Doubling a held line's buffer past half of size_t (2 GiB on a 32-bit
    // system) wrapped to 0, and the next read wrote past a tiny block.
    size_t top = (SIZE_MAX - slack) / 2;
    EXPECT_EQ(grow(bufsz), 2 * bufsz);
    EXPECT_EQ(grow(top), 2 * top);
    EXPECT_EQ(grow(top + 1), 0u);
    EXPECT_EQ(grow(SIZE_MAX / 2 + 1), 0u);
}
