// The crash reporter's frame walk on AArch64: a real fault three calls deep,
// in a child that is this program run again with --fault, is reported with
// every function named up to main. openlog/syslog/closelog defined here take
// the place of libc's for the reporter linked in, and write each record to
// standard error.
#include <gtest/gtest.h>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

extern "C" {
void openlog(const char*, int, int) {}
void closelog(void) {}
static void vlog(const char* fmt, va_list ap)
{
    char buf[1024];
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    (void)!write(2, buf, n < static_cast<int>(sizeof buf) ? n : sizeof buf - 1);
}
void syslog(int, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}
void __syslog_chk(int, int, const char* fmt, ...)  // what a fortified build calls
{
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

int* volatile null_target = nullptr;
// Not inlined, not merged; the call out gives level1 a frame record of its own.
__attribute__((noipa)) int fault_pass(int x) { return x; }
__attribute__((noipa)) int fault_level1(int x)
{
    *null_target = fault_pass(x);
    return x + 1;
}
__attribute__((noipa)) int fault_level2(int x) { return fault_level1(x + 1) + 1; }
__attribute__((noipa)) int fault_level3(int x) { return fault_level2(x + 1) + 1; }
}

TEST(CrashWalk, RealFaultThreeCallsDeepNamesEveryFrameUpToMain)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(len, 0);
    self[len] = 0;
    char* argv[] = {self, const_cast<char*>("--fault"), nullptr};
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, self, &fa, nullptr, argv, environ));
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string report;
    char buf[4096];
    pollfd p{fds[0], POLLIN, 0};
    for (ssize_t n = 1; n > 0 && poll(&p, 1, 60000) == 1;)
        if ((n = read(fds[0], buf, sizeof buf)) > 0)
            report.append(buf, n);
    close(fds[0]);
    int status = 0;
    kill(pid, SIGKILL);  // only if it stalled: the report ends the child
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status << "\n" << report;

    // Registers 0-30, sp, pc, pstate; then one line a frame.
    std::istringstream in(report);
    std::string line, pc;
    std::vector<std::string> names;
    bool walk = false;
    while (std::getline(in, line)) {
        if (line.rfind("reg[32]       = 0x", 0) == 0)
            pc = std::to_string(std::stoull(line.substr(18), nullptr, 16));
        if (line == "End of stack trace.")
            walk = false;
        if (walk) {
            unsigned long long ip = 0;
            char name[256] = "";
            EXPECT_EQ(2, sscanf(line.c_str(), "%*d: %llx <%255[^+]", &ip, name)) << line;
            EXPECT_TRUE(!names.empty() || std::to_string(ip) == pc) << "frame 1 is not the faulting instruction\n"
                                                                     << report;
            names.push_back(name);
        }
        walk = walk || line == "Stack trace (AArch64):";
    }
    EXPECT_EQ((std::vector<std::string>{"fault_level1", "fault_level2", "fault_level3", "main"}), names) << report;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--fault") == 0)
        return fault_level3(argc) - 1;  // not a tail call: main keeps its frame
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
