#include "icon.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

key_color_t* search_color(key_color_t* colors, int size, int key)
{
    // Backwards, so that of two colours with the same key the later one wins.
    for (int n = size - 1; n >= 0; --n)
        if (colors[n].key == key)
            return &colors[n];
    return nullptr;
}

// Packs `cpp` characters from s[*pos] into a key and advances *pos. A string
// that ends inside the key is malformed; stopping there keeps the decoder from
// reading past its end.
static int xpm_key(const char* s, int* pos, int cpp)
{
    unsigned key = 0;
    for (int k = 0; k < cpp; ++k) {
        assert(s[*pos] != '\0');
        key = (key << 8) | static_cast<unsigned char>(s[*pos]);
        ++*pos;
    }
    return static_cast<int>(key);
}

static unsigned hex_digit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return static_cast<unsigned>(ch - '0');
    if (ch >= 'A' && ch <= 'F')
        return static_cast<unsigned>(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f')
        return static_cast<unsigned>(ch - 'a' + 10);
    assert(0);
    return 0;
}

void icon_init_xpm(icon_t* i, const char** xpm)
{
    int ncolors = 0;
    int cpp = 0;
    assert(xpm[0] != nullptr);
    int res = sscanf(xpm[0], "%i %i %i %i", &i->width, &i->height, &ncolors, &cpp);
    assert(res == 4);
    assert(i->width >= 0 && i->height >= 0 && ncolors >= 0 && cpp >= 0);

    key_color_t* colors = static_cast<key_color_t*>(calloc(static_cast<size_t>(ncolors) + 1,
                                                           sizeof(key_color_t)));
    assert(colors != nullptr);
    for (int c = 1; c <= ncolors; ++c) {
        assert(xpm[c] != nullptr);
        int pos = 0;
        int key = xpm_key(xpm[c], &pos, cpp);
        assert(xpm[c][pos] == ' ');
        ++pos;
        assert(xpm[c][pos] == 'c');
        ++pos;
        assert(xpm[c][pos] == ' ');
        ++pos;
        uint32_t argb = 0;  // anything but "#RRGGBB" (None) is transparent
        if (xpm[c][pos] == '#') {
            ++pos;
            uint32_t rgb = 0;
            // hex_digit stops at the terminator, so a short colour never
            // reads past the end of its string.
            for (int d = 0; d < 6; ++d, ++pos)
                rgb = (rgb << 4) | hex_digit(xpm[c][pos]);
            argb = rgb | 0xFF000000u;
        }
        colors[c - 1].key = key;
        colors[c - 1].argb = argb;
    }

    // One spare word, so that an empty image still gets a block of its own.
    size_t count = static_cast<size_t>(i->width) * static_cast<size_t>(i->height);
    i->argb = static_cast<uint32_t*>(calloc(count + 1, sizeof(uint32_t)));
    assert(i->argb != nullptr);
    for (int y = 0; y < i->height; ++y) {
        const char* row = xpm[1 + ncolors + y];
        assert(row != nullptr);
        int pos = 0;
        for (int x = 0; x < i->width; ++x) {
            key_color_t* c = search_color(colors, ncolors, xpm_key(row, &pos, cpp));
            assert(c != ((void *)0));
            i->argb[static_cast<size_t>(y) * static_cast<size_t>(i->width) + static_cast<size_t>(x)] = c->argb;
        }
    }
    free(colors);
}

void icon_init(icon_t* i, int width, int height)
{
    assert(width >= 0 && height >= 0);
    i->width = width;
    i->height = height;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    i->argb = static_cast<uint32_t*>(calloc(count + 1, sizeof(uint32_t)));
    assert(i->argb != nullptr);
}

icon_t* icon_new_xpm(const char** xpm)
{
    icon_t* i = static_cast<icon_t*>(calloc(1, sizeof(icon_t)));
    assert(i != nullptr);
    icon_init_xpm(i, xpm);
    return i;
}

icon_t* icon_new(int width, int height)
{
    icon_t* i = static_cast<icon_t*>(calloc(1, sizeof(icon_t)));
    assert(i != nullptr);
    icon_init(i, width, height);
    return i;
}

void icon_done(icon_t* i)
{
    if (i->argb != nullptr)
        free(i->argb);
}

void icon_free(icon_t* i)
{
    icon_done(i);
    free(i);
}

