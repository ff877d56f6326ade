#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <functional>
#include <random>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "velmor.h"

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"

namespace {

// FFmpeg's own notes on RGB input would drown the test output.
const bool process_ready = (threads_init(), monitor_init(&ffmpeg_mon), av_log_set_level(AV_LOG_ERROR), true);

constexpr int GUARD = 512;
constexpr uint8_t GUARD_BYTE = 0xA5;

// An RGB565 surface whose scan lines run 8 bytes past the visible width,
// between two guard zones: none of those bytes may ever change.
struct Surface {
    fbuffer_t fb{};
    std::vector<uint8_t> mem;
    int w, h, line;

    Surface(int width, int height) : w(width), h(height), line(2 * width + 8)
    {
        mem.assign(static_cast<size_t>(line) * h + 2 * GUARD, GUARD_BYTE);
        fb.fbdev = -1;
        fb.fb = mem.data() + GUARD;
        fb.fb_size = line * h;
        fb.finfo.line_length = static_cast<uint32_t>(line);
        fb.vinfo.bits_per_pixel = 16;
        fb.vinfo.xres = fb.vinfo.xres_virtual = static_cast<uint32_t>(w);
        fb.vinfo.yres = fb.vinfo.yres_virtual = static_cast<uint32_t>(h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                reinterpret_cast<uint16_t*>(fb.fb + y * line)[x] = background(x, y);
    }
    static uint16_t background(int x, int y) { return static_cast<uint16_t>(0x1000 + x * 3 + y * 5); }
    uint16_t at(int x, int y) const { return reinterpret_cast<const uint16_t*>(fb.fb + y * line)[x]; }
    bool margins_intact() const
    {
        for (size_t i = 0; i < mem.size(); ++i) {
            long long off = static_cast<long long>(i) - GUARD;
            if ((off < 0 || off >= fb.fb_size || off % line >= 2 * w) && mem[i] != GUARD_BYTE)
                return false;
        }
        return true;
    }
};

// A stream record with a reader thread that runs whatever the test asks.
struct TestStream {
    stream_t* s = new stream_t{};
    std::function<void()> job;

