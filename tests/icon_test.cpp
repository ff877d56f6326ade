#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "icon.h"
#include "pixels.h"

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"
#include "icons/knetattach.xpm"

namespace {

uint16_t& pixel(fbuffer_t* fb, int x, int y)
{
    return *reinterpret_cast<uint16_t*>(fb->fb + y * fb->finfo.line_length + 2 * x);
}

// The pixels of an XPM image.
std::vector<uint32_t> decode(std::vector<const char*> xpm)
{
    icon_t* i = icon_new_xpm(xpm.data());
    std::vector<uint32_t> px(i->argb, i->argb + i->width * i->height);
    return icon_free(i), px;
}

}  // namespace

// RGB565 blending; copies are checked where they are clipped (IconClip).
TEST(Icon, BlendArithmetic)
{
    fbuffer_t* fb = fb_open_fake(1, 1);
    icon_t* i = icon_new(1, 1);
    const uint32_t blends[][3] = {  // icon, RGB565 below, result
        {0xFFFFFFFF, 0, 0xFFFF}, {0xFF3366CC, 0, 0x3339}, {0x80FFFFFF, 0, 0x7BEF},
        {0xFF080000, 0, 0},            // 255/256 of red 8 is 7, below the first 5-bit step
        {0x40FF0000, 0x001F, 0x3817},  // a quarter of red over blue: red 63 -> 7, blue 248 * 192 / 256 -> 23
        {0x00FFFFFF, 0x5A5A, 0x5A5A},  // transparent
    };
    for (auto [src, dst, want] : blends) {
        i->argb[0] = src, pixel(fb, 0, 0) = static_cast<uint16_t>(dst);
        icon_draw(fb, i, 0, 0);
        EXPECT_EQ(want, pixel(fb, 0, 0)) << std::hex << src;
    }
    icon_draw(nullptr, i, 0, 0), icon_copy(nullptr, i, 0, 0);  // no surface: nothing happens
    EXPECT_EQ(0x00FFFFFFu, i->argb[0]);
    icon_free(i);
    fb_close(fb);
}

// Blended at 8 bits per channel, the unused byte left alone; copies expand
// exactly and draw back unchanged.
TEST(Icon, BlendAndCopyInEveryLayout)
{
    icon_t* i = icon_new(2, 1);
    for (AVPixelFormat format : {AV_PIX_FMT_BGR24, AV_PIX_FMT_RGB24, AV_PIX_FMT_BGRA, AV_PIX_FMT_RGBA,
                                 AV_PIX_FMT_ARGB, AV_PIX_FMT_ABGR}) {
        SCOPED_TRACE(format);
        fbuffer_t* fb = fb_open_fake_format(2, 1, format);
        memset(fb->fb, 0x5A, static_cast<size_t>(fb->fb_size));
        set_rgb(fb, 0, 0, {0x10, 0x20, 0x30});
        set_rgb(fb, 1, 0, {0xFF, 0xFF, 0xFF});
        i->argb[0] = 0x80FF4020;  // half of it: (0x10 + 0xFF) / 2, (0x20 + 0x40) / 2, (0x30 + 0x20) / 2
        i->argb[1] = 0x00123456;  // transparent
        icon_draw(fb, i, 0, 0);
        std::vector<uint8_t> px(fb->fb, fb->fb + fb->fb_size);
        set_rgb(fb, 0, 0, {0x87, 0x30, 0x28});
        EXPECT_EQ(std::vector<uint8_t>(fb->fb, fb->fb + fb->fb_size), px);

        set_rgb(fb, 0, 0, {0x01, 0x80, 0xFE});
        icon_copy(fb, i, 0, 0);
        EXPECT_EQ(0xFF0180FEu, i->argb[0]);
        px.assign(fb->fb, fb->fb + fb->fb_size);
        icon_draw(fb, i, 0, 0);
        EXPECT_EQ(std::vector<uint8_t>(fb->fb, fb->fb + fb->fb_size), px);
        fb_close(fb);
    }
    // A 16-bit layout with 5 bits of green.
    fbuffer_t* fb = fb_open_fake_format(1, 1, AV_PIX_FMT_RGB555);
    pixel(fb, 0, 0) = 0x7FFF;
    icon_copy(fb, i, 0, 0);
    EXPECT_EQ(0xFFF8F8F8u, i->argb[0]);
    fb_close(fb);
    icon_free(i);
}

