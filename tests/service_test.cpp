// The program as a service: its options, the start-up script, sessions on
// the control socket, velmorctl, and the installed files.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "media.h"
#include "player.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One client of the control socket.
class Session {
public:
    explicit Session(const std::string& path)
    {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) << path;
        EXPECT_EQ("", read_prompt('0'));
    }
    ~Session() { close(fd); }

    // Reads until `text` has come; false on timeout or the connection's end.
    bool read_until(const std::string& text, std::chrono::milliseconds timeout = 30s)
    {
        const auto deadline = Clock::now() + timeout;
        while (got.find(text) == std::string::npos)
            if (Clock::now() > deadline || !pump(100))
                return false;
        return true;
    }
    // Reads until the text ends with a prompt; returns what came before it.
    std::string read_prompt(char want, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = Clock::now() + timeout;
        while (!(got.size() >= 2 && got.back() == '>' && (got[got.size() - 2] == '0' || got[got.size() - 2] == '1'))) {
            if (Clock::now() > deadline || !pump(100))
                break;
        }
        std::string before = got.size() >= 2 ? got.substr(0, got.size() - 2) : got;
        EXPECT_TRUE(got.size() >= 2 && got[got.size() - 2] == want) << got;
        got.clear();
        return before;
    }
    std::string run(const std::string& line, char want)
    {
        EXPECT_TRUE(send_all(line + "\n"));
        return read_prompt(want);
    }
    bool send_all(const std::string& s)
    {
        for (size_t at = 0; at < s.size();) {
            const ssize_t n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads what arrives within ms; false at the end of the connection.
    bool pump(int ms)
    {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return true;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        return n > 0;
    }

    int fd = -1;
    std::string got;
};

// The player with a control socket in a fresh folder.
struct Served {
    explicit Served(std::vector<std::string> extra = {})
        : sock(dir.file("control")), p(args(extra), true)
    {
        EXPECT_TRUE(p.wait_for("0>")) << p.output() << p.errors();
    }
    std::vector<std::string> args(std::vector<std::string> extra)
    {
        extra.insert(extra.begin(), {VELMOR_BINARY, "--control", sock});
        return extra;
    }
    TempDir dir;
    std::string sock;
    Child p;
};

// What the commands printed, without the readers' and renderer's lines.
std::string foreground(const std::string& all)
{
    std::string out;
    size_t at = 0;
    for (size_t nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
        if (!background_line(all.substr(at, nl + 1 - at)))
            out += all.substr(at, nl + 1 - at);
    return out + all.substr(at);
}

int ctl(const std::string& args, std::string* out = nullptr, const std::string& bin_dir = VELMOR_BUILD_DIR)
{
    TempDir d;
    const int st = run_shell(bin_dir + "/velmorctl " + args + " >" + d.file("out") + " 2>&1");
    if (out != nullptr) {
        std::ifstream in(d.file("out"));
        out->assign(std::istreambuf_iterator<char>(in), {});
    }
    return st;
}

TEST(Options, UsageScriptSocketAndDeviceErrorsEndBeforeAnythingStarts)
{
    TempDir d;
    std::ofstream(d.file("plain")) << "not a socket\n";
    for (const std::vector<std::string>& a : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"--script"}, {"--control", ""}, {"--script", d.file("none")},
             {"--control", d.file("plain")}, {"--control", d.file("no/such/dir/sock")}}) {
        std::vector<std::string> argv{VELMOR_BINARY};
        argv.insert(argv.end(), a.begin(), a.end());
        Child c(argv, true);
        EXPECT_EQ(2, c.wait_exit(10s)) << a[0];
        EXPECT_EQ("", c.output()) << a[0];  // no prompt: nothing started
        EXPECT_NE("", c.errors()) << a[0];
    }
    Child fb({VELMOR_BINARY, "--fb", d.file("fb9")}, true);
    EXPECT_EQ(1, fb.wait_exit(10s));
    EXPECT_NE(std::string::npos, fb.errors().find(d.file("fb9")));
    Child v({VELMOR_BINARY, "--version"});
    EXPECT_EQ(0, v.wait_exit(10s));
    EXPECT_EQ("velmor 1.0.0\n", v.output());
}

// Comments and blank lines are skipped; a failing line does not stop the
// lines after it; then the console takes standard input as usual.
TEST(Script, EveryLineRunsThenTheConsole)
{
    TempDir d;
    std::ofstream(d.file("wall")) << "# a wall\n\n  # indented comment\nping one\nnosuch\nping two";
    Child c({VELMOR_BINARY, "--script", d.file("wall")}, true);
    ASSERT_TRUE(c.wait_for("pong(two)\n1>0>")) << c.output();
    EXPECT_EQ("pong(one)\n1>No such command.\n0>pong(two)\n1>0>", foreground(c.output()));
    char res = 0;
    EXPECT_EQ("pong(three)\n", foreground(c.command("ping three", &res)));
    EXPECT_EQ('1', res);
    c.close_input();
    EXPECT_EQ(0, c.wait_exit(10s));
}

