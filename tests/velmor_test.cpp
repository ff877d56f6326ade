// The built program driven through pipes: the stream commands, their
// messages, and start-up and shut-down.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "media.h"
#include "player.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;


TEST(Commands, PlayRefusesBadArgumentsAndCreatesNothing)
{
    Player pl;
    // After the newline comes one blank, which begins the prompt's line.
    EXPECT_EQ("Error: stream url is not specified. Nothing to play!\n ", pl.run("play", '0'));
    EXPECT_EQ("Error: stream url is not specified. Nothing to play!\n ", pl.run("play -z -p 1 2", '0'));
    EXPECT_EQ("Error: format name is not specified!\n", pl.run("play x -f", '0'));
    EXPECT_EQ("Error: input format name is invalid!\n", pl.run("play -f nosuchformat x", '0'));
    EXPECT_EQ("Error: stream name is not specified!\n", pl.run("play x -n", '0'));
    EXPECT_EQ("Error: window position is not specified correctly!\n", pl.run("play -p 1", '0'));
    EXPECT_EQ("Error: window position is not specified correctly!\n", pl.run("play x -p", '0'));
    EXPECT_EQ("Error: window size is not specified correctly!\n", pl.run("play x -s 5", '0'));
    EXPECT_EQ("Error: unknown parameter 'b'!\n", pl.run("play a b", '0'));
    // An unknown option is taken for the URL.
    EXPECT_EQ("Error: unknown parameter 'x'!\n", pl.run("play -q x", '0'));
    EXPECT_EQ("", pl.run("list", '1'));
    pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit());
}

TEST(Commands, StreamsByNameListRenderStopAndPing)
{
    Player pl;
    const std::string missing = "/nonexistent/clip.mjpeg";
    std::string out = pl.run("play -n cam -f mjpeg -p 10 20 -s 30 40 -z " + missing, '1');
    EXPECT_EQ(0u, out.find("cmd_play: Stream Name  : 'cam'\n"
                           "cmd_play: Stream URL   : '/nonexistent/clip.mjpeg'\n"
                           "cmd_play: Input Format : 'mjpeg'\n"
                           "cmd_play: Window pos   : 10,20\n"
                           "cmd_play: Window size  : 30,40\n"
                           "cmd_play: No Zoom      : 1\n"))
        << out;
    out = pl.run("play -p -5 x " + missing, '1');
    EXPECT_EQ(0u, out.find("cmd_play: Stream Name  : '/nonexistent/clip.mjpeg'\n"
                           "cmd_play: Stream URL   : '/nonexistent/clip.mjpeg'\n"
                           "cmd_play: Input Format : ''\n"
                           "cmd_play: Window pos   : -5,0\n"
                           "cmd_play: Window size  : 0,0\n"
                           "cmd_play: No Zoom      : 0\n"))
        << out;
    EXPECT_EQ("Error: duplicate stream name 'cam'!\n", pl.run("play -n cam other", '0'));
    EXPECT_EQ("Error: duplicate stream name '" + missing + "'!\n", pl.run("play " + missing, '0'));

    // Both fail to open and wait for their next attempt.
    ASSERT_TRUE(pl.p.wait_seen("reconnect timeout=5 sec, start waiting...\n", 10s, 2)) << pl.p.output();
    const std::string both = "             cam      CONNECT_ERR /nonexistent/clip.mjpeg\n"
                             "/nonexistent/clip.mjpeg      CONNECT_ERR /nonexistent/clip.mjpeg\n";
    EXPECT_EQ(both, pl.list_until({both}));

    EXPECT_EQ("Error: invalid number of parameters!\n", pl.run("render", '0'));
    EXPECT_EQ("Error: invalid number of parameters!\n", pl.run("render cam on off", '0'));
    EXPECT_EQ("Error: unable to find stream 'nosuch'.\n", pl.run("render nosuch", '0'));
    EXPECT_EQ("Error: unable to find stream 'Cam'.\n", pl.run("render Cam off", '0'));
    EXPECT_EQ("Stream 'cam' render is ON.\n", pl.run("render cam", '1'));
    EXPECT_EQ("Error: parameter 'maybe'. is not boolean!\n", pl.run("render cam maybe", '0'));
    EXPECT_EQ("Stream 'cam' render is ON.\n", pl.run("render cam", '1'));
    const std::pair<const char*, const char*> words[] = {
        {"OFF", "OFF"}, {"1", "ON"}, {"0", "OFF"}, {"Enable", "ON"}, {"false", "OFF"}, {"TRUE", "ON"}, {"disable", "OFF"},
    };
    for (auto [word, shown] : words) {
        EXPECT_EQ("", pl.run(std::string("render cam ") + word, '1'));
        EXPECT_EQ(std::string("Stream 'cam' render is ") + shown + ".\n", pl.run("render cam", '1'));
    }

    for (const char* bad : {"stop", "stop cam x", "reconnect", "reconnect cam x", "stopall cam"})
        EXPECT_EQ("Error: invalid number of parameters!\n", pl.run(bad, '0'));
    EXPECT_EQ("Error: unable to find stream 'nosuch'.\n", pl.run("stop nosuch", '0'));
    EXPECT_EQ("Error: unable to find stream 'nosuch'.\n", pl.run("reconnect nosuch", '0'));

    // A reconnect request ends the wait at once.
    pl.run("reconnect cam", '1');
    EXPECT_TRUE(pl.wait_for("reader_thread: try to reconnect!\n", 3s)) << pl.p.unread();

    EXPECT_EQ("pong()\n", pl.run("ping", '1'));
    EXPECT_EQ("pong(hello)\n", pl.run("ping hello world", '1'));

    out = pl.run("stop cam", '1');
    EXPECT_EQ(std::string::npos, out.find("Error")) << out;
    out = pl.run("list", '1');
    EXPECT_EQ(std::string::npos, out.find(" cam ")) << out;
    EXPECT_NE(std::string::npos, out.find(missing)) << out;
    // The name is free again.
    pl.run("play -n cam " + missing, '1');
    pl.run("stopall", '1');
    EXPECT_EQ("", pl.run("list", '1'));
    EXPECT_EQ("", pl.run("stopall", '1'));
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(10s));
}

