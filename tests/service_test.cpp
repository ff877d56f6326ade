// The built program: start-up and shut-down, its threads as the system sees
// them, options, the start-up script, control sessions, velmorctl, and the
// control socket where others may be at work.
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "drm_output.h"
#include "media.h"
#include "player.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// velmorctl's exit status; what it printed goes to *out.
int ctl(const std::string& args, std::string* out = nullptr)
{
    Child c({"/bin/sh", "-c", "exec " VELMOR_BUILD_DIR "/velmorctl " + args});
    const int st = c.wait_exit(10s);
    if (out != nullptr)
        *out = c.output();
    return st;
}

// A controlling process that stops reading is no reason to die.
TEST(Entry, LivesOnWhenItsOutputIsClosed)
{
    Player pl;
    pl.p.close_output();
    pl.p.send("ping a\nping b\nexit\n");
    EXPECT_EQ(0, pl.p.wait_exit(10s));
}

// Streams in every phase when the program is told to end (exit, end of
// input, SIGTERM, SIGINT, SIGHUP): each reader ends, the renderer stops, and
// the exit status is 0; a signal does it within 2 s.
class Ending : public testing::TestWithParam<int> {};

TEST_P(Ending, EndsEveryStreamInEveryPhase)
{
    PyServer silent("silent", "-", 0);
    const std::string quiet = "tcp://127.0.0.1:" + std::to_string(silent.port());
    const int how = GetParam();
    Player pl;
    pl.run("play -n probing " + quiet, '1');           // stuck probing the input
    pl.run("play -n stalled -f mjpeg " + quiet, '1');  // stuck reading a packet
    pl.run("play -n playing -f mjpeg " + clip_mjpeg(), '1');
    pl.run("play -n refused -f mjpeg tcp://127.0.0.1:" + std::to_string(free_port()), '1');
    ASSERT_TRUE(pl.p.wait_seen("cannot open input file", 10s)) << pl.p.output();
    ASSERT_TRUE(pl.p.wait_seen("got stream w=320, h=240", 10s)) << pl.p.output();
    if (how == 0)
        pl.p.send("exit\n");
    else if (how < 0)
        pl.p.close_input();
    else
        kill(pl.p.pid(), how);
    EXPECT_EQ(0, pl.p.wait_exit(how > 0 ? 2s : 10s)) << how << pl.p.output();
    for (const char* t : {"probing", "stalled", "playing", "refused", "render"})
        EXPECT_NE(std::string::npos, pl.p.output().find("thread '" + std::string(t) + "' exited")) << t;
}
INSTANTIATE_TEST_SUITE_P(Entry, Ending, testing::Values(0, -1, SIGTERM, SIGINT, SIGHUP));

// The names of the threads as top -H and ps -L show them.
TEST(OsThreads, AreNamedAsInTheRegistry)
{
    Player pl;
    pl.run("play -n a-rather-long-stream-name /nonexistent", '1');
    ASSERT_TRUE(pl.p.wait_seen("start thread 'a-rather-long-stream-name'", 10s));
    std::set<std::string> names;
    std::error_code gone;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pl.p.pid()) + "/task", gone))
        if (std::string name; std::getline(std::ifstream(task.path() / "comm"), name))
            names.insert(name);
    EXPECT_TRUE(names.count("render") && names.count("a-rather-long-s")) << testing::PrintToString(names);
    pl.run("stopall", '1');
}

// Under a task limit one more play fails alone: the player and its other
// streams go on. The player runs as a user of its own, since root ignores
// RLIMIT_NPROC, with room for the tasks it has with one stream.
TEST(OsThreads, APlayWithoutAThreadFailsAlone)
{
    std::string limit;  // the tasks of a player with one stream
    {
        Player pl;
        pl.run("play -n a /nonexistent", '1');
        limit = std::to_string(usage_of(pl.p.pid()).first);
    }
    Player pl({"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", "/usr/bin/prlimit",
               "--nproc=" + limit + ":" + limit, VELMOR_BINARY});
    pl.run("play -n a /nonexistent", '1');
    const std::string out = pl.run("play -n b /nonexistent", '0');
    EXPECT_NE(std::string::npos, out.find("Error: cannot start stream 'b': Resource temporarily unavailable!\n")) << out;
    EXPECT_NE(std::string::npos, pl.run("list", '1').find(" a ")) << pl.p.output();
    pl.run("stop a", '1');
    pl.run("play -n b /nonexistent", '1');  // room again
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(10s));
}


