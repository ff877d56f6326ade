// Crash reporter: turns SIGSEGV and SIGBUS into a report in the system log
// (signal information, registers, frame-pointer stack trace named through
// dladdr) and ends the process with status 255. Installed by the program's
// only static constructor, so faults during start-up are reported as well.
#include "sigsegv.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The display's console restore (fbuffer), async-signal-safe; weak, so that
// the handler needs nothing of the program where it has no display.
void fb_restore_console(void) __attribute__((weak));

namespace {

// Written once by the constructor, read by check_address.
int page_size;

// Names of si_code, a table per signal: the same number means different
// things for SIGSEGV and SIGBUS.
constexpr const char* segv_codes[] = {"", "SEGV_MAPERR", "SEGV_ACCERR", "SEGV_BNDERR", "SEGV_PKUERR"};
constexpr const char* bus_codes[] = {"", "BUS_ADRALN", "BUS_ADRERR", "BUS_OBJERR", "BUS_MCEERR_AR", "BUS_MCEERR_AO"};
static_assert(SEGV_PKUERR == 4 && BUS_MCEERR_AO == 5, "the tables follow <signal.h>");

// The handler logs through syslog and dladdr, which need more than the
// kernel's minimum signal stack; a stack overflow leaves it nothing else.
constexpr size_t alt_stack_size = 64 * 1024;

// The bytes of a frame that check_address vouches for: both words of an
// i386 frame and one more, so a frame that ends a page exactly counts as
// invalid. With pointer alignment of the frame pointer this also covers the
// 16-byte frames of 64-bit processors.
constexpr size_t frame_probe = 9;

[[maybe_unused]] int check_address(void* ptr);  // only the frame walk asks
void signal_segv(int signum, siginfo_t* info, void* ptr);

template <size_t N>
const char* table_name(const char* const (&table)[N], int code)
{
    return code >= 0 && static_cast<size_t>(code) < N ? table[code] : nullptr;
}

const char* si_code_name(int signum, int code)
{
    if (const char* name = signum == SIGBUS ? table_name(bus_codes, code) : table_name(segv_codes, code))
        return name;
    switch (code) {
    case SI_KERNEL:  // x86: general protection, e.g. a non-canonical address
        return "SI_KERNEL";
    case SI_TKILL:
        return "SI_TKILL";
    case SI_QUEUE:
        return "SI_QUEUE";
    }
    return "?";
}

// Registers of the interrupted thread and the two that start the walk.
#if defined(__x86_64__)
#define SIGSEGV_HAVE_WALK 1
constexpr const char* stack_heading = "Stack trace (X86):\n";

void log_registers(const ucontext_t* uc)
{
    for (int i = 0; i < NGREG; i++)
        syslog(LOG_ERR, "reg[%02d]       = 0x%016llx\n", i,
               static_cast<unsigned long long>(uc->uc_mcontext.gregs[i]));
}
void* context_ip(const ucontext_t* uc) { return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]); }
void** context_bp(const ucontext_t* uc) { return reinterpret_cast<void**>(uc->uc_mcontext.gregs[REG_RBP]); }

#elif defined(__i386__)
#define SIGSEGV_HAVE_WALK 1
constexpr const char* stack_heading = "Stack trace (X86):\n";

void log_registers(const ucontext_t* uc)
{
    for (int i = 0; i < NGREG; i++)
        syslog(LOG_ERR, "reg[%02d]       = 0x%08x\n", i, static_cast<unsigned>(uc->uc_mcontext.gregs[i]));
}
void* context_ip(const ucontext_t* uc) { return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_EIP]); }
void** context_bp(const ucontext_t* uc) { return reinterpret_cast<void**>(uc->uc_mcontext.gregs[REG_EBP]); }

#elif defined(__aarch64__)
// AAPCS64 frame records have the x86 layout: x29 points at the caller's x29,
// the word above it holds the return address.
#define SIGSEGV_HAVE_WALK 1
constexpr const char* stack_heading = "Stack trace (AArch64):\n";

