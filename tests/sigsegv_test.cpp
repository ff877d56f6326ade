// Crash reporter: real faults in child processes, the report read back line
// by line. The children are this executable run again with "--fault <case>"
// (see main), so the walk ends at a real `main` built with frame pointers.
// The openlog/syslog/closelog defined here take the place of libc's and, in
// a child, write each record as a line on standard output.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "sigsegv.h"
#include "threads.h"

namespace {
// Asked at the first record: the reporter's constructor may log before this
// file's globals are set up.
bool child()
{
    static const bool is_child = getenv("SIGSEGV_TEST_CHILD") != nullptr;
    return is_child;
}
void vlog(int pri, const char* fmt, va_list ap) { child() && dprintf(1, "<%d>", pri) && vdprintf(1, fmt, ap); }
}  // namespace

extern "C" {
void openlog(const char* ident, int opt, int facility) { child() && dprintf(1, "openlog %s %d %d\n", ident, opt, facility); }
void closelog(void) { child() && dprintf(1, "closelog\n"); }
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
}

#if defined(__x86_64__)

int* volatile null_target = nullptr;
volatile int recursion_limit = INT_MAX;

// extern "C" keeps the names that dladdr reports plain; noipa keeps every
// call a call.
extern "C" {
__attribute__((noipa)) int fault_pass(int x) { return x; }
// Calls out before it faults: a leaf that needs no stack gets no frame of its
// own, and the walk would miss the caller. UBSan must not stop the store.
__attribute__((noipa, no_sanitize("undefined"))) int fault_level1(int x) { return *null_target = fault_pass(x); }
__attribute__((noipa)) int fault_level2(int x) { return fault_level1(x + 1) + 1; }
__attribute__((noipa)) int fault_level3(int x) { return fault_level2(x + 1) + 1; }
__attribute__((noipa)) int fault_recurse(int depth)
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
}  // extern "C"

namespace {

std::string lit(const std::string& s) { return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"); }

template <class... A>
std::string format(const char* fmt, A... a)
{
    char buf[512];
    return snprintf(buf, sizeof buf, fmt, a...), buf;
}

// The expected report, a pattern per line.
struct case_t {
    const char* name;
    std::vector<std::string> frames;
    const char* tail = nullptr;  // the line that ends the walk, naming the noted frame pointer
    const char* fill = nullptr;  // the symbol of the further frames, up to the cut at 64
    const char* signo = "11";
    const char* code = R"(1 \(SEGV_MAPERR\))";
    const char* addr = R"(\(nil\))";  // null: the noted address
};
constexpr const char* kInvalid = "  BP(%s) is invalid address! Cannot continue stack trace!";
constexpr const char* kNotAbove = "  BP(%s) is not above the previous frame! Cannot continue stack trace!";
constexpr const char* kCut = "  Stack trace cut after 64 frames!";
constexpr const char* kOverflow = R"([12] \(SEGV_(MAPERR|ACCERR)\))";  // a guard page, or the stack's end

// Runs the case in a child and matches every line of its report.
void check(const case_t& k)
{
    SCOPED_TRACE(k.name);
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    setenv("SIGSEGV_TEST_CHILD", "1", 1);
    Child c({exe, "--fault", k.name}, true);
    EXPECT_EQ(255, c.wait_exit(std::chrono::seconds(60))) << c.errors();
    std::vector<std::string> got;
    std::string note;
    std::istringstream out(c.output());
    for (std::string line; std::getline(out, line);)
        line.rfind("note ", 0) == 0 ? void(note = line.substr(5)) : got.push_back(line);

    std::vector<std::string> want = {lit("openlog velmor 0 24"), lit("<3>Logger is attached"),
                                     lit("<3>Segmentation Fault!"), lit("<3>info.si_signo = ") + k.signo,
                                     lit("<3>info.si_errno = 0"), lit("<3>info.si_code  = ") + k.code,
                                     lit("<3>info.si_addr  = ") + (k.addr ? k.addr : lit(note))};
    for (int i = 0; i < NGREG; i++)
        want.push_back(lit(format("<3>reg[%02d]       = 0x", i)) + "[0-9a-f]{16}");
    want.push_back(lit("<3>Stack trace (X86):"));
    std::vector<std::string> frames = k.frames;
    while (k.fill != nullptr && frames.size() < 64)
        frames.push_back(k.fill);
    for (size_t f = 0; f < frames.size(); f++)
        want.push_back(lit(format("<3>% 2d: ", static_cast<int>(f + 1))) + "0x[0-9a-f]+ " + lit("<" + frames[f] + "+") +
                       R"(\d+)" + lit(format("> (%s)", exe)));
    if (k.tail != nullptr)
        want.push_back(lit("<3>" + format(k.tail, note.c_str())));
    want.insert(want.end(), {lit("<3>End of stack trace."), "closelog"});
    for (size_t i = 0; i < std::max(got.size(), want.size()); i++)
        ASSERT_TRUE(i < got.size() && i < want.size() && std::regex_match(got[i], std::regex(want[i])))
            << "line " << i << ": " << (i < got.size() ? got[i] : "-") << "\nwanted: " << (i < want.size() ? want[i] : "-");
}

}  // namespace

TEST(SigsegvReport, FaultsAndFrameChains)
{
    const case_t cases[] = {
        {"null3", {"fault_level1", "fault_level2", "fault_level3", "main"}},
        {"readonly", {"run_case", "main"}, nullptr, nullptr, "11", R"(2 \(SEGV_ACCERR\))", nullptr},
        {"sigbus", {"run_case", "main"}, nullptr, nullptr, "7", R"(2 \(BUS_ADRERR\))", nullptr},
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
        {"overflow_started", {}, kCut, "fault_recurse", "11", kOverflow, ".*"},
        {"overflow_main", {}, kCut, "fault_recurse", "11", kOverflow, ".*"},
    };
    for (const auto& k : cases)
        check(k);
}

#endif  // x86-64

// A thread's alternate stack is made once and unmapped when the thread ends.
TEST(SigsegvThreadStack, MadeOnceAndReleasedWithTheThread)
{
    static stack_t before, first, again;
    pthread_t th;
    ASSERT_EQ(0, pthread_create(&th, nullptr, [](void*) -> void* {
        sigaltstack(nullptr, &before);
        sigsegv_thread_init();
        sigaltstack(nullptr, &first);
        sigsegv_thread_init();
        sigaltstack(nullptr, &again);
        return nullptr;
    }, nullptr));
    ASSERT_EQ(0, pthread_join(th, nullptr));
    EXPECT_FALSE(first.ss_flags & SS_DISABLE);
    EXPECT_EQ(first.ss_sp, again.ss_sp);
    if (before.ss_flags & SS_DISABLE) {  // ours, not a sanitizer runtime's
        EXPECT_GE(first.ss_size, 64u * 1024);
        EXPECT_EQ(-1, msync(first.ss_sp, first.ss_size, MS_ASYNC));
        EXPECT_EQ(ENOMEM, errno);
    }
}

int main(int argc, char** argv)
{
#if defined(__x86_64__)
    if (argc == 3 && strcmp(argv[1], "--fault") == 0)  // from main itself, so the walk ends at main
        return strcmp(argv[2], "null3") == 0 ? fault_level3(1) : run_case(argv[2]);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
