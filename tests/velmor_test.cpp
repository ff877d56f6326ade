// The built program driven through pipes: start-up and shut-down (the
// commands' answers are in tests/transcripts).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "media.h"
#include "player.h"
#include "process.h"

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

}  // namespace
