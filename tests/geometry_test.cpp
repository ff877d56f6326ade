// The window geometry as pure functions: where a picture lands, which part
// of it shows, and which part of a rectangle is on the screen.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "geometry.h"

namespace {

struct Case {
    int x, y, w, h, nozoom, aspect, pw, ph;
    geometry_t want;  // dstx, dsty, dstw, dsth, srcx, srcy, srcw, srch
};

TEST(Geometry, WindowsStretchCentreCutAndKeepAspect)
{
    const Case cases[] = {
        {10, 20, 0, 0, 0, 0, 320, 240, {10, 20, 320, 240, 0, 0, 320, 240}},    // the picture's own size
        {0, 0, 640, 480, 0, 0, 320, 240, {0, 0, 640, 480, 0, 0, 320, 240}},    // stretched
        {0, 0, 640, 480, 1, 0, 320, 240, {160, 120, 320, 240, 0, 0, 320, 240}},  // centred
        {10, 10, 320, 240, 1, 0, 640, 480, {10, 10, 320, 240, 160, 120, 320, 240}},  // middle cut out
        {0, 0, 320, 240, 1, 0, 321, 240, {0, 0, 320, 240, 0, 0, 320, 240}},    // odd surplus cut on the right
        {0, 0, 321, 240, 1, 0, 320, 240, {0, 0, 320, 240, 0, 0, 320, 240}},    // odd spare pixel on the right
        {0, 0, 640, 240, 1, 0, 320, 480, {160, 0, 320, 240, 0, 120, 320, 240}},
        {0, 0, 640, 480, 0, 1, 320, 120, {0, 120, 640, 240, 0, 0, 320, 120}},  // aspect: bars above and below
        {0, 0, 640, 480, 0, 1, 120, 240, {200, 0, 240, 480, 0, 0, 120, 240}},  // aspect: bars left and right
    };
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> pic(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    for (const Case& c : cases) {
        const stream_settings_t win = {.x = c.x, .y = c.y, .w = c.w, .h = c.h, .nozoom = c.nozoom, .aspect = c.aspect};
        pic->width = c.pw, pic->height = c.ph;
        const geometry_t g = window_geometry(win, pic.get());
        auto fields = [](const geometry_t& r) { return std::tie(r.dstx, r.dsty, r.dstw, r.dsth, r.srcx, r.srcy, r.srcw, r.srch); };
        EXPECT_EQ(fields(c.want), fields(g))
            << "window " << c.x << "," << c.y << " " << c.w << "x" << c.h << " picture " << c.pw << "x" << c.ph;
    }
}

TEST(Geometry, OnlyTheVisiblePartOfARectangleIsDrawn)
{
    fbuffer_t* fb = fb_open_fake(200, 150);
    struct {
        long long x, y, w, h;
        bool on;
        visible_t want;  // base, i0, i1, j0, j1
    } cases[] = {
        {10, 20, 64, 48, true, {20, 0, 64, 0, 48}},      // wholly on the screen
        {-10, -5, 64, 48, true, {-20, 10, 64, 5, 48}},   // past the top-left corner
        {190, 140, 64, 48, true, {380, 0, 10, 0, 10}},   // past the bottom-right corner
        {200, 0, 64, 48, false, {}}, {-64, 0, 64, 48, false, {}}, {0, 150, 64, 48, false, {}},  // off
    };
    for (const auto& c : cases) {
        visible_t v = {};
        ASSERT_EQ(c.on, visible_part(fb, c.x, c.y, c.w, c.h, &v)) << c.x << "," << c.y;
        if (!c.on)
            continue;
        auto fields = [](const visible_t& r) { return std::tie(r.base, r.i0, r.i1, r.j0, r.j1); };
        EXPECT_EQ(fields(c.want), fields(v)) << c.x << "," << c.y;
    }
    fb_close(fb);
}

}  // namespace
