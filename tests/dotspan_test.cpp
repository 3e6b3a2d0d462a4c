// Runs the built dotspan as a child process, fed and drained through pipes in
// whole, 1-byte and random-size writes, and checks its output, exit status
// and standard error.
#include "confine.h"
#include "core.h"
#include "model.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <asm/unistd.h>
#include <dirent.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#endif

#include <chrono>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using ref::mark, ref::model, ref::random_text;

constexpr size_t bufsz = dotspan::Sizes{}.block, outsz = dotspan::Sizes{}.out;   // the program's block sizes

enum Feed { whole, bytes, chunks };

struct Opts {
    Feed feed = whole;
    unsigned seed = 1;
    const char *in_file = nullptr, *out_file = nullptr;   // in place of a pipe
    int out_flags = O_WRONLY;
    bool close_in = false, close_out = false, nonblock = false, ignore_pipe = false;
    bool full_err = false;          // standard error non-blocking, and full at the start
    const char *fault = nullptr;    // a failure of the interposer library's (see interpose.cpp)
    const char *fault_path = "";    // the file its open fault creates
    rlim_t fsize = RLIM_INFINITY;   // the file size limit (ulimit -f), in bytes
    size_t out_limit = SIZE_MAX;    // close the output pipe after this many bytes
    std::vector<const char *> args;
    std::vector<std::string> env;    // NAME=VALUE, set for the program
    const char *fd3 = nullptr;       // a file given open for reading and writing as descriptor 3
    const char *preload = nullptr;   // where the interposer library is loaded from, in place of its own path
    const char *cwd = nullptr;       // the program's working directory
    bool core = false;               // core files allowed (ulimit -c unlimited)
    int term_after_ms = -1;          // SIGTERM then, and SIGKILL 5 s later
    // The environment a caller may start the program in:
    int in_flags = O_RDONLY;   // for in_file: O_RDWR is dotspan 0<>file
    int fd3_at = 3;            // the number fd3's file gets
    rlim_t nofile = 0;         // the soft limit on descriptors, with the hard one raised to 2^20 where allowed
    unsigned persona = 0;      // a personality (setarch)
    bool blocked = false;      // SIGTERM, SIGINT and SIGHUP blocked
    enum { none, no_close_range, full_budget } outer = none;   // a seccomp filter of the caller's
};

struct Result {
    std::string out, err;
    int status = -1;
    long maxrss_kb = 0;
    int in_pipe = 0, out_pipe = 0, err_pipe = 0;   // the pipes' sizes once all input is written, and at their ends
};

struct Child {
    pid_t pid;
    int in, out, err;
    size_t filler;   // bytes put in the error pipe before the program started
};

[[maybe_unused]] const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Under emulation, the program runs as DOTSPAN_EMULATOR's words, then its
// path: ctest sets it where the tests run under qemu's user mode. On a real
// kernel of the CPU, with no emulator between, it is unset.
const char *const emulator = getenv("DOTSPAN_EMULATOR") ? getenv("DOTSPAN_EMULATOR") : "";
const bool emulated = *emulator != '\0';

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer);
#else
constexpr bool sanitized = false;
#endif

std::string temp_path()
{
    const char *dir = getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/dotspan-test-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0)
        abort();
    close(fd);
    return path;
}

void pipe_cloexec(int p[2])
{
    if (pipe(p) != 0)
        abort();
    fcntl(p[0], F_SETFD, FD_CLOEXEC);
    fcntl(p[1], F_SETFD, FD_CLOEXEC);
}

#ifdef __linux__
bool install(std::vector<sock_filter> code)
{
    sock_fprog prog = {static_cast<unsigned short>(code.size()), code.data()};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// An outer filter, as a sandbox that predates close_range has: it answers
// that call ENOSYS, as a kernel before 5.9 does.
void install_no_close_range()
{
    install({BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
             BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
             BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)});
}

