#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fbuffer.h"
#include "icon.h"

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"
#include "icons/knetattach.xpm"

namespace {

uint16_t& pixel(fbuffer_t* fb, int x, int y)
{
    return *reinterpret_cast<uint16_t*>(fb->fb + y * fb->finfo.line_length + 2 * x);
}

// Draws the one-pixel image `src` onto the surface word `dst`.
uint16_t blend(uint32_t src, uint16_t dst)
{
    fbuffer_t* fb = fb_open_fake(1, 1);
    icon_t* i = icon_new(1, 1);
    i->argb[0] = src;
    pixel(fb, 0, 0) = dst;
    icon_draw(fb, i, 0, 0);
    uint16_t out = pixel(fb, 0, 0);
    icon_free(i);
    fb_close(fb);
    return out;
}

uint32_t expand(uint16_t p)
{
    fbuffer_t* fb = fb_open_fake(1, 1);
    icon_t* i = icon_new(1, 1);
    pixel(fb, 0, 0) = p;
    icon_copy(fb, i, 0, 0);
    uint32_t out = i->argb[0];
    icon_free(i);
    fb_close(fb);
    return out;
}

}  // namespace

TEST(IconBlend, OpaqueAndHalfOntoBlack)
{
    EXPECT_EQ(0xFFFF, blend(0xFFFFFFFF, 0x0000));
    EXPECT_EQ(0x3339, blend(0xFF3366CC, 0x0000));
    // 255/256 of a red of 8 truncates to 7, below the first 5-bit step.
    EXPECT_EQ(0x0000, blend(0xFF080000, 0x0000));
    EXPECT_EQ(0x7BEF, blend(0x80FFFFFF, 0x0000));
    // A quarter of red over full blue: red 63 -> 7, blue 248 * 192 / 256 -> 23.
    EXPECT_EQ(0x3817, blend(0x40FF0000, 0x001F));
}

TEST(IconBlend, TransparentLeavesEveryPixelAlone)
{
    fbuffer_t* fb = fb_open_fake(256, 256);
    icon_t* i = icon_new(256, 256);
    for (int n = 0; n < 65536; ++n) {
        pixel(fb, n % 256, n / 256) = static_cast<uint16_t>(n);
        i->argb[n] = static_cast<uint32_t>(n * 2654435761u) & 0x00FFFFFF;  // colour bits, alpha 0
    }
    icon_draw(fb, i, 0, 0);
    for (int n = 0; n < 65536; ++n)
        ASSERT_EQ(n, pixel(fb, n % 256, n / 256)) << "pixel " << n;
    icon_free(i);
    fb_close(fb);
}

TEST(IconCopy, ExpandsChannelsToTopBits)
{
    EXPECT_EQ(0xFFF8FCF8u, expand(0xFFFF));
    EXPECT_EQ(0xFFF80000u, expand(0xF800));
    EXPECT_EQ(0xFF00FC00u, expand(0x07E0));
    EXPECT_EQ(0xFF0000F8u, expand(0x001F));
    EXPECT_EQ(0xFF000000u, expand(0x0000));
}

TEST(IconCopy, DrawingTheCopyBackRestoresAllPixelValues)
{
    fbuffer_t* fb = fb_open_fake(256, 256);
    for (int n = 0; n < 65536; ++n)
        pixel(fb, n % 256, n / 256) = static_cast<uint16_t>(n);
    icon_t saved;
    icon_init(&saved, 256, 256);
    icon_copy(fb, &saved, 0, 0);
    icon_draw(fb, &saved, 0, 0);
    for (int n = 0; n < 65536; ++n)
        ASSERT_EQ(n, pixel(fb, n % 256, n / 256)) << "pixel " << n;

    // Over a changed area the 1/256 left of the destination shows: a saved
    // red of 16 over red 0 comes back as 15.
    icon_t one;
    icon_init(&one, 1, 1);
    pixel(fb, 0, 0) = 16 << 11;
    icon_copy(fb, &one, 0, 0);
    pixel(fb, 0, 0) = 0;
    icon_draw(fb, &one, 0, 0);
    EXPECT_EQ(15 << 11, pixel(fb, 0, 0));
    icon_done(&one);
    icon_done(&saved);
    fb_close(fb);
}

