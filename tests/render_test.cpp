// The frame pool, and the render thread drawing pictures and status icons
// onto guarded memory surfaces.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <random>
#include <tuple>

#include <libyuv/convert_argb.h>
#include <libyuv/scale.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "in_process.h"
#include "pixels.h"
#include "until.h"
#include "reader.h"
#include "drm_output.h"

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"

namespace {

constexpr int GUARD = 512;
constexpr uint8_t GUARD_BYTE = 0xA5;

// RGB565 lines 8 bytes wider than the visible width, between two guard
// zones: none of those bytes may ever change.
struct Surface {
    int w, h, line;
    std::vector<uint8_t> mem;
    fbuffer_t fb;

    Surface(int width, int height)
        : w(width), h(height), line(2 * width + 8), mem(size_t(line) * height + 2 * GUARD, GUARD_BYTE)
    {
        fbuffer_t* model = fb_open_fake(w, h);
        fb = *model;
        fb_close(model);
        std::tie(fb.fb, fb.fb_size, fb.finfo.line_length) = std::tuple(mem.data() + GUARD, line * h, uint32_t(line));
        char why[160];
        EXPECT_TRUE(fb_setup(&fb, why, sizeof why)) << why;
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

bool wait_for(const std::function<bool()>& cond) { return until(cond, std::chrono::seconds(10), std::chrono::milliseconds(1)); }

// A stream whose reader thread runs whatever the test asks.
struct TestStream {
    stream_t* s;
    std::function<void()> job;

    TestStream(const char* name, int x, int y, int w, int h, int nozoom = 0)
        : s(stream_new(name, "test", {.x = x, .y = y, .w = w, .h = h, .nozoom = nozoom}))
    {
    }
    ~TestStream() { stream_free(s); }
    void start(std::function<void()> fn)
    {
        job = std::move(fn);
        thread_start(&s->reader, [](void* me) -> void* { return static_cast<TestStream*>(me)->job(), nullptr; }, this);
    }
    void join() { thread_join(&s->reader); }
    void as_reader(std::function<void()> fn) { start(std::move(fn)), join(); }
    // The first picture registers the stream.
    void show(const std::function<frame_t*()>& make)
    {
        as_reader([&] {
            if (!registered)
                render_on_stream_start(s), registered = true;
            render_frame(s, make());
            ASSERT_TRUE(wait_for([this] { return s->frames_in_progress.load() == 0; }));
        });
    }
    void stop() { as_reader([this] { render_on_stream_stop(s); }); }
    bool registered = false;
};

// Every channel's top bit set: never black.
uint16_t pattern(int x, int y) { return static_cast<uint16_t>(((x * 40503u + y * 2654435u) >> 3) | 0x8410); }

// `fill` >= 0 sets every byte.
frame_t* with_picture(frame_t* f, int w, int h, AVPixelFormat fmt, int fill = -1)
{
    if (f == nullptr)
        return nullptr;
    EXPECT_EQ(nullptr, f->frame->data[0]) << "a frame from the pool still holds a picture";
    std::tie(f->frame->width, f->frame->height, f->frame->format) = std::tuple(w, h, fmt);
    EXPECT_EQ(0, av_frame_get_buffer(f->frame, 0));
    for (int p = 0; fill >= 0 && p < 4 && f->frame->buf[p] != nullptr; ++p)
        memset(f->frame->buf[p]->data, fill, f->frame->buf[p]->size);
    return f;
}

// `colour` >= 0: flat.
frame_t* rgb565_picture(stream_t* s, int w, int h, int colour = -1)
{
    frame_t* f = with_picture(render_get_free_frame(s), w, h, AV_PIX_FMT_RGB565);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint16_t v = colour >= 0 ? uint16_t(colour) : pattern(x, y);
            memcpy(f->frame->data[0] + static_cast<size_t>(y) * f->frame->linesize[0] + 2 * x, &v, 2);
        }
    return f;
}

// Within one unit per channel: the 16-bit output's ordered dithering.
bool near(uint16_t a, uint16_t b)
{
    auto d = [](int p, int q) { return std::abs(p - q) <= 1; };
    return d(a >> 11, b >> 11) && d((a >> 5) & 63, (b >> 5) & 63) && d(a & 31, b & 31);
}

// Inside (rx, ry, rw, rh) `ok(col, row, value)`, outside the background.
void expect_screen(const Surface& sc, long long rx, long long ry, long long rw, long long rh,
                   const std::function<bool(int, int, uint16_t)>& ok)
{
    int bad = 0;
    for (int y = 0; y < sc.h; ++y)
        for (int x = 0; x < sc.w; ++x) {
            bool inside = x >= rx && x < rx + rw && y >= ry && y < ry + rh;
            bool good = inside ? ok(int(x - rx), int(y - ry), sc.at(x, y)) : sc.at(x, y) == Surface::background(x, y);
            if (!good && ++bad <= 3)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") holds " << std::hex << sc.at(x, y);
        }
    EXPECT_EQ(0, bad);
    EXPECT_TRUE(sc.margins_intact());
}

class Pool : public testing::Test {
protected:
    frame_pool_t pool;
    std::vector<std::unique_ptr<TestStream>> owners;
    void SetUp() override { frame_pool_init(&pool, 4); }
    void TearDown() override { frame_pool_done(&pool); }
    stream_t* stream()
    {
        owners.push_back(std::make_unique<TestStream>("pool", 0, 0, 8, 8));
        return owners.back()->s;
    }
    frame_t* picture(stream_t* s) { return with_picture(frame_pool_get_free(&pool, s), 8, 8, AV_PIX_FMT_RGB565, 1); }
    int free_count()
    {
        std::vector<frame_t*> got;
        for (stream_t* nobody = stream(); frame_t* f = frame_pool_get_free(&pool, nobody);)
            got.push_back(f);
        for (frame_t* f : got)
            frame_pool_put_free(&pool, f);
        return static_cast<int>(got.size());
    }
};

// A stream's wait for its pictures ends once the last one is back, or at the
// pool's abort; once the pool is aborted no wait waits.
TEST_F(Pool, WaitsEndWhenThePicturesAreBackOrAtTheAbort)
{
    stream_t* a = stream();
    TestStream waiter("waiter", 0, 0, 0, 0);
    frame_t* drawing = nullptr;
    for (bool abort : {false, true}) {
        frame_pool_hand_over(&pool, a, picture(a));
        drawing = frame_pool_take_ready(&pool, 0);
        frame_pool_hand_over(&pool, a, picture(a));
        waiter.start([&] { frame_pool_wait_released(&pool, a); });
        ASSERT_TRUE(wait_for([&] { return waiter.s->reader.state.load() == WAITING; }));
        if (abort) {
            frame_pool_abort(&pool);
        } else {
            frame_pool_give_back(&pool, drawing);
            frame_pool_give_back(&pool, frame_pool_take_ready(&pool, 0));
        }
        waiter.join();
    }
    frame_pool_give_back(&pool, frame_pool_take_ready(&pool, 0));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, frame_pool_take_ready(&pool, 60000));
    frame_pool_wait_released(&pool, a);  // one picture still out
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    frame_pool_give_back(&pool, drawing);
}

// A dry pool gives a stream its own waiting picture back, never another
// stream's; a second picture of a stream replaces its first in place.
TEST_F(Pool, RunsDryTakesBackOwnAndReplacesInPlace)
{
    stream_t *a = stream(), *b = stream(), *c = stream();
    frame_pool_hand_over(&pool, a, picture(a));
    frame_pool_hand_over(&pool, b, picture(b));
    frame_pool_hand_over(&pool, a, picture(a));
    EXPECT_EQ(1, a->frames_in_progress.load());
    EXPECT_EQ(1, a->pictures_replaced.load());
    frame_t* held[2] = {picture(c), picture(c)};
    EXPECT_EQ(nullptr, frame_pool_get_free(&pool, c));

    frame_t* back = frame_pool_get_free(&pool, b);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(nullptr, back->frame->data[0]);
    EXPECT_EQ(0, b->frames_in_progress.load());
    frame_pool_put_free(&pool, back);
    // Oldest first across streams: a's place is kept by its newer picture.
    frame_t* first = frame_pool_take_ready(&pool, 0);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(a, first->stream);
    frame_pool_give_back(&pool, first);
    EXPECT_EQ(0, a->frames_in_progress.load());
    EXPECT_EQ(nullptr, frame_pool_take_ready(&pool, 1));
    for (frame_t* f : held)
        frame_pool_put_free(&pool, f);
    EXPECT_EQ(4, free_count());
    frame_pool_grow(&pool, 6);
    EXPECT_EQ(6, free_count());
}

// Producers and one consumer at once (the ThreadSanitizer's food): no stream
// ever has more than two pictures out, and every frame comes back.
TEST_F(Pool, AccountingHoldsUnderConcurrentProducers)
{
    frame_pool_grow(&pool, 16);
    std::atomic<int> violations{0}, done{0};
    for (int i = 0; i < 6; ++i) {
        stream_t* s = stream();
        owners.back()->start([&, s] {
            for (int n = 0; n < 300; ++n) {
                frame_t* f = n % 7 == 3 ? frame_pool_get_free(&pool, s) : picture(s);
                if (f != nullptr)
                    n % 7 == 3 ? frame_pool_put_free(&pool, f) : frame_pool_hand_over(&pool, s, f);
                violations += s->frames_in_progress.load() > 2 || s->frames_in_progress.load() < 0;
            }
        });
    }
    TestStream consumer("consumer", 0, 0, 0, 0);
    consumer.start([&] {
        while (done.load() == 0)
            if (frame_t* f = frame_pool_take_ready(&pool, 1))
                frame_pool_give_back(&pool, f);
    });
    for (auto& r : owners)
        r->join();
    done = 1;
    consumer.join();
    while (frame_t* f = frame_pool_take_ready(&pool, 0))
        frame_pool_give_back(&pool, f);
    EXPECT_EQ(0, violations.load());
    EXPECT_EQ(16, free_count());
}

// Each call a new millisecond, so that idle passes run back to back.
std::atomic<long long> test_now{0};
long long ticking_clock() { return test_now.fetch_add(1) + 1; }

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
    void restart_with_test_clock(long long now)
    {
        render_stop();
        test_now = now;
        render_start({.idle_period_ms = 1, .clock = ticking_clock});
    }
};

