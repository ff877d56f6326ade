// Crash reporter: real faults in children (this executable run again with
// "--fault <case>", so the walk ends at a real `main`), the report read back
// line by line. The syslog functions here replace libc's and, in a child,
// write each record as a line on standard output.
#include <gtest/gtest.h>

#include <fnmatch.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <sstream>

#include "process.h"
#include "sigsegv.h"
#include "threads.h"

namespace {
// One write per record, built without the heap: the handler calls it.
void record(const char* fmt, ...)
{
    // Asked at the first record: the reporter's constructor may log before
    // this file's globals are set up.
    static const bool child = getenv("SIGSEGV_TEST_CHILD") != nullptr;
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::clamp(vsnprintf(buf, sizeof buf, fmt, ap), 0, static_cast<int>(sizeof buf) - 1);
    va_end(ap);
    if (child)
        (void)!write(STDOUT_FILENO, buf, n);
}

void vlog(int pri, const char* fmt, va_list ap)
{
    char text[900];
    record("<%d>%s", pri, (vsnprintf(text, sizeof text, fmt, ap), text));
}
}  // namespace

extern "C" {
void openlog(const char* ident, int opt, int facility) { record("openlog %s %d %d\n", ident, opt, facility); }
void closelog(void) { record("closelog\n"); }
void syslog(int pri, const char* fmt, ...) { va_list ap; va_start(ap, fmt); vlog(pri, fmt, ap); va_end(ap); }
// Taken instead of syslog when the build fortifies.
void __syslog_chk(int pri, int, const char* fmt, ...) { va_list ap; va_start(ap, fmt); vlog(pri, fmt, ap); va_end(ap); }
}

#if defined(__x86_64__) || defined(__aarch64__)

int* volatile null_target = nullptr;

// extern "C" keeps the names that dladdr reports plain; noipa keeps every
// call a call.
extern "C" {
__attribute__((noipa)) int fault_pass(int x) { return x; }
// Calls out before it faults: a leaf that needs no stack gets no frame of its
// own, and the walk would miss the caller. UBSan must not stop the store.
__attribute__((noipa, no_sanitize("undefined"))) int fault_level1(int x) { return *null_target = fault_pass(x); }
__attribute__((noipa)) int fault_level2(int x) { return fault_level1(x + 1) + 1; }
__attribute__((noipa)) int fault_level3(int x) { return fault_level2(x + 1) + 1; }

#if defined(__x86_64__)
constexpr int kRegisters = NGREG;
constexpr const char* kHeading = "<3>Stack trace (X86):";
volatile int recursion_limit = INT_MAX;

// Uninstrumented: under a sanitizer the overflow could otherwise land in its
// runtime, and the first frame would not be this function.
__attribute__((noipa, no_sanitize("address", "thread"))) int fault_recurse(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return depth == recursion_limit ? 0 : fault_recurse(depth + 1) + pad[0];
}

// Installs its argument as the frame pointer and writes to address 0: a real
// fault with a chosen frame chain.
void fault_with_frame(void* bp);
asm(".text\n.globl fault_with_frame\n.type fault_with_frame, @function\nfault_with_frame:\n"
    "movq %rdi, %rbp\nmovl $0, 0\nud2\n.size fault_with_frame, .-fault_with_frame\n");

struct frame_t {
    frame_t* next;
    void* ret;
};

// Runs in the child; notes the address the report must name, then faults.
__attribute__((noipa)) int run_case(const char* name_arg)
{
    static frame_t frames[100];
    const std::string name = name_arg;
    void* const ret = reinterpret_cast<char*>(fault_level2) + 1;
    const long ps = getpagesize();
    auto map = [&](int pages, int prot, int flags = MAP_PRIVATE | MAP_ANONYMOUS, int fd = -1) {
        return static_cast<char*>(mmap(nullptr, pages * ps, prot, flags, fd, 0));
    };
    auto note = [](void* p) { return printf("note %p\n", p), fflush(stdout), static_cast<char*>(p); };
    if (name == "readonly")
        *static_cast<volatile char*>(note(map(1, PROT_READ))) = 1;
    if (name == "sigbus")  // a file page past the end of its file
        return *static_cast<volatile char*>(note(map(1, PROT_READ, MAP_SHARED, memfd_create("t", 0))));
    if (name == "bp_null")
        fault_with_frame(nullptr);
    if (name.rfind("bp_end", 0) == 0) {  // a frame N bytes before an unmapped page
        char* page = map(2, PROT_READ | PROT_WRITE);
        munmap(page + ps, ps);
        auto* f = reinterpret_cast<frame_t*>(note(page + ps - atoi(name.c_str() + 6)));
        if (name == "bp_end16")
            *f = {nullptr, ret};
        fault_with_frame(f);
    }
    if (name == "bp_guard")
        fault_with_frame(note(map(1, PROT_NONE) + 64));
    if (name == "bp_loop") {  // two frames that name each other
        frames[0] = {&frames[1], ret};
        frames[1] = {&frames[0], ret};
        fault_with_frame(note(&frames[0]));
    }
    if (name == "bp_long") {  // a well-formed chain longer than any real one
        for (int i = 0; i < 100; i++)
            frames[i] = {i + 1 < 100 ? &frames[i + 1] : nullptr, ret};
        fault_with_frame(&frames[0]);
    }
    if (name == "overflow_started") {  // thread_start gives the thread its alternate stack
        static thread_t t;
        threads_init(), thread_init(&t, "overflow");
        thread_start(&t, [](void*) -> void* { return fault_recurse(0), nullptr; }, nullptr);
        thread_join(&t);
    }
    if (name == "overflow_main")
        fault_recurse(0);
    return 4;
}
#else
constexpr int kRegisters = 34;  // x0-x30, sp, pc, pstate
constexpr const char* kHeading = "<3>Stack trace (AArch64):";
int run_case(const char*) { return 4; }
#endif
}  // extern "C"