    TestStream(const char* name, int x, int y, int w, int h, int nozoom = 0)
    {
        monitor_init(&s->lock);
        thread_init(&s->reader, name);
        s->name = strdup(name);
        std::tie(s->x, s->y, s->w, s->h, s->nozoom) = std::tuple(x, y, w, h, nozoom);
    }
    ~TestStream()
    {
        thread_done(&s->reader);
        monitor_done(&s->lock);
        free(s->name);
        delete s;
    }
    void start(std::function<void()> fn)
    {
        job = std::move(fn);
        thread_start(&s->reader, [](void* me) -> void* { return static_cast<TestStream*>(me)->job(), nullptr; }, this);
    }
    void join() { thread_join(&s->reader); }
    void as_reader(std::function<void()> fn)
    {
        start(std::move(fn));
        join();
    }
};

uint16_t pattern(int x, int y)
{
    // The top bit of every channel is set, so no pixel is ever black.
    return static_cast<uint16_t>(((x * 40503u + y * 2654435u) >> 3) | 0x8410);
}

template <uint16_t V>
uint16_t flat(int, int)
{
    return V;
}

// A pool frame with a fresh w x h picture.
frame_t* new_picture(stream_t* s, int w, int h, AVPixelFormat fmt)
{
    frame_t* f = render_get_free_frame(s);
    if (f == nullptr)
        return nullptr;
    EXPECT_EQ(nullptr, f->frame->data[0]) << "a frame from the pool still holds a picture";
    f->frame->width = w;
    f->frame->height = h;
    f->frame->format = fmt;
    EXPECT_EQ(0, av_frame_get_buffer(f->frame, 0));
    return f;
}

frame_t* rgb565_picture(stream_t* s, int w, int h, uint16_t (*pat)(int, int) = pattern)
{
    frame_t* f = new_picture(s, w, h, AV_PIX_FMT_RGB565);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint16_t v = pat(x, y);
            memcpy(f->frame->data[0] + static_cast<size_t>(y) * f->frame->linesize[0] + 2 * x, &v, 2);
        }
    return f;
}

// YUV pictures of 16 x 16 flat blocks, colour (bx + 2 * by) % 4.
constexpr uint8_t BLOCK_COLOURS[4][3] = {{40, 90, 200}, {200, 60, 110}, {120, 200, 60}, {160, 128, 128}};

int block_colour(int x, int y)
{
    return (x / 16 + 2 * (y / 16)) % 4;
}

frame_t* yuv_picture(stream_t* s, int w, int h, AVPixelFormat fmt = AV_PIX_FMT_YUV420P)
{
    frame_t* f = new_picture(s, w, h, fmt);
    AVFrame* p = f->frame;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                p->data[k][(k == 0 ? y : y / 2) * p->linesize[k] + (k == 0 ? x : x / 2)] =
                    BLOCK_COLOURS[block_colour(x, y)][k];
    return f;
}

// What FFmpeg makes of a block colour in RGB565: a flat 32 x 32 picture
// converted on its own (buffers with room for SIMD overruns), once a colour.
uint16_t reference_rgb565(int colour, AVPixelFormat fmt = AV_PIX_FMT_YUV420P)
{
    static std::pair<bool, uint16_t> known[2][4];  // YUV420P, YUVJ420P
    auto& [done, value] = known[fmt == AV_PIX_FMT_YUVJ420P][colour];
    if (!done) {
        const uint8_t* c = BLOCK_COLOURS[colour];
        std::vector<uint8_t> yb(64 * 40, c[0]), ub(64 * 20, c[1]), vb(64 * 20, c[2]), out(128 * 40);
        uint8_t* src[4] = {yb.data(), ub.data(), vb.data(), nullptr};
        uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
        int src_ls[4] = {64, 64, 64, 0}, dst_ls[4] = {128, 0, 0, 0};
        SwsContext* ctx = sws_getContext(32, 32, fmt, 32, 32, AV_PIX_FMT_RGB565, SWS_POINT, nullptr, nullptr, nullptr);
        sws_scale(ctx, src, src_ls, 0, 32, dst, dst_ls);
        sws_freeContext(ctx);
        value = static_cast<uint16_t>(out[0] | out[1] << 8);
        done = true;
    }
    return value;
}

// Within one unit per channel (ordered dithering of the 16-bit output).
bool near(uint16_t a, uint16_t b)
{
    auto d = [](int p, int q) { return std::abs(p - q) <= 1; };
    return d(a >> 11, b >> 11) && d((a >> 5) & 63, (b >> 5) & 63) && d(a & 31, b & 31);
}

bool wait_for(const std::function<bool()>& cond, int max_ms = 10000)
{
    for (int i = 0; i < max_ms && !cond(); ++i)
        thread_sleep(1);
    return cond();
}

bool drawn(stream_t* s)
{
    return wait_for([s] { return s->frames_in_progress.load() == 0; });
}

render_stats_t stats(stream_t* s = nullptr)
{
    render_stats_t st;
    render_get_stats(s, &st);
    return st;
}

class Render : public testing::Test {
protected:
    Surface screen{200, 150};
    void SetUp() override
    {
        fb0 = &screen.fb;
        render_start();
    }
    void TearDown() override
    {
        render_stop();
        EXPECT_TRUE(screen.margins_intact());
        fb0 = nullptr;
    }
    void use(Surface& surface) { fb0 = &surface.fb; }

    // Every pixel of the surface: inside (rx, ry, rw, rh) accepted by
    // `ok(col, row, value)` relative to the rectangle, outside the background.
    static void expect_screen(const Surface& sc, long long rx, long long ry, long long rw, long long rh,
                              const std::function<bool(int, int, uint16_t)>& ok)
    {
        int bad = 0;
        for (int y = 0; y < sc.h; ++y)
            for (int x = 0; x < sc.w; ++x) {
                bool inside = x >= rx && x < rx + rw && y >= ry && y < ry + rh;
                bool good = inside ? ok(int(x - rx), int(y - ry), sc.at(x, y))
                                   : sc.at(x, y) == Surface::background(x, y);
                if (!good && ++bad <= 3)
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") " << (inside ? "inside" : "outside")
                                  << " the picture holds " << std::hex << sc.at(x, y);
            }
        EXPECT_EQ(0, bad);
        EXPECT_TRUE(sc.margins_intact());
    }

