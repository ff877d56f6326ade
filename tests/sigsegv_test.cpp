// Crash reporter: real faults in child processes, the report read back line
// by line.
//
// The children are this executable run again with "--fault <case>" (see
// main at the end), so the walk ends at a real `main` built with frame
// pointers. The report is read back by defining openlog/syslog/closelog here:
// the executable's definitions take the place of libc's for the reporter
// linked into it, and write each record to the descriptor named by
// SIGSEGV_TEST_LOG_FD. Without that variable the records are dropped; the
// machine's own log is never touched.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/ucontext.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sigsegv.h"
#include "threads.h"

extern char** environ;

// ---------------------------------------------------------------- log sink

namespace {

constexpr char record_end = '\x1e';

int sink_fd()
{
    static const int fd = [] {
        const char* s = getenv("SIGSEGV_TEST_LOG_FD");
        return s != nullptr ? atoi(s) : -1;
    }();
    return fd;
}

void sink_write(const char* text, size_t len)
{
    const int fd = sink_fd();
    if (fd < 0)
        return;
    char buf[1024];
    if (len > sizeof buf - 1)
        len = sizeof buf - 1;
    memcpy(buf, text, len);
    buf[len++] = record_end;
    // One write per record keeps records whole in the pipe.
    (void)!write(fd, buf, len);
}

void sink_vlog(int pri, const char* fmt, va_list ap)
{
    char buf[900];
    int n = snprintf(buf, sizeof buf, "<%d>", pri);
    const int m = vsnprintf(buf + n, sizeof buf - n, fmt, ap);
    n = m < 0 ? n : std::min<int>(n + m, sizeof buf - 1);
    sink_write(buf, n);
}

// A note from a child about its own memory, for the parent to compare with.
void note(const char* fmt, ...)
{
    char buf[256] = "note ";
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf + 5, sizeof buf - 5, fmt, ap);
    va_end(ap);
    sink_write(buf, std::min<int>(n + 5, sizeof buf - 1));
}

}  // namespace

extern "C" {
void openlog(const char* ident, int option, int facility)
{
    char buf[256];
    const int n = snprintf(buf, sizeof buf, "openlog %s %d %d", ident ? ident : "(null)", option, facility);
    sink_write(buf, std::min<int>(n, sizeof buf - 1));
}
void syslog(int pri, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sink_vlog(pri, fmt, ap);
    va_end(ap);
}
// Taken instead of syslog when the build fortifies.
void __syslog_chk(int pri, int, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sink_vlog(pri, fmt, ap);
    va_end(ap);
}
void closelog(void)
{
    sink_write("closelog", 8);
}
}

// ---------------------------------------------------------- faulting code

#if defined(__clang__)
#define NOIPA __attribute__((noinline))
#else
#define NOIPA __attribute__((noipa))
#endif

int* volatile null_target = nullptr;
volatile int recursion_limit = INT_MAX;

// extern "C" keeps the names that dladdr reports plain.
extern "C" {
NOIPA int fault_pass(int x) { return x; }
// Calls out before it faults: GCC gives a leaf that needs no stack no frame
// of its own, even with frame pointers on, and sets a frame up only where a
// path needs it, and the walk would then miss the caller. The null store is
// the point, so UBSan must not stop it first.
NOIPA __attribute__((no_sanitize("undefined"))) int fault_level1(int x)
{
    *null_target = fault_pass(x);
    return x + 1;
}
NOIPA int fault_level2(int x) { return fault_level1(x + 1) + 1; }
NOIPA int fault_level3(int x) { return fault_level2(x + 1) + 1; }

NOIPA int fault_recurse(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth == recursion_limit)
        return 0;
    return fault_recurse(depth + 1) + pad[0];
}

// Installs its argument as the frame pointer and writes to address 0, so the
// handler sees a real fault with a chosen frame chain.
void fault_with_frame(void* bp);
}

