// The wall: grids and the page cycle as tables, then labels, moves, stop and
// pages on a memory surface with pictures at 25 fps.
#include <gtest/gtest.h>

#include "in_process.h"
#include "label.h"
#include "layout.h"
#include "pages.h"
#include "pixels.h"
#include "stream.h"
#include "until.h"

namespace {

using namespace std::chrono_literals;

TEST(Wall, GridTilesForEachCountAndPageOrder)
{
    // 800 x 600, 4 px apart: n streams' grid and the last one's tile.
    struct Row { int n, cols, rows; tile_t last; };
    for (const Row& r : {Row{1, 1, 1, {0, 0, 800, 600}}, Row{2, 2, 1, {402, 0, 398, 600}},
                         Row{5, 3, 2, {268, 302, 264, 298}}, Row{9, 3, 3, {536, 402, 264, 198}},
                         Row{16, 4, 4, {603, 453, 197, 147}}}) {
        int cols = 0, rows = 0;
        grid_auto(r.n, &cols, &rows);
        EXPECT_EQ(std::pair(r.cols, r.rows), std::pair(cols, rows)) << r.n;
        const tile_t t = grid_tile(800, 600, cols, rows, 4, r.n - 1), &w = r.last;
        EXPECT_EQ(std::tuple(w.x, w.y, w.w, w.h), std::tuple(t.x, t.y, t.w, t.h)) << r.n;
        for (int i = 0; i < cols * rows; ++i) {  // every tile on the screen, none over another
            const tile_t a = grid_tile(800, 600, cols, rows, 4, i);
            EXPECT_TRUE(a.x >= 0 && a.y >= 0 && a.x + a.w <= 800 && a.y + a.h <= 600) << r.n << " " << i;
            for (int j = 0; j < i; ++j) {
                const tile_t b = grid_tile(800, 600, cols, rows, 4, j);
                EXPECT_FALSE(a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h) << i << j;
            }
        }
    }
    // The cycle's next page: current, pages in use, next.
    for (auto [current, pages, next] : std::vector<std::tuple<int, std::vector<int>, int>>{
             {1, {1, 2, 3}, 2}, {3, {3, 1, 2}, 1}, {2, {5, 1, 5}, 5}, {4, {}, 4}})
        EXPECT_EQ(next, next_page(current, pages)) << current;
}

// A reader handing over a flat picture every 40 ms while `feeding`.
struct Feed {
    stream_t* s;
    std::atomic<bool> feeding{true}, still{false}, done{false};  // still: a pass without a picture
    uint16_t colour;
    Feed(const char* name, int x, int y, int page, uint16_t c) : colour(c)
    {
        s = stream_new(name, "test", {.x = x, .y = y, .w = 160, .h = 120, .page = page});
        s->state = SS_CONNECTED;
        thread_start(&s->reader, [](void* me) -> void* { return static_cast<Feed*>(me)->run(), nullptr; }, this);
    }
    void run()
    {
        render_on_stream_start(s);
        while (!done) {
            still = !feeding;
            if (frame_t* f = feeding ? render_get_free_frame(s) : nullptr) {
                std::tie(f->frame->width, f->frame->height, f->frame->format) = std::tuple(64, 48, AV_PIX_FMT_RGB565);
                av_frame_get_buffer(f->frame, 0);
                for (int i = 0; i < f->frame->linesize[0] * 48 / 2; ++i)
                    reinterpret_cast<uint16_t*>(f->frame->data[0])[i] = colour;
                render_frame(s, f);
            }
            thread_sleep(40);
        }
        render_on_stream_stop(s);
    }
    void stop() { done = true, thread_join(&s->reader); }
    ~Feed() { stop(), stream_free(s); }
};

class WallRender : public testing::Test {
protected:
    fbuffer_t* fb = fb_open_fake(320, 240);
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(label_font_open(DEFAULT_FONT, &why)) << why;
        fb0 = fb;
        render_start({.idle_period_ms = 10});
        pages_show(1);
    }
    void TearDown() override
    {
        pages_set_cycle(0), render_stop(), label_font_close();
        fb0 = nullptr, fb_close(fb);
    }
    fbuffer_t shot;
    surface_copy_t copy;
    const fbuffer_t* screen()
    {
        EXPECT_TRUE(render_copy_surface(&copy, 5000));
        shot = *fb, shot.screen = copy.pixels.data(), shot.finfo.line_length = copy.stride;
        return &shot;
    }
    // Within one unit of a 5-bit channel.
    static bool like(rgb_t p, rgb_t c)
    {
        return std::abs(p.r - c.r) <= 8 && std::abs(p.g - c.g) <= 8 && std::abs(p.b - c.b) <= 8;
    }
    // Pixels of the rectangle holding `c`.
    int count(int x0, int y0, int w, int h, rgb_t c)
    {
        int n = 0;
        const fbuffer_t* fb = screen();
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                n += like(rgb_at(fb, x, y), c);
        return n;
    }
    // Whether the brightest pixel of the label's box at y0 (left window) is `colour`.
    bool label_in(int y0, uint32_t colour)
    {
        rgb_t best = {0, 0, 0};
        const fbuffer_t* fb = screen();
        for (int y = y0; y < y0 + 10; ++y)
            for (int x = 4; x < 156; ++x)
                if (rgb_t c = rgb_at(fb, x, y); c.r + c.g + c.b > best.r + best.g + best.b)
                    best = c;
        return like(best, top_bits(fb, {int(colour >> 16), int(colour >> 8 & 0xFF), int(colour & 0xFF)}));
    }
};