TEST(IconDraw, FollowsTheScanLineStride)
{
    // A surface whose scan lines are longer than its visible width.
    fbuffer_t* fb = fb_open_fake(12, 4);
    fb->vinfo.xres = 8;
    icon_t* i = icon_new(3, 2);
    for (int n = 0; n < 6; ++n)
        i->argb[n] = 0xFFFFFFFF;
    icon_draw(fb, i, 2, 1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 12; ++x)
            EXPECT_EQ((x >= 2 && x < 5 && y >= 1 && y < 3) ? 0xFFFF : 0, pixel(fb, x, y))
                << x << "," << y;
    icon_free(i);
    fb_close(fb);
}

TEST(IconDraw, NullSurfaceDoesNothing)
{
    icon_t* i = icon_new(2, 2);
    i->argb[3] = 0x12345678;
    icon_draw(nullptr, i, 0, 0);
    icon_copy(nullptr, i, 0, 0);
    EXPECT_EQ(0x12345678u, i->argb[3]);
    EXPECT_EQ(0u, i->argb[0]);
    icon_free(i);
}

// A W x H screen inside a larger block: one guard pixel column on the left,
// wide padding on the right, a guard row above and below. Any write outside
// the visible area lands on guard pixels (or, under AddressSanitizer, outside
// the block) and is noticed.
class IconClip : public ::testing::Test {
protected:
    static constexpr int W = 20, H = 10, BW = W + 6, BH = H + 2;
    static constexpr uint16_t GUARD = 0x5A5A;
    fbuffer_t* fb = nullptr;
    uint8_t* block = nullptr;

    void SetUp() override
    {
        fb = fb_open_fake(BW, BH);
        block = fb->fb;
        fb->fb = block + fb->finfo.line_length + 2;
        fb->fb_size = (H - 1) * fb->finfo.line_length + 2 * W;  // no byte to spare
        fb->vinfo.xres = W;
        fb->vinfo.yres = H;
    }
    void TearDown() override
    {
        fb->fb = block;
        fb_close(fb);
    }
    void fill()
    {
        for (int n = 0; n < BW * BH; ++n)
            reinterpret_cast<uint16_t*>(block)[n] = static_cast<uint16_t>(GUARD + n);
    }
    uint16_t original(int bx, int by) { return static_cast<uint16_t>(GUARD + by * BW + bx); }
    uint16_t at(int bx, int by) { return reinterpret_cast<uint16_t*>(block)[by * BW + bx]; }

    // Draws an opaque white w x h icon at (px, py); exactly the visible pixels
    // under it turn white.
    void check_draw(int px, int py, int w = 6, int h = 4)
    {
        SCOPED_TRACE(testing::Message() << "draw at " << px << "," << py);
        fill();
        icon_t* i = icon_new(w, h);
        for (int n = 0; n < w * h; ++n)
            i->argb[n] = 0xFFFFFFFF;
        icon_draw(fb, i, px, py);
        for (int by = 0; by < BH; ++by)
            for (int bx = 0; bx < BW; ++bx) {
                long long x = bx - 1, y = by - 1;
                bool hit = x >= 0 && x < W && y >= 0 && y < H && x >= px && x < (long long)px + w
                           && y >= py && y < (long long)py + h;
                ASSERT_EQ(hit ? 0xFFFF : original(bx, by), at(bx, by)) << bx - 1 << "," << by - 1;
            }
        icon_free(i);
    }

