// The core through its seam: the two filters against each other at every
// start, end and alignment; the block loop against the model at block and
// output sizes small enough that every boundary is crossed many times; a
// fault at every kind of call; and the input buffer's memory.
#include "fake_io.h"
#include "model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using dotspan::Filter;
using ref::model;

std::vector<Filter> filters()
{
    std::vector<Filter> k = {Filter::scalar};
    if (dotspan::have_filter(Filter::vector))
        k.push_back(Filter::vector);
    else
        std::cout << "this build or CPU has no vector filter: the scalar one alone is tested\n";
    return k;
}

// A cycle of n transfer sizes from 1 to most.
std::vector<int> sizes(std::mt19937 &rng, size_t n, int most)
{
    std::vector<int> v(n);
    for (int &s : v)
        s = int(rng() % unsigned(most)) + 1;
    return v;
}

std::string where(Filter k, const dotspan::Sizes &s, size_t i)
{
    return (k == Filter::vector ? "vector" : "scalar") + std::string(" block ") + std::to_string(s.block) + " out " +
           std::to_string(s.out) + " input " + std::to_string(i);
}

}   // namespace

TEST(Filter, VectorFilterWhereTheCpuHasOne)
{
    // The program picks its filter with have_filter: a wrong no would pass
    // every other test, on the scalar filter alone.
#if defined(DOTSPAN_SCALAR_ONLY)
    GTEST_SKIP() << "this build has the scalar filter only";
#elif defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi") || !__builtin_cpu_supports("bmi2"))
        GTEST_SKIP() << "this CPU has no AVX2";
    EXPECT_TRUE(dotspan::have_filter(Filter::vector));
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
    EXPECT_TRUE(dotspan::have_filter(Filter::vector));
#else
    EXPECT_FALSE(dotspan::have_filter(Filter::vector));
#endif
    EXPECT_TRUE(dotspan::have_filter(Filter::scalar));
}

TEST(Filter, VectorAgreesWithScalar)
{
    if (!dotspan::have_filter(Filter::vector))
        GTEST_SKIP() << "this build or CPU has no vector filter";
    FakeIo f;
    dotspan::Io io = f.io();
    std::vector<char> block(1 << 16);
    auto filter = [&](Filter k, const char *p, const char *end, bool bol) {
        dotspan::Out o = {block.data(), 0, block.size(), &io, 0};
        const char *tail = dotspan::filter(k, o, p, end, bol);
        return std::make_tuple(std::string(o.buf, o.len), tail, bol);
    };
    std::mt19937 rng(3);
    for (int round = 0; round < 60; round++) {
        // Dense and sparse mixes of the two bytes the filter looks for, with
        // lines from one byte to a few steps long; the bytes past the end
        // the filters may read are of the same mix, and must not count.
        std::vector<char> v(400 + dotspan::slack);
        unsigned density = round % 3 == 0 ? 2 + round % 5 : round % 3 == 1 ? 8 + round : 150;
        for (char &c : v)
            c = rng() % density == 0 ? '\n' : rng() % 4 == 0 ? '.' : 'a';
        const char *b = v.data();
        for (size_t from = 0; from < 70; from++)
            for (size_t to = from; to <= 400; to++)
                for (bool bol : {true, false}) {
                    auto [sout, stail, sbol] = filter(Filter::scalar, b + from, b + to, bol);
                    auto [vout, vtail, vbol] = filter(Filter::vector, b + from, b + to, bol);
                    std::string at = "round " + std::to_string(round) + " [" + std::to_string(from) + ", " +
                                     std::to_string(to) + ") bol " + std::to_string(bol);
                    ASSERT_EQ(vtail, stail) << at;
                    ASSERT_EQ(vout, sout) << at;
                    if (stail == b + to) {
                        ASSERT_EQ(vbol, sbol) << at;
                    }
                }
    }
    EXPECT_EQ(f.nwrites, 0u);   // the block never filled: the outputs above are whole
}

