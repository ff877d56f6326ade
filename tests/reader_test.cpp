
#include <fstream>
#include <tuple>

#include "in_process.h"
#include "media.h"
#include "player.h"
#include "decoder.h"
#include "reader.h"

namespace {

using namespace std::chrono_literals;

// How the reader ends a line about a failed FFmpeg call.
const std::string lost = "reader_thread: maybe EOF reached! ";

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A stream record with just what the watchdog needs.
using WatchedStream = std::unique_ptr<stream_t, decltype(&stream_free)>;
WatchedStream watched() { return WatchedStream(stream_new("cam1", "none", {}), stream_free); }

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

TEST(Watchdog, CheckInterruptsTheReaderAtEveryPassFromTheDeadlineOn)
{
    WatchedStream w = watched();
    monitor_init(&idle_mon);
    interrupts_seen = reader_stop = 0;
    thread_start(&w->reader, counting_reader, w.get());
    const long long now = 1'000'000;
    testing::internal::CaptureStdout();
    stream_check(w.get(), now);  // nothing armed
    w->unblock_time = now + 1;
    stream_check(w.get(), now);  // one millisecond early
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    w->unblock_time = now;
    testing::internal::CaptureStdout();
    stream_check(w.get(), now);
    EXPECT_TRUE(until([] { return interrupts_seen >= 1; }));
    stream_check(w.get(), now + 500);  // still armed: interrupts again
    EXPECT_TRUE(until([] { return interrupts_seen >= 2; }));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(2, count_of(out, "stream_check: block timeout is expired! interrupt stream reader 'cam1'!\n")) << out;
    EXPECT_EQ(now, w->unblock_time);
    reader_stop = 1;
    thread_join(&w->reader);
    monitor_done(&idle_mon);
}

// FFmpeg calls the callback from threads of its own too: no lock, no
// registered caller. A passed deadline is answered until it is disarmed.
TEST(Watchdog, CallbackAnswersFromAnyThreadUntilDisarmed)
{
    WatchedStream w = watched();
    w->unblock_time = current_time_in_millis();
    int answers[3] = {};
    testing::internal::CaptureStdout();
    std::thread([&] {
        for (int& a : answers)
            a = decode_interrupt_cb(w.get());
    }).join();
    EXPECT_EQ("stream_decode_interrupt_cb: block timeout is expired! interrupt stream reader 'cam1'!\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, answers[0]);
    EXPECT_EQ(1, answers[2]);

    w->unblock_time = current_time_in_millis() + 60'000;  // armed but far away
    EXPECT_EQ(0, decode_interrupt_cb(w.get()));
    w->terminate = 1;
    EXPECT_EQ(1, decode_interrupt_cb(w.get()));
    w->terminate = 0;
    w->force_reconnect = 1;
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.get()));
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.get()));
}