// Outer filters that allow everything and use all but a few of the kernel's
// 32768 instructions a process may stack.
void fill_filter_budget()
{
    for (size_t len = 4096; len > 0; len /= 2) {
        std::vector<sock_filter> code(len, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        code.back() = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        while (install(code)) {
        }
    }
}
#endif

Child start(const Opts &o)
{
    int ip[2], op[2], ep[2];
    pipe_cloexec(ip), pipe_cloexec(op), pipe_cloexec(ep);
    if (o.nonblock) {
        fcntl(ip[0], F_SETFL, O_NONBLOCK);
        fcntl(op[1], F_SETFL, O_NONBLOCK);
    }
    size_t filler = 0;
    if (o.full_err) {
        fcntl(ep[1], F_SETFL, O_NONBLOCK);
        for (ssize_t w; (w = write(ep[1], "#", 1)) == 1;)
            filler++;
    }
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, o.ignore_pipe ? SIG_IGN : SIG_DFL);
        rlim_t core = o.core ? RLIM_INFINITY : 0;
        rlimit cores = {core, core}, fsize = {o.fsize, o.fsize};
        setrlimit(RLIMIT_CORE, &cores);
        setrlimit(RLIMIT_FSIZE, &fsize);
        dup2(ip[0], 0), dup2(op[1], 1), dup2(ep[1], 2);
        if (o.in_file)
            dup2(open(o.in_file, o.in_flags | O_CLOEXEC), 0);
        if (o.out_file)
            dup2(open(o.out_file, o.out_flags | O_CLOEXEC), 1);
        if (o.close_in)
            close(0);
        if (o.close_out)
            close(1);
        for (int fd : {ip[0], ip[1], op[0], op[1], ep[0], ep[1]})
            close(fd);
        if (int fd = o.fd3 ? open(o.fd3, O_RDWR) : o.fd3_at; fd != o.fd3_at)
            dup2(fd, o.fd3_at), close(fd);
        if (o.nofile) {
            rlimit lim = {o.nofile, rlim_t(1) << 20};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
                getrlimit(RLIMIT_NOFILE, &lim), lim.rlim_cur = o.nofile, setrlimit(RLIMIT_NOFILE, &lim);
        }
#ifdef __linux__
        if (o.persona)
            personality(o.persona);
        sigset_t ending;
        sigemptyset(&ending);
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&ending, sig);
        if (o.blocked)
            sigprocmask(SIG_BLOCK, &ending, nullptr);
        if (o.outer != o.none)
            prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        if (o.outer == o.no_close_range)
            install_no_close_range();
        if (o.outer == o.full_budget)
            fill_filter_budget();
#endif
        if (o.cwd && chdir(o.cwd) != 0)
            _exit(127);
        for (const std::string &e : o.env)
            putenv(strdup(e.c_str()));
#ifdef INTERPOSE_LIB
        if (o.fault)
            setenv("LD_PRELOAD", o.preload ? o.preload : INTERPOSE_LIB, 1), setenv("DOTSPAN_TEST_FAULT", o.fault, 1),
                setenv("DOTSPAN_TEST_PATH", o.fault_path, 1);
#endif
        std::string words = emulator;
        std::vector<const char *> argv;
        for (char *w = strtok(words.data(), " "); w; w = strtok(nullptr, " "))
            argv.push_back(w);
        argv.push_back(DOTSPAN_BIN);
        argv.insert(argv.end(), o.args.begin(), o.args.end());
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char **>(argv.data()));
        _exit(127);
    }
    close(ip[0]), close(op[1]), close(ep[1]);
    fcntl(ip[1], F_SETFL, O_NONBLOCK);
    return {pid, ip[1], op[0], ep[0], filler};
}

int pipe_size([[maybe_unused]] int fd)
{
#ifdef F_GETPIPE_SZ
    return fcntl(fd, F_GETPIPE_SZ);
#else
    return 0;
#endif
}

// Writes in to the child as o.feed says while reading its output, then waits.
Result finish(Child c, const std::string &in, const Opts &o = {})
{
    std::mt19937 rng(o.seed);
    Result r;
    size_t off = 0;
    char tmp[65536];
    // A full error pipe is left full for a while, so that the program meets
    // it full when it reports its error.
    using clock = std::chrono::steady_clock;
    auto hold_err = clock::now() + std::chrono::milliseconds(c.filler ? 500 : 0);
    auto term = clock::now() + std::chrono::milliseconds(o.term_after_ms), kill9 = term + std::chrono::seconds(5);
    int sent = o.term_after_ms < 0 ? SIGKILL : 0;   // the last signal sent
    while (c.out >= 0 || c.err >= 0) {
        if (c.in >= 0 && off == in.size())
            r.in_pipe = pipe_size(c.in), close(c.in), c.in = -1;
        bool held = clock::now() < hold_err;
        if (sent != SIGKILL && clock::now() >= (sent ? kill9 : term))
            sent = sent ? SIGKILL : SIGTERM, kill(c.pid, sent);
        pollfd fds[3] = {{c.out, POLLIN, 0}, {held ? -1 : c.err, POLLIN, 0}, {c.in, POLLOUT, 0}};
        poll(fds, 3, held || sent != SIGKILL ? 50 : -1);
        if (fds[2].revents) {
            size_t n = o.feed == whole   ? in.size() - off
                       : o.feed == bytes ? 1
                       : rng() % 4       ? rng() % 64 + 1
                                         : rng() % 200000 + 1;
            ssize_t w = write(c.in, in.data() + off, std::min(n, in.size() - off));
            off = w > 0 ? off + size_t(w) : w < 0 && errno == EPIPE ? in.size() : off;
        }
        for (int i = 0; i < 2; i++) {
            int &fd = i == 0 ? c.out : c.err;
            if (fds[i].revents == 0)
                continue;
            ssize_t n = read(fd, tmp, sizeof tmp);
            if (n > 0)
                (i == 0 ? r.out : r.err).append(tmp, size_t(n));
            if (n <= 0 || (i == 0 && r.out.size() >= o.out_limit)) {
                (i == 0 ? r.out_pipe : r.err_pipe) = pipe_size(fd);
                close(fd), fd = -1;
            }
        }
    }
    if (c.in >= 0)
        close(c.in);
    rusage ru{};
    wait4(c.pid, &r.status, 0, &ru);
#ifdef __APPLE__
    r.maxrss_kb = ru.ru_maxrss / 1024;   // bytes there, KiB elsewhere
#else
    r.maxrss_kb = ru.ru_maxrss;
#endif
    r.err.erase(0, c.filler);
    return r;
}

