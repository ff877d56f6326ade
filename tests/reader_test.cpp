#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "in_process.h"
#include "media.h"
#include "player.h"
#include "reader.h"
#include "render.h"

namespace {

using namespace std::chrono_literals;

const bool threads_ready = (threads_init(), true);

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A stream record with just what the watchdog needs.
struct WatchedStream {
    stream_t* s = stream_new("cam1", "none", {});
    ~WatchedStream() { stream_free(s); }
};

// Stands in for a blocked reader: counts the interrupts that end its waits.
std::atomic<int> interrupts_seen, reader_stop;
monitor_t idle_mon;

void* counting_reader(void*)
{
    monitor_lock(&idle_mon);
    while (reader_stop.load() == 0)
        if (monitor_wait_timeout(&idle_mon, 20) == 4)
            interrupts_seen.fetch_add(1);
    monitor_unlock(&idle_mon);
    return nullptr;
}

bool wait_until(const std::atomic<int>& v, int want)
{
    for (int i = 0; i < 500 && v.load() < want; ++i)
        thread_sleep(10);
    return v.load() >= want;
}

TEST(Watchdog, CheckInterruptsTheReaderAtEveryPassFromTheDeadlineOn)
{
    WatchedStream w;
    monitor_init(&idle_mon);
    interrupts_seen = reader_stop = 0;
    thread_start(&w.s->reader, counting_reader, w.s);
    const long long now = 1'000'000;
    testing::internal::CaptureStdout();
    stream_check(w.s, now);  // nothing armed
    w.s->unblock_time = now + 1;
    stream_check(w.s, now);  // one millisecond early
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    w.s->unblock_time = now;
    testing::internal::CaptureStdout();
    stream_check(w.s, now);
    EXPECT_TRUE(wait_until(interrupts_seen, 1));
    stream_check(w.s, now + 500);  // still armed: interrupts again
    EXPECT_TRUE(wait_until(interrupts_seen, 2));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(2, count_of(out, "stream_check: block timeout is expired! interrupt stream reader 'cam1'!\n")) << out;
    EXPECT_EQ(now, w.s->unblock_time);
    reader_stop = 1;
    thread_join(&w.s->reader);
    monitor_done(&idle_mon);
}

// FFmpeg calls the callback from threads of its own too: no lock, no
// registered caller. A passed deadline is answered until it is disarmed.
TEST(Watchdog, CallbackAnswersFromAnyThreadUntilDisarmed)
{
    WatchedStream w;
    w.s->unblock_time = current_time_in_millis();
    int answers[3] = {};
    testing::internal::CaptureStdout();
    std::thread([&] {
        for (int& a : answers)
            a = decode_interrupt_cb(w.s);
    }).join();
    EXPECT_EQ("stream_decode_interrupt_cb: block timeout is expired! interrupt stream reader 'cam1'!\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, answers[0]);
    EXPECT_EQ(1, answers[2]);

    w.s->unblock_time = current_time_in_millis() + 60'000;  // armed but far away
    EXPECT_EQ(0, decode_interrupt_cb(w.s));
    w.s->terminate = 1;
    EXPECT_EQ(1, decode_interrupt_cb(w.s));
    w.s->terminate = 0;
    w.s->force_reconnect = 1;
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
}

// The reader in the built program, against files and sources on 127.0.0.1.
TEST(Reader, FilesPlayToTheirEndAndAgain)
{
    Player pl;
    pl.run("play -n raw -f mjpeg " + clip_mjpeg(), '1');
    pl.run("play -n ts -p 320 0 " + clip_h264_ts(), '1');
    pl.run("play -n sound " + clip_audio(), '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: cannot find video stream!\n", 20s)) << pl.p.output();
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: maybe EOF reached! err=-541478725\n", 30s, 2)) << pl.p.output();
    const std::vector<std::string> states = {
        "             raw     RECONNECTING " + clip_mjpeg() + "\n",
        "              ts     RECONNECTING " + clip_h264_ts() + "\n",
        "           sound          STOPPED " + clip_audio() + "\n",
    };
    const std::string list = pl.list_until(states);
    for (const auto& line : states)
        EXPECT_NE(std::string::npos, list.find(line)) << list;
    std::string out = pl.p.output();
    EXPECT_EQ(2, count_of(out, "reader_thread: readed 250 frames\n")) << out;
    // Only the raw stream, which is not probed, learns its size from its first picture.
    EXPECT_EQ(1, count_of(out, "reader_thread: got stream w=320, h=240, pixfmt=12\n")) << out;

    // The count goes on across connections.
    pl.run("reconnect raw", '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 500 frames\n", 20s, 2)) << pl.p.output();
    EXPECT_EQ(0, count_of(pl.p.output(), "frame is leaved valid")) << pl.p.output();
    pl.run("stop raw", '1');
    EXPECT_NE(std::string::npos, pl.all.find("reader_thread: total readed frames=")) << pl.all;
    pl.p.close_input();  // with a stream still running
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(Reader, AReconnectRequestSpoilsNoLaterAttempt)
{
    const int port = free_port();
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
    Player pl;
    pl.run("play -n cam -f mjpeg " + url, '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: reconnect timeout=5 sec, start waiting...\n", 10s));
    pl.run("reconnect cam", '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: try to reconnect!\n", 2s)) << pl.p.unread();
    ASSERT_TRUE(pl.wait_for("err=-111\n", 5s)) << pl.p.unread();
    // The attempts after it still connect once the source is there.
    auto server = serve_with_ffmpeg("-i " + clip_mjpeg() + " -c copy", "-f mjpeg " + url + "?listen=1", port);
    ASSERT_TRUE(pl.wait_for("reader_thread: av_open_input_file() returns 0!\n", 15s)) << pl.p.unread();
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.unread();
    pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

// Stalled while opening and while reading: both are given up at their
// deadlines, although an interrupted open or read may report success.
TEST(Reader, StalledSourcesAreGivenUpAndReconnected)
{
    PyServer silent("silent", "-", 0);
    PyServer stall("stall", clip_mjpeg(), 260);
    const std::string quiet_url = "tcp://127.0.0.1:" + std::to_string(silent.port());
    Player pl;
    pl.run("play -n quiet -f mjpeg " + quiet_url, '1');
    pl.run("play -n frozen -f mjpeg tcp://127.0.0.1:" + std::to_string(stall.port()), '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 250 frames\n", 20s)) << pl.p.output();
    EXPECT_TRUE(pl.p.wait_seen("reader_thread: cannot open input file '" + quiet_url + "', err=-110\n", 12s))
        << pl.p.output();
    EXPECT_TRUE(pl.p.wait_seen("reader_thread: maybe EOF reached!", 12s)) << pl.p.output();
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 500 frames\n", 30s)) << pl.p.output();
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(Reader, GarbageAfterThePicturesCountsAsLost)
{
    PyServer garbage("garbage", clip_mjpeg(), 260);
    Player pl;
    pl.run("play -n junk -f mpjpeg http://127.0.0.1:" + std::to_string(garbage.port()) + "/", '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.output();
    const auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(pl.wait_for("reader_thread: maybe EOF reached! err=-1094995529\n", 12s)) << pl.p.output();
    EXPECT_GE(std::chrono::steady_clock::now() - since, 4s);
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 500 frames\n", 20s)) << pl.p.output();
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

// Probed sources that stall where FFmpeg's probes swallow the watchdog's
// first answer: a raw MJPEG stream after 20 pictures, and 100 KB over HTTP
// and over TCP. Each is given up within two deadlines (FFmpeg alone would
// read on for half a minute).
TEST(Reader, StallsInsideTheProbesAreGivenUp)
{
    PyServer pictures("stall", clip_mjpeg(), 20), http("httpbytes", clip_mjpeg(), 100), tcp("bytes", clip_mjpeg(), 100);
    Player pl;
    pl.run("play -n a tcp://127.0.0.1:" + std::to_string(pictures.port()), '1');
    pl.run("play -n b http://127.0.0.1:" + std::to_string(http.port()) + "/", '1');
    pl.run("play -n c tcp://127.0.0.1:" + std::to_string(tcp.port()), '1');
    EXPECT_TRUE(pl.p.wait_seen("reader_thread: try to reconnect!\n", 22s, 3)) << pl.p.output();
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(Reader, AsyncProtocolAndEndlessGarbageAreHandled)
{
    Player pl;
    pl.run("play -n async -f mjpeg async:" + clip_mjpeg(), '1');
    pl.run("play -n zero -f mjpeg /dev/zero", '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: readed 250 frames\n", 20s)) << pl.p.output();
    // A parser that never finds a picture does not buffer the source away.
    ASSERT_TRUE(pl.p.wait_seen(" bytes read without a picture!\n", 20s)) << pl.p.output();
    const auto t0 = std::chrono::steady_clock::now();
    pl.run("stop zero", '1');
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    std::ifstream status("/proc/" + std::to_string(pl.p.pid()) + "/status");
    long peak_kb = -1;
    for (std::string line; std::getline(status, line);)
        peak_kb = line.rfind("VmHWM:", 0) == 0 ? std::stol(line.substr(6)) : peak_kb;
    EXPECT_GT(peak_kb, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kb, 200 * 1024);  // sanitizers keep freed memory and shadows
#endif
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

// Sixteen streams of undecodable data beside a good one: the good one still
// gets every picture.
TEST(Reader, UndecodableStreamsStarveNoOther)
{
    TempDir dir;
    std::ofstream(dir.file("text.mjpeg")) << std::string(20000, 'x');
    Player pl;
    for (int i = 0; i < 16; ++i)
        pl.run("play -n bad" + std::to_string(i) + " -f mjpeg " + dir.file("text.mjpeg"), '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: maybe EOF reached! err=-541478725\n", 20s, 16)) << pl.p.output();
    // 100 pictures at once, then a stall that the watchdog reports by name.
    PyServer good("stall", clip_mjpeg(), 100);
    pl.run("play -n good -f mjpeg tcp://127.0.0.1:" + std::to_string(good.port()), '1');
    ASSERT_TRUE(pl.p.wait_seen("interrupt stream reader 'good'!\n", 20s)) << pl.p.output();
    const std::string st = pl.run("stats good", '1');
    const size_t at = st.find(" dropped=");
    ASSERT_NE(std::string::npos, at) << st;
    EXPECT_LE(std::stoi(st.substr(at + 9)), 10) << st;
    EXPECT_NE(std::string::npos, st.find(" size=320x240 ")) << st;
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

}  // namespace

// The reader and the renderer in this process, on the memory surface.
namespace {

using namespace std::chrono_literals;

class OnSurface : public InProcessSuite {
protected:
    void SetUp() override
    {
        fb0 = fb_open_fake(800, 600);
        render_start();
    }
    void TearDown() override
    {
        for (stream_t* s : streams) {
            stream_stop(s);
            stream_free(s);
        }
        render_stop();
        fb_close(fb0);
        fb0 = nullptr;
    }

    stream_t* play(const char* name, const std::string& url, int x, int y, int w, int h, int nozoom, int reconnect)
    {
        stream_settings_t set;
        std::tie(set.x, set.y, set.w, set.h, set.nozoom, set.reconnect) = std::tuple(x, y, w, h, nozoom, reconnect);
        stream_t* s = stream_new(name, url.c_str(), set);
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
        const auto deadline = std::chrono::steady_clock::now() + timeout;
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
bool near(uint16_t got, uint16_t want)
{
    auto d = [](int a, int b) { return a > b ? a - b : b - a; };
    return d(got >> 11, want >> 11) <= 2 && d((got >> 5) & 63, (want >> 5) & 63) <= 4 && d(got & 31, want & 31) <= 2;
}

// Decoded, converted and scaled into its window; the window geometry itself
// is the renderer's tests' business.
TEST_F(OnSurface, PicturesLandInTheirWindow)
{
    const std::string clip = make_clip(
        "quadrants-64x48.nut",
        "-f lavfi -i color=c=white:s=64x48:r=25 -frames:v 5 "
        "-vf drawbox=x=0:y=0:w=32:h=24:c=red:t=fill,drawbox=x=32:y=0:w=32:h=24:c=lime:t=fill,"
        "drawbox=x=0:y=24:w=32:h=24:c=blue:t=fill -c:v rawvideo -pix_fmt yuv420p -f nut");
    // Reconnection off: the reader ends at the end of its file, leaving its
    // last picture on the screen and no status icon.
    stream_t* s = play("scaled", clip, 100, 20, 128, 96, 0, 0);
    ASSERT_TRUE(until([s] { return s->state.load() == SS_STOPPED && thread_is_alive(&s->reader) == 0; }, 20s));
    EXPECT_TRUE(near(pixel(132, 44), 0xF800)) << std::hex << pixel(132, 44);   // red
    EXPECT_TRUE(near(pixel(196, 44), 0x07E0)) << std::hex << pixel(196, 44);   // green
    EXPECT_TRUE(near(pixel(132, 92), 0x001F)) << std::hex << pixel(132, 92);   // blue
    EXPECT_TRUE(near(pixel(196, 92), 0xFFFF)) << std::hex << pixel(196, 92);   // white
    for (auto [x, y] : {std::pair{99, 20}, {100, 19}, {228, 115}, {227, 116}})
        EXPECT_EQ(0, pixel(x, y)) << x << "," << y;
    EXPECT_NE(0, pixel(100, 20));
    EXPECT_NE(0, pixel(227, 115));
}

// Each group of ten pictures is one flat grey, a little lighter than the
// group before, and starts with a keyframe; within a group the encoder only
// repeats the picture before. A decoder that picks up in the middle of a
// group paints the grey of whatever it decoded last.
int group_of(uint16_t pix)
{
    const double luma = ((pix >> 5) & 63) * 255.0 / 63.0 * 219.0 / 255.0 + 16.0;
    return static_cast<int>(std::lround((luma - 16.0) / 16.0)) % 13;
}

TEST_F(OnSurface, DrawingResumesAtAKeyframeAfterRenderOff)
{
    const std::string clip =
        make_clip("grey-groups-h264.ts", "-f lavfi -i color=c=black:s=96x64:r=25 -t 12 "
                                         "-vf geq=lum='16+16*mod(floor(N/10)\\,13)':cb=128:cr=128 "
                                         "-c:v libx264 -preset ultrafast -bf 0 -g 10 -keyint_min 10 "
                                         "-sc_threshold 0 -f mpegts");
    const int port = free_port();
    auto server = serve_with_ffmpeg("-re -i " + clip + " -c copy",
                                    "-f mpegts tcp://127.0.0.1:" + std::to_string(port) + "?listen=1", port);
    stream_t* s = play("grey", "tcp://127.0.0.1:" + std::to_string(port), 50, 50, 0, 0, 0, 5);
    const int cx = 50 + 48, cy = 50 + 32;
    // Past the first group, so that the grey has moved on at least once.
    ASSERT_TRUE(until([&] { return pixel(cx, cy) != 0 && group_of(pixel(cx, cy)) >= 1; }, 20s));
    const int before = group_of(pixel(cx, cy));

    s->render_off = 1;
    std::this_thread::sleep_for(1500ms);  // the source runs on for three groups and more
    constexpr uint16_t marker = 0xF81F;   // magenta: no grey
    for (int y = 50; y < 50 + 64; ++y)
        for (int x = 50; x < 50 + 96; ++x)
            memcpy(fb0->fb + y * fb0->finfo.line_length + 2 * x, &marker, 2);
    s->render_off = 0;
    ASSERT_TRUE(until([&] { return pixel(cx, cy) != marker; }, 5s));
    // The first picture drawn again is from a group begun after drawing was
    // switched off, never from one decoded before.
    const int moved = (group_of(pixel(cx, cy)) - before + 13) % 13;
    EXPECT_GE(moved, 3) << "before " << before;
    EXPECT_LE(moved, 8) << "before " << before;
}

}  // namespace
