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
    // After the newline comes one blank, which begins the prompt's line.
    EXPECT_EQ("Error: stream url is not specified. Nothing to play!\n ", pl.run("play -z -p 1 2", '0'));
    EXPECT_EQ("Error: format name is not specified!\n", pl.run("play x -f", '0'));
    EXPECT_EQ("Error: input format name is invalid!\n", pl.run("play -f nosuchformat x", '0'));
    EXPECT_EQ("Error: stream name is not specified!\n", pl.run("play x -n", '0'));
    EXPECT_EQ("Error: window position is not specified correctly!\n", pl.run("play -p 1", '0'));
    EXPECT_EQ("Error: window size is not specified correctly!\n", pl.run("play x -s 5", '0'));
    // An unknown option is taken for the URL.
    EXPECT_EQ("Error: unknown parameter 'x'!\n", pl.run("play -q x", '0'));
    for (const char* bad : {"-p abc def", "-p 99999999999 0", "-p 0 4294967296", "-p 1x 2", "-p +1 2"})
        EXPECT_EQ(0u, pl.run(std::string("play ") + bad + " x", '0').find("Error: window position ")) << bad;
    for (const char* bad : {"-s 4294967396 1", "-s 1e3 10", "-s 10 0x10", "-s -1 -1", "-s 2147483648 1"})
        EXPECT_EQ(0u, pl.run(std::string("play ") + bad + " x", '0').find("Error: window size ")) << bad;
    // The console's own input and output are no sources.
    for (const char* own : {"pipe:", "pipe:0", "async:pipe:1", "fd:2", "file:/dev/stdin", "/proc/self/fd/0", "-"})
        EXPECT_EQ(0u, pl.run(std::string("play ") + own, '0').find("Error: stream url ")) << own;
    EXPECT_EQ("", pl.run("list", '1'));

    const std::string missing = "/nonexistent/clip.mjpeg";
    std::string out = pl.run("play -n cam -f mjpeg -p -10 2147483647 -s 30 40 -z " + missing, '1');
    EXPECT_EQ(0u, out.find("cmd_play: Stream Name  : 'cam'\n"
                           "cmd_play: Stream URL   : '/nonexistent/clip.mjpeg'\n"
                           "cmd_play: Input Format : 'mjpeg'\n"
                           "cmd_play: Window pos   : -10,2147483647\n"
                           "cmd_play: Window size  : 30,40\n"
                           "cmd_play: No Zoom      : 1\n"))
        << out;
    pl.run("play " + missing, '1');
    EXPECT_EQ("Error: duplicate stream name 'cam'!\n", pl.run("play -n cam other", '0'));
    // Both fail to open and wait for their next attempt.
    ASSERT_TRUE(pl.p.wait_seen("reconnect timeout=5 sec, start waiting...\n", 10s, 2)) << pl.p.output();
    const std::string both = "             cam      CONNECT_ERR /nonexistent/clip.mjpeg\n"
                             "/nonexistent/clip.mjpeg      CONNECT_ERR /nonexistent/clip.mjpeg\n";
    EXPECT_EQ(both, pl.list_until({both}));

    EXPECT_EQ("Error: invalid number of parameters!\n", pl.run("render cam on off", '0'));
    EXPECT_EQ("Error: unable to find stream 'Cam'.\n", pl.run("render Cam off", '0'));
    EXPECT_EQ("Error: parameter 'maybe'. is not boolean!\n", pl.run("render cam maybe", '0'));
    EXPECT_EQ("Stream 'cam' render is ON.\n", pl.run("render cam", '1'));
    for (auto [word, shown] : {std::pair{"Disable", "OFF"}, {"1", "ON"}, {"false", "OFF"}, {"TRUE", "ON"}}) {
        EXPECT_EQ("", pl.run(std::string("render cam ") + word, '1'));
        EXPECT_EQ(std::string("Stream 'cam' render is ") + shown + ".\n", pl.run("render cam", '1'));
    }
    for (const char* bad : {"stop", "reconnect cam x", "stopall cam"})
        EXPECT_EQ("Error: invalid number of parameters!\n", pl.run(bad, '0'));
    EXPECT_EQ("Error: unable to find stream 'nosuch'.\n", pl.run("reconnect nosuch", '0'));
    EXPECT_EQ("pong(hello)\n", pl.run("ping hello world", '1'));

    EXPECT_EQ("", pl.run("stop cam", '1'));
    EXPECT_EQ(std::string::npos, pl.run("list", '1').find(" cam ")) << out;
    pl.run("play -n cam " + missing, '1');  // the name is free again
    pl.run("stopall", '1');
    EXPECT_EQ("", pl.run("list", '1'));
    EXPECT_EQ("Play new stream in window. Parameters are:\n"
              "  -n <name>     Stream name.\n"
              "  -f <name>     Input format name (Example: mjpeg).\n"
              "  -p <x> <y>    Window position on screen.\n"
              "  -s <w> <h>    Window size (if 0, use source size).\n"
              "  -z            No-zoom (draw actual source size).\n"
              "  -a            Keep aspect ratio (fit in window, black bars; not with -z).\n"
              "  -o <key=val>  Input option for FFmpeg (Example: rtsp_transport=tcp); repeatable, up to 16.\n"
              "  -d <key=val>  Decoder option for FFmpeg (Example: threads=1); repeatable, up to 16.\n"
              "  -c <name>     Decoder name (Example: h264_v4l2m2m).\n"
              "  -r <sec>      Reconnect delay, 1 to 3600 seconds (default 5).\n"
              "                Option values cannot hold spaces.\n"
              "  <streamurl>   Stream URL.\n\n",
              pl.run("help play", '1'));
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
        auto t0 = std::chrono::steady_clock::now();
        if (how == 0)
            pl.p.send("exit\n");
        else if (how < 0)
            pl.p.close_input();
        else
            kill(pl.p.pid(), how);
        EXPECT_EQ(0, pl.p.wait_exit(10s)) << how << pl.p.output();
        if (how > 0) {
            EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << how;
        }
        for (const char* t : {"probing", "stalled", "playing", "refused", "render"})
            EXPECT_NE(std::string::npos, pl.p.output().find("thread '" + std::string(t) + "' exited")) << t;
    }
}

}  // namespace
