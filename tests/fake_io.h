// A stand-in for the system at the core's seam, shared by the unit tests and
// the fuzzer: standard input from a string, standard output into one, each
// call doing what a script says, and every allocation fenced so that a write
// past its end is seen without a sanitizer.
#pragma once
#include "core.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

struct FakeIo {
    static constexpr int all = INT_MAX;   // a script entry: as much as asked
    std::string in, out;
    size_t off = 0;   // how much of in has been read
    // Cycles of what the calls do, one entry a call: n > 0 moves at most n
    // bytes; -E fails with errno E; for a write, 0 returns 0. Empty: all.
    // EINTR and EAGAIN are never given twice in a row, so every run ends.
    std::vector<int> reads, writes;
    std::vector<size_t> stops;   // offsets of in that no read reaches past
    int wait_err = 0;            // wait fails once with this, then says ready
    long fail_alloc = -1;        // from this allocation on, counted from 0, all fail
    // What the core did: calls made, allocations live, the input read so far
    // and the largest live allocation at each read, and whether a fence was
    // found broken.
    size_t nreads = 0, nwrites = 0, waits = 0, allocs = 0;
    std::map<void *, size_t> live;
    std::vector<std::pair<size_t, size_t>> largest_at_read;
    bool overrun = false;
    bool wrong_wait = false;   // a wait on another descriptor or direction than the last EAGAIN's

    dotspan::Io io() { return {read, write, wait, resize, this}; }

  private:
    static constexpr size_t fence = 32;
    static constexpr char fill = char(0xa5);
    bool retried[2] = {false, false};
    size_t stalled = 0;   // writes in a row that returned 0
    int again_fd = -1;    // the descriptor whose last call said EAGAIN

    static FakeIo &self(void *ctx) { return *static_cast<FakeIo *>(ctx); }

    // The script's entry for this call, at most n bytes; -1 with errno set
    // for a failure.
    ssize_t next(const std::vector<int> &script, size_t calls, size_t n, bool is_write)
    {
        int s = script.empty() ? all : script[calls % script.size()];
        bool retry = s == -EINTR || s == -EAGAIN;
        if (retry && retried[is_write])
            s = all;
        retried[is_write] = retry;
        if (s < 0) {
            errno = -s;
            again_fd = s == -EAGAIN ? int(is_write) : again_fd;
            return -1;
        }
        return ssize_t(std::min(n, size_t(s)));
    }

    static ssize_t read(void *ctx, int fd, void *p, size_t n)
    {
        FakeIo &f = self(ctx);
        if (fd != 0)
            abort();
        size_t biggest = 0;
        for (auto &[q, size] : f.live)
            biggest = std::max(biggest, size);
        f.largest_at_read.push_back({f.off, biggest});
        size_t limit = f.in.size() - f.off;
        for (size_t s : f.stops)
            if (s > f.off)
                limit = std::min(limit, s - f.off);
        ssize_t k = f.next(f.reads, f.nreads++, std::min(n, limit), false);
        if (k > 0)
            std::memcpy(p, f.in.data() + f.off, size_t(k)), f.off += size_t(k);
        return k;
    }

    static ssize_t write(void *ctx, int fd, const void *p, size_t n)
    {
        FakeIo &f = self(ctx);
        if (fd != 1)
            abort();   // the core writes standard output only
        ssize_t k = f.next(f.writes, f.nwrites++, n, true);
        f.stalled = k == 0 ? f.stalled + 1 : 0;
        if (f.stalled > 1000)
            abort();   // the core keeps asking a write that makes no progress
        if (k > 0)
            f.out.append(static_cast<const char *>(p), size_t(k));
        return k;
    }

    static int wait(void *ctx, int fd, bool for_write)
    {
        FakeIo &f = self(ctx);
        f.wrong_wait |= fd != f.again_fd || for_write != (fd == 1);
        f.waits++;
        errno = f.wait_err;
        f.wait_err = 0;
        return errno ? -1 : 0;
    }

    void check_fence(void *p)
    {
        if (p == nullptr)
            return;
        const char *end = static_cast<char *>(p) + live[p];
        for (size_t i = 0; i < fence; i++)
            overrun |= end[i] != fill;
    }

    static void *resize(void *ctx, void *p, size_t n)
    {
        FakeIo &f = self(ctx);
        f.check_fence(p);
        if (n == 0) {
            f.live.erase(p);
            std::free(p);
            return nullptr;
        }
        if (long(f.allocs++) >= f.fail_alloc && f.fail_alloc >= 0)
            return nullptr;
        f.live.erase(p);
        auto *q = static_cast<char *>(std::realloc(p, n + fence));
        if (q == nullptr)
            abort();
        std::memset(q + n, fill, fence);
        f.live[q] = n;
        return q;
    }
};
