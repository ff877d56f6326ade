// --rotate on memory surfaces: the device shows the unturned screen turned
// clockwise, pixel for pixel (a picture cut by the edge with bars, an icon cut
// by the corner, the background), and a snapshot is the unturned screen.
#include <gtest/gtest.h>

#include "in_process.h"
#include "media.h"
#include "stream.h"
#include "until.h"

namespace {

constexpr int W = 64, H = 48;  // the viewer's screen

// Where the viewer's pixel (x, y) lies on the device.
std::pair<int, int> on_device(int degrees, int x, int y)
{
    return degrees == 90 ? std::pair(H - 1 - y, x) : degrees == 180 ? std::pair(W - 1 - x, H - 1 - y)
           : degrees == 270 ? std::pair(y, W - 1 - x) : std::pair(x, y);
}

uint8_t background(int x, int y, int k) { return static_cast<uint8_t>(x * 7 + y * 13 + k * 5); }

// The device's pixels after a picture and an icon; the snapshot in `snap`.
surface_copy_t draw(int degrees, scale_e scale, AVPixelFormat layout, surface_copy_t* snap)
{
    RenderedSurface on(degrees % 180 ? H : W, degrees % 180 ? W : H, layout,
                       {.idle_period_ms = 50, .scale = scale, .rotate = degrees});
    for (int i = 0, bpp = fb0->bytes_per_pixel; i < W * H * bpp; ++i) {
        auto [dx, dy] = on_device(degrees, i / bpp % W, i / bpp / W);
        fb0->screen[dy * fb0->finfo.line_length + dx * bpp + i % bpp] = background(i / bpp % W, i / bpp / W, i % bpp);
    }
    const stream_settings_t win = {.x = -6, .y = 5, .w = 40, .h = 30, .reconnect = 0, .aspect = 1};
    const stream_settings_t corner = {.x = 44, .y = 30, .w = 40, .h = 40, .reconnect = 3600};
    stream_t* pic = stream_new("pic", make_clip("rotate-32x16.nut", "-f lavfi -i testsrc2=size=32x16 -frames:v 1 "
                                                                    "-c:v ffv1 -pix_fmt yuv420p").c_str(), win);
    stream_t* err = stream_new("err", "/nonexistent/rotate.nut", corner);
    stream_start(pic), stream_start(err);
    EXPECT_TRUE(until([&] { return pic->pictures_drawn.load() == 1 && err->current_icon.load() == I_ERROR; },
                      std::chrono::seconds(10), std::chrono::milliseconds(5)));
    EXPECT_TRUE(render_copy_surface(snap, 5000));
    surface_copy_t device;
    output_copy_surface(fb0, &device);
    stream_stop(pic), stream_stop(err), stream_free(pic), stream_free(err);
    return device;
}

TEST(Rotate, TheDeviceShowsTheScreenTurnedAndASnapshotTheScreen)
{
    for (scale_e scale : {SCALE_POINT, SCALE_BILINEAR})
        for (AVPixelFormat layout : {AV_PIX_FMT_RGB565, AV_PIX_FMT_BGR24, AV_PIX_FMT_BGRA}) {
            SCOPED_TRACE(testing::Message() << "layout " << layout << ", scale " << scale);
            surface_copy_t want, snap;
            const surface_copy_t upright = draw(0, scale, layout, &want);
            const int bpp = upright.bytespp;
            int drawn = 0;  // bytes the picture, its bars and the icon changed
            for (int i = 0; i < W * H * bpp; ++i)
                drawn += upright.pixels[i] != background(i / bpp % W, i / bpp / W, i % bpp);
            EXPECT_GT(drawn, 34 * 30 * bpp / 2);
            for (int degrees : {90, 180, 270}) {
                const surface_copy_t turned = draw(degrees, scale, layout, &snap);
                int bad = 0;
                for (int i = 0; i < W * H; ++i) {
                    auto [dx, dy] = on_device(degrees, i % W, i / W);
                    bad += memcmp(&turned.pixels[dy * turned.stride + dx * bpp], &upright.pixels[i * bpp], bpp) != 0;
                }
                EXPECT_EQ(0, bad) << degrees;
                EXPECT_TRUE(snap.width == W && snap.height == H && want.pixels == snap.pixels) << degrees;
            }
        }
}

}  // namespace