    // Copies into a w x h icon preset to a marker: exactly the places on the
    // screen take the screen's pixel, and the screen stays as it was.
    void check_copy(int px, int py, int w = 6, int h = 4)
    {
        SCOPED_TRACE(testing::Message() << "copy at " << px << "," << py);
        fill();
        icon_t* i = icon_new(w, h);
        for (int n = 0; n < w * h; ++n)
            i->argb[n] = 0x12345678;
        icon_copy(fb, i, px, py);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                long long sx = (long long)px + x, sy = (long long)py + y;
                bool on = sx >= 0 && sx < W && sy >= 0 && sy < H;
                uint32_t want = 0x12345678;
                if (on) {
                    uint16_t p = original(int(sx) + 1, int(sy) + 1);
                    want = 0xFF000000u | ((p & 0xF800u) << 8) | ((p & 0x07E0u) << 5) | ((p & 0x1Fu) << 3);
                }
                ASSERT_EQ(want, i->argb[y * w + x]) << x << "," << y;
            }
        for (int n = 0; n < BW * BH; ++n)
            ASSERT_EQ(original(n % BW, n / BW), at(n % BW, n / BW));
        icon_free(i);
    }
};

TEST_F(IconClip, DrawAtEachEdgeAndCorner)
{
    check_draw(7, 3);           // wholly inside
    check_draw(-3, 2);          // left
    check_draw(5, -2);          // top
    check_draw(W - 4, 5);       // right
    check_draw(8, H - 1);       // bottom
    check_draw(-5, -3);         // top-left corner
    check_draw(W - 2, H - 2);   // bottom-right corner
    check_draw(-3, -3, W + 6, H + 6);  // larger than the screen
}

TEST_F(IconClip, DrawWhollyOffScreenDoesNothing)
{
    check_draw(-6, 0);
    check_draw(0, -4);
    check_draw(W, 0);
    check_draw(0, H);
    check_draw(INT_MIN, INT_MIN);
    check_draw(INT_MAX, INT_MAX);
    check_draw(INT_MAX - 2, 0);
}

TEST_F(IconClip, CopyAtEachEdgeAndCorner)
{
    check_copy(7, 3);
    check_copy(-3, 2);
    check_copy(5, -2);
    check_copy(W - 4, 5);
    check_copy(8, H - 1);
    check_copy(-5, -3);
    check_copy(W - 2, H - 2);
    check_copy(-3, -3, W + 6, H + 6);
    check_copy(-6, 0);
    check_copy(W, H);
    check_copy(INT_MIN, INT_MAX);
}

TEST(IconClipMemory, SurfaceTallerThanItsMemoryIsNotOverrun)
{
    // A record claiming more rows than its memory holds (as a device could).
    fbuffer_t* fb = fb_open_fake(8, 4);
    fb->vinfo.yres = 100;
    icon_t* i = icon_new(8, 8);
    for (int n = 0; n < 64; ++n)
        i->argb[n] = 0xFFFFFFFF;
    icon_draw(fb, i, 0, 2);
    icon_copy(fb, i, 0, 2);
    EXPECT_EQ(0xFFFF, pixel(fb, 7, 3));
    EXPECT_EQ(0xFFF8FCF8u, i->argb[1 * 8 + 7]);
    EXPECT_EQ(0xFFFFFFFFu, i->argb[2 * 8]);  // row 4 of the screen does not exist
    icon_free(i);
    fb_close(fb);
}

// ---- XPM decoding ----

namespace {

struct decoded {
    int width, height;
    std::vector<uint32_t> px;
};

decoded decode(std::vector<const char*> xpm)
{
    icon_t i;
    icon_init_xpm(&i, xpm.data());
    decoded d{i.width, i.height, std::vector<uint32_t>(i.argb, i.argb + i.width * i.height)};
    icon_done(&i);
    return d;
}

}  // namespace

TEST(IconXpm, HeaderNumbersInEveryScanfForm)
{
    const char* row8 = "abababab";
    // Octal 010 is 8 wide, hexadecimal 0x2 colours; trailing hot spot and
    // extension words are ignored.
    for (const char* header : {"8 1 2 1", "010 01 02 01", "0x8 0x1 0x2 0x1", "8 1 2 1 3 4 XPMEXT",
                               "8 1 2 1 "}) {
        SCOPED_TRACE(header);
        decoded d = decode({header, "a c #102030", "b c None", row8});
        EXPECT_EQ(8, d.width);
        EXPECT_EQ(1, d.height);
        EXPECT_EQ((std::vector<uint32_t>{0xFF102030, 0, 0xFF102030, 0, 0xFF102030, 0, 0xFF102030, 0}),
                  d.px);
    }
}