// Where each picture lands, pixel by pixel: stretched, centred or cut with
// nozoom, and clipped to the screen wherever the window lies.
TEST_F(Render, WindowGeometryPixelByPixel)
{
    // The picture's rectangle and its source; a stretched picture's is the window.
    struct Row { int x, y, w, h, nozoom = 0, rx = 0, ry = 0, rw = 0, rh = 0, sx = 0, sy = 0; };
    const Row rows[] = {
        // 64 x 48 pictures: past each edge and corner, scaled, cropped,
        // centred, wholly off.
        {-10, 20, 0, 0}, {170, 20, 0, 0}, {20, -10, 0, 0}, {20, 130, 0, 0}, {-30, -20, 0, 0}, {180, 140, 0, 0},
        {150, 100, 128, 96}, {-50, -40, 128, 96}, {190, -400, 640, 480},
        {180, 120, 40, 40, 1, 180, 120, 40, 40, 12, 4}, {-20, 130, 100, 30, 1, -2, 130, 64, 30, 0, 9},
        {-64, 0, 0, 0}, {200, 0, 0, 0}, {0, 150, 0, 0},
    };
    for (Row r : rows) {
        SCOPED_TRACE(testing::Message() << "window (" << r.x << ", " << r.y << ", " << r.w << ", " << r.h
                                        << ") nozoom " << r.nozoom);
        if (r.nozoom == 0)
            r.rx = r.x, r.ry = r.y, r.rw = r.w != 0 ? r.w : 64, r.rh = r.h != 0 ? r.h : 48;
        const int scale = r.nozoom != 0 ? 1 : r.rw / 64;
        Surface sc(200, 150);
        fb0 = &sc.fb;
        TestStream t("geo", r.x, r.y, r.w, r.h, r.nozoom);
        t.show([&] { return rgb565_picture(t.s, 64, 48); });
        t.stop();
        expect_screen(sc, r.rx, r.ry, r.rw, r.rh, [&](int c, int l, uint16_t v) {
            uint16_t want = pattern(r.sx + c / scale, r.sy + l / scale);
            return scale == 1 ? v == want : near(v, want);
        });
    }
    fb0 = &screen.fb;
}