    // Registers the stream, draws one picture through it and unregisters.
    static void show(TestStream& t, const std::function<frame_t*()>& picture)
    {
        t.as_reader([&] {
            render_on_stream_start(t.s);
            render_frame(t.s, picture());
            ASSERT_TRUE(drawn(t.s));
            render_on_stream_stop(t.s);
        });
    }
};

// Where each picture lands, pixel by pixel: stretched, centred or cut with
// nozoom, and clipped to the screen wherever the window lies.
TEST_F(Render, WindowGeometryPixelByPixel)
{
    struct Row {
        int x, y, w, h, nozoom, pw, ph;
        int rx, ry, rw, rh, sx, sy, scale;  // the picture's rectangle and its source
    };
    const Row rows[] = {
        // On an 800 x 600 screen.
        {10, 20, 0, 0, 0, 320, 240, 10, 20, 320, 240, 0, 0, 1},
        {0, 0, 640, 480, 0, 320, 240, 0, 0, 640, 480, 0, 0, 2},
        {0, 0, 640, 480, 1, 320, 240, 160, 120, 320, 240, 0, 0, 1},
        {10, 10, 320, 240, 1, 640, 480, 10, 10, 320, 240, 160, 120, 1},
        {0, 0, 320, 240, 1, 321, 240, 0, 0, 320, 240, 0, 0, 1},  // odd surplus cut on the right
        {0, 0, 321, 240, 1, 320, 240, 0, 0, 320, 240, 0, 0, 1},  // odd spare pixel on the right
        {0, 0, 640, 240, 1, 320, 480, 160, 0, 320, 240, 0, 120, 1},
        // 64 x 48 pictures on a 200 x 150 screen: past each edge and corner,
        // scaled, cropped, centred, wholly off.
        {-10, 20, 0, 0, 0, 64, 48, -10, 20, 64, 48, 0, 0, 1},
        {170, 20, 0, 0, 0, 64, 48, 170, 20, 64, 48, 0, 0, 1},
        {20, -10, 0, 0, 0, 64, 48, 20, -10, 64, 48, 0, 0, 1},
        {20, 130, 0, 0, 0, 64, 48, 20, 130, 64, 48, 0, 0, 1},
        {-30, -20, 0, 0, 0, 64, 48, -30, -20, 64, 48, 0, 0, 1},
        {180, 140, 0, 0, 0, 64, 48, 180, 140, 64, 48, 0, 0, 1},
        {150, 100, 128, 96, 0, 64, 48, 150, 100, 128, 96, 0, 0, 2},
        {-50, -40, 128, 96, 0, 64, 48, -50, -40, 128, 96, 0, 0, 2},
        {190, -400, 640, 480, 0, 64, 48, 190, -400, 640, 480, 0, 0, 10},
        {180, 120, 40, 40, 1, 64, 48, 180, 120, 40, 40, 12, 4, 1},
        {-20, 130, 100, 30, 1, 64, 48, -2, 130, 64, 30, 0, 9, 1},
        {-64, 0, 0, 0, 0, 64, 48, -64, 0, 64, 48, 0, 0, 1},
        {200, 0, 0, 0, 0, 64, 48, 200, 0, 64, 48, 0, 0, 1},
        {0, 150, 0, 0, 0, 64, 48, 0, 150, 64, 48, 0, 0, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "window (" << r.x << ", " << r.y << ", " << r.w << ", " << r.h
                                        << ") picture " << r.pw << "x" << r.ph << " nozoom " << r.nozoom);
        Surface sc(r.pw > 64 ? 800 : 200, r.pw > 64 ? 600 : 150);
        use(sc);
        TestStream t("geo", r.x, r.y, r.w, r.h, r.nozoom);
        show(t, [&] { return rgb565_picture(t.s, r.pw, r.ph); });
        // Scaling passes through FFmpeg's internal colour space: allow a unit.
        expect_screen(sc, r.rx, r.ry, r.rw, r.rh, [&](int c, int l, uint16_t v) {
            uint16_t want = pattern(r.sx + c / r.scale, r.sy + l / r.scale);
            return r.scale == 1 ? v == want : near(v, want);
        });
    }
}

TEST_F(Render, WindowsThatFitWriteNothingBesideThem)
{
    // Odd sizes, 1:1 and scaled, in the middle and flush with the
    // bottom-right corner: FFmpeg's converters like to write whole blocks.
    struct Case {
        int x, y, w, h, pw, ph;
        AVPixelFormat fmt;
    };
    const Case cases[] = {
        {50, 40, 0, 0, 61, 47, AV_PIX_FMT_YUV420P},    {139, 103, 0, 0, 61, 47, AV_PIX_FMT_YUV420P},
        {125, 117, 75, 33, 61, 47, AV_PIX_FMT_YUV420P}, {139, 103, 0, 0, 61, 47, AV_PIX_FMT_YUVJ420P},
        {139, 103, 0, 0, 61, 47, AV_PIX_FMT_RGB565},    {139, 103, 0, 0, 61, 47, AV_PIX_FMT_RGB565BE},
        {133, 101, 0, 0, 67, 49, AV_PIX_FMT_RGB24},     {125, 117, 75, 33, 61, 47, AV_PIX_FMT_RGB565},
        // Drawn straight into screen memory.
        {136, 102, 0, 0, 64, 48, AV_PIX_FMT_YUV420P},   {120, 90, 80, 60, 61, 47, AV_PIX_FMT_YUVJ420P},
        {136, 101, 0, 0, 64, 49, AV_PIX_FMT_RGB24},     {104, 118, 96, 32, 64, 48, AV_PIX_FMT_RGB565},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "window (" << k.x << ", " << k.y << ", " << k.w << ", " << k.h
                                        << ") picture " << k.pw << "x" << k.ph << " " << k.fmt);
        Surface sc(200, 150);
        use(sc);
        TestStream t("fit", k.x, k.y, k.w, k.h);
        show(t, [&] {
            frame_t* f = new_picture(t.s, k.pw, k.ph, k.fmt);
            for (int p = 0; p < 4 && f->frame->buf[p] != nullptr; ++p)
                memset(f->frame->buf[p]->data, 0x9C, f->frame->buf[p]->size);
            return f;
        });
        expect_screen(sc, k.x, k.y, k.w != 0 ? k.w : k.pw, k.h != 0 ? k.h : k.ph,
                      [&](int, int, uint16_t v) { return near(v, sc.at(k.x, k.y)); });
    }
}

