// The vector scanner must agree with the scalar one on every start, end and
// alignment: the program is compiled in here with its main renamed.
#define main dotspan_main
#include "../dotspan/dotspan.cpp"
#undef main

#include <gtest/gtest.h>

#include <random>
#include <vector>

TEST(Scan, VectorAgreesWithScalar)
{
#ifndef DOTSPAN_AVX2
    GTEST_SKIP() << "built without a vector scanner";
#else
    if (!have_avx2)
        GTEST_SKIP() << "this CPU has no AVX2";
    std::mt19937 rng(3);
    for (int round = 0; round < 120; round++) {
        // Sparse and dense mixes of the two bytes the scanner looks for.
        std::vector<char> v(300);
        unsigned density = 2 + round % 40;
        for (char &c : v)
            c = rng() % density == 0 ? '\n' : rng() % density == 0 ? '.' : 'a';
        const char *b = v.data();
        for (size_t from = 0; from < 80; from++)
            for (size_t to = from + 1; to <= v.size(); to++) {
                const char *ve, *se;
                ASSERT_EQ(scan_avx2(b + from, b + to, &ve) - b, scan_scalar(b + from, b + to, &se) - b)
                    << "round " << round << " [" << from << ", " << to << ")";
                ASSERT_EQ(ve - b, se - b) << "round " << round << " [" << from << ", " << to << ")";
            }
    }
#endif
}