void log_registers(const ucontext_t* uc)
{
    const auto& mc = uc->uc_mcontext;
    int i = 0;
    for (; i < 31; i++)
        syslog(LOG_ERR, "reg[%02d]       = 0x%016llx\n", i, static_cast<unsigned long long>(mc.regs[i]));
    syslog(LOG_ERR, "reg[%02d]       = 0x%016llx\n", i++, static_cast<unsigned long long>(mc.sp));
    syslog(LOG_ERR, "reg[%02d]       = 0x%016llx\n", i++, static_cast<unsigned long long>(mc.pc));
    syslog(LOG_ERR, "reg[%02d]       = 0x%016llx\n", i, static_cast<unsigned long long>(mc.pstate));
}
void* context_ip(const ucontext_t* uc) { return reinterpret_cast<void*>(uc->uc_mcontext.pc); }
void** context_bp(const ucontext_t* uc) { return reinterpret_cast<void**>(uc->uc_mcontext.regs[29]); }

#elif defined(__arm__)
// 32-bit ARM code keeps no frame layout a walk could rely on (APCS, Thumb
// and GCC's own differ), so the report stops after the registers.
void log_registers(const ucontext_t* uc)
{
    const auto& mc = uc->uc_mcontext;
    const unsigned long regs[] = {
        mc.arm_r0, mc.arm_r1, mc.arm_r2, mc.arm_r3, mc.arm_r4,  mc.arm_r5, mc.arm_r6, mc.arm_r7, mc.arm_r8,
        mc.arm_r9, mc.arm_r10, mc.arm_fp, mc.arm_ip, mc.arm_sp, mc.arm_lr, mc.arm_pc, mc.arm_cpsr,
    };
    for (int i = 0; i < static_cast<int>(sizeof regs / sizeof regs[0]); i++)
        syslog(LOG_ERR, "reg[%02d]       = 0x%08lx\n", i, regs[i]);
}

#else
void log_registers(const ucontext_t*) {}
#endif

// True when the kernel can read the n bytes at p. It reports EFAULT instead
// of raising a signal, so guard pages and file pages past the end of their
// file are recognised without touching them. The raw system call keeps
// sanitizer interceptors from inspecting the bytes.
int is_readable(const void* p, size_t n)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return 0;  // cannot tell: stopping the walk beats faulting in it
    const long written = syscall(SYS_write, fds[1], p, n);
    close(fds[0]);
    close(fds[1]);
    return written == static_cast<long>(n);
}

#ifdef SIGSEGV_HAVE_WALK
// A corrupted chain must not keep the report from ending.
constexpr int max_frames = 64;

// Follows the saved frame pointers from the interrupted frame. The frames
// read here belong to code this function knows nothing about, so no
// sanitizer may judge the reads.
__attribute__((no_sanitize("address", "undefined", "thread"))) void log_stack_trace(void* ip, void** bp)
{
    int f = 0;
    void** prev = nullptr;
    while (bp != nullptr && ip != nullptr) {
        if (f == max_frames) {
            syslog(LOG_ERR, "  Stack trace cut after %d frames!\n", max_frames);
            break;
        }
        Dl_info dl{};
        if (dladdr(ip, &dl) == 0) {
            f++;
            syslog(LOG_ERR, "% 2d: %p <unknown> (unknown)\n", f, ip);
            break;
        }
        f++;
        const auto addr = reinterpret_cast<uintptr_t>(ip);
        if (dl.dli_sname != nullptr) {
            syslog(LOG_ERR, "% 2d: %p <%s+%lu> (%s)\n", f, ip, dl.dli_sname,
                   static_cast<unsigned long>(addr - reinterpret_cast<uintptr_t>(dl.dli_saddr)), dl.dli_fname);
        } else {
            // No exported symbol: the offset from the object's load address
            // is what addr2line takes.
            syslog(LOG_ERR, "% 2d: %p <??+0x%lx> (%s)\n", f, ip,
                   static_cast<unsigned long>(addr - reinterpret_cast<uintptr_t>(dl.dli_fbase)), dl.dli_fname);
        }
        if (dl.dli_sname != nullptr && strcmp(dl.dli_sname, "main") == 0)
            break;
        // Callers' frames lie above their callees'; anything else is a
        // corrupted or looping chain.
        if (prev != nullptr && bp <= prev) {
            syslog(LOG_ERR, "  BP(%p) is not above the previous frame! Cannot continue stack trace!\n",
                   static_cast<void*>(bp));
            break;
        }
        if (reinterpret_cast<uintptr_t>(bp) % alignof(void*) != 0 || !check_address(bp)) {
            syslog(LOG_ERR, "  BP(%p) is invalid address! Cannot continue stack trace!\n", static_cast<void*>(bp));
            break;
        }
        prev = bp;
        ip = bp[1];
        bp = static_cast<void**>(bp[0]);
    }
}
#endif