// Each picture is converted with its own size and format, whatever the
// stream's record says; the scaler is rebuilt only when they or the window
// change.
TEST_F(Render, EachPictureIsDrawnWithItsOwnGeometry)
{
    TestStream t("size", 5, 5, 0, 0);
    auto builds = [&, last = 0]() mutable {
        int now = stats().scaler_builds, n = now - last;
        last = now;
        return n;
    };
    t.as_reader([&] {
        render_on_stream_start(t.s);
        // The reader has already met a larger picture in another format
        // while its last one still waits to be drawn.
        render_hold_pictures(1);
        render_frame(t.s, rgb565_picture(t.s, 64, 48));
        t.s->framew = 160;
        t.s->frameh = 120;
        t.s->framepixfmt = AV_PIX_FMT_YUV420P;
        render_hold_pictures(0);
        ASSERT_TRUE(drawn(t.s));
        EXPECT_EQ(1, builds());
        for (int n = 0; n < 2; ++n) {  // and the other way round
            render_frame(t.s, yuv_picture(t.s, 32, 32));
            ASSERT_TRUE(drawn(t.s));
        }
        EXPECT_EQ(1, builds());
    });
    expect_screen(screen, 5, 5, 64, 48, [](int c, int l, uint16_t v) {
        return c < 32 && l < 32 ? near(v, reference_rgb565(block_colour(c, l))) : v == pattern(c, l);
    });

    t.s->w = 64;  // a new window
    t.as_reader([&] {
        render_frame(t.s, yuv_picture(t.s, 32, 32));
        ASSERT_TRUE(drawn(t.s));
    });
    EXPECT_EQ(1, builds());
    EXPECT_TRUE(near(screen.at(5 + 63, 5), reference_rgb565(block_colour(31, 0))));

    // Drawing switched off: the picture is taken and given back unseen.
    std::vector<uint8_t> before(screen.mem);
    t.s->render_off = 1;
    long long t0 = current_time_in_millis();
    t.as_reader([&] {
        render_frame(t.s, rgb565_picture(t.s, 64, 48, flat<0>));
        ASSERT_TRUE(drawn(t.s));
        render_on_stream_stop(t.s);
    });
    EXPECT_EQ(before, screen.mem);
    EXPECT_GE(t.s->last_frame_time, t0);
    EXPECT_EQ(nullptr, t.s->swsctx);
    EXPECT_EQ(16, stats().free_count);
}