TEST(Control, TwoSessionsShareTheStreamsAndKeepTheirOwnAnswers)
{
    Served s;
    Session a(s.sock), b(s.sock);
    EXPECT_EQ(0, ctl("--control " + s.sock + " ping x y"));
    a.run("play -n cam -f mjpeg " + clip_mjpeg(), '1');
    ASSERT_TRUE(s.p.wait_seen("got stream w=320, h=240", 10s)) << s.p.output();
    EXPECT_NE(std::string::npos, b.run("list", '1').find("cam ")) << "b sees a's stream";
    // Half a line, then gone: that line is dropped, nothing else.
    {
        Session c(s.sock);
        c.send_all("play -n half -f mjpeg " + clip_mjpeg());
    }
    std::string out;
    EXPECT_EQ(0, ctl("--control " + s.sock + " list", &out));
    EXPECT_EQ(std::string::npos, out.find("half")) << out;
    EXPECT_NE(std::string::npos, out.find("cam ")) << out;
    EXPECT_EQ(1, ctl("--control " + s.sock + " stop nosuch", &out));
    EXPECT_EQ("Error: unable to find stream 'nosuch'.\n", out);
    EXPECT_EQ("", b.run("stop cam", '1'));
    EXPECT_EQ("", a.run("list", '1'));
    // Standard input is one more session; the answers never cross.
    EXPECT_EQ("pong(in)\n", foreground(s.p.command("ping in")));
    EXPECT_EQ(std::string::npos, s.p.output().find("pong(x)"));
    s.p.close_input();
    EXPECT_EQ("pong(still)\n", a.run("ping still", '1'));  // the end of input ends nothing
    EXPECT_EQ(0, ctl("--control " + s.sock + " exit"));
    EXPECT_EQ(0, s.p.wait_exit(10s));
    EXPECT_NE(0, access(s.sock.c_str(), F_OK)) << "the socket is removed";
    EXPECT_EQ(2, ctl("--control " + s.sock + " ping"));
}

TEST(Control, ManyCyclesLeakNothingAndAFloodStaysWithinTheLineLimit)
{
    Served s;
    Session probe(s.sock);
    const auto before = usage_of(s.p.pid());
    for (int i = 0; i < 200; ++i)
        Session c(s.sock);
    EXPECT_EQ("pong(p)\n", probe.run("ping p", '1'));
    // The last close may be seen just after the answer.
    for (int i = 0; i < 200 && usage_of(s.p.pid()) != before; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(before, usage_of(s.p.pid()));

    // 1 MB without a newline, sent while the other session is served.
    Session flood(s.sock);
    std::thread sender([&] { flood.send_all(std::string(1 << 20, 'x') + "\nping f\n"); });
    const auto t = Clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ("pong(p)\n", probe.run("ping p", '1'));
    EXPECT_LT(Clock::now() - t, 5s);
    sender.join();
    // The overlong line is told once, runs cut at 511 characters, and the
    // session goes on.
    EXPECT_TRUE(flood.read_until("pong(f)\n1>"));
    EXPECT_EQ("<line_buffer_full>\nNo such command.\n0>pong(f)\n1>", flood.got);
    // An old socket that nobody listens on is replaced by the next player.
    kill(s.p.pid(), SIGKILL);
    s.p.wait_exit(10s);
    Child again({VELMOR_BINARY, "--control", s.sock}, true);
    EXPECT_TRUE(again.wait_for("0>")) << again.errors();
    EXPECT_EQ("pong(z)\n", Session(s.sock).run("ping z", '1'));
}

TEST(Control, SigtermWithStreamsPlayingEndsWithin2Seconds)
{
    Served s;
    Session a(s.sock);
    a.run("play -n one -f mjpeg " + clip_mjpeg(), '1');
    a.run("play -n two -f mjpeg " + clip_mjpeg(), '1');
    ASSERT_TRUE(s.p.wait_seen("got stream w=320, h=240", 10s, 2)) << s.p.output();
    const auto t = Clock::now();
    kill(s.p.pid(), SIGTERM);
    EXPECT_EQ(0, s.p.wait_exit(10s));
    EXPECT_LT(Clock::now() - t, 2s);
}

// What `cmake --install` stages runs from where it lands.
TEST(Install, StagedFilesRun)
{
    TempDir stage;
    ASSERT_EQ(0, run_shell("DESTDIR=" + stage.path() + " cmake --install " VELMOR_BUILD_DIR " >/dev/null"));
    std::string prefix;
    for (std::ifstream cache(VELMOR_BUILD_DIR "/CMakeCache.txt"); std::getline(cache, prefix);)
        if (prefix.rfind("CMAKE_INSTALL_PREFIX:PATH=", 0) == 0)
            break;
    const std::string root = stage.path() + prefix.substr(prefix.find('=') + 1);
    for (const char* f : {"/etc/velmor/wall.conf", "/share/man/man1/velmor.1", "/share/man/man1/velmorctl.1", "/lib/systemd/system/velmor.service"})
        EXPECT_EQ(0, access((root + f).c_str(), R_OK)) << f;
    std::ifstream unit(root + "/lib/systemd/system/velmor.service");
    std::string text((std::istreambuf_iterator<char>(unit)), {});
    EXPECT_NE(std::string::npos, text.find("velmor --script ")) << text;
    EXPECT_NE(std::string::npos, text.find("/wall.conf --control /run/velmor/control\n")) << text;

    TempDir run;
    Child p({root + "/bin/velmor", "--control", run.file("s")}, true);
    ASSERT_TRUE(p.wait_for("0>")) << p.errors();
    std::string out;
    EXPECT_EQ(0, ctl("--control " + run.file("s") + " ping staged", &out, root + "/bin"));
    EXPECT_EQ("pong(staged)\n", out);
}

}  // namespace
