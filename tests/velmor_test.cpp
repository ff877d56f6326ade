// The built program driven through pipes: the stream commands, their
// messages, and start-up and shut-down.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "media.h"
#include "player.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

TEST(Commands, ErrorsAndAnswersByNameListRenderStopAndPing)
{
    Player pl;
    const std::string missing = "/nonexistent/clip.mjpeg";
    std::string out = pl.run("play -n cam -f mjpeg -p -10 2147483647 -s 30 40 -z " + missing, '1');
    EXPECT_EQ(0u, out.find("cmd_play: Stream Name  : 'cam'\ncmd_play: Stream URL   : '/nonexistent/clip.mjpeg'\n"
                           "cmd_play: Input Format : 'mjpeg'\ncmd_play: Window pos   : -10,2147483647\n"
                           "cmd_play: Window size  : 30,40\ncmd_play: No Zoom      : 1\n")) << out;
    pl.run("play " + missing, '1');
    const char *count = "invalid number of parameters!\n", *pos = "window position ", *size = "window size ",
               *url = "stream url ";
    const std::pair<const char*, const char*> errors[] = {
        // After the newline comes one blank, which begins the prompt's line.
        {"play -z -p 1 2", "stream url is not specified. Nothing to play!\n "},
        {"play x -f", "format name is not specified!\n"}, {"play x -n", "stream name is not specified!\n"},
        {"play -f nosuchformat x", "input format name is invalid!\n"},
        {"play -p 1", "window position is not specified correctly!\n"},
        {"play x -s 5", "window size is not specified correctly!\n"},
        {"play -q x", "unknown parameter '-q'!\n"},  // an unknown flag is named
        {"play -p abc def x", pos}, {"play -p 99999999999 0 x", pos}, {"play -p 0 4294967296 x", pos},
        {"play -p 1x 2 x", pos}, {"play -p +1 2 x", pos}, {"play -s 4294967396 1 x", size}, {"play -s 1e3 10 x", size},
        {"play -s 10 0x10 x", size}, {"play -s -1 -1 x", size}, {"play -s 2147483648 1 x", size},
        // The console's own input and output are no sources.
        {"play pipe:", url}, {"play pipe:0", url}, {"play async:pipe:1", url}, {"play fd:2", url},
        {"play file:/dev/stdin", url}, {"play /proc/self/fd/0", url}, {"play -", url},
        {"play -n cam other", "duplicate stream name 'cam'!\n"}, {"render cam on off", count}, {"stop", count},
        {"reconnect cam x", count}, {"stopall cam", count}, {"render Cam off", "unable to find stream 'Cam'.\n"},
        {"reconnect nosuch", "unable to find stream 'nosuch'.\n"},
        {"render cam maybe", "parameter 'maybe'. is not boolean!\n"}};
    for (auto [line, error] : errors) {  // whole answers, or the start of those that quote the values
        const std::string got = pl.run(line, '0'), want = std::string("Error: ") + error;
        EXPECT_EQ(want, want.find('\n') != std::string::npos ? got : got.substr(0, want.size())) << line;
    }
    // Both fail to open and wait for their next attempt; no failed line started a stream.
    ASSERT_TRUE(pl.p.wait_seen("reconnect timeout=5 sec, start waiting...\n", 10s, 2)) << pl.p.output();
    const std::string both = "             cam      CONNECT_ERR /nonexistent/clip.mjpeg\n"
                             "/nonexistent/clip.mjpeg      CONNECT_ERR /nonexistent/clip.mjpeg\n";
    EXPECT_EQ(both, pl.list_until({both}));
    EXPECT_EQ("Stream 'cam' render is ON.\n", pl.run("render cam", '1'));
    for (auto [word, shown] : {std::pair{"Disable", "OFF"}, {"1", "ON"}, {"false", "OFF"}, {"TRUE", "ON"}}) {
        EXPECT_EQ("", pl.run(std::string("render cam ") + word, '1'));
        EXPECT_EQ(std::string("Stream 'cam' render is ") + shown + ".\n", pl.run("render cam", '1'));
    }
    EXPECT_EQ("pong(hello)\n", pl.run("ping hello world", '1'));

    EXPECT_EQ("", pl.run("stop cam", '1'));
    EXPECT_EQ(std::string::npos, pl.run("list", '1').find(" cam ")) << out;
    pl.run("play -n cam " + missing, '1');  // the name is free again
    pl.run("stopall", '1');
    EXPECT_EQ("", pl.run("list", '1'));
    // The play help names every option.
    const std::string help = pl.run("help play", '1');
    EXPECT_EQ(0u, help.find("Play new stream in window.")) << help;
    for (const char* opt : {"-n <name>", "-f <name>", "-p <x> <y>", "-s <w> <h>", "-z", "-a", "-o <key=val>",
                            "-d <key=val>", "-c <name>", "-r <sec>", "<streamurl>"})
        EXPECT_NE(std::string::npos, help.find("\n  " + std::string(opt) + " ")) << opt;
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(10s));
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
TEST(Entry, ExitEndOfInputOrSignalEndsEveryStreamInEveryPhase)
{
    PyServer silent("silent", "-", 0);
    const std::string quiet = "tcp://127.0.0.1:" + std::to_string(silent.port());
    for (int how : {0, -1, SIGTERM, SIGINT, SIGHUP}) {
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

}  // namespace