TEST_F(Render, CropKeepsChromaInPlaceAndUncroppableFormatsShowTheirCorner)
{
    // 64 x 48 YUV pictures cut to 32 x 24: the part from column 16, row 12.
    for (AVPixelFormat fmt : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}) {
        Surface sc(200, 150);
        use(sc);
        TestStream t("crop", 20, 30, 32, 24, 1);
        show(t, [&] { return yuv_picture(t.s, 64, 48, fmt); });
        expect_screen(sc, 20, 30, 32, 24, [&](int c, int l, uint16_t v) {
            return near(v, reference_rgb565(block_colour(16 + c, 12 + l), fmt));
        });
    }

    // One bit per pixel cannot be cut at a column: the top-left part shows,
    // with one message for the stream.
    Surface sc(200, 150);
    use(sc);
    TestStream t("mono", 0, 0, 32, 24, 1);
    testing::internal::CaptureStdout();
    t.as_reader([&] {
        render_on_stream_start(t.s);
        for (int n = 0; n < 2; ++n) {
            frame_t* f = new_picture(t.s, 64, 48, AV_PIX_FMT_MONOWHITE);
            for (int y = 0; y < 48; ++y)
                memset(f->frame->data[0] + y * f->frame->linesize[0], y % 2 != 0 ? 0x0F : 0xF0, 8);
            render_frame(t.s, f);
            ASSERT_TRUE(drawn(t.s));
        }
        render_on_stream_stop(t.s);
    });
    std::string out = testing::internal::GetCapturedStdout();
    const std::string msg = "render_thread: cannot crop pixel format 'monow' of stream 'mono': drawing its top-left part\n";
    EXPECT_NE(std::string::npos, out.find(msg)) << out;
    EXPECT_EQ(out.find(msg), out.rfind(msg)) << out;
    expect_screen(sc, 0, 0, 32, 24, [](int c, int l, uint16_t v) { return v == ((c % 8 < 4) == (l % 2 == 0) ? 0 : 0xFFFF); });
}

TEST_F(Render, PoolReplacesTakesBackRunsDryAndWaitsForUnregistration)
{
    TestStream a("a", 0, 0, 64, 48), b("b", 0, 0, 32, 24), c("c", 0, 0, 8, 8);
    render_hold_pictures(1);
    for (TestStream* t : {&a, &b, &c})
        t->as_reader([t] { render_on_stream_start(t->s); });
    a.as_reader([&] { render_frame(a.s, rgb565_picture(a.s, 64, 48, flat<0x1111>)); });
    b.as_reader([&] { render_frame(b.s, rgb565_picture(b.s, 32, 24, flat<0x2222>)); });
    a.as_reader([&] { render_frame(a.s, rgb565_picture(a.s, 64, 48, flat<0x3333>)); });
    render_stats_t st = stats(a.s);
    EXPECT_EQ(14, st.free_count);
    EXPECT_EQ(2, st.ready_count);
    EXPECT_EQ(1, st.stream_ready);
    EXPECT_EQ(1, st.stream_in_progress);

    // a's newer picture kept a's place before b: b's smaller window, drawn
    // last, covers the corner; the rest shows a's newer picture.
    render_hold_pictures(0);
    ASSERT_TRUE(drawn(a.s) && drawn(b.s));
    expect_screen(screen, 0, 0, 64, 48,
                  [](int x, int y, uint16_t v) { return v == (x < 32 && y < 24 ? 0x2222 : 0x3333); });

    // One picture from each of 14 more streams, a and b fill the pool.
    render_hold_pictures(1);
    std::vector<std::unique_ptr<TestStream>> more;
    for (int i = 0; i < 14; ++i) {
        more.push_back(std::make_unique<TestStream>("more", 0, 0, 8, 8));
        stream_t* s = more.back()->s;
        more.back()->as_reader([s] {
            render_on_stream_start(s);
            render_frame(s, rgb565_picture(s, 8, 8));
        });
    }
    a.as_reader([&] { render_frame(a.s, rgb565_picture(a.s, 64, 48)); });
    b.as_reader([&] { render_frame(b.s, rgb565_picture(b.s, 32, 24)); });
    EXPECT_EQ(16, stats().ready_count);
    c.as_reader([&] { EXPECT_EQ(nullptr, render_get_free_frame(c.s)); });  // nothing of its own waits
    a.as_reader([&] {
        frame_t* f = render_get_free_frame(a.s);  // takes back its own waiting frame
        ASSERT_NE(nullptr, f);
        EXPECT_EQ(nullptr, f->frame->data[0]);
        render_stats_t s2 = stats(a.s);
        EXPECT_EQ(15, s2.ready_count);
        EXPECT_EQ(0, s2.stream_in_progress);
        EXPECT_EQ(nullptr, render_get_free_frame(a.s));
        render_put_free_frame(a.s, f);
        EXPECT_EQ(1, stats().free_count);
    });

    // Unregistration waits while a picture of the stream is held back.
    std::atomic<int> stopped{0};
    b.start([&] {
        render_on_stream_stop(b.s);
        stopped = 1;
    });
    ASSERT_TRUE(wait_for([&] { return b.s->reader.state.load() == WAITING; }));
    EXPECT_EQ(0, stopped.load());
    render_hold_pictures(0);
    b.join();
    EXPECT_EQ(1, stopped.load());
    EXPECT_EQ(0, b.s->frames_in_progress.load());
    for (TestStream* t : {&a, &c})
        t->as_reader([t] { render_on_stream_stop(t->s); });
    for (auto& m : more)
        m->as_reader([&m] { render_on_stream_stop(m->s); });
    EXPECT_EQ(16, stats().free_count);
}