// -a: the picture keeps its shape (sample aspect ratio included), centred,
// the rest of the window black; the bars are cleared when the picture's
// place changes, not for every picture. Each picture is converted with its
// own size and format.
TEST_F(Render, AspectTrueWindowsPixelByPixel)
{
    TestStream t("aspect", 10, 20, 128, 96);
    t.s->settings.aspect = 1;
    auto window = [&](int rx, int ry, int rw, int rh, const std::function<bool(int, int, uint16_t)>& ok) {
        expect_screen(screen, 10, 20, 128, 96, [&](int c, int l, uint16_t v) {
            const bool in = c >= rx && c < rx + rw && l >= ry && l < ry + rh;
            return in ? ok(c - rx, l - ry, v) : v == 0;
        });
    };
    t.show([&] { return rgb565_picture(t.s, 64, 48); });
    window(0, 0, 128, 96, [](int c, int l, uint16_t v) { return near(v, pattern(c / 2, l / 2)); });
    // Pixels twice as wide as tall; then a tall picture, bars at the sides.
    t.show([&] {
        frame_t* wide = rgb565_picture(t.s, 32, 48, 0xF800);
        wide->frame->sample_aspect_ratio = {2, 1};
        return wide;
    });
    window(0, 0, 128, 96, [](int, int, uint16_t v) { return near(v, 0xF800); });
    t.show([&] { return rgb565_picture(t.s, 24, 48, 0x07E0); });
    window(40, 0, 48, 96, [](int, int, uint16_t v) { return near(v, 0x07E0); });
    // A mark in a bar survives the next picture of the same place; flat grey
    // YUV (Y = U = V = 128) of the same size replaces the green.
    reinterpret_cast<uint16_t*>(screen.fb.fb + 20 * screen.line)[10] = 0x1234;
    t.show([&] { return with_picture(render_get_free_frame(t.s), 24, 48, AV_PIX_FMT_YUV420P, 0x80); });
    EXPECT_EQ(0x1234, screen.at(10, 20));
    reinterpret_cast<uint16_t*>(screen.fb.fb + 20 * screen.line)[10] = 0;
    window(40, 0, 48, 96, [](int, int, uint16_t v) { return near(v, 0x8410) || near(v, 0x7BEF); });
    t.stop();
}