#if defined(__x86_64__)
asm(R"(
    .text
    .globl fault_with_frame
    .type fault_with_frame, @function
fault_with_frame:
    movq %rdi, %rbp
    movl $0, 0
    ud2
    .size fault_with_frame, .-fault_with_frame
)");
#define HAVE_FRAME_FAULT 1
constexpr int report_regs = 23;
constexpr int reg_ip = REG_RIP, reg_bp = REG_RBP;
#elif defined(__i386__)
asm(R"(
    .text
    .globl fault_with_frame
    .type fault_with_frame, @function
fault_with_frame:
    movl 4(%esp), %ebp
    movl $0, 0
    ud2
    .size fault_with_frame, .-fault_with_frame
)");
#define HAVE_FRAME_FAULT 1
constexpr int report_regs = 19;
constexpr int reg_ip = REG_EIP, reg_bp = REG_EBP;
#else
extern "C" void fault_with_frame(void*) { abort(); }
constexpr int report_regs = 0;
[[maybe_unused]] constexpr int reg_ip = 0, reg_bp = 0;
#endif

namespace {

void* code_address(void* fn, int offset)
{
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(fn) + offset);
}

struct frame_t {
    frame_t* next;
    void* ret;
};

void* overflow_thread(void*)
{
    // What every thread of the program does first.
    if (sigsegv_thread_init)
        sigsegv_thread_init();
    fault_recurse(0);
    return nullptr;
}

// A body run by thread_start, which gives the thread its alternate stack.
void* overflow_started(void*)
{
    fault_recurse(0);
    return nullptr;
}

void* page_alloc(size_t pages, int prot)
{
    void* p = mmap(nullptr, pages * getpagesize(), prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        perror("mmap");
        _exit(2);
    }
    return p;
}

}  // namespace

// Runs in the child; returns only if the case did not fault.
extern "C" NOIPA int run_case(const char* case_name)
{
    const std::string name = case_name;
    const long ps = getpagesize();
    if (name == "readonly") {
        auto* page = static_cast<volatile int*>(page_alloc(1, PROT_READ));
        note("addr %p", static_cast<void*>(const_cast<int*>(page)));
        *page = 1;
    } else if (name == "sigbus") {
        // A file page past the end of its file.
        const int fd = memfd_create("sigsegv_test", 0);
        auto* map = static_cast<volatile int*>(mmap(nullptr, ps, PROT_READ, MAP_SHARED, fd, 0));
        note("addr %p", static_cast<void*>(const_cast<int*>(map)));
        return map[0];
    } else if (name == "bp_null") {
        fault_with_frame(nullptr);
    } else if (name == "bp_unmapped") {
        char* page = static_cast<char*>(page_alloc(1, PROT_READ | PROT_WRITE));
        munmap(page, ps);
        fault_with_frame(page + 64);
    } else if (name == "bp_guard") {
        char* page = static_cast<char*>(page_alloc(1, PROT_NONE));
        fault_with_frame(page + 64);
    } else if (name == "bp_loop") {
        // Two frames that name each other.
        static frame_t frames[2];
        frames[0] = {&frames[1], code_address(reinterpret_cast<void*>(fault_level2), 1)};
        frames[1] = {&frames[0], code_address(reinterpret_cast<void*>(fault_level3), 1)};
        fault_with_frame(&frames[0]);
    } else if (name == "bp_long") {
        // A well-formed chain longer than any real one.
        static frame_t frames[100];
        for (int i = 0; i < 100; i++)
            frames[i] = {i + 1 < 100 ? &frames[i + 1] : nullptr, code_address(reinterpret_cast<void*>(fault_level2), 1)};
        fault_with_frame(&frames[0]);
    } else if (name == "overflow_thread") {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 * 1024);
        pthread_t th;
        if (pthread_create(&th, &attr, overflow_thread, nullptr) != 0)
            return 3;
        pthread_join(th, nullptr);
    } else if (name == "overflow_started") {
        threads_init();
        static thread_t t;
        thread_init(&t, "overflow");
        thread_start(&t, overflow_started, nullptr);
        thread_join(&t);
    } else if (name == "overflow_main") {
        fault_recurse(0);
    } else {
        fprintf(stderr, "unknown case %s\n", name.c_str());
    }
    return 4;
}

