// Crash reporter: real faults in child processes, the report read back line
// by line. The children are this executable run again with "--fault <case>"
// (see main), so the walk ends at a real `main` built with frame pointers.
// openlog/syslog/closelog defined here take the place of libc's for the
// reporter linked into this executable and write each record to the
// descriptor named by SIGSEGV_TEST_LOG_FD; the machine's log is never touched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/ucontext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

namespace {

constexpr char record_end = '\x1e';

void vrecord(const char* fmt, va_list ap)
{
    static const int fd = getenv("SIGSEGV_TEST_LOG_FD") ? atoi(getenv("SIGSEGV_TEST_LOG_FD")) : -1;
    char buf[1024];
    int n = std::clamp(vsnprintf(buf, sizeof buf - 1, fmt, ap), 0, static_cast<int>(sizeof buf) - 2);
    buf[n++] = record_end;
    if (fd >= 0)
        (void)!write(fd, buf, n);  // one write per record keeps records whole
}

// A record; "note ..." records are the child's words about its own memory.
void record(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vrecord(fmt, ap);
    va_end(ap);
}

void vlog(int pri, const char* fmt, va_list ap)
{
    char text[900];
    vsnprintf(text, sizeof text, fmt, ap);
    record("<%d>%s", pri, text);
}

}  // namespace

extern "C" {
void openlog(const char* ident, int option, int facility) { record("openlog %s %d %d", ident, option, facility); }
void syslog(int pri, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog(pri, fmt, ap);
    va_end(ap);
}
// Taken instead of syslog when the build fortifies.
void __syslog_chk(int pri, int, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog(pri, fmt, ap);
    va_end(ap);
}
void closelog(void) { record("closelog"); }
}

namespace {

void* page_alloc(size_t pages, int prot)
{
    void* p = mmap(nullptr, pages * getpagesize(), prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        _exit(2);
    return p;
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)

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
// of its own, and the walk would miss the caller. UBSan must not stop the
// null store first.
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
constexpr int report_regs = 23, reg_ip = REG_RIP, reg_bp = REG_RBP;
#else
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
constexpr int report_regs = 19, reg_ip = REG_EIP, reg_bp = REG_EBP;
#endif

struct frame_t {
    frame_t* next;
    void* ret;
};

void* code_address(int (*fn)(int))
{
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(fn) + 1);
}

// Runs in the child; returns only if the case did not fault.
extern "C" NOIPA int run_case(const std::string& name)
{
    static frame_t frames[100];
    if (name == "readonly") {
        auto* page = static_cast<volatile int*>(page_alloc(1, PROT_READ));
        record("note %p", const_cast<int*>(page));
        *page = 1;
    } else if (name == "sigbus") {
        // A file page past the end of its file.
        auto* map = static_cast<volatile int*>(
            mmap(nullptr, getpagesize(), PROT_READ, MAP_SHARED, memfd_create("sigsegv_test", 0), 0));
        record("note %p", const_cast<int*>(map));
        return map[0];
    } else if (name == "bp_null") {
        fault_with_frame(nullptr);
    } else if (name == "bp_unmapped") {
        char* page = static_cast<char*>(page_alloc(1, PROT_READ | PROT_WRITE));
        munmap(page, getpagesize());
        fault_with_frame(page + 64);
    } else if (name == "bp_guard") {
        fault_with_frame(static_cast<char*>(page_alloc(1, PROT_NONE)) + 64);
    } else if (name == "bp_loop") {  // two frames that name each other
        frames[0] = {&frames[1], code_address(fault_level2)};
        frames[1] = {&frames[0], code_address(fault_level3)};
        fault_with_frame(&frames[0]);
    } else if (name == "bp_long") {  // a well-formed chain longer than any real one
        for (int i = 0; i < 100; i++)
            frames[i] = {i + 1 < 100 ? &frames[i + 1] : nullptr, code_address(fault_level2)};
        fault_with_frame(&frames[0]);
    } else if (name == "overflow_started") {  // thread_start gives the thread its alternate stack
        threads_init();
        static thread_t t;
        thread_init(&t, "overflow");
        thread_start(&t, [](void*) -> void* { return fault_recurse(0), nullptr; }, nullptr);
        thread_join(&t);
    } else if (name == "overflow_main") {
        fault_recurse(0);
    }
    return 4;
}

namespace {

std::string self_path()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, n) : std::string();
}

struct crash_t {
    int status = -1;
    std::vector<std::string> records, notes;
    std::string dump() const
    {
        std::string s = "status " + std::to_string(status) + "\n";
        for (const auto& r : records)
            s += "  [" + r + "]\n";
        return s;
    }
};