TEST_F(Render, PoolAccountingHoldsUnderConcurrentProducers)
{
    constexpr int READERS = 10;
    std::atomic<int> violations{0}, handed{0};
    std::vector<std::unique_ptr<TestStream>> readers;
    auto check = [&](stream_t* s) {
        render_stats_t st = stats(s);
        int total = st.free_count + st.ready_count + st.drawing;
        if (st.stream_ready > 1 || st.stream_in_progress != st.stream_ready + st.stream_drawing || total > 16
            || total < 16 - READERS)
            violations.fetch_add(1);
    };
    for (int i = 0; i < READERS; ++i) {
        readers.push_back(std::make_unique<TestStream>("producer", 10 * i, 10 * i, 16, 16));
        stream_t* s = readers[i]->s;
        readers[i]->start([&, s, i] {
            render_on_stream_start(s);
            for (int n = 0; n < 300; ++n) {
                // Now and then pictures pile up, so that the free list runs dry.
                if (i == 0 && n % 50 == 0)
                    render_hold_pictures((n / 50) % 2);
                frame_t* f = render_get_free_frame(s);
                check(s);
                if (f == nullptr)
                    continue;
                f->frame->width = f->frame->height = 8;
                f->frame->format = AV_PIX_FMT_RGB565;
                av_frame_get_buffer(f->frame, 0);
                if (n % 7 == 3) {
                    render_put_free_frame(s, f);
                } else {
                    render_frame(s, f);
                    handed.fetch_add(1);
                }
                check(s);
            }
            if (i == 0)
                render_hold_pictures(0);
            render_on_stream_stop(s);
            check(s);
        });
    }
    for (auto& r : readers)
        r->join();
    EXPECT_EQ(0, violations.load());
    EXPECT_GT(handed.load(), 0);
    EXPECT_EQ(16, stats().free_count);
}