namespace {

// The part of an icon placed at (posx, posy) that lies on the visible area,
// in icon coordinates: columns [x0, x1), rows [y0, y1).
struct clip_t {
    int x0, x1, y0, y1;
};

bool icon_clip(const fbuffer_t* fb, const icon_t* i, int posx, int posy, clip_t* c)
{
    if (fb->screen == nullptr)
        return false;
    long long x0 = std::max<long long>(0, -static_cast<long long>(posx));
    long long y0 = std::max<long long>(0, -static_cast<long long>(posy));
    long long x1 = std::min<long long>(i->width, static_cast<long long>(fb->vinfo.xres) - posx);
    long long y1 = std::min<long long>(i->height, static_cast<long long>(fb->vinfo.yres) - posy);
    if (x0 >= x1 || y0 >= y1)
        return false;
    *c = {static_cast<int>(x0), static_cast<int>(x1), static_cast<int>(y0), static_cast<int>(y1)};
    return true;
}

// The first of a row's pixels; only called for on-screen places.
uint8_t* screen_pixel(fbuffer_t* fb, long long sx, long long sy)
{
    return fb->screen + static_cast<size_t>(sy) * fb->finfo.line_length
           + static_cast<size_t>(sx) * static_cast<size_t>(fb->bytes_per_pixel);
}

// One colour channel of the surface's pixel values: where its field lies and
// how far its value is shifted up to fill 8 bits (zero low bits, no copies of
// the high ones).
struct channel_t {
    uint32_t offset, mask, widen;
};

struct pixels_t {
    channel_t c[3];  // red, green, blue
    uint32_t keep;   // bits of no channel (the unused byte of 32-bit pixels)
    int bytes;
};

pixels_t pixels_of(const fbuffer_t* fb)
{
    pixels_t p;
    const fb_bitfield* f[3] = {&fb->vinfo.red, &fb->vinfo.green, &fb->vinfo.blue};
    p.keep = ~0u;
    for (int k = 0; k < 3; ++k) {
        p.c[k] = {f[k]->offset, (1u << f[k]->length) - 1, 8 - f[k]->length};
        p.keep &= ~(p.c[k].mask << p.c[k].offset);
    }
    p.bytes = fb->bytes_per_pixel;
    return p;
}

// Pixel values are in the processor's byte order; a 24-bit one takes the
// low three bytes of a little-endian word.
uint32_t load(const uint8_t* at, int bytes)
{
    if (bytes == 2) {
        uint16_t v;
        memcpy(&v, at, 2);
        return v;
    }
    uint32_t v = 0;
    memcpy(&v, at, static_cast<size_t>(bytes));
    return v;
}

void store(uint8_t* at, int bytes, uint32_t v)
{
    if (bytes == 2) {
        uint16_t w = static_cast<uint16_t>(v);
        memcpy(at, &w, 2);
    } else {
        memcpy(at, &v, static_cast<size_t>(bytes));
    }
}

}  // namespace

void icon_draw(fbuffer_t* fb, icon_t* i, int posx, int posy)
{
    clip_t c;
    if (fb == nullptr || !icon_clip(fb, i, posx, posy, &c))
        return;
    const pixels_t px = pixels_of(fb);
    for (int y = c.y0; y < c.y1; ++y) {
        uint8_t* dst = screen_pixel(fb, static_cast<long long>(posx) + c.x0, static_cast<long long>(posy) + y);
        const uint32_t* src = i->argb + static_cast<size_t>(y) * static_cast<size_t>(i->width) + c.x0;
        for (int x = c.x0; x < c.x1; ++x, dst += px.bytes, ++src) {
            const uint32_t s = *src;
            const uint32_t a = s >> 24;
            const uint32_t na = 256 - a;
            const uint32_t d = load(dst, px.bytes);
            uint32_t out = d & px.keep;
            // Each channel widened to 8 bits, blended with weights a and
            // 256 - a, and cut back to its field: exact 8-bit blending at 24
            // and 32 bits per pixel.
            for (int k = 0; k < 3; ++k) {
                const channel_t& ch = px.c[k];
                const uint32_t sc = (s >> (16 - 8 * k)) & 0xFF;
                const uint32_t dc = ((d >> ch.offset) & ch.mask) << ch.widen;
                out |= (((dc * na + sc * a) >> 8) >> ch.widen) << ch.offset;
            }
            store(dst, px.bytes, out);
        }
    }
}

void icon_copy(fbuffer_t* fb, icon_t* i, int posx, int posy)
{
    clip_t c;
    if (fb == nullptr || !icon_clip(fb, i, posx, posy, &c))
        return;
    const pixels_t px = pixels_of(fb);
    for (int y = c.y0; y < c.y1; ++y) {
        const uint8_t* src = screen_pixel(fb, static_cast<long long>(posx) + c.x0, static_cast<long long>(posy) + y);
        uint32_t* dst = i->argb + static_cast<size_t>(y) * static_cast<size_t>(i->width) + c.x0;
        for (int x = c.x0; x < c.x1; ++x, ++dst, src += px.bytes) {
            const uint32_t p = load(src, px.bytes);
            uint32_t argb = 0xFF000000u;
            for (int k = 0; k < 3; ++k)
                argb |= (((p >> px.c[k].offset) & px.c[k].mask) << px.c[k].widen) << (16 - 8 * k);
            *dst = argb;
        }
    }
}