TEST_F(Render, StatusIconsFollowTheStreamState)
{
    restart_with_test_clock(5'000'000);
    TestStream t("icons", 40, 30, 0, 0);
    icon_t* icons[] = {icon_new_xpm(edit_delete), icon_new_xpm(document_quick_restart), icon_new_xpm(emblem_urgent)};
    testing::internal::CaptureStdout();
    t.show([&] { return rgb565_picture(t.s, 64, 48); });
    const std::vector<uint8_t> picture = screen.mem;
    // Whether the screen is the picture with `icon` over it.
    auto shows = [&](icon_t* icon) {
        Surface copy(screen.w, screen.h);
        copy.mem = picture;
        copy.fb.fb = copy.mem.data() + GUARD;
        if (icon != nullptr)
            icon_draw(&copy.fb, icon, 44, 34);
        for (size_t i = 0; i + 1 < copy.mem.size(); i += 2)
            if (!near(uint16_t(copy.mem[i] | copy.mem[i + 1] << 8), uint16_t(screen.mem[i] | screen.mem[i + 1] << 8)))
                return false;
        return true;
    };
    // The delay icon comes 2001 ms after the last picture, not 2000.
    auto idle = [&](stream_state_e st, long long since_picture, icon_e want, icon_t* image) {
        t.s->last_frame_time = test_now.load() - since_picture;
        t.s->state = st;
        EXPECT_TRUE(wait_for([&] { return t.s->current_icon.load() == want; })) << "state " << st;
        EXPECT_TRUE(shows(image)) << "state " << st;
    };
    idle(SS_CONNECT_ERROR, 0, I_ERROR, icons[0]);
    idle(SS_RECONNECTING, 0, I_CONNECTING, icons[1]);  // the saved corner goes back under the new icon
    idle(SS_CONNECTED, -100'000, I_NONE, nullptr);
    idle(SS_CONNECTED, 2001, I_DELAY, icons[2]);
    t.stop();
    EXPECT_TRUE(shows(nullptr));  // unregistration puts the corner back
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string::npos, out.find("cannot copy background")) << out;
    for (icon_t* i : icons)
        icon_free(i);
}