TEST(Commands, HelpNamesEveryCommand)
{
    Player pl;
    std::string help = pl.run("help", '1');
    size_t at = 0;
    for (const char* c : {"help", "exit", "ping", "play", "stop", "stopall", "reconnect", "list", "render"}) {
        size_t found = help.find(std::string(c) + "\t", at);
        ASSERT_NE(std::string::npos, found) << c << "\n" << help;
        at = found;
    }
    EXPECT_EQ("Play new stream in window. Parameters are:\n"
              "  -n <name>     Stream name.\n"
              "  -f <name>     Input format name (Example: mjpeg).\n"
              "  -p <x> <y>    Window position on screen.\n"
              "  -s <w> <h>    Window size (if 0, use source size).\n"
              "  -z            No-zoom (draw actual source size).\n"
              "  <streamurl>   Stream URL.\n\n",
              pl.run("help play", '1'));
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(10s));
}

// Streams in every phase when the program is told to end: each reader ends,
// the renderer stops, and the exit status is 0.
void end_while_busy(bool by_exit)
{
    PyServer silent("silent", "-", 0);
    Player pl;
    const std::string quiet = "tcp://127.0.0.1:" + std::to_string(silent.port());
    pl.run("play -n probing " + quiet, '1');            // stuck probing the input
    pl.run("play -n stalled -f mjpeg " + quiet, '1');   // stuck reading a packet
    pl.run("play -n playing -f mjpeg " + clip_mjpeg(), '1');
    pl.run("play -n refused -f mjpeg tcp://127.0.0.1:" + std::to_string(free_port()), '1');
    ASSERT_TRUE(pl.p.wait_seen("cannot open input file", 10s)) << pl.p.output();
    ASSERT_TRUE(pl.p.wait_seen("got stream w=320, h=240", 10s)) << pl.p.output();
    auto start = std::chrono::steady_clock::now();
    if (by_exit)
        pl.p.send("exit\n");
    else
        pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit(15s)) << pl.p.output();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    const std::string out = pl.p.output();
    for (const char* t : {"probing", "stalled", "playing", "refused", "render"})
        EXPECT_NE(std::string::npos, out.find("thread '" + std::string(t) + "' exited")) << t << "\n" << out;
}

TEST(Entry, ExitEndsEveryStreamInEveryPhase)
{
    end_while_busy(true);
}

TEST(Entry, EndOfInputEndsEveryStreamInEveryPhase)
{
    end_while_busy(false);
}

}  // namespace