TEST(Options, UsageScriptSocketAndDeviceErrorsEndBeforeAnythingStarts)
{
    TempDir d;
    std::ofstream(d.file("plain")) << "not a socket\n";
    // Scripts: a FIFO without a writer must not block, /dev/zero must not
    // grow; an overlong line, more than 1 MiB.
    ASSERT_EQ(0, mkfifo(d.file("fifo").c_str(), 0600));
    std::ofstream(d.file("long")) << "ping\n" << std::string(512, 'x') << "\n";
    std::ofstream(d.file("big")) << std::string((1 << 20) + 1, '#');
    const std::vector<std::string> bad = {"--bogus", "--script", "--control ''", "--script " + d.file("none"),
                                          "--control " + d.file("plain"), "--control " + d.file("no/such/dir/sock"),
                                          "--script " + d.file("fifo"), "--script /dev/zero", "--script " + d.path(),
                                          "--script " + d.file("long"), "--script " + d.file("big"),
                                          "--scale lanczos", "--rotate 45", "--output fbdev"};
    for (const std::string& args : bad) {
        Child c({"/bin/sh", "-c", "exec " VELMOR_BINARY " " + args}, true);
        EXPECT_EQ(2, c.wait_exit(10s)) << args;
        EXPECT_EQ("", c.output()) << args;  // no prompt: nothing started
        EXPECT_NE("", c.errors()) << args;
    }
    Child fb({VELMOR_BINARY, "--fb", d.file("fb9")}, true);
    EXPECT_EQ(1, fb.wait_exit(10s));
    EXPECT_NE(std::string::npos, fb.errors().find(d.file("fb9")));
    Child drm({VELMOR_BINARY, "--output", "drm", "--card", d.file("card9")}, true);
    EXPECT_EQ(1, drm.wait_exit(10s));
    EXPECT_NE(std::string::npos, drm.errors().find("cannot use DRM: " + d.file("card9"))) << drm.errors();
    Child v({VELMOR_BINARY, "--version"});
    EXPECT_EQ(0, v.wait_exit(10s));
    EXPECT_EQ("velmor 1.0.0\n", v.output());
}

TEST(Options, DrmModeIsWidthByHeightAndAnOptionalRate)
{
    const std::vector<std::pair<const char*, std::array<int, 3>>> cases = {  // {0, 0, 0}: refused
        {"1024x768", {1024, 768, 0}}, {"1920x1080@60", {1920, 1080, 60}}, {"x768", {}}, {"1024x", {}},
        {"1024x768@", {}}, {"1024x768@0", {}}, {"5x-3", {}}, {"5x 3", {}}, {"99999x1", {}}};
    for (const auto& [text, want] : cases) {
        std::array<int, 3> got = {};
        EXPECT_EQ(want[0] != 0, drm_parse_mode(text, &got[0], &got[1], &got[2])) << text;
        EXPECT_EQ(want, got) << text;
    }
}

// Comments and blank lines are skipped; a failing line does not stop the
// lines after it; then the console takes standard input as usual.
TEST(Script, EveryLineRunsThenTheConsole)
{
    TempDir d;
    std::ofstream(d.file("wall")) << "# a wall\n\n  # indented comment\nping one\nnosuch\nping two";
    Player pl({VELMOR_BINARY, "--script", d.file("wall")});
    ASSERT_TRUE(pl.p.wait_for("pong(two)\n1>0>")) << pl.p.output();
    EXPECT_EQ("pong(one)\n1>" + d.file("wall") + ":5: No such command.\n0>pong(two)\n1>0>", foreground(pl.p.output()));
    EXPECT_EQ("pong(three)\n", pl.run("ping three", '1'));
    pl.p.send("nosuch");  // a partial last line, dropped at the end of input
    pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit(10s));
    EXPECT_EQ(std::string::npos, pl.p.unread().find('>')) << pl.p.unread();
}

