// The core of dotspan: everything between the bytes read and the bytes
// written, behind one seam (Io). It never touches a descriptor, a signal or
// the process's exit itself: the process (dotspan.cpp) hands it the system's
// calls, and the tests and the fuzzer hand it their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace dotspan {

// The seam. Each call has the contract of the system call it is named after
// and stands in for it on the one descriptor given: a read or write may do
// less than asked, be interrupted (EINTR), find a non-blocking descriptor not
// ready (EAGAIN), or fail; wait is poll(2) on one descriptor.
struct Io {
    ssize_t (*read)(void *ctx, int fd, void *p, size_t n);
    ssize_t (*write)(void *ctx, int fd, const void *p, size_t n);
    int (*wait)(void *ctx, int fd, bool for_write);   // 0 once ready, or -1 and errno
    void *(*resize)(void *ctx, void *p, size_t n);    // realloc(3); the core's only allocation
    void *ctx = nullptr;
};

// The seam's contracts, in the sense of gnulib's functions of these names:
// EINTR is retried, EAGAIN is waited on, partial writes are finished, no call
// asks for more than iomax bytes (some systems refuse counts over INT_MAX).
constexpr size_t iomax = size_t(1) << 30;
// Reads at most n bytes: the count (0 at the end of the input), or -1 with the
// error in *err.
ssize_t safe_read(const Io &io, int fd, char *p, size_t n, int *err);
// Writes all n bytes: 0, or the error that stopped it. A write that returns 0
// makes no progress and gives no reason; it is reported as ENOSPC rather than
// tried for ever.
int full_write(const Io &io, int fd, const char *p, size_t n);

// Which filter marks the text: the scalar one, the reference, or the
// vector one, where the CPU has one; automatic takes the vector one there.
enum class Filter { automatic, scalar, vector };
// Whether this build and this CPU have the filter (automatic: always).
bool have_filter(Filter f);

// The sizes the block loop works with. Tests make them small so that every
// boundary is crossed many times in a short input.
struct Sizes {
    // The input block: what one read asks for, and what the input buffer
    // holds when no period line longer than it is pending. At least 1.
    size_t block = 128 * 1024;
    // The output block; raised to steproom when less.
    size_t out = 256 * 1024;
    Filter filter = Filter::automatic;
};
constexpr size_t steproom = 512;   // what one vector step may write: 64 bytes, 32 markers, an overrun
constexpr size_t slack = 128;      // how far a filter may read past the end of its input

// The output block. Invariant: buf[0..len) is marked text not yet written,
// len <= cap. Once a write has failed, err holds its error and nothing more
// is written: the block loop sees err after the filter returns and stops.
struct Out {
    char *buf;
    size_t len, cap;
    const Io *io;
    int err;
};
// Writes out the block and empties it.
void flush(Out &o);

// filter(o, p, end, bol) appends to o the marked text of the lines in
// [p, end); bol says whether p begins a line, and is updated for end. A period
// line whose newline is not in [p, end) cannot be marked yet: the filter
// stops there and returns its start, having written everything before it.
// Otherwise it returns end; a plain line cut off at end is written as far as
// it goes. It may read up to slack bytes past end but uses none of them. The
// scalar filter is the reference: the vector filter's output equals it for
// every input. The vector filter must not be called where have_filter says no.
const char *filter(Filter f, Out &o, const char *p, const char *end, bool &bol);

// The next size of the input buffer while a held line fills it, or 0 when
// that would not fit in size_t (past 2 GiB on a 32-bit system).
size_t grow(size_t cap);

// What ended a run: what == nullptr when all the input was read and written;
// else "read error" or "write error", with the errno value.
struct Status {
    const char *what;
    int err;
};
// The block loop: reads standard input to its end and writes the marked
// stream to standard output, all through io.
Status run(const Io &io, const Sizes &sizes = {});

}   // namespace dotspan
