// What dotspan's output must be, one line at a time: the reference that the
// tests and the fuzzer compare the program with.
#pragma once
#include <algorithm>
#include <string>

namespace ref {

inline std::string mark(size_t n) { return std::string(1, '\x01').append(std::to_string(n)).append("C3:"); }

inline std::string model(const std::string &in)
{
    std::string r;
    for (size_t i = 0; i < in.size();) {
        size_t e = std::min(in.find('\n', i), in.size());
        if (in[i] == '.')
            r += mark(e - i);
        r.append(in, i, e - i).push_back('\n');
        i = e + 1;
    }
    return r;
}

} // namespace ref