// A W x H screen in a block with a guard column on the left, padding on the
// right, a guard row above and below, and no memory past the last visible
// pixel: a write outside changes a guard (or, under ASan, leaves the block).
class IconClip : public ::testing::Test {
protected:
    static constexpr int W = 20, H = 10, BW = W + 6, BH = H + 2;
    fbuffer_t* fb = fb_open_fake(BW, BH);
    uint8_t* block = fb->fb;

    void SetUp() override
    {
        fb->fb = block + fb->finfo.line_length + 2;
        fb->fb_size = (H - 1) * fb->finfo.line_length + 2 * W;
        fb->vinfo.xres = W, fb->vinfo.yres = H;
        char why[160];
        ASSERT_TRUE(fb_setup(fb, why, sizeof why)) << why;
    }
    void TearDown() override { fb->fb = block, fb_close(fb); }
    uint16_t& at(int n) { return reinterpret_cast<uint16_t*>(block)[n]; }
    static uint16_t original(int n) { return static_cast<uint16_t>(0x5A5A + n); }

    // A white icon whitens exactly the visible pixels under it; a copy into a
    // marked icon takes exactly those, the screen left as it was.
    void check(int px, int py, int w = 6, int h = 4)
    {
        SCOPED_TRACE(testing::Message() << "at " << px << "," << py << " size " << w << "x" << h);
        // The block's pixel under the icon, or -1.
        auto under = [&](long long x, long long y) {
            bool in = x >= 0 && x < W && y >= 0 && y < H && x >= px && x < px + 0LL + w && y >= py && y < py + 0LL + h;
            return in ? (y + 1) * BW + x + 1 : -1;
        };
        icon_t* i = icon_new(w, h);
        for (int copy = 0; copy < 2; ++copy) {
            for (int n = 0; n < BW * BH; ++n)
                at(n) = original(n);
            std::fill(i->argb, i->argb + w * h, copy ? 0x12345678 : 0xFFFFFFFF);
            copy ? icon_copy(fb, i, px, py) : icon_draw(fb, i, px, py);
            for (int n = 0; n < BW * BH; ++n)
                ASSERT_EQ(!copy && under(n % BW - 1, n / BW - 1) >= 0 ? 0xFFFF : original(n), at(n)) << n;
        }
        for (int n = 0; n < w * h; ++n) {
            long long b = under(static_cast<long long>(px) + n % w, static_cast<long long>(py) + n / w);
            uint32_t p = b < 0 ? 0 : original(static_cast<int>(b));
            uint32_t want = 0xFF000000u | ((p & 0xF800u) << 8) | ((p & 0x07E0u) << 5) | ((p & 0x1Fu) << 3);
            ASSERT_EQ(b < 0 ? 0x12345678 : want, i->argb[n]) << n % w << "," << n / w;
        }
        icon_free(i);
    }
};

TEST_F(IconClip, DrawAndCopyTouchOnlyTheVisiblePart)
{
    const int at[][2] = {{7, 3},  {-3, 2}, {5, -2}, {W - 4, 5}, {8, H - 1}, {-5, -3},
                         {W - 2, H - 2}, {-6, 0}, {0, -4},  {W, 0},    {0, H},     {W, H},
                         {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}, {INT_MAX - 2, 0}, {INT_MIN, INT_MAX}};
    for (const auto& p : at)
        check(p[0], p[1]);
    check(-3, -3, W + 6, H + 6);  // larger than the screen
}

