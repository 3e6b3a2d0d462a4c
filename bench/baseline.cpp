// The plain way to do dotspan's job: a stdio getline loop, for comparison in
// the benchmark. Same output as dotspan, NUL bytes included.
#include <cstdio>
#include <cstdlib>

int main()
{
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) > 0) {
        size_t len = size_t(n);
        if (line[len - 1] == '\n')
            len--;
        if (line[0] == '.')
            std::printf("\001%zuC3:", len);
        std::fwrite(line, 1, len, stdout);
        std::putchar('\n');
    }
    std::free(line);
    return 0;
}