// Odd sizes flush with the bottom-right corner (FFmpeg's converters write
// whole blocks), then random windows mixed with the extremes of their range,
// each with a picture and the status icons: nothing changes outside the window.
TEST_F(Render, AnyWindowGeometryStaysOnTheSurface)
{
    struct Case {
        int x, y, w, h, pw, ph;
        AVPixelFormat fmt;
    };
    const Case fixed[] = {
        {139, 103, 0, 0, 61, 47, AV_PIX_FMT_YUV420P},   {125, 117, 75, 33, 61, 47, AV_PIX_FMT_YUV420P},
        {139, 103, 0, 0, 61, 47, AV_PIX_FMT_YUVJ420P},  {139, 103, 0, 0, 61, 47, AV_PIX_FMT_RGB565},
        {139, 103, 0, 0, 61, 47, AV_PIX_FMT_RGB565BE},  {133, 101, 0, 0, 67, 49, AV_PIX_FMT_RGB24},
        {125, 117, 75, 33, 61, 47, AV_PIX_FMT_RGB565},  {136, 102, 0, 0, 64, 48, AV_PIX_FMT_YUV420P},
        {120, 90, 80, 60, 61, 47, AV_PIX_FMT_YUVJ420P}, {136, 101, 0, 0, 64, 49, AV_PIX_FMT_RGB24},
        {104, 118, 96, 32, 64, 48, AV_PIX_FMT_RGB565},
    };
    restart_with_test_clock(1000);
    std::mt19937 rnd(20240611);
    auto pick = [&](std::initializer_list<int> extremes, int lo, int hi) {
        size_t k = rnd() % (extremes.size() + 4);
        return k < extremes.size() ? *(extremes.begin() + k) : std::uniform_int_distribution<int>(lo, hi)(rnd);
    };
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_RGB565, AV_PIX_FMT_RGB24};
    testing::internal::CaptureStdout();
    for (size_t n = 0; n < std::size(fixed) + 100 && !HasFailure(); ++n) {
        Case k = n < std::size(fixed) ? fixed[n] : Case{};
        int nozoom = 0;
        if (n >= std::size(fixed)) {
            k.x = pick({INT_MIN, INT_MIN + 1, -1, 0, 199, 200, INT_MAX - 4, INT_MAX}, -300, 300);
            k.y = pick({INT_MIN, -1, 0, 149, 150, INT_MAX - 3, INT_MAX}, -300, 300);
            k.w = pick({0, 1, INT_MAX, 1 << 16}, 0, 400);
            k.h = pick({0, 1, INT_MAX, 1 << 16}, 0, 400);
            nozoom = static_cast<int>(rnd() % 2);
            k.pw = 1 + static_cast<int>(rnd() % 70), k.ph = 1 + static_cast<int>(rnd() % 50);
            k.fmt = formats[rnd() % 4];
        }
        SCOPED_TRACE(testing::Message() << "window (" << k.x << ", " << k.y << ", " << k.w << ", " << k.h
                                        << ") nozoom " << nozoom << " picture " << k.pw << "x" << k.ph << " " << k.fmt);
        Surface sc(200, 150);
        fb0 = &sc.fb;
        TestStream t("any", k.x, k.y, k.w, k.h, nozoom);
        t.show([&] { return with_picture(render_get_free_frame(t.s), k.pw, k.ph, k.fmt, 0x9C); });
        for (auto [st, icon] : {std::pair{SS_CONNECT_ERROR, I_ERROR}, {SS_RECONNECTING, I_CONNECTING},
                                {SS_CONNECTED, I_DELAY}, {SS_STOPPED, I_NONE}}) {
            t.s->last_frame_time = 1;  // late while connected: the delay icon
            t.s->state = st;
            ASSERT_TRUE(wait_for([&] { return t.s->current_icon.load() == icon; }));
        }
        t.stop();
        const long long x = k.x, y = k.y, w = k.w != 0 ? k.w : k.pw, h = k.h != 0 ? k.h : k.ph;
        expect_screen(sc, x, y, w, h, [](int, int, uint16_t) { return true; });
        fb0 = &screen.fb;
    }
    testing::internal::GetCapturedStdout();
}

// A window that cannot be drawn says so once, not for every picture.
TEST_F(Render, AnUndrawableWindowIsReportedOnce)
{
    TestStream t("huge", 0, 0, INT_MAX, INT_MAX);
    testing::internal::CaptureStdout();
    for (int n = 0; n < 3; ++n)
        t.show([&] { return rgb565_picture(t.s, 8, 8); });
    t.stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("render_thread: ")) << out;
    EXPECT_EQ(out.find("render_thread: "), out.rfind("render_thread: ")) << out;
}