void run_fault(const char* name, crash_t* c)
{
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 3);
    setenv("SIGSEGV_TEST_LOG_FD", "3", 1);  // our own sink read it before main
    const std::string exe = self_path();
    const char* argv[] = {exe.c_str(), "--fault", name, nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    ASSERT_EQ(0, rc) << strerror(rc);

    std::string out;
    char buf[4096];
    for (ssize_t n = 1; n != 0;) {
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, 60000);
        if (ready == 0) {
            ADD_FAILURE() << "case " << name << " stalled for 60 s";
            kill(pid, SIGKILL);
            break;
        }
        if (ready > 0 && (n = read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, n);
        else if (ready > 0 && n < 0 && errno != EINTR)
            break;
    }
    close(fds[0]);
    while (waitpid(pid, &c->status, 0) < 0 && errno == EINTR) {
    }
    size_t start = 0;
    for (size_t end; (end = out.find(record_end, start)) != std::string::npos; start = end + 1) {
        const std::string r = out.substr(start, end - start);
        if (r.rfind("note ", 0) == 0)
            c->notes.push_back(r.substr(5));
        else
            c->records.push_back(r);
    }
}

constexpr const char* kMapErr = "1 (SEGV_MAPERR)";
constexpr const char* kInvalid = "<3>  BP(%p) is invalid address! Cannot continue stack trace!\n";
constexpr const char* kNotAbove = "<3>  BP(%p) is not above the previous frame! Cannot continue stack trace!\n";
constexpr const char* kCut = "<3>  Stack trace cut after 64 frames!\n";

struct case_t {
    const char* name;
    int signo;
    const char* code;  // null: either code a stack overflow may give
    const char* addr;  // null: the address the child noted; "": any
    std::vector<std::string> frames;
    const char* fill = nullptr;  // the symbol of the further frames, up to the cut at 64
    const char* tail = nullptr;  // the line that ends the walk, with the frame pointer register
};

// Runs the case and checks the whole report byte for byte, except the values
// of the registers and code addresses.
void check(const case_t& k)
{
    SCOPED_TRACE(k.name);
    crash_t c;
    ASSERT_NO_FATAL_FAILURE(run_fault(k.name, &c));
    const auto& r = c.records;
    EXPECT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 255) << c.dump();
    const size_t head = 2 + 5 + report_regs + 1;  // the constructor's two, info, registers, heading
    ASSERT_GE(r.size(), head + 2) << c.dump();
    EXPECT_EQ("openlog velmor 0 24", r[0]);
    EXPECT_EQ("<3>Logger is attached\n", r[1]);
    EXPECT_EQ("<3>Segmentation Fault!\n", r[2]);
    EXPECT_EQ("<3>info.si_signo = " + std::to_string(k.signo) + "\n", r[3]);
    EXPECT_EQ("<3>info.si_errno = 0\n", r[4]);
    const std::string code = r[5].substr(0, 19) == "<3>info.si_code  = " ? r[5].substr(19) : "";
    // A stack overflow hits the guard page below a thread's stack, or the end
    // of the main stack's mapping.
    EXPECT_TRUE(k.code ? code == std::string(k.code) + "\n" : code == "1 (SEGV_MAPERR)\n" || code == "2 (SEGV_ACCERR)\n")
        << code;
    const std::string addr = k.addr == nullptr ? (c.notes.empty() ? "?" : c.notes[0]) : k.addr;
    EXPECT_TRUE(addr.empty() || r[6] == "<3>info.si_addr  = " + addr + "\n") << r[6];

    // Variable fields are read from the line, and the line is rebuilt around them.
    char want[1024];
    std::vector<unsigned long long> regs;
    for (int i = 0; i < report_regs; i++) {
        const size_t at = r[7 + i].find("= 0x");
        regs.push_back(at == std::string::npos ? 0 : strtoull(r[7 + i].c_str() + at + 4, nullptr, 16));
        snprintf(want, sizeof want, "<3>reg[%02d]       = 0x%0*llx\n", i, static_cast<int>(2 * sizeof(void*)), regs[i]);
        EXPECT_EQ(want, r[7 + i]);
    }
    EXPECT_EQ("<3>Stack trace (X86):\n", r[head - 1]);
    EXPECT_EQ("<3>End of stack trace.\n", r[r.size() - 2]);
    EXPECT_EQ("closelog", r.back());

    std::vector<std::string> names = k.frames;
    while (k.fill != nullptr && names.size() < 64)
        names.push_back(k.fill);
    const std::vector<std::string> walk(r.begin() + head, r.end() - 2);
    ASSERT_EQ(names.size() + (k.tail != nullptr), walk.size()) << c.dump();
    for (size_t f = 0; f < names.size(); f++) {
        unsigned long long ip = 0;
        unsigned long offset = 0;
        sscanf(walk[f].c_str(), "%*[^x]x%llx <%*[^+]+%lu>", &ip, &offset);
        snprintf(want, sizeof want, "<3>% 2d: %p <%s+%lu> (%s)\n", static_cast<int>(f + 1), reinterpret_cast<void*>(ip),
                 names[f].c_str(), offset, self_path().c_str());
        EXPECT_EQ(want, walk[f]);
        EXPECT_TRUE(f > 0 || ip == regs[reg_ip]) << "frame 1 is not the faulting instruction";
    }
    if (k.tail != nullptr) {
        snprintf(want, sizeof want, k.tail, reinterpret_cast<void*>(regs[reg_bp]));
        EXPECT_EQ(want, walk.back());
    }
}

}  // namespace

