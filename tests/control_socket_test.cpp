// Setting up the control socket where others may be at work: the socket's
// folder, an old socket whose owner hangs, descriptors the parent closed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "process.h"

namespace {

using namespace std::chrono_literals;

// Whoever may write to the socket's folder can swap a link in for the socket
// just after bind (bind's return is held up 1 s here): the player must not
// change the file the link names.
TEST(ControlSocket, ItsModeIsSetWithoutFollowingAPath)
{
    if (run_shell("/usr/bin/strace -qq -o /dev/null /bin/true") != 0)
        GTEST_SKIP() << "strace cannot trace here";
    TempDir dir;
    const std::string sock = dir.file("control"), victim = dir.file("victim");
    std::ofstream(victim) << "x";
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    Child p({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=bind", "-e", "inject=bind:delay_exit=1000000",
             VELMOR_BINARY, "--control", sock},
            true);
    struct stat st;
    for (int i = 0; i < 1000 && lstat(sock.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(0, symlink(victim.c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, rename(dir.file("link").c_str(), sock.c_str()));
    EXPECT_TRUE(p.wait_for("0>", 20s)) << p.output() << p.errors();
    ASSERT_EQ(0, stat(victim.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    p.send("exit\n");
    p.wait_exit(10s);  // LeakSanitizer, under strace, fails the exit status
}

}  // namespace