TEST(Core, MatchesTheModelAtSmallSizes)
{
    std::mt19937 rng(20261209);
    std::vector<std::string> inputs;
    for (const ref::Case &c : ref::cases)
        inputs.push_back(c.in);
    for (const std::string &d : ref::dense) {
        std::string s;
        while (s.size() < 1200)   // past three blocks at every size below
            s += d;
        inputs.push_back(s);
        inputs.push_back("x" + s + ".");   // out of step by one, and cut short
    }
    for (int i = 0; i < 40; i++)
        inputs.push_back(ref::random_text(rng, rng() % 6000, 3000));

    for (Filter k : filters())
        for (dotspan::Sizes s : {dotspan::Sizes{64, 512}, {100, 600}, {256, 512}, {1, 512}, {4096, 700}}) {
            s.filter = k;
            for (size_t i = 0; i < inputs.size(); i++) {
                FakeIo f;
                f.in = inputs[i];
                f.reads = sizes(rng, 97, int(2 * s.block));
                f.writes = sizes(rng, 89, 700);
                dotspan::Status st = dotspan::run(f.io(), s);
                ASSERT_EQ(st.what, nullptr) << where(k, s, i);
                ASSERT_TRUE(f.out == model(f.in)) << where(k, s, i);
                ASSERT_FALSE(f.overrun) << where(k, s, i);
                ASSERT_TRUE(f.live.empty()) << where(k, s, i);
            }
        }
}

TEST(Core, MarkerEdgesOnEveryPath)
{
    // Period lines whose length is at an edge of the marker (a digit more,
    // the table of short markers' end) or of the vector step, each at the
    // start, the middle and the end of a step: through the scalar filter,
    // the vector step, its long-line path, and a line held across reads.
    struct Path {
        const char *what;
        Filter filter;
        size_t block;
        std::vector<int> reads;
    };
    const std::vector<Path> paths = {
        {"scalar", Filter::scalar, 1 << 16, {}},
        {"vector, whole", Filter::vector, 1 << 16, {}},
        {"held across reads", Filter::automatic, 16, {7, 1, 16}},
    };
    for (const Path &path : paths) {
        if (!dotspan::have_filter(path.filter))
            continue;
        for (size_t len : {1, 9, 10, 63, 64, 65, 99, 100, 127, 128, 129, 999, 1000, 9999, 10000})
            for (size_t at : {0, 2, 63}) {
                FakeIo f;
                f.in = std::string(at ? at - 1 : 0, 'a') + (at ? "\n" : "") + "." + std::string(len - 1, 'y') + "\n.z\n";
                f.reads = path.reads;
                ASSERT_EQ(dotspan::run(f.io(), {path.block, 512, path.filter}).what, nullptr);
                ASSERT_TRUE(f.out == model(f.in)) << path.what << ": a period line of " << len << " bytes at " << at;
            }
    }
}