Result run(const std::string &in, const Opts &o = {}) { return finish(start(o), in, o); }

// Whether a library loads into the program with LD_PRELOAD: not into a
// static one (as the build against musl is), nor under the sanitizer (which
// must be the first library loaded), nor through the emulator. Asked of the
// program itself, once: the interposer's zero-write fault makes a run fail.
// Where it loads, the program uses this system's C library, as it does.
bool interposable()
{
#ifdef INTERPOSE_LIB
    static const bool yes = !sanitized && !emulated && run("x\n", {.fault = "zero-write"}).status != 0;
    return yes;
#else
    return false;
#endif
}

void expect_ok(const Result &r, const std::string &want, const std::string &what)
{
    ASSERT_EQ(r.out.size(), want.size()) << what;
    EXPECT_TRUE(r.out == want) << what;
    EXPECT_EQ(r.status, 0) << what;
    EXPECT_EQ(r.err, "") << what;
}

TEST(Filter, EdgeCasesInEveryFeed)
{
    for (Feed f : {whole, bytes, chunks})
        for (size_t i = 0; i < ref::cases.size(); i++)
            expect_ok(run(ref::cases[i].in, {.feed = f}), ref::cases[i].want, "case " + std::to_string(i));
}

TEST(Filter, ArgumentsAreIgnored)
{
    expect_ok(run(".x\ny\n", {.args = {"-h", "--version", "/nonexistent"}}), mark(2) + ".x\ny\n", "args");
}

TEST(Filter, RandomInputsMatchTheModel)
{
    std::mt19937 rng(20261209);
    for (unsigned i = 0; i < 60; i++) {
        std::string in = random_text(rng, i % 10 == 0 ? 3000000 : rng() % 20000);
        Feed f = in.size() < 30000 && i % 3 == 0 ? bytes : chunks;
        expect_ok(run(in, {.feed = f, .seed = i}), model(in), "input " + std::to_string(i));
    }
}

TEST(Filter, RegularFileInputMatchesTheModel)
{
    // A file gives whole blocks per read, more than a pipe ever holds, so
    // long lines end and begin inside one read.
    std::mt19937 rng(11);
    std::string path = temp_path();
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (unsigned i = 0; i < 6; i++) {
        std::string in;
        for (size_t k : {300000, 500000, 700000, 200000, 900000, 1000})
            in.append(1, '.').append(k + i * 4099, 'x').append(1, '\n');
        in += random_text(rng, 4000000);
        ASSERT_EQ(pwrite(fd, in.data(), in.size(), 0), ssize_t(in.size()));
        ASSERT_EQ(ftruncate(fd, off_t(in.size())), 0);
        expect_ok(run("", {.in_file = path.c_str()}), model(in), "file " + std::to_string(i));
    }
    close(fd);
    unlink(path.c_str());
}

TEST(Filter, MarkerDenseInputsPastThreeBlocks)
{
    // A marker every two to three bytes fills the output block long before
    // the input block is used up: the block must be written out mid-read.
    std::string path = temp_path();
    for (const std::string &d : ref::dense) {
        std::string in;
        while (in.size() < 3 * bufsz + 1000)
            in += d;
        std::string want = model(in);
        expect_ok(run(in, {.feed = chunks}), want, "pipe " + d);
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, in.data(), in.size()), ssize_t(in.size()));
        close(fd);
        expect_ok(run("", {.in_file = path.c_str()}), want, "file " + d);
    }
    unlink(path.c_str());
}

TEST(Filter, LinesAroundTheBlockSizes)
{
    for (size_t len : {bufsz - 1, bufsz, bufsz + 1, 2 * bufsz + 7, outsz - 1, outsz, outsz + 1, size_t(3) << 20})
        for (char lead : {'.', 'a'})
            for (const char *before : {"", "x\n", ".y\n"})
                for (const char *after : {"", "\n", "\n.z\nw"}) {
                    std::string in = before + (lead + std::string(len - 1, 'b')) + after;
                    expect_ok(run(in, {.feed = chunks, .seed = unsigned(len)}), model(in),
                              std::to_string(len) + lead + before + after);
                }
}

TEST(Filter, MemoryIsBoundedByTheHeldLine)
{
    if (sanitized || emulated)
        GTEST_SKIP() << "the sanitizer's or the emulator's own memory hides the program's";
    // A plain line streams through the fixed buffer; a period line is held,
    // in at most about twice its size. The children start before the big
    // strings exist: a child's peak memory counts what it shared with us.
    Child pc = start({}), dc = start({});
    std::string plain(64 << 20, 'a'), dotted = "." + plain;
    Result p = finish(pc, plain), d = finish(dc, dotted);
    expect_ok(p, plain + "\n", "plain");
    expect_ok(d, mark(dotted.size()) + dotted + "\n", "dotted");
    EXPECT_LT(p.maxrss_kb, 16 << 10);
    EXPECT_GE(d.maxrss_kb, 64 << 10);
    EXPECT_LT(d.maxrss_kb, 140 << 10);
}