namespace {

template <class... A>
std::string format(const char* fmt, A... a)
{
    char buf[512];
    return snprintf(buf, sizeof buf, fmt, a...), buf;
}

// si_code as the report shows it: number and name.
#define CODE(c) std::to_string(c) + " (" #c ")"

// The expected report, as shell patterns; `note` stands for the address the
// child noted.
struct case_t {
    const char* name;
    std::vector<std::string> frames;
    const char* tail = nullptr;  // the line that ends the walk
    const char* fill = nullptr;  // the symbol of the further frames, up to the cut at 64
    int signo = SIGSEGV;
    std::string code = CODE(SEGV_MAPERR);
    const char* addr = "(nil)";
};
constexpr const char* kInvalid = "  BP(note) is invalid address! Cannot continue stack trace!";
constexpr const char* kNotAbove = "  BP(note) is not above the previous frame! Cannot continue stack trace!";
constexpr const char* kCut = "  Stack trace cut after 64 frames!";

// Runs the case in a child and matches every line of its report.
void check(const case_t& k)
{
    SCOPED_TRACE(k.name);
    const char* exe = "/proc/self/exe";  // dladdr names the main program by its argv[0]
    setenv("SIGSEGV_TEST_CHILD", "1", 1);
    Child c({exe, "--fault", k.name}, true);
    EXPECT_EQ(255, c.wait_exit(std::chrono::seconds(60))) << c.errors();
    std::vector<std::string> got;
    std::string note = "-";
    std::istringstream out(c.output());
    for (std::string line; std::getline(out, line);)
        if (line.rfind("note ", 0) == 0)
            note = line.substr(5);
        else if (line[0] == '<' || line.rfind("openlog ", 0) == 0 || line == "closelog")  // not the child's stdio
            got.push_back(line);
    auto noted = [&](std::string s) { return s.find("note") != s.npos ? s.replace(s.find("note"), 4, note) : s; };

    std::vector<std::string> want = {"openlog velmor 0 24", "<7>Logger is attached", "<3>Segmentation Fault!",
                                     "<3>info.si_signo = " + std::to_string(k.signo), "<3>info.si_errno = 0",
                                     "<3>info.si_code  = " + k.code, noted("<3>info.si_addr  = " + std::string(k.addr))};
    for (int i = 0; i < kRegisters; i++)
        want.push_back(format("<3>reg\\[%02d]       = 0x????????????????", i));
    want.push_back(kHeading);
    std::vector<std::string> frames = k.frames;
    while (k.fill != nullptr && frames.size() < 64)
        frames.push_back(k.fill);
    for (size_t f = 0; f < frames.size(); f++)
        want.push_back(format("<3>% 2d: 0x[0-9a-f]* <%s+[0-9]*> (%s)", static_cast<int>(f + 1), frames[f].c_str(), exe));
    if (k.tail != nullptr)
        want.push_back(noted("<3>" + std::string(k.tail)));
    want.insert(want.end(), {"<3>End of stack trace.", "closelog"});
    for (size_t i = 0; i < std::max(got.size(), want.size()); i++)
        ASSERT_TRUE(i < got.size() && i < want.size() && fnmatch(want[i].c_str(), got[i].c_str(), 0) == 0)
            << "line " << i << ": " << (i < got.size() ? got[i] : "-") << "\nwanted: " << (i < want.size() ? want[i] : "-");
}

}  // namespace

