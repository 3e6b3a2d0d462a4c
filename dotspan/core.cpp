// The core: the seam's read and write contracts, the output block, the
// scalar filter, and the block loop that runs a filter over each block. It
// owns no descriptor and no global state: every call reaches the system
// through the Io it is given, and every run starts from nothing.
//
// Input is read in large blocks and output is built in a block of its own, so
// ordinary text costs a few calls per block, not per line. The scalar filter
// here is the reference: one memchr per line. Where the CPU has a vector
// unit the filter can use, the vector filter (vector.cpp) does the same work
// in one pass over each block. Both give the same answer.
#include "core.h"
#include "filters.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// Appends the marker for a period line of len bytes to the block.
void mark(Out &o, size_t len)
{
    if (o.cap - o.len < markmax)
        flush(o);
    o.len = size_t(put_mark(o.buf + o.len, len) - o.buf);
}

}   // namespace

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

bool have_filter(Filter f) { return f != Filter::vector || cpu_has_vector(); }

void flush(Out &o)
{
    send(o, o.buf, o.len);
    o.len = 0;
}

const char *filter(Filter f, Out &o, const char *p, const char *end, bool &bol)
{
    return f == Filter::vector ? filter_vector(o, p, end, bol) : filter_scalar(o, p, end, bol);
}

size_t grow(size_t cap) { return cap <= (SIZE_MAX - slack) / 2 ? 2 * cap : 0; }

Status run(const Io &io, const Sizes &sizes)
{
    const size_t block = sizes.block;
    const Filter filter_used = sizes.filter != Filter::automatic ? sizes.filter
                               : have_filter(Filter::vector)   ? Filter::vector
                                                               : Filter::scalar;
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

        const char *tail = filter(filter_used, out, p, end, bol);
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