TEST(Core, FaultsAtTheSeam)
{
    struct Row {
        std::string what;
        std::vector<int> reads, writes;
        const char *status = nullptr;   // "read error" or "write error"
        int err = 0;
        int wait_err = 0;
        long fail_alloc = -1;
        std::string in;
    };
    // A held line that makes the buffer grow four times at block 64, and
    // shrink once it is written; then markers enough to fill the output.
    std::string text = "plain\n." + std::string(700, 'x') + "\n";
    while (text.size() < 3000)
        text += ".\n..\n";
    text += ".end";
    std::vector<Row> rows = {
        {"interrupted reads and writes", {-EINTR, 7}, {-EINTR, 9}},
        {"non-blocking, waited on", {-EAGAIN, 64}, {-EAGAIN, 100}},
        {"wait interrupted", {-EAGAIN}, {}, nullptr, 0, EINTR},
        {"write returns 0", {}, {0}, "write error", ENOSPC},
        {"write returns 0 after some progress", {}, {100, 0}, "write error", ENOSPC},
        {"read fails", {30, -EIO}, {}, "read error", EIO},
        {"read fails at once", {-EIO}, {}, "read error", EIO},
        {"write fails", {}, {-EPIPE}, "write error", EPIPE},
        {"write fails for the last newline", {}, {FakeIo::all, -EIO}, "write error", EIO, 0, -1, "x"},
        {"wait fails for a read", {-EAGAIN}, {}, "read error", ENOMEM, ENOMEM},
        {"wait fails for a write", {}, {-EAGAIN}, "write error", ENOMEM, ENOMEM},
        {"no memory for the output block", {}, {}, "read error", ENOMEM, 0, 0},
        {"no memory for the input buffer", {}, {}, "read error", ENOMEM, 0, 1},
        {"no memory for a held line", {}, {}, "read error", ENOMEM, 0, 2},
        {"no memory to shrink into", {}, {}, nullptr, 0, 0, 6},
    };
    for (int k = 1; k <= 80; k++)
        rows.push_back({"transfers of " + std::to_string(k) + " bytes", {k}, {k}});
    for (const Row &r : rows) {
        FakeIo f;
        f.in = r.in.empty() ? text : r.in;
        f.reads = r.reads, f.writes = r.writes, f.wait_err = r.wait_err, f.fail_alloc = r.fail_alloc;
        dotspan::Status st = dotspan::run(f.io(), {64, 512});
        std::string want = model(f.in);
        EXPECT_STREQ(st.what, r.status) << r.what;
        EXPECT_EQ(st.err, r.err) << r.what;
        if (r.status == nullptr)
            EXPECT_TRUE(f.out == want) << r.what;
        else   // what was done before the failure has been written, and no more
            EXPECT_TRUE(want.compare(0, f.out.size(), f.out) == 0 && f.out.size() < want.size()) << r.what;
        auto says_eagain = [](const std::vector<int> &v) { return std::count(v.begin(), v.end(), -EAGAIN) > 0; };
        EXPECT_EQ(f.waits > 0, says_eagain(r.reads) || says_eagain(r.writes)) << r.what;
        EXPECT_FALSE(f.overrun) << r.what;
        EXPECT_FALSE(f.wrong_wait) << r.what;
        EXPECT_TRUE(f.live.empty()) << r.what;
    }
}

TEST(Core, MemoryFollowsTheLineHeldNow)
{
    // One long period line, then shorter ones with every read ending inside
    // a line, far enough in that the held part is more than a block. Once the
    // long line is written, the buffer must be back to what the line held now
    // needs, not the long line's size.
    const size_t block = 256, line = 8 * block, longest = 40 * block;
    FakeIo f;
    f.in = "." + std::string(longest, 'x') + "\n";
    size_t after = f.in.size();
    for (int i = 0; i < 20; i++) {
        f.stops.push_back(f.in.size() + 6 * block);
        f.in += "." + std::string(line - 2, 'y') + "\n";
    }
    f.stops.push_back(f.in.size() + block);
    f.in += "." + std::string(3 * block, 'z');
    for (size_t s : f.stops)
        ASSERT_GT(s, after);
    ASSERT_EQ(dotspan::run(f.io(), {block, 512}).what, nullptr);
    ASSERT_TRUE(f.out == model(f.in));
    size_t longest_held = 0, later = 0;
    for (auto [off, biggest] : f.largest_at_read) {
        longest_held = std::max(longest_held, biggest);
        if (off > after) {   // the long line is written: at most twice a line
            EXPECT_LE(biggest, 2 * line + dotspan::slack) << "read at " << off;
            later++;
        }
    }
    EXPECT_GE(longest_held, longest);   // the long line was held whole
    EXPECT_GE(later, 20u);
}

TEST(Buffer, GrowthStopsBeforeTheSizeWraps)
{
    // Doubling a held line's buffer past half of size_t (2 GiB on a 32-bit
    // system) wrapped to 0, and the next read wrote past a tiny block.
    size_t top = (SIZE_MAX - dotspan::slack) / 2;
    EXPECT_EQ(dotspan::grow(1024), 2048u);
    EXPECT_EQ(dotspan::grow(top), 2 * top);
    EXPECT_EQ(dotspan::grow(top + 1), 0u);
    EXPECT_EQ(dotspan::grow(SIZE_MAX / 2 + 1), 0u);
}