TEST(Filter, NonBlockingDescriptorsAreWaitedOn)
{
    std::mt19937 rng(7);
    std::string in = random_text(rng, 4 << 20);
    expect_ok(run(in, {.feed = chunks, .nonblock = true}), model(in), "nonblocking");
}

// Reads from the child's output until want has come, or 10 s pass.
void await_out(const Child &c, const std::string &want)
{
    std::string got;
    char tmp[256];
    pollfd pfd = {c.out, POLLIN, 0};
    while (got.size() < want.size() && poll(&pfd, 1, 10000) == 1) {
        ssize_t n = read(c.out, tmp, sizeof tmp);
        if (n <= 0)
            break;
        got.append(tmp, size_t(n));
    }
    EXPECT_EQ(got, want);
}

TEST(Filter, LinesReachTheReaderBeforeTheInputEnds)
{
    Child c = start({});
    ASSERT_EQ(write(c.in, "plain\n.TH", 9), 9);
    await_out(c, "plain\n");
    ASSERT_EQ(write(c.in, " x\nmore", 7), 7);
    await_out(c, mark(5) + ".TH x\nmore");
    expect_ok(finish(c, ""), "\n", "end");
}

TEST(Filter, PipesAreWidenedOnlyForLongStreams)
{
    // A pipe is widened to 256 KiB once it has carried 1 MiB, and not
    // before: short runs take none of the user's pipe memory. Lone periods
    // come out 3.5 times as large, so their output is widened alone.
#ifndef F_GETPIPE_SZ
    GTEST_SKIP() << "pipes have a fixed size here";
#else
    int fresh[2];
    pipe_cloexec(fresh);
    // Where pages are 64 KiB, a fresh pipe (16 pages) is already wider than
    // 256 KiB, and is left as it is.
    const int plain = pipe_size(fresh[0]), wide = std::max(plain, 256 << 10);
    close(fresh[0]), close(fresh[1]);
    std::string dots;
    while (dots.size() < 600 << 10)
        dots += ".\n";
    struct Row {
        const char *what;
        std::string in;
        int in_pipe, out_pipe;
    };
    for (const Row &r : std::vector<Row>{
             {"a page", std::string(8000, 'x') + "\n", plain, plain},
             {"2 MiB of output from 600 KiB", dots, plain, wide},
             {"2 MiB", std::string(2 << 20, '\n'), wide, wide},
         }) {
        Result got = run(r.in, {.feed = chunks});
        ASSERT_EQ(got.status, 0) << r.what;
        EXPECT_EQ(got.in_pipe, r.in_pipe) << r.what;
        EXPECT_EQ(got.out_pipe, r.out_pipe) << r.what;
    }
#endif
}

TEST(Failure, ReportedOnceWithStatusOne)
{
    struct F {
        const char *what;
        std::string in;
        Opts o;
        std::string msg;
        size_t upto = std::string::npos;   // all of the input before this is written, exactly
    };
    // The C library's own words, which differ between C libraries.
    auto says = [](const char *what, int err) { return "dotspan: "s + what + ": " + strerror(err) + "\n"; };
    // A read that fails once the first `upto` bytes, whole lines, have come.
    std::mt19937 rng(9);
    const std::string text = random_text(rng, 400000);
    const size_t upto = text.rfind('\n', 250000) + 1;
    const std::string fail_after = "read-fail:" + std::to_string(upto);
    std::string big(4 << 20, '.');   // more than a widened pipe holds
    bool have_full = access("/dev/full", W_OK) == 0;
    const char *preload = getenv("LD_PRELOAD");
    bool preloaded = preload != nullptr && *preload != '\0';
    const bool can_interpose = interposable();
    for (const F &f : std::vector<F>{
             {"output full, tiny input", "ab\n", {.out_file = "/dev/full"}, "dotspan: write error: "},
             {"output full", big, {.feed = chunks, .out_file = "/dev/full"}, "dotspan: write error: "},
             {"output full, error pipe full and non-blocking",
              "ab\n",
              {.out_file = "/dev/full", .full_err = true},
              "dotspan: write error: "},
             {"output closed", "ab\n", {.close_out = true}, "dotspan: write error: "},
             {"output closed, no input", "", {.close_out = true}, "dotspan: write error: "},
             {"reader gone, SIGPIPE ignored",
              big + "\n",
              {.ignore_pipe = true, .out_limit = 1},
              "dotspan: write error: "},
             {"input a directory", "", {.in_file = "/"}, "dotspan: read error: "},
             {"input closed", "", {.close_in = true}, "dotspan: read error: "},
             {"poll fails waiting to read",
              "x\n",
              {.fault = "poll-read"},
              says("read error", ENOMEM)},
             {"poll fails waiting to write",
              "x\n",
              {.fault = "poll-write"},
              says("write error", ENOMEM)},
             {"write makes no progress",
              "x\n",
              {.fault = "zero-write"},
              says("write error", ENOSPC)},
             {"read fails after whole lines", text, {.feed = chunks, .fault = fail_after.c_str()},
              says("read error", EIO), upto},
         }) {
        if ((f.o.out_file && !have_full) || (f.o.fault && !can_interpose)) {
            std::cout << "skipped: " << f.what << "\n";
            continue;
        }
        if ((f.o.close_in || f.o.close_out) && preloaded) {
            std::cout << "skipped: " << f.what << ": LD_PRELOAD is set, and a preloaded library may open a file "
                      << "into the closed descriptor\n";
            continue;
        }
        Result r = run(f.in, f.o);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << f.what << " status " << r.status;
        EXPECT_EQ(r.err.rfind(f.msg, 0), 0u) << f.what << ": " << r.err;
        if (f.upto != std::string::npos) {
            EXPECT_TRUE(r.out == model(f.in.substr(0, f.upto))) << f.what << ": " << r.out.size() << " bytes written";
        }
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << f.what << ": " << r.err;
        EXPECT_EQ(r.err.back(), '\n') << f.what;
    }
}