TEST(IconXpm, ColoursKeysAndRows)
{
    decoded d = decode({"3 2 5 2",
                        "aa c #AbCdEf",
                        "bb c #abcdef",
                        "cc c None",
                        "dd c #000000 trailing text",
                        "aa c #00ff00",  // same key again: the later one wins
                        "aabbcc",
                        "ddccbbextra characters beyond the row"});
    EXPECT_EQ(3, d.width);
    EXPECT_EQ(2, d.height);
    EXPECT_EQ((std::vector<uint32_t>{0xFF00FF00, 0xFFABCDEF, 0, 0xFF000000, 0, 0xFFABCDEF}), d.px);

    // Characters are keyed as unsigned bytes: a high byte differs from its
    // sign-extended neighbour.
    decoded hi = decode({"2 1 2 1", "\xff c #ff0000", "\x7f c #0000ff", "\x7f\xff"});
    EXPECT_EQ((std::vector<uint32_t>{0xFF0000FF, 0xFFFF0000}), hi.px);
}

TEST(IconXpm, HeapIconsAndEmptyImages)
{
    const char* xpm[] = {"1 1 1 1", "x c #fedcba", "x"};
    icon_t* i = icon_new_xpm(xpm);
    ASSERT_EQ(1, i->width);
    EXPECT_EQ(0xFFFEDCBAu, i->argb[0]);
    icon_free(i);

    icon_t* blank = icon_new(4, 3);
    EXPECT_EQ(4, blank->width);
    EXPECT_EQ(3, blank->height);
    for (int n = 0; n < 12; ++n)
        EXPECT_EQ(0u, blank->argb[n]);
    icon_free(blank);

    icon_t* empty = icon_new(0, 0);
    icon_free(empty);
}

TEST(IconXpm, SearchColorTakesTheLastMatch)
{
    key_color_t table[] = {{7, 1}, {9, 2}, {7, 3}};
    EXPECT_EQ(&table[2], search_color(table, 3, 7));
    EXPECT_EQ(&table[1], search_color(table, 3, 9));
    EXPECT_EQ(&table[0], search_color(table, 2, 7));
    EXPECT_EQ(nullptr, search_color(table, 3, 8));
    EXPECT_EQ(nullptr, search_color(table, 0, 7));
}

using IconXpmDeath = ::testing::Test;

TEST(IconXpmDeath, MalformedImagesEndTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(decode({"2 1 1", "a c #000000", "aa"}), "Assertion `res == 4' failed");
    EXPECT_DEATH(decode({"two 1 1 1", "a c #000000", "aa"}), "Assertion `res == 4' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a-c #000000", "aa"}), "Assertion `xpm\\[c\\]\\[pos\\] == ' '' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a m #000000", "aa"}), "Assertion `xpm\\[c\\]\\[pos\\] == 'c'' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a c", "aa"}), "Assertion `xpm\\[c\\]\\[pos\\] == ' '' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a c #12345G", "aa"}), "Assertion `0' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a c #12345", "aa"}), "Assertion `0' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a c #", "aa"}), "Assertion `0' failed");
    EXPECT_DEATH(decode({"2 1 1 1", "a c #000000", "ab"}), "Assertion `c != \\(\\(void \\*\\)0\\)' failed");
    // Strings that end inside a key are not read past their end.
    EXPECT_DEATH(decode({"2 1 1 1", "a c #000000", "a"}), "Assertion `s\\[\\*pos\\] != '\\\\0'' failed");
    EXPECT_DEATH(decode({"2 1 1 2", "a", "aa"}), "Assertion `s\\[\\*pos\\] != '\\\\0'' failed");
}

// ---- The renderer's four status images ----