constexpr uint16_t BLUE = 0x001F, GREEN = 0x07E0;
const rgb_t blue = {0, 0, 248}, green = {0, 252, 0}, black = {0, 0, 0};

TEST_F(WallRender, LabelFollowsTheStateThenMoveAndStopLeaveBlack)
{
    Feed a("a", 0, 0, 1, BLUE), b("b", 160, 0, 1, GREEN);
    render_set_label(a.s, "Cam 1");
    // The label's box: a twelfth of 120 rows, 4 px in from the lower-left corner.
    const int box_y = 120 - 4 - 10;
    struct Step { stream_state_e state; bool feeding; long long since_picture; uint32_t colour; };
    for (const Step& st : {Step{SS_CONNECTED, true, 0, LABEL_WHITE}, Step{SS_CONNECTED, false, 2100, LABEL_AMBER},
                           Step{SS_RECONNECTING, false, 0, LABEL_RED}, Step{SS_CONNECT_ERROR, false, 0, LABEL_RED},
                           Step{SS_CONNECTED, true, 0, LABEL_WHITE}}) {
        a.feeding = st.feeding;
        a.s->state = st.state;
        // The last picture is drawn before the clock is set back.
        ASSERT_TRUE(until([&] { return a.still == !st.feeding && a.s->frames_in_progress.load() == 0; }, 5s, 1ms));
        if (st.since_picture != 0)
            a.s->last_frame_time = current_time_in_millis() - st.since_picture;
        EXPECT_TRUE(until([&] { return label_in(box_y, st.colour); }, 5s, 5ms)) << "state " << st.state;
    }
    // Only the box changed.
    EXPECT_EQ(160 * 120 - 160 * 10, count(0, 0, 160, box_y, blue) + count(0, box_y + 10, 160, 4, blue));
    EXPECT_EQ(160 * 120, count(160, 0, 160, 120, green));

    render_set_window(a.s, 0, 120, 160, 120);
    EXPECT_TRUE(until([&] { return count(0, 0, 160, 120, black) == 160 * 120; }, 5s, 5ms)) << "old place left";
    EXPECT_TRUE(until([&] { return count(0, 120, 160, 100, blue) == 160 * 100; }, 5s, 5ms)) << "not at the new";
    EXPECT_TRUE(label_in(120 + box_y, LABEL_WHITE));

    a.stop();
    render_clear(a.s->tile);
    EXPECT_TRUE(until([&] { return count(0, 0, 320, 240, black) == 320 * 240 - 160 * 120; }, 5s, 5ms));
    EXPECT_EQ(160 * 120, count(160, 0, 160, 120, green));
}

TEST_F(WallRender, PagesShowTheirStreamsAtOnceAndCycle)
{
    Feed a("a", 0, 0, 1, BLUE), b("b", 160, 0, 2, GREEN);
    ASSERT_TRUE(until([&] { return a.s->pictures_drawn.load() >= 5; }, 5s, 5ms));
    EXPECT_EQ(0, b.s->pictures_drawn.load());

    const auto shown_within = [&](Feed& on, Feed& off) {
        // Timed by pictures drawn: a screen copy waits for the loop's pass.
        const long drawn = on.s->pictures_drawn.load();
        const auto t0 = std::chrono::steady_clock::now();
        pages_show(on.s->settings.page);
        EXPECT_TRUE(until([&] { return on.s->pictures_drawn.load() > drawn; }, 5s, 1ms));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms) << on.s->name;
        EXPECT_EQ(160 * 120, count(on.s->win_x, 0, 160, 120, on.colour == BLUE ? blue : green)) << on.s->name;
        EXPECT_EQ(160 * 120, count(off.s->win_x, 0, 160, 120, black)) << on.s->name;
    };
    shown_within(b, a);
    shown_within(a, b);

    // 1 2 1 2 every 300 ms from the start, by less than a pass (whole ms).
    const auto start = std::chrono::steady_clock::now();
    pages_set_cycle(300);
    for (int turn = 1, page = pages_wanted(); turn <= 3; ++turn) {
        ASSERT_TRUE(until([&] { return pages_wanted() != page; }, 2s, 1ms));
        const auto late = std::chrono::steady_clock::now() - start - turn * 300ms;
        EXPECT_TRUE(late > -1ms && late < 150ms) << turn << ": " << late.count() << " ns";
        EXPECT_EQ(page == 1 ? 2 : 1, pages_wanted());
        page = pages_wanted();
    }
}

}  // namespace