TEST_F(Render, StatusIconsFollowTheStreamState)
{
    render_idle_for_test(0);  // from here on the test runs every idle pass
    TestStream t("icons", 40, 30, 0, 0);
    icon_t* err = icon_new_xpm(edit_delete);
    icon_t* conn = icon_new_xpm(document_quick_restart);
    icon_t* delay = icon_new_xpm(emblem_urgent);
    // The screen after drawing `icon` over the picture in a copy of `from`.
    auto with_icon = [&](const std::vector<uint8_t>& from, icon_t* icon) {
        Surface copy(screen.w, screen.h);
        copy.mem = from;
        copy.fb.fb = copy.mem.data() + GUARD;
        icon_draw(&copy.fb, icon, 44, 34);
        return copy.mem;
    };
    // Putting a saved area back blends it at full alpha, which may lose the
    // lowest bit of a channel: screens are equal to within that.
    auto alike = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        for (size_t i = 0; i + 1 < a.size(); i += 2)
            if (!near(static_cast<uint16_t>(a[i] | a[i + 1] << 8), static_cast<uint16_t>(b[i] | b[i + 1] << 8)))
                return false;
        return true;
    };
    auto idle = [&](stream_state_e st, long long now, icon_e want) {
        t.s->state = st;
        render_idle_for_test(now);
        EXPECT_EQ(want, t.s->current_icon) << "state " << st << " at " << now;
    };

    testing::internal::CaptureStdout();
    t.as_reader([&] {
        render_on_stream_start(t.s);
        render_frame(t.s, rgb565_picture(t.s, 64, 48));
        ASSERT_TRUE(drawn(t.s));
    });
    const std::vector<uint8_t> picture = screen.mem;
    const long long t0 = 5'000'000;
    t.s->last_frame_time = t0;

    idle(SS_CONNECTING, t0 + 60'000, I_NONE);  // no icon on the first attempt
    EXPECT_EQ(picture, screen.mem);
    idle(SS_CONNECT_ERROR, t0, I_ERROR);
    EXPECT_EQ(1, t.s->background_valid);
    EXPECT_EQ(with_icon(picture, err), screen.mem);
    idle(SS_RECONNECTING, t0, I_CONNECTING);  // the saved corner goes back under the new icon
    EXPECT_TRUE(alike(with_icon(picture, conn), screen.mem));
    idle(SS_CONNECTED, t0 + 2000, I_NONE);
    EXPECT_TRUE(alike(picture, screen.mem));
    idle(SS_CONNECTED, t0 + 2001, I_DELAY);
    EXPECT_TRUE(alike(with_icon(picture, delay), screen.mem));
    idle(SS_CONNECTED, t0 - 100, I_NONE);  // clock set back
    idle(SS_CONNECTED, t0 + 3000, I_DELAY);

    const std::vector<uint8_t> delayed = screen.mem;
    t.s->render_off = 1;
    idle(SS_CONNECT_ERROR, t0, I_DELAY);
    EXPECT_EQ(delayed, screen.mem);

    // A picture paints over the icon: nothing is left to put back.
    t.s->render_off = 0;
    t.as_reader([&] {
        render_frame(t.s, rgb565_picture(t.s, 64, 48));
        ASSERT_TRUE(drawn(t.s));
        EXPECT_EQ(I_NONE, t.s->current_icon);
        EXPECT_EQ(0, t.s->background_valid);
        render_on_stream_stop(t.s);
    });
    EXPECT_EQ(picture, screen.mem);
    EXPECT_FALSE(alike(delayed, screen.mem));
    std::string out = testing::internal::GetCapturedStdout();
    if (HasFailure())
        fputs(out.c_str(), stderr);  // failures above were printed into the capture
    for (const char* name : {"icon_error", "icon_connecting", "icon_delay"})
        EXPECT_NE(std::string::npos, out.find(std::string("render_draw_icon: draw ") + name + " for stream 'icons'\n"));
    for (icon_t* i : {err, conn, delay})
        icon_free(i);
}