std::string contents(const std::string &path)
{
    std::string s;
    char tmp[4096];
    int fd = open(path.c_str(), O_RDONLY);
    for (ssize_t n; fd >= 0 && (n = read(fd, tmp, sizeof tmp)) > 0;)
        s.append(tmp, size_t(n));
    close(fd);
    return s;
}

TEST(Failure, InputFileIsOutputFile)
{
    // dotspan < f >> f and dotspan < f 1<>f would read their own output.
    std::string path = temp_path();
    const std::string text = ".TH X 1\nbody\n";
    for (int flags : {O_WRONLY | O_APPEND, O_RDWR, O_WRONLY | O_TRUNC}) {
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        Result r = run("", {.in_file = path.c_str(), .out_file = path.c_str(), .out_flags = flags});
        if (flags & O_TRUNC) {   // dotspan < f > f: the shell has emptied f, nothing is left to read
            expect_ok(r, "", "truncated");
            EXPECT_EQ(contents(path), "");
            continue;
        }
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << flags << " status " << r.status;
        EXPECT_EQ(r.err, "dotspan: input file is output file\n") << flags;
        EXPECT_EQ(contents(path), text) << flags;
    }
    // dotspan < in.ms > out.marked: two files, most often on one file system.
    std::string other = temp_path();
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    expect_ok(run("", {.in_file = path.c_str(), .out_file = other.c_str()}), "", "another file");
    EXPECT_EQ(contents(other), mark(7) + text);
    unlink(path.c_str());
    unlink(other.c_str());
    expect_ok(run("", {.in_file = "/dev/null", .out_file = "/dev/null"}), "", "/dev/null both ways");
}

TEST(Failure, FileSizeLimitIsAWriteError)
{
    // ulimit -f: the write that passes the limit fails with EFBIG, rather
    // than SIGXFSZ ending the run without a word; all before it is written.
    std::mt19937 rng(5);
    std::string in = random_text(rng, 1 << 20), path = temp_path();
    const size_t limit = 100000;
    Result r = run(in, {.feed = chunks, .out_file = path.c_str(), .out_flags = O_WRONLY | O_TRUNC, .fsize = limit});
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.status;
    EXPECT_EQ(r.err, "dotspan: write error: File too large\n");
    EXPECT_TRUE(contents(path) == model(in).substr(0, limit));
    unlink(path.c_str());
}

// A field of /proc/meminfo, in KiB, or 0.
long meminfo_kb(const std::string &field)
{
    std::ifstream f("/proc/meminfo");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return 0;
}

TEST(Failure, CountsOverIntMaxAreNeverAsked)
{
    // Some systems refuse a read or write of more than INT_MAX bytes, which a
    // period line over 2 GiB would ask for. The line comes from a sparse
    // file, so its NUL bytes cost no disk; long lines' bytes are checked by
    // the tests above.
#ifndef INTERPOSE_LIB
    GTEST_SKIP() << "no interposer library";
#else
    if (!interposable() || sizeof(size_t) < 8)
        GTEST_SKIP() << "needs a 64-bit program that a library can be loaded into";
    // The line is held whole, and copied once as its buffer doubles to 4 GiB.
    if (meminfo_kb("MemAvailable") < 5 << 20)
        GTEST_SKIP() << "needs 5 GiB of memory free, and has " << meminfo_kb("MemAvailable") / 1024 << " MiB";
    std::string in = temp_path();
    size_t len = (size_t(1) << 31) + 2;
    int fd = open(in.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, ".", 1, 0), 1);
    ASSERT_EQ(pwrite(fd, "\n", 1, off_t(len)), 1);
    close(fd);
    Result r = run("", {.in_file = in.c_str(), .out_file = "/dev/null", .fault = "big"});
    unlink(in.c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
#endif
}

TEST(Failure, ClosedReaderEndsTheRunBySigpipe)
{
    Result r = run(std::string(8 << 20, '\n'), {.feed = chunks, .out_limit = 1});
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGPIPE) << r.status;
    EXPECT_EQ(r.err, "");
}