namespace {

// ------------------------------------------------------------ parent side

struct crash_t {
    int status = -1;
    std::vector<std::string> records;
    std::vector<std::string> notes;
    std::vector<std::string> report;  // the syslog records after the constructor's
};

std::string self_path()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, n) : std::string();
}

crash_t run_fault(const char* name)
{
    crash_t c;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return c;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 3);

    std::vector<std::string> env_store{"SIGSEGV_TEST_LOG_FD=3"};
    for (char** e = environ; *e != nullptr; e++)
        if (strncmp(*e, "SIGSEGV_TEST_LOG_FD=", 20) != 0)
            env_store.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& s : env_store)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    const std::string exe = self_path();
    std::string a0 = exe, a1 = "--fault", a2 = name;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        ADD_FAILURE() << "posix_spawn: " << strerror(rc);
        return c;
    }

    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "case " << name << " did not end within 60 s";
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n == 0)
            break;
        if (n > 0)
            out.append(buf, n);
        else if (errno != EINTR && errno != EAGAIN)
            break;
    }
    close(fds[0]);
    while (waitpid(pid, &c.status, 0) < 0 && errno == EINTR) {
    }

    size_t start = 0;
    for (size_t end; (end = out.find(record_end, start)) != std::string::npos; start = end + 1) {
        std::string r = out.substr(start, end - start);
        if (r.rfind("note ", 0) == 0)
            c.notes.push_back(r.substr(5));
        else
            c.records.push_back(r);
    }
    // The constructor's records, then the report.
    if (c.records.size() >= 2)
        c.report.assign(c.records.begin() + 2, c.records.end());
    return c;
}

std::string dump(const crash_t& c)
{
    std::string s = "status " + std::to_string(c.status) + "\n";
    for (const auto& r : c.records)
        s += "  [" + r + "]\n";
    return s;
}

std::string frame_prefix(int f)
{
    char buf[32];
    snprintf(buf, sizeof buf, "<3>% 2d: ", f);
    return buf;
}

struct frame_line_t {
    uintptr_t ip = 0;
    std::string symbol;
    std::string object;
};

// Parses "<3>% 2d: %p <%s+%lu> (%s)\n" for frame f.
bool parse_frame(const std::string& r, int f, frame_line_t* out)
{
    const std::string prefix = frame_prefix(f);
    if (r.rfind(prefix, 0) != 0 || r.size() < prefix.size() + 2 || r.compare(prefix.size(), 2, "0x") != 0)
        return false;
    size_t pos = prefix.size() + 2;
    const size_t hex_end = r.find_first_not_of("0123456789abcdef", pos);
    if (hex_end == pos || hex_end == std::string::npos || r.compare(hex_end, 2, " <") != 0)
        return false;
    out->ip = std::stoull(r.substr(pos, hex_end - pos), nullptr, 16);
    pos = hex_end + 2;
    const size_t close = r.find("> (", pos);
    const size_t plus = r.rfind('+', close);
    if (close == std::string::npos || plus == std::string::npos || plus < pos || plus + 1 == close ||
        r.find_first_not_of("0123456789", plus + 1) != close)
        return false;
    out->symbol = r.substr(pos, plus - pos);
    pos = close + 3;
    if (r.size() < pos + 3 || r.compare(r.size() - 2, 2, ")\n") != 0)
        return false;
    out->object = r.substr(pos, r.size() - 2 - pos);
    return !out->symbol.empty();
}

// Checks everything up to the stack trace heading and the end; returns the
// records of the walk in between and the register values.
struct report_t {
    std::vector<std::string> walk;
    std::vector<unsigned long long> regs;
};