// The reader in the built program, against files and sources on 127.0.0.1.
TEST(Reader, FilesPlayToTheirEndAndAgain)
{
    Player pl;
    // A long delay for raw, so that its stop below comes while it waits.
    pl.run("play -n raw -r 60 -f mjpeg " + clip_mjpeg(), '1');
    pl.run("play -n ts -p 320 0 " + clip_h264_ts(), '1');
    pl.run("play -n sound " + clip_audio(), '1');
    ASSERT_TRUE(pl.p.wait_seen("reader_thread: cannot find video stream!\n", 20s)) << pl.p.output();
    ASSERT_TRUE(pl.p.wait_seen(lost + err(AVERROR_EOF), 30s, 2)) << pl.p.output();
    const std::vector<std::string> states = {
        "             raw     RECONNECTING " + clip_mjpeg() + " page=1 label=\"\"\n",
        "              ts     RECONNECTING " + clip_h264_ts() + " page=1 label=\"\"\n",
        "           sound          STOPPED " + clip_audio() + " page=1 label=\"\"\n",
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
    ASSERT_TRUE(pl.wait_for(err(AVERROR(ECONNREFUSED)), 5s)) << pl.p.unread();
    // The attempts after it still connect once the source is there.
    PyServer server("good", clip_mjpeg(), 0, port);
    ASSERT_TRUE(pl.wait_for("reader_thread: av_open_input_file() returns 0!\n", 15s)) << pl.p.unread();
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.unread();
    pl.p.close_input();
    EXPECT_EQ(0, pl.p.wait_exit(20s));
}

TEST(Reader, GarbageAfterThePicturesCountsAsLost)
{
    PyServer garbage("garbage", clip_mjpeg(), 260);
    Player pl;
    pl.run("play -n junk -f mpjpeg http://127.0.0.1:" + std::to_string(garbage.port()) + "/", '1');
    ASSERT_TRUE(pl.wait_for("reader_thread: readed 250 frames\n", 20s)) << pl.p.output();
    const auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(pl.wait_for(lost + err(AVERROR_INVALIDDATA), 12s)) << pl.p.output();
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
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);  // as every stop, loaded machines included
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
    ASSERT_TRUE(pl.p.wait_seen(lost + err(AVERROR_EOF), 20s, 16)) << pl.p.output();
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

// A 640x360 picture: the loop filter of non-key pictures goes only where the
// window shows it at half size or less both ways, -d's choice winning; a
// move decides again.
TEST(Decoder, SkipsTheLoopFilterForSmallWindowsOnly)
{
    struct { AVCodecID codec; int w, h, nozoom; std::vector<std::string> options; AVDiscard small, moved; } const cases[] = {
        {AV_CODEC_ID_H264, 320, 180, 0, {}, AVDISCARD_NONKEY, AVDISCARD_DEFAULT},
        {AV_CODEC_ID_HEVC, 200, 150, 0, {}, AVDISCARD_NONKEY, AVDISCARD_DEFAULT},
        {AV_CODEC_ID_H264, 321, 150, 0, {}, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT},
        {AV_CODEC_ID_H264, 200, 150, 1, {}, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT},
        {AV_CODEC_ID_H264, 200, 150, 0, {"skip_loop_filter=default"}, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT},
    };
    for (const auto& c : cases) {
        const stream_settings_t set = {.w = c.w, .h = c.h, .nozoom = c.nozoom, .decoder_options = c.options};
        WatchedStream s(stream_new("tile", "none", set), stream_free);
        AVCodecParameters* par = avcodec_parameters_alloc();
        std::tie(par->codec_type, par->codec_id, par->width, par->height) =
            std::tuple(AVMEDIA_TYPE_VIDEO, c.codec, 640, 360);
        video_decoder_t d;
        ASSERT_EQ(decoder_open(s.get(), par, &d), 0);
        avcodec_parameters_free(&par);
        for (const AVDiscard want : {c.small, c.moved}) {
            decoder_fit_window(&d, s.get());
            EXPECT_EQ(d.ctx->skip_loop_filter, want) << avcodec_get_name(c.codec) << " " << c.w << "x" << c.h;
            stream_note_window_size(s.get(), 640, 360);
        }
    }
}

TEST(Reader, UdpWithALargeKernelBufferSkipsFfmpegsRing)
{
    const std::tuple<const char*, std::vector<std::string>, const char*> cases[] = {
        {"udp://h:5?buffer_size=1048576", {}, "0"}, {"udp://h:5?buffer_size=65536", {}, nullptr},
        {"udp://h:5", {"buffer_size=4194304"}, "0"}, {"udp://h:5?buffer_size=4194304", {"fifo_size=9"}, "9"},
        {"tcp://h:5?buffer_size=4194304", {}, nullptr}};
    for (const auto& [url, given, fifo] : cases) {
        AVDictionary* options = options_dictionary(given);
        reader_input_defaults(url, &options);
        const AVDictionaryEntry* e = av_dict_get(options, "fifo_size", nullptr, 0);
        EXPECT_STREQ(fifo, e != nullptr ? e->value : nullptr) << url;
        av_dict_free(&options);
    }
}