// The calling thread's alternate signal stack, if this module made it. The
// destructor releases it when the thread ends.
struct alt_stack_t {
    void* map = nullptr;  // guard page and stack
    size_t map_size = 0;

    void release()
    {
        if (map == nullptr)
            return;
        const char* sp = static_cast<const char*>(map) + map_size - alt_stack_size;
        stack_t cur{};
        if (sigaltstack(nullptr, &cur) == 0 && cur.ss_sp == sp) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            if (sigaltstack(&off, nullptr) != 0)
                return;  // running on it: keep it
        }
        munmap(map, map_size);
        map = nullptr;
        map_size = 0;
    }
    ~alt_stack_t() { release(); }
};
thread_local alt_stack_t alt_stack;

// Opens the log and installs the handler before main runs.
__attribute__((constructor)) void setup_sigsegv(void)
{
    openlog("velmor", 0, LOG_DAEMON);
    syslog(LOG_DEBUG, "Logger is attached\n");  // not an error: the journal shows it as debug
    page_size = static_cast<int>(sysconf(_SC_PAGESIZE));

    // The main thread's own alternate stack; started threads make theirs.
    sigsegv_thread_init();

    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = signal_segv;
    // SA_ONSTACK: a stack overflow leaves the faulting thread no stack of its
    // own to report on.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    if (sigaction(SIGSEGV, &action, nullptr) != 0)
        perror("sigaction-SIGSEGV");
    if (sigaction(SIGBUS, &action, nullptr) != 0)
        perror("sigaction-SIGBUS");
}

}  // namespace

void sigsegv_thread_init(void)
{
    stack_t cur{};
    // One made by us or by a sanitizer runtime: either serves.
    if (sigaltstack(nullptr, &cur) == 0 && !(cur.ss_flags & SS_DISABLE))
        return;

    const size_t guard = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = guard + alt_stack_size;
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (map == MAP_FAILED) {
        perror("sigsegv_thread_init");
        return;
    }
    // The guard page below turns an overflow of the signal stack into a
    // fault instead of silent damage to the memory beneath it: without it,
    // no alternate stack.
    stack_t ss{};
    ss.ss_sp = static_cast<char*>(map) + guard;
    ss.ss_size = alt_stack_size;
    ss.ss_flags = 0;
    if (mprotect(map, guard, PROT_NONE) != 0 || sigaltstack(&ss, nullptr) != 0) {
        perror("sigsegv_thread_init");
        munmap(map, size);
        return;
    }
    alt_stack.map = map;
    alt_stack.map_size = size;
}

namespace {

// Whether the frame at ptr can be read: its two words and the byte after.
int check_address(void* ptr)
{
    const int saved_errno = errno;
    const long ps = page_size > 0 ? page_size : sysconf(_SC_PAGESIZE);
    const auto addr = reinterpret_cast<uintptr_t>(ptr);
    const uintptr_t start = addr & ~static_cast<uintptr_t>(ps - 1);

    // At most two pages: the range is 9 bytes long.
    unsigned char vec[2];
    int valid = 1;
    if (mincore(reinterpret_cast<void*>(start), addr - start + frame_probe, vec) != 0 &&
        (errno == ENOMEM || errno == EINVAL))
        valid = 0;
    // mapped is not readable: a guard page is mapped too
    if (valid)
        valid = is_readable(ptr, frame_probe);

    errno = saved_errno;
    return valid;
}

void signal_segv(int signum, siginfo_t* info, void* ptr)
{
    // A further fault of this kind, here or in another thread, ends the
    // process the default way instead of re-entering the report.
    signal(signum, SIG_DFL);
    const auto* uc = static_cast<const ucontext_t*>(ptr);

    syslog(LOG_ERR, "Segmentation Fault!\n");
    syslog(LOG_ERR, "info.si_signo = %d\n", signum);
    syslog(LOG_ERR, "info.si_errno = %d\n", info->si_errno);
    syslog(LOG_ERR, "info.si_code  = %d (%s)\n", info->si_code, si_code_name(signum, info->si_code));
    syslog(LOG_ERR, "info.si_addr  = %p\n", info->si_addr);
    log_registers(uc);
#ifdef SIGSEGV_HAVE_WALK
    syslog(LOG_ERR, "%s", stack_heading);
    log_stack_trace(context_ip(uc), context_bp(uc));
#endif
    syslog(LOG_ERR, "End of stack trace.\n");
    closelog();
    if (fb_restore_console != nullptr)
        fb_restore_console();
    _exit(-1);
}

}  // namespace