report_t check_report(const crash_t& c, int signo, const std::string& code_line, const std::string& addr_line)
{
    report_t rep;
    EXPECT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 255) << dump(c);
    const auto& rec = c.records;
    if (rec.size() < 10u + report_regs) {
        ADD_FAILURE() << "report too short\n" << dump(c);
        return rep;
    }
    EXPECT_EQ("openlog velmor 0 24", rec[0]);
    EXPECT_EQ("<3>Logger is attached\n", rec[1]);
    const auto& r = c.report;
    EXPECT_EQ("<3>Segmentation Fault!\n", r[0]);
    EXPECT_EQ("<3>info.si_signo = " + std::to_string(signo) + "\n", r[1]);
    EXPECT_EQ("<3>info.si_errno = 0\n", r[2]);
    EXPECT_EQ("<3>info.si_code  = " + code_line + "\n", r[3]);
    EXPECT_EQ("<3>info.si_addr  = " + addr_line + "\n", r[4]);
    const int digits = sizeof(void*) * 2;
    for (int i = 0; i < report_regs; i++) {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "<3>reg[%02d]       = 0x", i);
        const std::string& line = r[5 + i];
        const std::string hex = line.size() > strlen(prefix) ? line.substr(strlen(prefix)) : "";
        EXPECT_TRUE(line.rfind(prefix, 0) == 0 && hex.size() == digits + 1u && hex.back() == '\n' &&
                    hex.find_first_not_of("0123456789abcdef") == static_cast<size_t>(digits))
            << line;
        rep.regs.push_back(hex.empty() ? 0 : std::stoull(hex, nullptr, 16));
    }
    EXPECT_EQ("<3>Stack trace (X86):\n", r[5 + report_regs]);
    const size_t n = r.size();
    EXPECT_EQ("<3>End of stack trace.\n", r[n - 2]);
    EXPECT_EQ("closelog", r[n - 1]);
    rep.walk.assign(r.begin() + 6 + report_regs, r.end() - 2);
    return rep;
}

#define SKIP_WITHOUT_X86()                                                  \
    do {                                                                    \
        if (report_regs == 0)                                               \
            GTEST_SKIP() << "report layout checked on x86 only";            \
    } while (0)

}  // namespace

TEST(SigsegvReport, NullWriteThreeCallsDeepEndsAtMain)
{
    SKIP_WITHOUT_X86();
    const crash_t c = run_fault("null3");
    const report_t rep = check_report(c, 11, "1 (SEGV_MAPERR)", "(nil)");
    ASSERT_EQ(4u, rep.walk.size()) << dump(c);
    const char* names[] = {"fault_level1", "fault_level2", "fault_level3", "main"};
    const std::string exe = self_path();
    for (int f = 1; f <= 4; f++) {
        frame_line_t fl;
        ASSERT_TRUE(parse_frame(rep.walk[f - 1], f, &fl)) << rep.walk[f - 1];
        EXPECT_EQ(names[f - 1], fl.symbol);
        EXPECT_EQ(exe, fl.object);
        if (f == 1) {  // the faulting instruction itself
            EXPECT_EQ(rep.regs[reg_ip], fl.ip);
        }
    }
}

TEST(SigsegvReport, WriteToReadOnlyPageIsAccessError)
{
    SKIP_WITHOUT_X86();
    const crash_t c = run_fault("readonly");
    ASSERT_EQ(1u, c.notes.size()) << dump(c);
    const std::string addr = c.notes[0].substr(5);
    const report_t rep = check_report(c, 11, "2 (SEGV_ACCERR)", addr);
    ASSERT_EQ(2u, rep.walk.size()) << dump(c);
    frame_line_t fl;
    ASSERT_TRUE(parse_frame(rep.walk[0], 1, &fl)) << rep.walk[0];
    EXPECT_EQ(rep.regs[reg_ip], fl.ip);
    EXPECT_EQ("run_case", fl.symbol);
    ASSERT_TRUE(parse_frame(rep.walk[1], 2, &fl)) << rep.walk[1];
    EXPECT_EQ("main", fl.symbol);
}

TEST(SigsegvReport, SigbusHasTheSameHeading)
{
    SKIP_WITHOUT_X86();
    const crash_t c = run_fault("sigbus");
    ASSERT_EQ(1u, c.notes.size()) << dump(c);
    // BUS_ADRERR is 2, named from the shared table.
    const report_t rep = check_report(c, 7, "2 (SEGV_ACCERR)", c.notes[0].substr(5));
    ASSERT_EQ(2u, rep.walk.size()) << dump(c);
    frame_line_t fl;
    EXPECT_TRUE(parse_frame(rep.walk[0], 1, &fl) && fl.symbol == "run_case") << rep.walk[0];
    EXPECT_TRUE(parse_frame(rep.walk[1], 2, &fl) && fl.symbol == "main") << rep.walk[1];
}