// Why the program cannot be seen confined here, or nullptr when it can: the
// build has the filter and this kernel lets a process install one (tried in
// a child, with a filter that allows everything).
const char *unconfinable()
{
    if (!dotspan::confinable)
        return "this build has no confinement on this CPU (confine.h)";
#ifdef __linux__
    if (emulated)
        return "the emulator refuses seccomp";
    pid_t pid = fork();
    if (pid == 0) {
        sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        sock_fprog prog = {1, &allow};
        _exit(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog));
    }
    int st = -1;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        return "this kernel refuses seccomp filters";
#endif
    return nullptr;
}

// The value of a field of /proc/PID/status ("self" for this process), or "".
std::string proc_status(const std::string &pid, const std::string &field)
{
    std::ifstream f("/proc/" + pid + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(field + ":\t", 0) == 0)
            return line.substr(field.size() + 2);
    return "";
}

// The descriptors open in process pid, or {-1} where they cannot be listed.
std::vector<int> open_fds(const std::string &pid)
{
    std::vector<int> fds;
    DIR *d = opendir(("/proc/" + pid + "/fd").c_str());
    if (d == nullptr)
        return {-1};
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            fds.push_back(std::stoi(e->d_name));
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

TEST(Confinement, InForceDuringARun)
{
    // In each environment a caller may start it in, a run is confined by
    // its own filter, on top of the caller's; holds no descriptor but the
    // three; and has SIGTERM, SIGINT and SIGHUP unblocked.
    if (const char *why = unconfinable())
        GTEST_SKIP() << why;
    const std::string secret = temp_path();
    struct Env {
        const char *what;
        Opts o;
        int outer;   // the caller's filters
    };
    // A kernel without close_range: a descriptor above a low soft limit.
    const Opts old_kernel = {.fd3 = secret.c_str(), .fd3_at = 200, .nofile = 64, .outer = Opts::no_close_range};
    Opts no_proc = old_kernel;
    no_proc.fault = "no-proc";
    std::vector<Env> envs = {
        {"plain", {}, 0},
        {"fd 3 open", {.fd3 = secret.c_str()}, 0},
        {"TERM, INT and HUP blocked", {.blocked = true}, 0},
        {"no close_range, fd 200 above a soft limit of 64", old_kernel, 1},
    };
    if (interposable())
        envs.push_back({"no close_range and no /proc", no_proc, 1});
    const std::string counted = proc_status("self", "Seccomp_filters");
    const int mine = counted.empty() ? 0 : std::stoi(counted);
    for (const Env &e : envs) {
        Child c = start(e.o);
        ASSERT_EQ(write(c.in, ".TH\n", 4), 4);
        await_out(c, mark(3) + ".TH\n");   // past setup, inside the run
        std::string pid = std::to_string(c.pid);
        EXPECT_EQ(proc_status(pid, "Seccomp"), "2") << e.what;
        if (!counted.empty()) {   // a kernel that counts them: one more than the caller's
            EXPECT_EQ(proc_status(pid, "Seccomp_filters"), std::to_string(mine + e.outer + 1)) << e.what;
        }
        std::vector<int> fds = open_fds(pid);
        if (fds == std::vector<int>{-1})
            std::cout << "cannot list the run's descriptors here: " << strerror(errno) << "\n";
        else
            EXPECT_EQ(fds, (std::vector<int>{0, 1, 2})) << e.what;
        unsigned long long blocked = std::stoull(proc_status(pid, "SigBlk"), nullptr, 16);
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            EXPECT_EQ(blocked >> (sig - 1) & 1, 0u) << e.what << ": signal " << sig << " blocked";
        expect_ok(finish(c, ""), "", e.what);
    }
    unlink(secret.c_str());
}

TEST(Confinement, ForbiddenCallsEndTheRun)
{
    // What code that took over a run would try, after the first read: each
    // call ends the process by SIGSYS before it does anything. Every row is
    // also checked by the harm its call would do: another process of the
    // user lives on, a file given as descriptor 3 (as make and shells pass
    // them) is unchanged, and so is standard output opened read-write; no
    // pipe is wider than the program widens its own; SIGTERM still ends the
    // run; no core file is written. And runs that must work do.
    if (const char *why = unconfinable())
        GTEST_SKIP() << why;
#ifndef INTERPOSE_LIB
    GTEST_SKIP() << "no interposer library";
#else
    pid_t victim = fork();
    if (victim == 0)
        for (;;)
            pause();
    char tmpl[] = "/tmp/dotspan-test-XXXXXX";
    const std::string dir = mkdtemp(tmpl), secret = dir + "/secret", out = dir + "/out", input = dir + "/input",
                      vg = dir + "/vgpreload_x.so", aux = dir + "/aux", profile = aux + "/libc.so.6.profile";
    const std::string secret_text(8192, 's'), out_text(8192, 'o');
    ASSERT_EQ(symlink(INTERPOSE_LIB, vg.c_str()), 0);
    ASSERT_EQ(mkdir(aux.c_str(), 0700), 0);   // what the loader writes: profile, debug output
    int fresh[2];
    pipe_cloexec(fresh);
    // A fresh pipe is 16 pages: 1 MiB where pages are 64 KiB, and wider than
    // dotspan's own, which it then leaves alone.
    const int plain = pipe_size(fresh[0]), widest = std::max(plain, 256 << 10);
    close(fresh[0]), close(fresh[1]);
    const std::string in = ".TH x\n." + std::string(3 << 20, 'x') + "\nmore\n";
    // A pool of huge pages, where the kernel has them and it is empty: no
    // run may take from it.
    const std::string pool = contents("/proc/sys/vm/nr_hugepages");
    auto set_pool = [](const std::string &n) {
        int fd = open("/proc/sys/vm/nr_hugepages", O_WRONLY);
        (void)!write(fd, n.data(), n.size());
        close(fd);
    };
    if (pool == "0\n")
        set_pool("8\n");

    // s390x passes mmap's arguments in memory, where the filter cannot see
    // them: every mmap is answered ENOMEM there, and the run goes on.
#ifdef __s390x__
    const int mmap_sig = 0;
#else
    const int mmap_sig = SIGSYS;
#endif
    struct Row {
        std::string fault;
        Opts o = {};
        int sig = SIGSYS;   // 0: the run succeeds, exact; -1: it is refused before its first read
        std::string err;    // in standard error, which is empty otherwise: no "returned", no shell's "ran"
        std::string what;   // where fault and environment do not say
    };
    std::vector<Row> rows = {
        {"open"},
        {"socket"},
        {"exec"},
        {"mmap-exec", {}, mmap_sig},
        {"madvise"},
        {"poll-timeout"},
        {"kill:" + std::to_string(victim)},
        {"mmap:3", {}, mmap_sig},
        {"mmap:1", {.out_file = out.c_str(), .out_flags = O_RDWR}, mmap_sig},   // dotspan 1<>file
        {"read:1", {.out_file = out.c_str(), .out_flags = O_RDWR}},
        {"read:3"},
        {"widen:0:1048576"},
        {"widen:1:1048576"},
        {"widen:2:" + std::to_string(widest)},
        {"sigmask", {.term_after_ms = 500}},
        {"ppoll-mask", {.term_after_ms = 500}},
        // Calls answered with an error, after which the run goes on.
        {"write:0", {.in_file = input.c_str(), .in_flags = O_RDWR}, 0},   // dotspan 0<>file
        {"write:3", {}, 0},
        {"mmap-huge", {}, 0},
        {"mremap-grow", {}, 0},
        {"mremap-dup", {}, 0},
        // What a caller's environment leaves in the process.
        {"heap-exec", {.persona = READ_IMPLIES_EXEC}, SIGSEGV, "", "heap-exec under setarch -X"},
        {"spin", {.term_after_ms = 500, .blocked = true}, SIGTERM},
        {"profile", {.env = {"LD_PROFILE=libc.so.6", "LD_PROFILE_OUTPUT=" + aux}}, 0},
        {"", {.outer = Opts::full_budget}, -1, "dotspan: cannot confine the run: ",
         "a full filter budget"},
        // A heap corruption the C library finds is still reported, and ends the run.
        {"double-free", {}, SIGSYS, "double free"},
        // A name like valgrind's in LD_PRELOAD does not leave the run unconfined.
        {"open", {.preload = vg.c_str()}, SIGSYS, "", "open as vgpreload_x.so"},
        // The allocator's tunables read files at its first call.
        {"", {.env = {"GLIBC_TUNABLES=glibc.malloc.hugetlb=1"}}, 0},
        {"", {.env = {"GLIBC_TUNABLES=glibc.malloc.hugetlb=2"}}, 0},
        // The loader's debugging output, some of it at exit.
        {"", {.env = {"LD_DEBUG=statistics"}}, 0, "runtime linker statistics"},
    };
    for (const char *what : {"files", "libs", "reloc", "symbols", "bindings", "versions", "scopes", "statistics", "all"})
        rows.push_back({"", {.env = {"LD_DEBUG="s + what, "LD_DEBUG_OUTPUT=" + aux + "/debug"}}, 0});
    // valgrind's own preload library, without valgrind.
#if defined(__x86_64__)
    const std::string vgcore = "/usr/libexec/valgrind/vgpreload_core-amd64-linux.so";
#elif defined(__aarch64__)
    const std::string vgcore = "/usr/libexec/valgrind/vgpreload_core-arm64-linux.so";
#else
    const std::string vgcore = "";
#endif
    const std::string both = vgcore + ":" + INTERPOSE_LIB;
    if (!vgcore.empty() && access(vgcore.c_str(), R_OK) == 0)
        rows.push_back({"open", {.preload = both.c_str()}, SIGSYS, "", "open with valgrind's preload library"});
#ifdef __x86_64__
    rows.push_back({"x32"});
#endif
#if defined(__mips64) && _MIPS_SIM == _ABI64
    rows.push_back({"o32"});
    rows.push_back({"n32"});
#endif
    int skipped = 0;
    bool profiled = false;
    for (Row &row : rows) {
        const std::string what = !row.what.empty() ? row.what : row.fault.empty() ? row.o.env[0] : row.fault;
        bool loader = !row.o.env.empty() && row.o.env[0].rfind("LD_", 0) == 0;   // the dynamic loader's variables
        if ((!row.fault.empty() || loader) && !interposable()) {
            skipped++;
            continue;
        }
        profiled |= row.fault == "profile";
        for (const auto &[path, text] : {std::pair{secret, secret_text}, {out, out_text}, {input, in}}) {
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
            close(fd);
        }
        std::string path = dir + "/created";
        Opts o = row.o;
        o.fault = row.fault.empty() ? nullptr : row.fault.c_str();
        o.fault_path = path.c_str(), o.fd3 = secret.c_str(), o.cwd = dir.c_str(), o.core = true, o.feed = chunks;
        if (row.o.persona) {
            // The personality must add nothing: the run ends as one without
            // it does. Where the CPU has no no-execute bit (32-bit x86
            // without PAE, MIPS without RI/XI, ARM before v6) the heap runs
            // either way, and this row shows nothing.
            Opts plain = o;
            plain.persona = 0;
            if (Result without = run(in, plain); !WIFSIGNALED(without.status)) {
                std::cout << "the heap runs here without the personality too: " << what << " shows nothing\n";
                row.sig = 0, row.err = "returned";
            }
        }
        Result r = run(in, o);
        // A run that goes on writes its output to standard output's file
        // when it is one; one that ends first leaves the file as it was.
        const bool to_file = row.o.out_file != nullptr;
        if (row.sig == 0 && to_file) {
            r.out = contents(out);
            EXPECT_EQ(contents(out).find("PWNED"), std::string::npos) << what;
        }
        if (row.sig == 0 && row.err.empty()) {
            expect_ok(r, model(in), what);
        } else if (row.sig == 0) {
            EXPECT_EQ(r.status, 0) << what;
            EXPECT_TRUE(r.out == model(in)) << what;
            EXPECT_NE(r.err.find(row.err), std::string::npos) << what << ": " << r.err;
        } else if (row.sig < 0) {
            EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << what << " status " << r.status;
            EXPECT_EQ(r.out.size(), 0u) << what;
            EXPECT_EQ(r.err.rfind(row.err, 0), 0u) << what << ": " << r.err;   // the reason in the C library's words
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        } else {
            EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == row.sig) << what << " status " << r.status;
            EXPECT_EQ(r.out.size(), 0u) << what;
            if (row.err.empty())
                EXPECT_EQ(r.err.substr(0, 100), "") << what;
            else
                EXPECT_NE(r.err.find(row.err), std::string::npos) << what << ": " << r.err;
        }
        EXPECT_FALSE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL) << what << ": outlived SIGTERM";
        EXPECT_EQ(waitpid(victim, nullptr, WNOHANG), 0) << what << ": the other process ended";
        EXPECT_TRUE(contents(secret) == secret_text) << what << ": descriptor 3's file";
        if (row.sig != 0 || !to_file) {
            EXPECT_TRUE(contents(out) == out_text) << what << ": standard output's file";
        }
        EXPECT_TRUE(contents(input) == in) << what << ": standard input's file";
        EXPECT_EQ(contents(profile).find("PWNED"), std::string::npos) << what << ": the loader's profile";
        EXPECT_NE(access(path.c_str(), F_OK), 0) << what << " created " << path;
        EXPECT_LE(r.in_pipe, widest) << what;
        EXPECT_LE(r.out_pipe, widest) << what;
        EXPECT_EQ(r.err_pipe, plain) << what;
        EXPECT_FALSE(WCOREDUMP(r.status)) << what << ": dumped core";
        unlink(path.c_str());
    }
    if (skipped)
        std::cout << "skipped " << skipped << " rows: no library can be loaded into the program, or it has no dynamic loader\n";
