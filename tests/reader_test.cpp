#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "media.h"
#include "player.h"
#include "velmor.h"

namespace {

const bool threads_ready = (threads_init(), true);

// A stream record with just what the watchdog needs.
struct WatchedStream {
    WatchedStream()
    {
        s = new stream_t{};
        monitor_init(&s->lock);
        s->name = strdup("cam1");
        thread_init(&s->reader, "cam1");
    }
    ~WatchedStream()
    {
        thread_done(&s->reader);
        monitor_done(&s->lock);
        free(s->name);
        delete s;
    }
    stream_t* s;
};

// Stands in for a blocked reader: counts the interrupts it receives, each
// ending one wait, until told to stop.
std::atomic<int> interrupts_seen;
std::atomic<int> reader_stop;
monitor_t idle_mon;

void* counting_reader(void*)
{
    monitor_lock(&idle_mon);
    while (reader_stop.load() == 0) {
        if (monitor_wait_timeout(&idle_mon, 20) == 4)
            interrupts_seen.fetch_add(1);
    }
    monitor_unlock(&idle_mon);
    return nullptr;
}

bool wait_until(const std::atomic<int>& v, int want)
{
    for (int i = 0; i < 500 && v.load() < want; ++i)
        thread_sleep(10);
    return v.load() >= want;
}

TEST(StreamState, Names)
{
    WatchedStream w;
    const char* expected[] = {"CREATING", "CONNECTING", "CONNECT_ERR", "CONNECTED", "RECONNECTING", "STOPPED"};
    for (int st = 0; st < 6; ++st) {
        w.s->state = static_cast<stream_state_e>(st);
        EXPECT_STREQ(expected[st], stream_get_state_name(w.s));
    }
    w.s->state = static_cast<stream_state_e>(6);
    EXPECT_STREQ("UNKNOWN", stream_get_state_name(w.s));
    w.s->state = static_cast<stream_state_e>(-1);
    EXPECT_STREQ("UNKNOWN", stream_get_state_name(w.s));
}

TEST(Watchdog, CheckInterruptsTheReaderOnlyOnceTheDeadlineIsReached)
{
    WatchedStream w;
    monitor_init(&idle_mon);
    interrupts_seen = 0;
    reader_stop = 0;
    thread_start(&w.s->reader, counting_reader, w.s);

    const long long now = 1'000'000;
    testing::internal::CaptureStdout();
    stream_check(w.s, now);  // nothing armed
    w.s->unblock_time = now + 1;
    stream_check(w.s, now);  // one millisecond early
    std::string quiet = testing::internal::GetCapturedStdout();
    EXPECT_EQ("", quiet);

    w.s->unblock_time = now;
    testing::internal::CaptureStdout();
    stream_check(w.s, now);
    ASSERT_TRUE(wait_until(interrupts_seen, 1));
    stream_check(w.s, now + 500);  // still armed: a second pass interrupts again
    ASSERT_TRUE(wait_until(interrupts_seen, 2));
    std::string out = testing::internal::GetCapturedStdout();
    const std::string line = "stream_check: block timeout is expired! interrupt stream reader 'cam1'!\n";
    // The signal handler's own lines come in between; count ours.
    size_t count = 0;
    for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
        ++count;
    EXPECT_EQ(2u, count) << out;
    EXPECT_EQ(now, w.s->unblock_time);  // left armed

    reader_stop = 1;
    thread_join(&w.s->reader);
    monitor_done(&idle_mon);
}

TEST(Watchdog, CallbackAnswersAnExpiredDeadlineOnce)
{
    WatchedStream w;
    set_block_timeout(w.s, 1);
    long long armed = w.s->unblock_time;
    while (current_time_in_millis() < armed) {
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(0, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(0, decode_interrupt_cb(w.s));
    EXPECT_EQ("stream_decode_interrupt_cb: block timeout is expired! interrupt stream reader 'cam1'!\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, w.s->unblock_time);
}

TEST(Watchdog, CallbackAnswersFlagsAtEveryPoll)
{
    WatchedStream w;
    set_block_timeout(w.s, 60'000);  // armed but far away
    EXPECT_EQ(0, stream_decode_interrupt_cb(w.s));
    w.s->terminate = 1;
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(1, decode_interrupt_cb(w.s));
    w.s->terminate = 0;
    w.s->force_reconnect = 1;
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    w.s->force_reconnect = 0;
    clear_block_timeout(w.s);
    EXPECT_EQ(0, w.s->unblock_time);
    EXPECT_EQ(0, stream_decode_interrupt_cb(w.s));
}

TEST(Watchdog, ArmingUsesTheClock)
{
    WatchedStream w;
    long long before = current_time_in_millis();
    set_block_timeout(w.s, 5000);
    long long after = current_time_in_millis();
    EXPECT_GE(w.s->unblock_time, before + 5000);
    EXPECT_LE(w.s->unblock_time, after + 5000);
}

TEST(WatchdogDeathTest, NonPositiveTimeoutEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    WatchedStream w;
    EXPECT_DEATH(set_block_timeout(w.s, 0), "timeout_millis > 0");
    EXPECT_DEATH(set_block_timeout(w.s, -5), "timeout_millis > 0");
    EXPECT_DEATH(stream_check(nullptr, 0), "stream != nullptr");
}

}  // namespace

// ---------------------------------------------------------------------------
// The reader in the built program, against files and sources on 127.0.0.1
// ---------------------------------------------------------------------------

namespace {

using namespace std::chrono_literals;

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(ReaderFiles, EachKindOfFilePlaysToItsEndAndAgain)
{
    Player pl;
    pl.run("play -n raw -f mjpeg " + clip_mjpeg(), '1');
    pl.run("play -n ts -p 320 0 " + clip_h264_ts(), '1');
    pl.run("play -n sound " + clip_audio(), '1');

    ASSERT_TRUE(pl.p.wait_seen("reader_thread: cannot find video stream!\n", 20s)) << pl.p.output();
    // Both video files reach their end after 250 pictures.
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: maybe EOF reached! err=-541478725\n", 30s, 2)) << pl.p.output();
    const std::vector<std::string> states = {
        "             raw     RECONNECTING " + clip_mjpeg() + "\n",
        "              ts     RECONNECTING " + clip_h264_ts() + "\n",
        "           sound          STOPPED " + clip_audio() + "\n",
    };
    std::string list = pl.list_until(states);
    for (const auto& line : states)
        EXPECT_NE(std::string::npos, list.find(line)) << list;
    std::string out = pl.p.output();
    EXPECT_EQ(2, count_of(out, "reader_thread: readed 250 frames\n")) << out;
    // Only the raw stream, which is not probed, learns its size from its
    // first picture; the probed one knew it already.
    EXPECT_EQ(1, count_of(out, "reader_thread: got stream w=320, h=240, pixfmt=12\n")) << out;
    EXPECT_EQ(2, count_of(out, "reader_thread: av_find_stream_info() returns 0!\n")) << out;

    // One waits out its delay, the other is asked to reconnect at once; the
    // count goes on across connections.
    pl.run("reconnect raw", '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 500 frames\n", 20s, 2)) << pl.p.output();
    out = pl.p.output();
    EXPECT_LE(2, count_of(out, "reader_thread: try to reconnect!\n")) << out;
    EXPECT_EQ(0, count_of(out, "frame is leaved valid")) << out;

    out = pl.run("stop raw", '1');
    EXPECT_NE(std::string::npos, pl.all.find("reader_thread: total readed frames=")) << pl.all;
    EXPECT_EQ("", pl.run("stop sound", '1'));
    pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(ReaderNetwork, SourcesThatGoAwayAndComeBackAreReconnected)
{
    const int http_port = free_port();
    const int tcp_port = free_port();
    const std::string http_out = "-f mpjpeg -listen 1 http://127.0.0.1:" + std::to_string(http_port) + "/";
    const std::string tcp_out = "-f mjpeg tcp://127.0.0.1:" + std::to_string(tcp_port) + "?listen=1";
    const std::string in = "-i " + clip_mjpeg() + " -c copy";
    auto http = serve_with_ffmpeg(in, http_out, http_port);
    auto tcp = serve_with_ffmpeg(in, tcp_out, tcp_port);

    Player pl;
    pl.run("play -n http http://127.0.0.1:" + std::to_string(http_port) + "/", '1');
    pl.run("play -n tcp -f mjpeg tcp://127.0.0.1:" + std::to_string(tcp_port), '1');
    // Each server sends the clip once and goes away.
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 250 frames\n", 30s, 2)) << pl.p.output();
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: maybe EOF reached!", 20s, 2)) << pl.p.output();
    EXPECT_EQ(0, http->wait_exit(10s));
    EXPECT_EQ(0, tcp->wait_exit(10s));

    // Back again: both reconnect by themselves and pictures flow again.
    http = serve_with_ffmpeg(in, http_out, http_port);
    tcp = serve_with_ffmpeg(in, tcp_out, tcp_port);
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 500 frames\n", 30s, 2)) << pl.p.output();
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(ReaderNetwork, UnreachableSourceRetriesAndAReconnectRequestSpoilsNoLaterAttempt)
{
    const int port = free_port();
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    Player pl;
    pl.run("play -n cam -f mjpeg " + url, '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: cannot open input file '" + url + "', err=-111\n", 10s));
    ASSERT_TRUE(pl.wait_for("reader_thread: reconnect timeout=5 sec, start waiting...\n", 10s));
    EXPECT_EQ("             cam      CONNECT_ERR " + url + "\n",
              pl.list_until({"             cam      CONNECT_ERR " + url + "\n"}));

    // A request during the wait starts the next attempt at once...
    pl.run("reconnect cam", '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: try to reconnect!\n", 2s)) << pl.p.unread();
    ASSERT_TRUE(pl.wait_for("err=-111\n", 5s)) << pl.p.unread();
    // ...and the attempts after it still connect once the source is there.
    auto server = serve_with_ffmpeg("-i " + clip_mjpeg() + " -c copy", "-f mjpeg " + url + "?listen=1", port);
    ASSERT_TRUE(pl.wait_for("reader_thread: try to reconnect!\n", 10s)) << pl.p.unread();
    ASSERT_TRUE(pl.wait_for("reader_thread: av_open_input_file() returns 0!\n", 10s)) << pl.p.unread();
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.unread();
    pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(ReaderNetwork, StalledSourcesAreGivenUpAndReconnected)
{
    PyServer silent("silent", "-", 0);
    PyServer stall("stall", clip_mjpeg(), 260);
    Player pl;
    pl.run("play -n quiet -f mjpeg tcp://127.0.0.1:" + std::to_string(silent.port()), '1');
    pl.run("play -n frozen -f mjpeg tcp://127.0.0.1:" + std::to_string(stall.port()), '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.output();
    // Both stall, one while it opens, the other while it reads. Within a few
    // seconds of their deadlines both are given up, although an interrupted
    // open or read may report success.
    const std::string quiet_url = "tcp://127.0.0.1:" + std::to_string(silent.port());
    EXPECT_TRUE(pl.p.wait_seen("reader_thread: cannot open input file '" + quiet_url + "', err=-110\n", 12s))
        << pl.p.output();
    EXPECT_TRUE(pl.p.wait_seen("block timeout is expired! interrupt stream reader 'frozen'!\n", 12s))
        << pl.p.output();
    EXPECT_TRUE(pl.p.wait_seen("reader_thread: maybe EOF reached!", 5s)) << pl.p.output();
    // The stalled one comes back for another round of pictures.
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 500 frames\n", 30s)) << pl.p.output();

    // A stop in the middle of a stall returns at once.
    ASSERT_TRUE(pl.wait_for("reader_thread: av_open_input_file() returns 0!\n", 15s)) << pl.p.output();
    auto start = std::chrono::steady_clock::now();
    pl.run("stop quiet", '1');
    pl.run("stop frozen", '1');
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ("", pl.run("list", '1'));
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(ReaderNetwork, GarbageAfterThePicturesCountsAsLost)
{
    PyServer garbage("garbage", clip_mjpeg(), 260);
    Player pl;
    pl.run("play -n junk -f mpjpeg http://127.0.0.1:" + std::to_string(garbage.port()) + "/", '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.output();
    auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(pl.wait_for("reader_thread: maybe EOF reached! err=-1094995529\n", 12s)) << pl.p.output();
    EXPECT_GE(std::chrono::steady_clock::now() - since, 4s);
    ASSERT_TRUE(pl.wait_for("reader_thread: try to reconnect!\n", 10s)) << pl.p.output();
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 500 frames\n", 20s)) << pl.p.output();
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

}  // namespace

// ---------------------------------------------------------------------------
// The reader and the renderer in this process, on the memory surface
// ---------------------------------------------------------------------------

namespace {

using namespace std::chrono_literals;

class OnSurface : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        monitor_init(&ffmpeg_mon);
        avformat_network_init();
    }
    static void TearDownTestSuite()
    {
        avformat_network_deinit();
        monitor_done(&ffmpeg_mon);
    }
    void SetUp() override
    {
        fb0 = fb_open_fake(800, 600);
        render_start();
    }
    void TearDown() override
    {
        for (stream_t* s : streams) {
            stream_stop(s);
            stream_done(s);
            delete s;
        }
        render_stop();
        fb_close(fb0);
        fb0 = nullptr;
    }

    stream_t* play(const char* name, const std::string& url, const char* format, int x, int y, int w, int h,
                   int nozoom, int reconnect)
    {
        stream_t* s = new stream_t{};
        stream_init(s, name, url.c_str());
        s->format = format != nullptr ? av_find_input_format(format) : nullptr;
        s->x = x;
        s->y = y;
        s->w = w;
        s->h = h;
        s->nozoom = nozoom;
        s->reconnect = reconnect;
        streams.push_back(s);
        stream_start(s);
        return s;
    }

    static uint16_t pixel(int x, int y)
    {
        uint16_t v;
        memcpy(&v, fb0->fb + y * fb0->finfo.line_length + 2 * x, sizeof v);
        return v;
    }

    static bool until(const std::function<bool()>& done, std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    std::vector<stream_t*> streams;
};

// RGB565 colours whose channels are all or nothing, so that a little colour
// conversion error cannot move them far.
constexpr uint16_t red = 0xF800, green = 0x07E0, blue = 0x001F, white = 0xFFFF;

bool near(uint16_t got, uint16_t want)
{
    auto d = [](int a, int b) { return a > b ? a - b : b - a; };
    return d(got >> 11, want >> 11) <= 2 && d((got >> 5) & 63, (want >> 5) & 63) <= 4 && d(got & 31, want & 31) <= 2;
}

// The 64 x 48 test picture: four quadrants.
uint16_t quadrant(int px, int py)
{
    if (py < 24)
        return px < 32 ? red : green;
    return px < 32 ? blue : white;
}

std::string quadrants_clip()
{
    return make_clip("quadrants-64x48.nut",
                     "-f lavfi -i color=c=white:s=64x48:r=25 -frames:v 5 "
                     "-vf drawbox=x=0:y=0:w=32:h=24:c=red:t=fill,drawbox=x=32:y=0:w=32:h=24:c=lime:t=fill,"
                     "drawbox=x=0:y=24:w=32:h=24:c=blue:t=fill "
                     "-c:v rawvideo -pix_fmt yuv420p -f nut");
}

struct Window {
    int x, y, w, h;             // what was asked
    int dx, dy, dw, dh;         // where the picture lands
    int sx, sy, sw, sh;         // the part of the picture shown
};

// Every pixel of the window's neighbourhood: the picture where it lands
// (a pixel on a quadrant edge may take either side's colour after scaling),
// untouched black around it.
void check_window(const Window& win, uint16_t (*at)(int, int))
{
    int bad = 0;
    for (int y = win.y - 3; y < win.y + std::max(win.h, win.dh) + 3; ++y) {
        for (int x = win.x - 3; x < win.x + std::max(win.w, win.dw) + 3; ++x) {
            uint16_t got = at(x, y);
            bool inside = x >= win.dx && x < win.dx + win.dw && y >= win.dy && y < win.dy + win.dh;
            bool ok;
            if (!inside) {
                ok = got == 0;
            } else {
                int px = win.sx + (x - win.dx) * win.sw / win.dw;
                int py = win.sy + (y - win.dy) * win.sh / win.dh;
                ok = false;
                for (int ny = std::max(py - 1, 0); ny <= std::min(py + 1, 47) && !ok; ++ny)
                    for (int nx = std::max(px - 1, 0); nx <= std::min(px + 1, 63) && !ok; ++nx)
                        ok = near(got, quadrant(nx, ny));
                // Away from the edges the colour is exact to a few levels.
                if (ok && (px % 32 > 1 && px % 32 < 30 && py % 24 > 1 && py % 24 < 22))
                    ok = near(got, quadrant(px, py));
            }
            if (!ok && ++bad <= 5)
                ADD_FAILURE() << "pixel (" << x << "," << y << ") = " << std::hex << got;
        }
    }
    EXPECT_EQ(0, bad);
}

TEST_F(OnSurface, PicturesLandInTheirWindowsPixelByPixel)
{
    const std::string clip = quadrants_clip();
    // Reconnection off: each reader ends at the end of its file, leaving its
    // last picture on the screen and no status icon.
    play("plain", clip, nullptr, 10, 20, 0, 0, 0, 0);
    play("scaled", clip, nullptr, 100, 20, 128, 96, 0, 0);
    play("cut", clip, nullptr, 300, 20, 32, 32, 1, 0);
    play("centred", clip, nullptr, 400, 20, 100, 80, 1, 0);
    for (stream_t* s : streams)
        ASSERT_TRUE(until([s] { return s->state.load() == SS_STOPPED && thread_is_alive(&s->reader) == 0; }, 20s))
            << s->name;
    check_window({10, 20, 0, 0, 10, 20, 64, 48, 0, 0, 64, 48}, pixel);
    check_window({100, 20, 128, 96, 100, 20, 128, 96, 0, 0, 64, 48}, pixel);
    check_window({300, 20, 32, 32, 300, 20, 32, 32, 16, 8, 32, 32}, pixel);
    check_window({400, 20, 100, 80, 418, 36, 64, 48, 0, 0, 64, 48}, pixel);
}

// Each group of ten pictures is one flat grey, a little lighter than the
// group before, and starts with a keyframe; within a group the encoder only
// repeats the picture before. A decoder that picks up in the middle of a
// group therefore paints the grey of whatever it decoded last.
std::string grey_groups_clip()
{
    return make_clip("grey-groups-h264.ts",
                     "-f lavfi -i color=c=black:s=96x64:r=25 -t 12 "
                     "-vf geq=lum='16+16*mod(floor(N/10)\\,13)':cb=128:cr=128 "
                     "-c:v libx264 -preset ultrafast -bf 0 -g 10 -keyint_min 10 -sc_threshold 0 -f mpegts");
}

// The group a grey pixel belongs to.
int group_of(uint16_t pix)
{
    double g8 = ((pix >> 5) & 63) * 255.0 / 63.0;
    double luma = g8 * 219.0 / 255.0 + 16.0;
    return static_cast<int>(std::lround((luma - 16.0) / 16.0)) % 13;
}

TEST_F(OnSurface, DrawingResumesAtAKeyframeAfterRenderOff)
{
    const int port = free_port();
    auto server = serve_with_ffmpeg("-re -i " + grey_groups_clip() + " -c copy",
                                    "-f mpegts tcp://127.0.0.1:" + std::to_string(port) + "?listen=1", port);
    stream_t* s = play("grey", "tcp://127.0.0.1:" + std::to_string(port), nullptr, 50, 50, 0, 0, 0, 5);
    const int cx = 50 + 48, cy = 50 + 32;
    ASSERT_TRUE(until([&] { return pixel(cx, cy) != 0; }, 15s));
    // Past the first group, so that the grey has moved on at least once.
    ASSERT_TRUE(until([&] { return group_of(pixel(cx, cy)) >= 1; }, 5s));
    const int before = group_of(pixel(cx, cy));

    s->render_off = 1;
    // Let the source run on for three groups and more while nothing is drawn.
    std::this_thread::sleep_for(1500ms);
    constexpr uint16_t marker = 0xF81F;  // magenta: no grey
    for (int y = 50; y < 50 + 64; ++y)
        for (int x = 50; x < 50 + 96; ++x)
            memcpy(fb0->fb + y * fb0->finfo.line_length + 2 * x, &marker, 2);
    s->render_off = 0;
    ASSERT_TRUE(until([&] { return pixel(cx, cy) != marker; }, 5s));
    const int after = group_of(pixel(cx, cy));
    // The first picture drawn again comes from a group that began after
    // drawing was switched off, never from the groups decoded before.
    const int moved = (after - before + 13) % 13;
    EXPECT_GE(moved, 3) << "before " << before << ", after " << after;
    EXPECT_LE(moved, 8) << "before " << before << ", after " << after;
}

}  // namespace