#ifdef HAVE_FRAME_FAULT

TEST(SigsegvWalk, NullFramePointerLogsNoFrames)
{
    const crash_t c = run_fault("bp_null");
    const report_t rep = check_report(c, 11, "1 (SEGV_MAPERR)", "(nil)");
    EXPECT_EQ(0u, rep.regs[reg_bp]);
    EXPECT_TRUE(rep.walk.empty()) << dump(c);
}

TEST(SigsegvWalk, UnmappedOrUnreadableFramePointerEndsTheWalk)
{
    for (const char* name : {"bp_unmapped", "bp_guard"}) {
        SCOPED_TRACE(name);
        const crash_t c = run_fault(name);
        const report_t rep = check_report(c, 11, "1 (SEGV_MAPERR)", "(nil)");
        ASSERT_EQ(2u, rep.walk.size()) << dump(c);
        frame_line_t fl;
        ASSERT_TRUE(parse_frame(rep.walk[0], 1, &fl)) << rep.walk[0];
        EXPECT_EQ("fault_with_frame", fl.symbol);
        char line[128];
        snprintf(line, sizeof line, "<3>  BP(%p) is invalid address! Cannot continue stack trace!\n",
                 reinterpret_cast<void*>(rep.regs[reg_bp]));
        EXPECT_EQ(line, rep.walk[1]);
    }
}

TEST(SigsegvWalk, LoopingChainEnds)
{
    const crash_t c = run_fault("bp_loop");
    const report_t rep = check_report(c, 11, "1 (SEGV_MAPERR)", "(nil)");
    ASSERT_EQ(4u, rep.walk.size()) << dump(c);
    const char* names[] = {"fault_with_frame", "fault_level2", "fault_level3"};
    for (int f = 1; f <= 3; f++) {
        frame_line_t fl;
        ASSERT_TRUE(parse_frame(rep.walk[f - 1], f, &fl)) << rep.walk[f - 1];
        EXPECT_EQ(names[f - 1], fl.symbol);
    }
    // The chain returns to the first frame, the one in the register.
    char line[128];
    snprintf(line, sizeof line, "<3>  BP(%p) is not above the previous frame! Cannot continue stack trace!\n",
             reinterpret_cast<void*>(rep.regs[reg_bp]));
    EXPECT_EQ(line, rep.walk[3]);
}

TEST(SigsegvWalk, LongChainIsCutAt64Frames)
{
    const crash_t c = run_fault("bp_long");
    const report_t rep = check_report(c, 11, "1 (SEGV_MAPERR)", "(nil)");
    ASSERT_EQ(65u, rep.walk.size()) << dump(c);
    for (int f = 2; f <= 64; f++) {
        frame_line_t fl;
        ASSERT_TRUE(parse_frame(rep.walk[f - 1], f, &fl)) << rep.walk[f - 1];
        EXPECT_EQ("fault_level2", fl.symbol);
    }
    EXPECT_EQ("<3>  Stack trace cut after 64 frames!\n", rep.walk[64]);
}

#endif  // HAVE_FRAME_FAULT

TEST(SigsegvReport, StackOverflowIsReported)
{
    SKIP_WITHOUT_X86();
    for (const char* name : {"overflow_thread", "overflow_started", "overflow_main"}) {
        SCOPED_TRACE(name);
        const crash_t c = run_fault(name);
        ASSERT_GE(c.report.size(), 3u) << dump(c);
        // The guard page below a thread's stack gives SEGV_ACCERR, the end of
        // the main thread's stack mapping SEGV_MAPERR.
        const auto value = [](const std::string& r) { return r.substr(19, r.size() - 20); };
        const std::string code = value(c.report[3]);
        EXPECT_TRUE(code == "1 (SEGV_MAPERR)" || code == "2 (SEGV_ACCERR)") << code;
        const report_t rep = check_report(c, 11, code, value(c.report[4]));
        // Thousands of recursive frames: the walk stops at its bound.
        ASSERT_EQ(65u, rep.walk.size()) << dump(c);
        for (int f = 1; f <= 64; f++) {
            frame_line_t fl;
            ASSERT_TRUE(parse_frame(rep.walk[f - 1], f, &fl)) << rep.walk[f - 1];
            EXPECT_EQ("fault_recurse", fl.symbol);
        }
    }
}