#ifdef __mips__
    profiled = false;   // the loader does not profile on MIPS: the row shows only that the run is exact
#endif
    if (profiled) {
        EXPECT_NE(contents(profile), "") << "LD_PROFILE wrote no profile: its row proves nothing";
    }
    if (pool == "0\n")
        set_pool(pool);
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    if (DIR *d = opendir(aux.c_str())) {
        while (dirent *e = readdir(d))
            unlink((aux + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(aux.c_str());
    for (const char *f : {"secret", "out", "input", "vgpreload_x.so"})   // and no core file beside them
        unlink((dir + "/" + f).c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0) << dir << " holds more than the test's files";
#endif
}

TEST(Confinement, AWaitResumesAfterStopAndContinue)
{
    // A stopped process's wait is resumed by the kernel through a call of
    // its own (restart_syscall), which must not end the run.
    Child c = start({.nonblock = true});
    ASSERT_EQ(write(c.in, ".TH\n", 4), 4);
    await_out(c, mark(3) + ".TH\n");
    auto state = [&] {
        std::ifstream f("/proc/" + std::to_string(c.pid) + "/stat");
        std::string s;
        std::getline(f, s);
        return s.size() > s.rfind(')') + 2 ? s[s.rfind(')') + 2] : '?';
    };
    for (int i = 0; i < 200 && state() != 'S'; i++)   // waiting for more input
        usleep(10000);
    kill(c.pid, SIGSTOP);
    for (int i = 0; i < 200 && state() != 'T'; i++)
        usleep(10000);
    EXPECT_EQ(state(), 'T');
    kill(c.pid, SIGCONT);
    expect_ok(finish(c, "more\n"), "more\n", "stopped and continued");
}

}   // namespace
