// libFuzzer target: runs the whole program, main and all, over fuzzer-chosen
// input, with reads and writes that stop short or are interrupted where the
// fuzzer says, and compares the output with the line-by-line model.
//
// The program is compiled in with its read, write and close calls turned
// into the ones below. Its headers come first, so that only its own code is
// renamed.
//
// Input layout: byte 0 says how many times the text is repeated (up to 2048,
// so lines and runs cross the 128 KiB input block); bytes 1 to 8 are a cycle
// of transfer sizes (0 stands for EINTR, 1 to 127 for themselves, larger
// values for multiples of 4099 bytes); the rest is the text.
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "../tests/model.h"

namespace fuzzio {
std::string in, out;
size_t off;
const uint8_t *sizes;
size_t nsizes, turn;

// The next transfer size from the cycle, at most n; 0 means "interrupted",
// which the next call never is, so that every run ends.
size_t next(size_t n)
{
    static bool interrupted;
    uint8_t s = sizes[turn++ % nsizes];
    bool now = s == 0 && !interrupted;
    interrupted = now;
    size_t k = s == 0 ? (now ? 0 : n) : s < 128 ? s : size_t(s - 127) * 4099;
    return k < n ? k : n;
}

ssize_t read(int fd, void *p, size_t n)
{
    if (fd != STDIN_FILENO)
        abort();
    size_t k = next(std::min(n, in.size() - off));
    if (k == 0 && off < in.size()) {
        errno = EINTR;
        return -1;
    }
    std::memcpy(p, in.data() + off, k);
    off += k;
    return ssize_t(k);
}

ssize_t write(int fd, const void *p, size_t n)
{
    if (fd != STDOUT_FILENO)
        abort();   // the program wrote an error: none can happen here
    size_t k = next(n);
    if (k == 0) {
        errno = EINTR;
        return -1;
    }
    out.append(static_cast<const char *>(p), k);
    return ssize_t(k);
}

int close(int) { return 0; }
} // namespace fuzzio

#define read fuzzio::read
#define write fuzzio::write
#define close fuzzio::close
#define main dotspan_main
#include "../dotspan/dotspan.cpp"
#undef main
#undef close
#undef write
#undef read

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 9)
        return 0;
    size_t repeat = size_t(1) << (data[0] % 12);
    std::string text(reinterpret_cast<const char *>(data + 9), size - 9);
    fuzzio::in.clear();
    for (size_t i = 0; i < repeat && fuzzio::in.size() < (1 << 20); i++)
        fuzzio::in += text;
    fuzzio::out.clear();
    fuzzio::off = 0;
    fuzzio::sizes = data + 1;
    fuzzio::nsizes = 8;
    fuzzio::turn = 0;
    dotspan_main();
    if (fuzzio::out != ref::model(fuzzio::in))
        abort();
    return 0;
}
