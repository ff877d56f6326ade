// Setting up the control socket where others may be at work: the socket's
// folder, an old socket whose owner hangs, descriptors the parent closed.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// A session on the socket at `path`, once it answers, past its first prompt.
std::unique_ptr<Child> session(const std::string& path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(20ms)) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            auto c = std::make_unique<Child>(fd);
            EXPECT_TRUE(c->wait_for("0>", 10s));
            return c;
        }
        close(fd);
    }
    return nullptr;
}

// Started with its output and error closed, the player's own files do not
// take descriptors 1 and 2 (the wake-up pipe there filled with FFmpeg's
// messages and the main loop spun).
TEST(ControlSocket, StartedWithOutputAndErrorClosed)
{
    TempDir dir;
    const std::string sock = dir.file("control");
    Child p({"/bin/sh", "-c", "exec " VELMOR_BINARY " --control " + sock + " >&- 2>&-"});
    auto s = session(sock);
    ASSERT_NE(nullptr, s);
    char res = 0;
    s->command("play -f mjpeg tcp://127.0.0.1:1", &res);
    EXPECT_EQ('1', res);
    for (const char* fd : {"1", "2"}) {
        char target[256] = {};
        readlink(("/proc/" + std::to_string(p.pid()) + "/fd/" + fd).c_str(), target, sizeof target - 1);
        EXPECT_STREQ("/dev/null", target) << fd;
    }
    EXPECT_EQ("pong(x)\n", s->command("ping x", &res));
    s->send("exit\n");
    EXPECT_EQ(0, p.wait_exit(10s));
}

// An old socket whose owner accepts nothing (its backlog full) is given up
// after a few seconds, with status 2.
TEST(ControlSocket, AnOwnerThatDoesNotAcceptIsGivenUpOn)
{
    TempDir dir;
    const std::string sock = dir.file("control");
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    const int hung = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, bind(hung, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(hung, 0));
    std::vector<int> queued;
    for (int i = 0; i < 100; ++i) {
        queued.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (connect(queued.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            break;
    }
    const auto start = std::chrono::steady_clock::now();
    Child p({VELMOR_BINARY, "--control", sock}, true);
    EXPECT_EQ(2, p.wait_exit(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_NE(std::string::npos, p.errors().find("accepts no connection")) << p.errors();
    for (int fd : queued)
        close(fd);
    close(hung);
}

}  // namespace