// Every layout, 80 x 56 pixels panned from (8, 4) of 96 x 64: an RGB24
// picture at its own size past the right and bottom edges lands exactly, a
// flat red YUV picture scaled into 32 x 16 (straight into screen memory) is
// red; no other byte changes.
TEST_F(Render, EveryDeviceLayoutInThePannedArea)
{
    auto rgb = [](int x, int y) { return std::tuple(8 * x + 3, 8 * y + 5, 77); };
    for (AVPixelFormat layout : {AV_PIX_FMT_RGB565, AV_PIX_FMT_BGR565, AV_PIX_FMT_RGB555, AV_PIX_FMT_BGR555,
                                 AV_PIX_FMT_BGR24, AV_PIX_FMT_RGB24, AV_PIX_FMT_BGRA, AV_PIX_FMT_RGBA, AV_PIX_FMT_ARGB,
                                 AV_PIX_FMT_ABGR}) {
        SCOPED_TRACE(av_get_pix_fmt_name(layout));
        fbuffer_t* fb = fb_open_fake_format(96, 64, layout);
        std::tie(fb->vinfo.xres, fb->vinfo.yres, fb->vinfo.xoffset, fb->vinfo.yoffset) = std::tuple(80, 56, 8, 4);
        char why[160];
        ASSERT_TRUE(fb_setup(fb, why, sizeof why)) << why;
        memset(fb->fb, 0x5A, static_cast<size_t>(fb->fb_size));
        const std::vector<uint8_t> before(fb->fb, fb->fb + fb->fb_size);
        fb0 = fb;
        TestStream edge("edge", 60, 40, 0, 0), flat("flat", 8, 8, 32, 16);
        edge.show([&] {
            frame_t* f = with_picture(render_get_free_frame(edge.s), 40, 30, AV_PIX_FMT_RGB24);
            for (int y = 0; y < 30; ++y)
                for (int x = 0; x < 40; ++x) {
                    uint8_t* p = f->frame->data[0] + y * f->frame->linesize[0] + 3 * x;
                    std::tie(p[0], p[1], p[2]) = rgb(x, y);
                }
            return f;
        });
        flat.show([&] {
            frame_t* f = with_picture(render_get_free_frame(flat.s), 16, 8, AV_PIX_FMT_YUV420P);
            for (auto [plane, value, rows] : {std::tuple(0, 81, 8), {1, 90, 4}, {2, 240, 4}})
                memset(f->frame->data[plane], value, static_cast<size_t>(f->frame->linesize[plane]) * rows);
            return f;
        });
        edge.stop(), flat.stop();
        int bad = 0;
        for (long off = 0; off < fb->fb_size; off += fb->bytes_per_pixel) {
            const long x = off % fb->finfo.line_length / fb->bytes_per_pixel - 8, y = off / fb->finfo.line_length - 4;
            const rgb_t c = rgb_at(fb, x, y);
            bool good;
            if (x >= 60 && x < 80 && y >= 40 && y < 56) {
                auto [wr, wg, wb] = rgb(int(x - 60), int(y - 40));
                good = c == top_bits(fb, {wr, wg, wb});
            } else if (x >= 8 && x < 40 && y >= 8 && y < 24) {
                good = c.r >= 0xE0 && c.g <= 0x20 && c.b <= 0x20;
            } else {
                good = std::equal(fb->fb + off, fb->fb + off + fb->bytes_per_pixel, before.begin() + off);
            }
            if (!good && ++bad <= 3)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") holds " << c;
        }
        EXPECT_EQ(0, bad);
        fb0 = &screen.fb;
        fb_close(fb);
    }
}