// ------------------------------------------------------------ check_address

TEST(SigsegvCheckAddress, NineByteRangeAtPageEnd)
{
    const long ps = getpagesize();
    char* map = static_cast<char*>(page_alloc(2, PROT_READ | PROT_WRITE));
    ASSERT_EQ(0, munmap(map + ps, ps));
    char* end = map + ps;

    errno = 1234;
    EXPECT_EQ(1, check_address(map));
    EXPECT_EQ(1, check_address(end - 16));
    EXPECT_EQ(1, check_address(end - 9));
    EXPECT_EQ(0, check_address(end - 8));  // both words fit, the ninth byte does not
    EXPECT_EQ(0, check_address(end - 1));
    EXPECT_EQ(0, check_address(end + 64));
    EXPECT_EQ(0, check_address(nullptr));
    EXPECT_EQ(1234, errno);
    munmap(map, ps);
}

TEST(SigsegvCheckAddress, MappedButUnreadablePagesAreInvalid)
{
    const long ps = getpagesize();
    // A guard page.
    char* guard = static_cast<char*>(page_alloc(2, PROT_READ | PROT_WRITE));
    ASSERT_EQ(0, mprotect(guard + ps, ps, PROT_NONE));
    errno = EINTR;
    EXPECT_EQ(1, check_address(guard + ps - 16));
    EXPECT_EQ(0, check_address(guard + ps - 8));
    EXPECT_EQ(0, check_address(guard + ps + 8));
    EXPECT_EQ(EINTR, errno);
    munmap(guard, 2 * ps);

    // A file page past the end of its file.
    const int fd = memfd_create("sigsegv_check", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, ps));
    char* map = static_cast<char*>(mmap(nullptr, 2 * ps, PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(MAP_FAILED, map);
    EXPECT_EQ(1, check_address(map + 16));
    EXPECT_EQ(0, check_address(map + ps + 16));
    munmap(map, 2 * ps);
    close(fd);
}

// ------------------------------------------------------ alternate stacks

TEST(SigsegvThreadStack, StartedThreadGetsAndReleasesItsOwnStack)
{
    ASSERT_TRUE(sigsegv_thread_init != nullptr);
    struct result_t {
        stack_t before, after_init, again, after_done;
    } res{};
    auto body = [](void* arg) -> void* {
        auto* r = static_cast<result_t*>(arg);
        sigaltstack(nullptr, &r->before);
        sigsegv_thread_init();
        sigaltstack(nullptr, &r->after_init);
        sigsegv_thread_init();
        sigaltstack(nullptr, &r->again);
        sigsegv_thread_done();
        sigaltstack(nullptr, &r->after_done);
        return nullptr;
    };
    pthread_t th;
    ASSERT_EQ(0, pthread_create(&th, nullptr, body, &res));
    ASSERT_EQ(0, pthread_join(th, nullptr));
    EXPECT_FALSE(res.after_init.ss_flags & SS_DISABLE);
    EXPECT_EQ(res.after_init.ss_sp, res.again.ss_sp);  // a second call keeps the first stack
    if (res.before.ss_flags & SS_DISABLE) {
        EXPECT_GE(res.after_init.ss_size, 64u * 1024);
        EXPECT_TRUE(res.after_done.ss_flags & SS_DISABLE);
    } else {
        // A sanitizer runtime gave the thread one: it serves and stays.
        EXPECT_EQ(res.before.ss_sp, res.after_init.ss_sp);
        EXPECT_EQ(res.before.ss_sp, res.after_done.ss_sp);
        EXPECT_FALSE(res.after_done.ss_flags & SS_DISABLE);
    }
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--fault") == 0) {
        // Called from main itself, so the walk's last frame is main.
        if (strcmp(argv[2], "null3") == 0)
            return fault_level3(1);
        return run_case(argv[2]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