namespace {

struct builtin {
    const char* name;
    const char** xpm;
    size_t strings;
    int colours;
};

const builtin builtins[] = {
    {"document_quick_restart", document_quick_restart, std::size(document_quick_restart), 214},
    {"knetattach", knetattach, std::size(knetattach), 176},
    {"edit_delete", edit_delete, std::size(edit_delete), 235},
    {"emblem_urgent", emblem_urgent, std::size(emblem_urgent), 95},
};

}  // namespace

TEST(IconImages, DecodeTo32x32WithTransparentSurroundings)
{
    for (const builtin& b : builtins) {
        SCOPED_TRACE(b.name);
        EXPECT_EQ(1u + b.colours + 32u, b.strings);
        int nones = 0;
        for (int c = 1; c <= b.colours; ++c)
            nones += strcmp(b.xpm[c] + 2, " c None") == 0;
        EXPECT_EQ(1, nones);
        for (int y = 0; y < 32; ++y)
            EXPECT_EQ(64u, strlen(b.xpm[1 + b.colours + y])) << "row " << y;

        icon_t i;
        icon_init_xpm(&i, b.xpm);
        EXPECT_EQ(32, i.width);
        EXPECT_EQ(32, i.height);
        for (int n : {0, 31, 31 * 32, 32 * 32 - 1})
            EXPECT_EQ(0u, i.argb[n]) << "corner " << n;
        int opaque = 0;
        for (int n = 0; n < 32 * 32; ++n) {
            uint32_t a = i.argb[n] >> 24;
            EXPECT_TRUE(a == 0 || a == 255);
            opaque += a == 255;
        }
        EXPECT_EQ(0xFFu, i.argb[16 * 32 + 16] >> 24);
        EXPECT_GT(opaque, 32 * 32 / 3);
        EXPECT_LT(opaque, 32 * 32);
        icon_done(&i);
    }
}

namespace {

// A test picture: colour ramps over the top half, grey steps below.
void test_picture(fbuffer_t* fb)
{
    int w = fb->vinfo.xres, h = fb->vinfo.yres;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned r, g, b;
            if (y < h / 2) {
                r = 31 * x / (w - 1);
                g = 63 * y / (h / 2 - 1);
                b = 31 - r;
            } else {
                r = b = (x * 8 / w) * 31 / 7;
                g = (x * 8 / w) * 63 / 7;
            }
            pixel(fb, x, y) = static_cast<uint16_t>(r << 11 | g << 5 | b);
        }
}

}  // namespace

// Blends the four images over the test picture, each at one corner of its
// window and once more across the screen's edge, and checks that transparent
// corners leave the picture alone. With VELMOR_ICON_PREVIEW set to a file
// name, the screen is written there as raw RGB565 (tools/icon_preview.sh).
TEST(IconImages, BlendOverTestPicture)
{
    fbuffer_t* fb = fb_open_fake(320, 120);
    test_picture(fb);
    fbuffer_t* ref = fb_open_fake(320, 120);
    test_picture(ref);
    icon_t imgs[4];
    for (int k = 0; k < 4; ++k) {
        icon_init_xpm(&imgs[k], builtins[k].xpm);
        icon_draw(fb, &imgs[k], 80 * k + 4, 4);      // over the colour ramps
        icon_draw(fb, &imgs[k], 80 * k + 40, 70);    // over the grey steps
    }
    icon_draw(fb, &imgs[0], 300, 100);               // across the bottom-right edge
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(builtins[k].name);
        int x = 80 * k + 4;
        EXPECT_EQ(pixel(ref, x, 4), pixel(fb, x, 4));            // transparent corner
        EXPECT_EQ(pixel(ref, x + 31, 35), pixel(fb, x + 31, 35));
        EXPECT_NE(pixel(ref, x + 16, 20), pixel(fb, x + 16, 20)); // image centre
    }
    if (const char* out = getenv("VELMOR_ICON_PREVIEW")) {
        FILE* f = fopen(out, "wb");
        ASSERT_NE(nullptr, f) << out;
        EXPECT_EQ(1u, fwrite(fb->fb, static_cast<size_t>(fb->fb_size), 1, f));
        fclose(f);
    }
    for (icon_t& i : imgs)
        icon_done(&i);
    fb_close(ref);
    fb_close(fb);
}