TEST(SigsegvReport, FaultsAndFrameChains)
{
    const case_t cases[] = {
        {"null3", {"fault_level1", "fault_level2", "fault_level3", "main"}},
#if defined(__x86_64__)
        {"readonly", {"run_case", "main"}, nullptr, nullptr, SIGSEGV, CODE(SEGV_ACCERR), "note"},
        {"sigbus", {"run_case", "main"}, nullptr, nullptr, SIGBUS, CODE(BUS_ADRERR), "note"},
        {"bp_null", {}},
        // A frame pointer must be aligned, and readable for its two words and
        // one byte more; a mapped page need not be readable.
        {"bp_end16", {"fault_with_frame"}},
        {"bp_end8", {"fault_with_frame"}, kInvalid},
        {"bp_end12", {"fault_with_frame"}, kInvalid},
        {"bp_guard", {"fault_with_frame"}, kInvalid},
        // A chain that loops, or goes on and on, still ends the report.
        {"bp_loop", {"fault_with_frame", "fault_level2", "fault_level2"}, kNotAbove},
        {"bp_long", {"fault_with_frame"}, kCut, "fault_level2"},
        // Thousands of recursive frames: reported from the alternate stack.
        // (A guard page, or the end of the stack's mapping.)
        {"overflow_started", {}, kCut, "fault_recurse", SIGSEGV, "? (SEGV_???ERR)", "*"},
        {"overflow_main", {}, kCut, "fault_recurse", SIGSEGV, "? (SEGV_???ERR)", "*"},
#endif
    };
    for (const auto& k : cases)
        check(k);
}

#endif

// One-page inaccessible mappings: each alternate stack has one below it.
int guard_pages()
{
    int n = 0;
    char line[512], perms[8];
    FILE* maps = fopen("/proc/self/maps", "r");
    for (unsigned long lo, hi; maps != nullptr && fgets(line, sizeof line, maps) != nullptr;)
        n += sscanf(line, "%lx-%lx %7s", &lo, &hi, perms) == 3 && strcmp(perms, "---p") == 0 &&
             hi - lo == static_cast<unsigned long>(getpagesize());
    return maps != nullptr ? fclose(maps) : 0, n;
}

// A thread's alternate stack is made once, and released when the thread ends.
TEST(SigsegvThreadStack, MadeOnceAndReleasedWithTheThread)
{
    static stack_t first, again;
    const int before = guard_pages();
    for (int i = 0; i < 50; i++) {
        pthread_t th;
        ASSERT_EQ(0, pthread_create(&th, nullptr, [](void*) -> void* {
            sigsegv_thread_init();
            sigaltstack(nullptr, &first);
            sigsegv_thread_init();
            return sigaltstack(nullptr, &again), nullptr;
        }, nullptr));
        ASSERT_EQ(0, pthread_join(th, nullptr));
        ASSERT_FALSE(first.ss_flags & SS_DISABLE);
        ASSERT_EQ(first.ss_sp, again.ss_sp);
    }
    EXPECT_LT(guard_pages() - before, 10);  // 50 if every thread kept its stack
}

int main(int argc, char** argv)
{
#if defined(__x86_64__) || defined(__aarch64__)
    // From main itself, so the walk ends at main (not a tail call: that
    // would leave main out).
    if (argc == 3 && strcmp(argv[1], "--fault") == 0)
        return (strcmp(argv[2], "null3") == 0 ? fault_level3(1) : run_case(argv[2])) - 1;
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