TEST(SigsegvReport, FaultsAndFrameChains)
{
    const case_t cases[] = {
        {"null3", 11, kMapErr, "(nil)", {"fault_level1", "fault_level2", "fault_level3", "main"}},
        {"readonly", 11, "2 (SEGV_ACCERR)", nullptr, {"run_case", "main"}},
        // BUS_ADRERR is 2, named from the shared table.
        {"sigbus", 7, "2 (SEGV_ACCERR)", nullptr, {"run_case", "main"}},
        {"bp_null", 11, kMapErr, "(nil)", {}},
        {"bp_unmapped", 11, kMapErr, "(nil)", {"fault_with_frame"}, nullptr, kInvalid},
        {"bp_guard", 11, kMapErr, "(nil)", {"fault_with_frame"}, nullptr, kInvalid},
        {"bp_loop", 11, kMapErr, "(nil)", {"fault_with_frame", "fault_level2", "fault_level3"}, nullptr, kNotAbove},
        {"bp_long", 11, kMapErr, "(nil)", {"fault_with_frame"}, "fault_level2", kCut},
    };
    for (const auto& k : cases)
        check(k);
}

// Thousands of recursive frames: reported from the alternate stack, the walk
// stopping at its bound.
TEST(SigsegvReport, StackOverflow)
{
    for (const char* name : {"overflow_started", "overflow_main"})
        check({name, 11, nullptr, "", {}, "fault_recurse", kCut});
}

#endif  // x86

TEST(SigsegvCheckAddress, NineReadableBytes)
{
    const long ps = getpagesize();
    // Pages: readable, unmapped, readable, guard.
    char* map = static_cast<char*>(page_alloc(4, PROT_READ | PROT_WRITE));
    ASSERT_EQ(0, munmap(map + ps, ps));
    ASSERT_EQ(0, mprotect(map + 3 * ps, ps, PROT_NONE));
    // A file page past the end of its file.
    const int fd = memfd_create("sigsegv_check", 0);
    ASSERT_EQ(0, ftruncate(fd, ps));
    char* file = static_cast<char*>(mmap(nullptr, 2 * ps, PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(MAP_FAILED, file);
    const struct {
        char* p;
        int valid;
    } probes[] = {
        {map, 1}, {map + ps - 9, 1}, {map + ps - 8, 0},  // both words fit, the ninth byte does not
        {map + ps - 1, 0}, {map + ps + 64, 0}, {nullptr, 0},
        {map + 3 * ps - 16, 1}, {map + 3 * ps - 8, 0}, {map + 3 * ps + 8, 0},
        {file + 16, 1}, {file + ps + 16, 0},
    };
    for (const auto& probe : probes) {
        errno = EINTR;
        EXPECT_EQ(probe.valid, check_address(probe.p)) << static_cast<void*>(probe.p) << " in " << static_cast<void*>(map);
        EXPECT_EQ(EINTR, errno);
    }
    munmap(map, ps);
    munmap(map + 2 * ps, 2 * ps);
    munmap(file, 2 * ps);
    close(fd);
}

TEST(SigsegvThreadStack, StartedThreadGetsAndReleasesItsOwnStack)
{
    ASSERT_TRUE(sigsegv_thread_init != nullptr);
    static stack_t before, after_init, again, after_done;
    pthread_t th;
    ASSERT_EQ(0, pthread_create(&th, nullptr, [](void*) -> void* {
        sigaltstack(nullptr, &before);
        sigsegv_thread_init();
        sigaltstack(nullptr, &after_init);
        sigsegv_thread_init();
        sigaltstack(nullptr, &again);
        sigsegv_thread_done();
        sigaltstack(nullptr, &after_done);
        return nullptr;
    }, nullptr));
    ASSERT_EQ(0, pthread_join(th, nullptr));
    EXPECT_FALSE(after_init.ss_flags & SS_DISABLE);
    EXPECT_EQ(after_init.ss_sp, again.ss_sp);  // a second call keeps the first stack
    if (before.ss_flags & SS_DISABLE) {
        EXPECT_GE(after_init.ss_size, 64u * 1024);
        EXPECT_TRUE(after_done.ss_flags & SS_DISABLE);
    } else {  // a sanitizer runtime gave the thread one: it serves and stays
        EXPECT_EQ(before.ss_sp, after_init.ss_sp);
        EXPECT_EQ(before.ss_sp, after_done.ss_sp);
        EXPECT_FALSE(after_done.ss_flags & SS_DISABLE);
    }
}

int main(int argc, char** argv)
{
#if defined(__x86_64__) || defined(__i386__)
    if (argc == 3 && strcmp(argv[1], "--fault") == 0)  // from main itself, so the walk ends at main
        return strcmp(argv[2], "null3") == 0 ? fault_level3(1) : run_case(argv[2]);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