// The icon removal at unregistration and idle passes running meanwhile on
// another thread take turns: no icon is left on the window, and no corner is
// saved or put back twice (ThreadSanitizer sees any overlap).
TEST_F(Render, IconRemovalTakesTurnsWithTheIdlePass)
{
    render_idle_for_test(0);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 40 && !HasFailure(); ++round) {
        TestStream t("turns", 40, 30, 0, 0), idler("idler", 0, 0, 0, 0);
        t.as_reader([&] {
            render_on_stream_start(t.s);
            render_frame(t.s, rgb565_picture(t.s, 64, 48));
            ASSERT_TRUE(drawn(t.s));
        });
        std::atomic<int> passes{0}, done{0};
        idler.start([&] {
            for (int n = 1; done.load() == 0 && n < 1'000'000; ++n) {
                t.s->state = n % 2 != 0 ? SS_CONNECT_ERROR : SS_RECONNECTING;
                render_idle_for_test(n);
                passes.fetch_add(1);
            }
        });
        t.as_reader([&] {
            EXPECT_TRUE(wait_for([&] { return passes.load() >= 3; }));
            render_on_stream_stop(t.s);
        });
        done = 1;
        idler.join();
        expect_screen(screen, 40, 30, 64, 48, [](int c, int l, uint16_t v) { return near(v, pattern(c, l)); });
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string::npos, out.find("cannot copy background"));
    for (size_t at = 0, nl; HasFailure() && (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        if (out.compare(at, 22, "render_draw_icon: draw") != 0)
            fputs(out.substr(at, nl + 1 - at).c_str(), stderr);  // failures above were printed into the capture
}

TEST_F(Render, IdlePassInterruptsAReaderPastItsDeadline)
{
    TestStream t("wd", 0, 0, 0, 0);
    monitor_t blocked;
    monitor_init(&blocked);
    int result = -1;
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    t.as_reader([&] {
        render_on_stream_start(t.s);
        set_block_timeout(t.s, 50);
        // Stands in for a blocking call that never polls the callback.
        monitor_lock(&blocked);
        result = monitor_wait_timeout(&blocked, 20'000);
        monitor_unlock(&blocked);
        clear_block_timeout(t.s);
        render_on_stream_stop(t.s);
    });
    auto waited = std::chrono::steady_clock::now() - t0;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(4, result);
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_NE(std::string::npos, out.find("stream_check: block timeout is expired! interrupt stream reader 'wd'!\n"));
    monitor_done(&blocked);
}

// Windows anywhere, of any size: random positions and sizes mixed with the
// extremes of their range (zero, negative, near INT_MIN and INT_MAX), each
// with a picture and then the status icons drawn at its corner. Nothing may
// change outside the window and its icon, nor outside the surface.
TEST_F(Render, AnyWindowGeometryStaysOnTheSurface)
{
    render_idle_for_test(0);
    std::mt19937 rnd(20240611);
    auto pick = [&](std::initializer_list<int> extremes, int lo, int hi) {
        std::uniform_int_distribution<int> which(0, static_cast<int>(extremes.size()) + 3);
        size_t k = static_cast<size_t>(which(rnd));
        if (k < extremes.size())
            return *(extremes.begin() + k);
        return std::uniform_int_distribution<int>(lo, hi)(rnd);
    };
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_RGB565, AV_PIX_FMT_RGB24};
    for (int n = 0; n < 150; ++n) {
        const int x = pick({INT_MIN, INT_MIN + 1, -1, 0, 199, 200, INT_MAX - 4, INT_MAX}, -300, 300);
        const int y = pick({INT_MIN, -1, 0, 149, 150, INT_MAX - 3, INT_MAX}, -300, 300);
        const int w = pick({0, -1, 1, INT_MIN, INT_MAX, 1 << 16}, -50, 400);
        const int h = pick({0, -1, 1, INT_MIN, INT_MAX, 1 << 16}, -50, 400);
        const int nozoom = static_cast<int>(rnd() % 2);
        const int pw = 1 + static_cast<int>(rnd() % 70), ph = 1 + static_cast<int>(rnd() % 50);
        const AVPixelFormat fmt = formats[rnd() % 4];
        SCOPED_TRACE(testing::Message() << "window (" << x << ", " << y << ", " << w << ", " << h << ") nozoom "
                                        << nozoom << " picture " << pw << "x" << ph << " " << fmt);
        Surface sc(200, 150);
        use(sc);
        TestStream t("any", x, y, w, h, nozoom);
        t.as_reader([&] {
            render_on_stream_start(t.s);
            frame_t* f = new_picture(t.s, pw, ph, fmt);
            for (int p = 0; p < 4 && f->frame->buf[p] != nullptr; ++p)
                memset(f->frame->buf[p]->data, 0x9C, f->frame->buf[p]->size);
            render_frame(t.s, f);
            ASSERT_TRUE(drawn(t.s));
            long long now = 1000;
            for (stream_state_e st : {SS_CONNECT_ERROR, SS_RECONNECTING, SS_CONNECTED, SS_STOPPED}) {
                t.s->state = st;
                t.s->last_frame_time = 1;  // late while connected: the delay icon
                render_idle_for_test(now += 1000);
            }
            render_on_stream_stop(t.s);
        });
        // What may change: the window, and the 32 x 32 icon inset by 4.
        const long long wx1 = static_cast<long long>(x) + (w != 0 ? w : pw);
        const long long wy1 = static_cast<long long>(y) + (h != 0 ? h : ph);
        int bad = 0;
        for (int py = 0; py < sc.h; ++py)
            for (int px = 0; px < sc.w; ++px) {
                bool in_window = px >= x && px < wx1 && py >= y && py < wy1;
                bool in_icon = px >= x + 4LL && px < x + 36LL && py >= y + 4LL && py < y + 36LL;
                if (!in_window && !in_icon && sc.at(px, py) != Surface::background(px, py) && ++bad <= 3)
                    ADD_FAILURE() << "pixel (" << px << ", " << py << ") outside the window changed";
            }
        EXPECT_EQ(0, bad);
        EXPECT_TRUE(sc.margins_intact());
        use(screen);
    }
}

TEST(RenderStop, EndsTheWaitAtOnce)
{
    Surface sc(64, 64);
    fb0 = &sc.fb;
    // Stopped right after starting, the thread is in (or entering) its
    // 100 ms wait; without the interrupt ten rounds would take a second.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        render_start();
        render_stop();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    fb0 = nullptr;
}

}  // namespace
