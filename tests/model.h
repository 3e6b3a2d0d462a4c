// What dotspan's output must be, one line at a time: the reference that the
// tests and the fuzzer compare the program with; and the inputs the tests
// share.
#pragma once
#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace ref {

using namespace std::string_literals;

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

struct Case {
    std::string in, want;
};

inline const std::vector<Case> cases = {
    {"", ""},
    {"\n", "\n"},
    {".\n", "\x01"
            "1C3:.\n"},
    {".abcdef\n", "\x01"
                  "7C3:.abcdef\n"},
    {" .x\n'x\nx.y\n", " .x\n'x\nx.y\n"},
    {".TH\nlast", mark(3) + ".TH\nlast\n"},
    {".x", mark(2) + ".x\n"},
    {"..\n.\n\n.\n", mark(2) + "..\n" + mark(1) + ".\n\n" + mark(1) + ".\n"},
    {".x\r\n\r\n", mark(3) + ".x\r\n\r\n"},
    {".a\0b\n"s, mark(4) + ".a\0b\n"s},
    {"\0.x\n\0"s, "\0.x\n\0\n"s},
    {".\xc3\xa9\n", mark(3) + ".\xc3\xa9\n"},
    {"\x80.\n\xff\n.\xff\n", "\x80.\n\xff\n" + mark(2) + ".\xff\n"},
    {"\x01"
     "5C3:.x\n",
     "\x01"
     "5C3:.x\n"},
    {"." + std::string(1022, 'a') + "\n", mark(1023) + "." + std::string(1022, 'a') + "\n"},
    {"." + std::string(1023, 'a'), mark(1024) + "." + std::string(1023, 'a') + "\n"},
    {"a\n." + std::string(99999, '\0') + "\nz", "a\n" + mark(100000) + "." + std::string(99999, '\0') + "\nz\n"},
};

// Lines that put a marker in every few bytes: what fills an output block
// fastest.
inline const std::vector<std::string> dense = {".\n", "..\n", ".\n\n", ".x\n"};

// Random text from bytes that matter to the filter, with short lines and,
// one in eight, a line of up to longest bytes.
inline std::string random_text(std::mt19937 &rng, size_t size, size_t longest = 300000)
{
    static const char alphabet[] = "..\n\n\n\0\x01\r\xff aZ3C:";
    std::string s;
    while (s.size() < size) {
        size_t len = rng() % 8 == 0 ? rng() % longest : rng() % 40;
        char lead = rng() % 3 == 0 ? '.' : alphabet[rng() % (sizeof alphabet - 1)];
        s += lead;
        for (size_t i = 0; i < len; i++)
            s += rng() % 2 ? 'x' : alphabet[rng() % (sizeof alphabet - 1)];
    }
    return s;
}

}   // namespace ref
