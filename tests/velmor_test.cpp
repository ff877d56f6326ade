// The built program driven through pipes: start-up and shut-down, and its
// threads as the operating system sees them (the commands' answers are in
// tests/transcripts).

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include "media.h"
#include "player.h"

namespace {

using namespace std::chrono_literals;

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
    {
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
}
// exit, end of input, SIGTERM, SIGINT, SIGHUP
INSTANTIATE_TEST_SUITE_P(Entry, Ending, testing::Values(0, -1, SIGTERM, SIGINT, SIGHUP));

// The names of a process's threads, as top -H and ps -L show them.
std::set<std::string> thread_names(pid_t pid)
{
    std::set<std::string> names;
    std::error_code gone;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone))
        if (std::string name; std::getline(std::ifstream(task.path() / "comm"), name))
            names.insert(name);
    return names;
}

TEST(OsThreads, AreNamedAsInTheRegistry)
{
    Player pl;
    pl.run("play -n a-rather-long-stream-name /nonexistent", '1');
    ASSERT_TRUE(pl.p.wait_seen("start thread 'a-rather-long-stream-name'", 10s));
    const std::set<std::string> names = thread_names(pl.p.pid());
    EXPECT_EQ(1u, names.count("render")) << testing::PrintToString(names);
    EXPECT_EQ(1u, names.count("a-rather-long-s")) << testing::PrintToString(names);
    pl.run("stopall", '1');
}

// Under a task limit one more play fails alone: the player and its other
// streams go on. The player runs as a user of its own, since root ignores
// RLIMIT_NPROC, with room for the tasks it has with one stream.
TEST(OsThreads, APlayWithoutAThreadFailsAlone)
{
    const std::vector<std::string> as_user = {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups",
                                              "/usr/bin/prlimit"};
    char res = 0;
    std::string limit;
    {
        Child p({as_user[0], as_user[1], as_user[2], as_user[3], VELMOR_BINARY}, true);
        ASSERT_TRUE(p.wait_for("0>"));
        p.command("play -n a /nonexistent", &res);
        limit = std::to_string(usage_of(p.pid()).first);
        p.send("exit\n");
        EXPECT_EQ(0, p.wait_exit(10s));
    }
    std::vector<std::string> argv = as_user;
    argv.insert(argv.end(), {"--nproc=" + limit + ":" + limit, VELMOR_BINARY});
    Child p(argv, true);
    ASSERT_TRUE(p.wait_for("0>"));
    p.command("play -n a /nonexistent", &res);
    EXPECT_EQ('1', res);
    const std::string out = p.command("play -n b /nonexistent", &res);
    EXPECT_EQ('0', res);
    EXPECT_NE(std::string::npos, out.find("Error: cannot start stream 'b': Resource temporarily unavailable!\n")) << out;
    EXPECT_NE(std::string::npos, p.command("list", &res).find(" a ")) << p.output();
    EXPECT_EQ('1', res);
    p.command("stop a", &res);
    p.command("play -n b /nonexistent", &res);  // room again
    EXPECT_EQ('1', res);
    p.send("exit\n");
    EXPECT_EQ(0, p.wait_exit(10s));
}

}  // namespace