TEST(IconXpm, HeadersColoursKeysAndRows)
{
    // Octal, hexadecimal, trailing hot spot and extension words.
    for (const char* header : {"8 1 2 1", "010 01 02 01", "0x8 0x1 0x2 0x1", "8 1 2 1 3 4 XPMEXT", "8 1 2 1 "})
        EXPECT_EQ((std::vector<uint32_t>{0xFF102030, 0, 0xFF102030, 0, 0xFF102030, 0, 0xFF102030, 0}),
                  decode({header, "a c #102030", "b c None", "abababab"}))
            << header;
    EXPECT_EQ((std::vector<uint32_t>{0xFF00FF00, 0xFFABCDEF, 0, 0xFF000000, 0, 0xFFABCDEF}),
              decode({"3 2 5 2", "aa c #AbCdEf", "bb c #abcdef", "cc c None", "dd c #000000 trailing text",
                      "aa c #00ff00",  // same key again: the later one wins
                      "aabbcc", "ddccbbextra characters beyond the row"}));
    // Characters are keyed as unsigned bytes.
    EXPECT_EQ((std::vector<uint32_t>{0xFF0000FF, 0xFFFF0000}),
              decode({"2 1 2 1", "\xff c #ff0000", "\x7f c #0000ff", "\x7f\xff"}));
    EXPECT_TRUE(decode({"0 0 0 1"}).empty());

    key_color_t table[] = {{7, 1}, {9, 2}, {7, 3}};
    EXPECT_EQ(&table[2], search_color(table, 3, 7));
    EXPECT_EQ(&table[0], search_color(table, 2, 7));
    EXPECT_EQ(nullptr, search_color(table, 3, 8));
}

// Malformed images end the process, read nothing past a string's end (ASan).
TEST(IconXpmDeath, MalformedImagesEndTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<const char*> bad[] = {
        {"2 1 1", "a c #000000", "aa"},       {"2 1 1 1", "a-c #000000", "aa"}, {"2 1 1 1", "a m #000000", "aa"},
        {"2 1 1 1", "a c", "aa"},             {"2 1 1 1", "a c #12345G", "aa"}, {"2 1 1 1", "a c #000000", "ab"},
        {"2 1 1 1", "a c #12345", "aa"},      {"2 1 1 1", "a c #000000", "a"},  {"2 1 1 2", "a", "aa"}};
    for (const auto& xpm : bad)
        EXPECT_DEATH(decode(xpm), "") << xpm[1] << " / " << xpm.back();
}

// The four status images: 32 x 32, no row missing, transparent corners, an
// opaque middle. VELMOR_ICON_PREVIEW=file gets them as raw RGB565 over colour
// ramps and grey steps, one across the edge (tools/icon_preview.sh).
TEST(IconImages, BlendOverTestPicture)
{
    const std::pair<const char**, size_t> images[] = {
        {document_quick_restart, std::size(document_quick_restart)}, {knetattach, std::size(knetattach)},
        {edit_delete, std::size(edit_delete)}, {emblem_urgent, std::size(emblem_urgent)}};
    fbuffer_t* fb = fb_open_fake(320, 120);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 320; ++x) {
            const unsigned r = 31 * x / 319, step = x * 8 / 320;
            pixel(fb, x, y) = uint16_t(y < 60 ? r << 11 | 63 * y / 59 << 5 | (31 - r) : step * 31 / 7 * 0x801 | step * 63 / 7 << 5);
        }
    for (int k = 0; k < 4; ++k) {
        const auto [xpm, strings] = images[k];
        unsigned w = 0, h = 0, colours = 0;
        EXPECT_EQ(3, sscanf(xpm[0], "%u %u %u", &w, &h, &colours));
        EXPECT_TRUE(w == 32 && h == 32 && strings == 1 + colours + h) << xpm[0];
        icon_t* i = icon_new_xpm(xpm);
        const long opaque = std::count_if(i->argb, i->argb + 1024, [](uint32_t p) { return p >> 24 == 255; });
        EXPECT_TRUE((i->argb[0] | i->argb[31] | i->argb[31 * 32] | i->argb[1023]) == 0 && i->argb[528] >> 24 == 255 &&
                    opaque > 1024 / 3) << xpm[0];
        icon_draw(fb, i, 80 * k + 4, 4), icon_draw(fb, i, 80 * k + 40, 70);
        if (k == 0)
            icon_draw(fb, i, 300, 100);
        icon_free(i);
    }
    if (const char* out = getenv("VELMOR_ICON_PREVIEW")) {
        FILE* f = fopen(out, "wb");
        ASSERT_NE(nullptr, f) << out;
        EXPECT_EQ(1u, fwrite(fb->fb, static_cast<size_t>(fb->fb_size), 1, f));
        fclose(f);
    }
    fb_close(fb);
}
