// libFuzzer target: runs the core's block loop over fuzzer-chosen input,
// through the same seam as the program, with reads and writes that stop
// short or are interrupted where the fuzzer says, at block sizes it chooses,
// and compares the output with the line-by-line model. Every run starts
// from a new FakeIo and the core keeps nothing between runs, so a failing
// input replays alone.
//
// Input layout: byte 0 says how many times the text is repeated (2 to the
// power of its low bits mod 12, up to 1 MiB, or 64 KiB at small blocks, so
// that lines and runs cross many blocks) and, in its top bit, that the scalar
// filter runs instead of the vector one; byte 1 is the input block size (0 for
// the program's own sizes, else that many bytes, with an output block of 512
// plus twice that); bytes 2 to 9 are a cycle of transfer sizes (0 stands for
// EINTR, 1 to 127 for themselves, larger values for multiples of 4099 bytes);
// the rest is the text.
#include "fake_io.h"
#include "model.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 10)
        return 0;
    dotspan::Sizes sizes;
    sizes.filter = data[0] & 0x80 || !dotspan::have_filter(dotspan::Filter::vector) ? dotspan::Filter::scalar
                                                                                    : dotspan::Filter::vector;
    if (data[1] != 0)
        sizes.block = data[1], sizes.out = 512 + 2 * size_t(data[1]);
    FakeIo f;
    for (int i = 2; i < 10; i++)
        f.reads.push_back(data[i] == 0 ? -EINTR : data[i] < 128 ? data[i] : (data[i] - 127) * 4099);
    f.writes = f.reads;
    std::string text(reinterpret_cast<const char *>(data + 10), size - 10);
    size_t most = data[1] ? 1 << 16 : 1 << 20;   // small blocks cost a call every few bytes
    for (size_t i = 0; i < size_t(1) << (data[0] % 12) && f.in.size() < most; i++)
        f.in += text;
    if (dotspan::run(f.io(), sizes).what != nullptr || f.out != ref::model(f.in) || f.overrun || !f.live.empty())
        abort();
    return 0;
}