TEST(Control, TwoSessionsShareTheStreamsAndKeepTheirOwnAnswers)
{
    Served s;
    Session a(s.sock), b(s.sock);
    struct stat st = {};
    EXPECT_TRUE(stat(s.sock.c_str(), &st) == 0 && (st.st_mode & 0777) == 0660) << std::oct << st.st_mode;
    EXPECT_EQ(0, ctl("--control " + s.sock + " ping x y"));
    a.run("play -n cam -f mjpeg " + clip_mjpeg(), '1');
    ASSERT_TRUE(s.p.wait_seen("got stream w=320, h=240", 10s)) << s.p.output();
    EXPECT_NE(std::string::npos, b.run("list", '1').find("cam ")) << "b sees a's stream";
    Session(s.sock).send("play -n half -f mjpeg " + clip_mjpeg());  // half a line, then gone: dropped
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

TEST(Control, ManyCyclesLeakNothingAFloodIsCutAndSigtermEnds)
{
    Served s;
    Session probe(s.sock);
    EXPECT_EQ("pong(p)\n", probe.run("ping p", '1'));
    // Counted once two looks agree: a start-up descriptor may still be closing.
    auto before = usage_of(s.p.pid());
    until([&] {
        const auto last = std::exchange(before, usage_of(s.p.pid()));
        return last == before;
    }, 1s);
    for (int i = 0; i < 200; ++i)
        Session c(s.sock);
    EXPECT_EQ("pong(p)\n", probe.run("ping p", '1'));
    // The last close may be seen just after the answer.
    until([&] { return usage_of(s.p.pid()) == before; }, 2s);
    EXPECT_EQ(before, usage_of(s.p.pid()));

    // 1 MB without a newline, sent while the other session is served.
    Session flood(s.sock);
    std::thread sender([&] { flood.send(std::string(1 << 20, 'x') + "\nping f\n"); });
    const auto t = Clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ("pong(p)\n", probe.run("ping p", '1'));
    EXPECT_LT(Clock::now() - t, 5s);
    sender.join();
    // The overlong line is told once, runs cut at 511 characters, and the
    // session goes on.
    EXPECT_TRUE(flood.wait_for("pong(f)\n1>", 30s));
    EXPECT_EQ("0><line_buffer_full>\nNo such command.\n0>pong(f)\n1>", flood.output());
    // An old socket that nobody listens on is replaced by the next player.
    kill(s.p.pid(), SIGKILL);
    s.p.wait_exit(10s);
    Child again({VELMOR_BINARY, "--control", s.sock}, true);
    EXPECT_TRUE(again.wait_for("0>")) << again.errors();
    EXPECT_EQ("pong(z)\n", Session(s.sock).run("ping z", '1'));
    kill(again.pid(), SIGTERM);
    EXPECT_EQ(0, again.wait_exit(2s));
}

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
    until([&] { return lstat(sock.c_str(), &st) == 0; }, 5s);
    ASSERT_EQ(0, symlink(victim.c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, rename(dir.file("link").c_str(), sock.c_str()));
    EXPECT_TRUE(p.wait_for("0>", 20s)) << p.output() << p.errors();
    ASSERT_EQ(0, stat(victim.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    p.send("exit\n");
    p.wait_exit(10s);  // LeakSanitizer, under strace, fails the exit status
}

// Started with its output and error closed, the player's own files do not
// take descriptors 1 and 2 (the wake-up pipe there filled with FFmpeg's
// messages and the main loop spun).
TEST(ControlSocket, StartedWithOutputAndErrorClosed)
{
    TempDir dir;
    const std::string sock = dir.file("control");
    Child p({"/bin/sh", "-c", "exec " VELMOR_BINARY " --control " + sock + " >&- 2>&-"});
    Session s(sock);
    s.run("play -f mjpeg tcp://127.0.0.1:1", '1');
    for (const char* fd : {"1", "2"}) {
        char target[256] = {};
        readlink(("/proc/" + std::to_string(p.pid()) + "/fd/" + fd).c_str(), target, sizeof target - 1);
        EXPECT_STREQ("/dev/null", target) << fd;
    }
    EXPECT_EQ("pong(x)\n", s.run("ping x", '1'));
    s.send("exit\n");
    EXPECT_EQ(0, p.wait_exit(10s));
}

// An old socket whose owner accepts nothing (its backlog full) is given up
// after a few seconds, with status 2.
TEST(ControlSocket, AnOwnerThatDoesNotAcceptIsGivenUpOn)
{
    TempDir dir;
    const std::string sock = dir.file("control");
    const sockaddr_un addr = unix_address(sock);
    const int hung = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, bind(hung, reinterpret_cast<const sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(hung, 0));
    std::vector<int> queued;
    for (int i = 0; i < 100; ++i) {
        queued.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (connect(queued.back(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
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

// velmor(1) describes every command of the command table, every flag of
// play's, and every option of --help.
TEST(Manual, DescribesEveryCommandFlagAndOption)
{
    std::stringstream page;
    page << std::ifstream(VELMOR_SOURCE_DIR "/dist/velmor.1").rdbuf();
    const std::string man = page.str();
    Player p;
    Child usage({VELMOR_BINARY, "--help"});
    usage.wait_exit(10s);
    std::vector<std::string> missing;
    auto each = [&](const std::string& text, const char* pattern, auto in_man) {
        const std::regex re(pattern, std::regex::multiline);
        for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i)
            if (!in_man((*i)[1].str()))
                missing.push_back((*i)[0].str());
    };
    // Commands as .B/.BI/.BR paragraphs; flags and options as \-x and \-\-xx.
    each(p.run("help", '1'), "^ *([a-z]+)\t",
         [&](const std::string& w) { return std::regex_search(man, std::regex("\n\\.B[IR]? " + w + "\\b")); });
    each(p.run("help play", '1'), "^  -([a-z]) ", [&](const std::string& w) { return man.find("\\-" + w) != man.npos; });
    each(usage.output(), "--([a-z]+)", [&](const std::string& w) { return man.find("\\-\\-" + w) != man.npos; });
    EXPECT_EQ(std::vector<std::string>{}, missing) << "not in dist/velmor.1";
}

}  // namespace
