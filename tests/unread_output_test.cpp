// Standard output that nobody reads (a busy controller, a paused terminal)
// holds up no picture, session or shut-down; every answer comes once read.
#include <signal.h>
#include <sys/ioctl.h>

#include "media.h"
#include "player.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int streams = 16, rate = 25, helps = 300;  // 300 help answers: about 200 KiB
const std::string help_end = "Type 'help <command>' for more details.\n";

TEST(UnreadOutput, StallsNoStreamSessionOrShutDown)
{
    const std::string clip = make_clip("testsrc-160x120.mjpeg",
                                       "-f lavfi -i testsrc2=size=160x120:rate=25 -t 10 -c:v mjpeg -q:v 8 -f mjpeg");
    PyServer cam("good", clip, 0, 0, rate);
    Served v;
    Session s(v.sock);
    for (int i = 0; i < streams; ++i)
        s.run("play -n s" + std::to_string(i) + " -f mjpeg -p " + std::to_string(i % 4 * 200) + " " +
                  std::to_string(i / 4 * 150) + " -s 200 150 tcp://127.0.0.1:" + std::to_string(cam.port()), '1');
    // Answers on standard output until its pipe is full.
    const auto fill = [&] {
        for (int i = 0; i < helps; ++i)
            v.p.send("help\n");
        int queued = 0;
        return until([&] { return ioctl(v.p.output_fd(), FIONREAD, &queued) == 0 && queued >= 65536 - 4096; });
    };
    ASSERT_TRUE(fill());
    // A progress line each 250 pictures (10 s): every reader meets the full pipe.
    for (const auto end = Clock::now() + 15s; Clock::now() < end; std::this_thread::sleep_for(250ms)) {
        const auto sent = Clock::now();
        s.run("ping", '1');
        EXPECT_LT(Clock::now() - sent, 100ms);
    }
    const std::string stats = s.run("stats", '1');
    int drawing = 0;
    for (size_t at = 0; (at = stats.find(" fps_out=", at)) != std::string::npos; at += 9)
        drawing += std::stod(stats.substr(at + 9)) >= rate / 2;
    EXPECT_EQ(streams, drawing) << stats;
    // Read again: every answer, then how many diagnostics were lost.
    EXPECT_TRUE(v.p.wait_seen(help_end, 20s, helps));
    EXPECT_TRUE(v.p.wait_seen(" lines dropped\n", 5s));
    ASSERT_TRUE(fill());
    kill(v.p.pid(), SIGTERM);
    EXPECT_EQ(0, v.p.wait_exit(2s, false));
}

}  // namespace