// --scale bilinear shows, within 2 levels, what libyuv itself makes of the
// picture in every layout it writes, in a window on the screen and in one cut
// by its corner; nothing else is written.
TEST_F(Render, BilinearIsLibyuvsOwnInEveryLayout)
{
    render_stop();
    render_start({.scale = SCALE_BILINEAR});
    constexpr int PW = 96, PH = 54, W = 70, H = 40;
    for (AVPixelFormat source : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}) {
        AVFrame* pic = av_frame_alloc();
        std::tie(pic->width, pic->height, pic->format) = std::tuple(PW, PH, source);
        ASSERT_EQ(0, av_frame_get_buffer(pic, 0));
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? PH / 2 : PH); ++y)
                for (int x = 0; x < (p ? PW / 2 : PW); ++x)
                    pic->data[p][y * pic->linesize[p] + x] = uint8_t((x * 37 + y * 11) * (p + 1));
        std::vector<uint8_t> y(W * H), u(W * H / 4), v(W * H / 4), want(W * H * 4);
        libyuv::I420Scale(pic->data[0], pic->linesize[0], pic->data[1], pic->linesize[1], pic->data[2], pic->linesize[2],
                          PW, PH, y.data(), W, u.data(), W / 2, v.data(), W / 2, W, H, libyuv::kFilterBilinear);
        libyuv::I420ToARGBMatrix(y.data(), W, u.data(), W / 2, v.data(), W / 2, want.data(), 4 * W,
                                 source == AV_PIX_FMT_YUVJ420P ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants,
                                 W, H);
        for (AVPixelFormat layout : {AV_PIX_FMT_RGB565, AV_PIX_FMT_RGB555, AV_PIX_FMT_BGR24, AV_PIX_FMT_RGB24,
                                     AV_PIX_FMT_BGRA, AV_PIX_FMT_RGBA, AV_PIX_FMT_ARGB, AV_PIX_FMT_ABGR}) {
            if (layout == AV_PIX_FMT_RGB555 && source == AV_PIX_FMT_YUVJ420P)
                continue;  // libyuv has no full-range 555: libswscale's
            SCOPED_TRACE(testing::Message() << av_get_pix_fmt_name(source) << " on " << av_get_pix_fmt_name(layout));
            fbuffer_t* fb = fb0 = fb_open_fake_format(100, 60, layout);
            for (auto [wx, wy] : {std::pair(2, 3), {75, -9}}) {
                TestStream t("bilinear", wx, wy, W, H);
                t.show([&] {
                    frame_t* f = with_picture(render_get_free_frame(t.s), PW, PH, source);
                    return av_frame_copy(f->frame, pic), f;
                });
                t.stop();
            }
            int bad = 0;
            for (int j = 0; j < 60; ++j)
                for (int i = 0; i < 100; ++i) {
                    const int wx = i < 75 ? i - 2 : i - 75, wy = i < 75 ? j - 3 : j + 9;
                    const bool in = wx >= 0 && wx < W && wy >= 0 && wy < H;
                    const uint8_t* e = &want[4 * (std::clamp(wy, 0, H - 1) * W + std::clamp(wx, 0, W - 1))];
                    auto near = [&](int d) { return top_bits(fb, {std::clamp(e[2] + d, 0, 255), std::clamp(e[1] + d, 0, 255), std::clamp(e[0] + d, 0, 255)}); };
                    const rgb_t c = rgb_at(fb, i, j), lo = in ? near(-2) : rgb_t{}, hi = in ? near(2) : rgb_t{};
                    if (!(c.r >= lo.r && c.r <= hi.r && c.g >= lo.g && c.g <= hi.g && c.b >= lo.b && c.b <= hi.b) && ++bad <= 3)
                        ADD_FAILURE() << "(" << i << ", " << j << ") holds " << c << ", want " << lo << " to " << hi;
                }
            EXPECT_EQ(0, bad);
            fb0 = &screen.fb;
            fb_close(fb);
        }
        av_frame_free(&pic);
    }
}

TEST(RenderStop, EndsTheWaitAtOnce)
{
    Surface sc(64, 64);
    fb0 = &sc.fb;
    // Without the interrupt, ten 100 ms waits.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        render_start(), render_stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    fb0 = nullptr;
}

// The DRM output skips the copy where the announced picture draws, copies
// beside it, and at cover_done what was not drawn after all.
TEST(DrmOutput, CopiesOnlyWhatThePictureDoesNotCover)
{
    std::unique_ptr<output_t> out = output_open_drm_memory(8, 2);  // lines of 32 bytes
    const output_rect_t all = {0, 0, 8, 2}, left = {0, 0, 4, 2};
    for (const int fill : {1, 3}) {
        memset(out->surface()->screen, fill, 64);
        out->changed(&all, 1);
        out->present();
        out->will_cover(left);
        uint8_t* px = out->surface()->screen;
        const int old = fill == 1 ? 0 : 1, left_after = fill == 1 ? 1 : 2;  // 2: drawn
        EXPECT_EQ(std::tuple(px[0], px[32], px[16], px[48]), std::tuple(old, old, fill, fill));
        if (left_after == 2)
            memset(px, 2, 16), memset(px + 32, 2, 16), out->changed(&left, 1);
        out->cover_done();
        EXPECT_EQ(std::tuple(px[0], px[32], px[16]), std::tuple(left_after, left_after, fill));
    }
}

}  // namespace
