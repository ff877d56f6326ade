// Pictures at their timestamps (-t), loops without a gap (-l), lists of
// inputs in one window, and the lag of live sources bounded by -L.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "in_process.h"
#include "media.h"
#include "player.h"
#include "render.h"
#include "stream.h"

namespace {

using namespace std::chrono_literals;

// H.264 of testsrc2 at 25 pictures a second, `seconds` long.
std::string clip_h264(const std::string& name, int seconds, const std::string& more = "")
{
    return make_clip(name, "-f lavfi -i testsrc2=size=160x120:rate=25:duration=" + std::to_string(seconds)
                               + " -c:v libx264 -preset ultrafast -g 25 " + more);
}

// A window of a paced stream on the memory surface: when it drew its pictures.
struct Watched {
    std::string url;
    bool loop;
    long long want_span_ms;  // first to last picture; 0: looped, seen for 5 s
    stream_t* s = nullptr;
    std::vector<long long> drawn_at;
};

TEST(Paced, FilesKeepTheirTimeThroughJumpsAndLoops)
{
    ASSERT_TRUE(in_process_ready);
    fb0 = fb_open_fake(320, 240);
    render_start();
    // Two seconds, then two at 60 s (a jump forward), then the first two
    // again (a jump back).
    const std::string a = clip_h264("paced-2s.ts", 2), b = clip_h264("paced-2s-at-60s.ts", 2, "-output_ts_offset 60");
    std::vector<Watched> runs = {
        {clip_h264("paced-10s.mp4", 10), false, 9960, nullptr, {}},
        {"concat:" + a + "|" + b + "|" + a, false, 5960, nullptr, {}},
        {clip_h264("paced-2s.mp4", 2), true, 0, nullptr, {}},
    };
    for (Watched& w : runs) {
        stream_settings_t set;
        set.paced = true, set.loop = w.loop, set.reconnect = 0;
        w.s = stream_new(w.url.c_str(), w.url.c_str(), set);
        ASSERT_EQ(0, stream_start(w.s));
    }
    const long long start = current_time_in_millis();
    std::vector<long> seen(runs.size());
    until([&] {
        const long long now = current_time_in_millis();
        bool done = true;
        for (size_t k = 0; k < runs.size(); ++k) {
            if (const long n = runs[k].s->pictures_drawn.load(); n != seen[k])
                runs[k].drawn_at.push_back(now), seen[k] = n;
            done = done && (runs[k].loop ? now - start > 5000 : runs[k].s->state.load() == SS_STOPPED);
        }
        return done;
    }, 20s, 2ms);
    for (Watched& w : runs) {
        stream_stop(w.s);
        const std::vector<long long>& t = w.drawn_at;
        ASSERT_GT(t.size(), 50u) << w.url;
        const long long span = t.back() - t.front();
        if (w.want_span_ms != 0)
            EXPECT_NEAR(w.want_span_ms, span, w.want_span_ms / 50) << w.url;
        else
            EXPECT_GE(w.s->loops.load(), 2) << w.url;
        EXPECT_NEAR(25.0, (t.size() - 1) * 1000.0 / static_cast<double>(span), 1.0) << w.url;
        long long gap = 0;
        for (size_t k = 1; k < t.size(); ++k)
            gap = std::max(gap, t[k] - t[k - 1]);
        EXPECT_LE(gap, 80) << w.url;
        EXPECT_EQ(1, w.s->connects.load()) << w.url;
        stream_free(w.s);
    }
    render_stop();
    fb_close(fb0);
    fb0 = nullptr;
}

TEST(Playlist, GoesOnPastAnInputThatCannotBeOpened)
{
    Player pl;
    const std::string clip = clip_h264("paced-2s.mp4", 2);
    pl.run("play -n ad -l " + clip + " /nonexistent/b.mp4 " + clip, '1');
    std::string line;
    EXPECT_TRUE(until([&] {
        line = pl.run("stats ad", '1');
        return std::atoi(line.c_str() + line.find(" loops=") + 7) >= 3;
    }, 20s, 50ms)) << line;
    EXPECT_NE(std::string::npos, line.find(" state=CONNECTED ")) << line;
    EXPECT_NE(std::string::npos, line.find(" reconnects=0 ")) << line;
    // Said once, then left out of the list.
    const std::string out = pl.p.output(), bad = "cannot open input file '/nonexistent/b.mp4'";
    EXPECT_EQ(out.find(bad), out.rfind(bad)) << out;
    EXPECT_NE(std::string::npos, out.find(bad)) << out;
}

}  // namespace
