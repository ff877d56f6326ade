// Where a picture goes: the window's rectangle on the surface, the part of
// the picture it shows, and the part of a rectangle that is on the screen.
#include "geometry.h"

#include <algorithm>
#include <cstddef>

extern "C" {
#include <libavutil/pixdesc.h>
}

output_rect_t intersect(const output_rect_t& a, const output_rect_t& b)
{
    const long long x0 = std::max(a.x, b.x), x1 = std::min(a.x + a.w, b.x + b.w);
    const long long y0 = std::max(a.y, b.y), y1 = std::min(a.y + a.h, b.y + b.h);
    return {x0, y0, std::max(0LL, x1 - x0), std::max(0LL, y1 - y0)};
}

// False when nothing of the rectangle is on the surface (whose visible area
// fb_setup has checked against its memory).
bool visible_part(const fbuffer_t* fb, long long dstx, long long dsty, long long dstw, long long dsth,
                  visible_t* v)
{
    if (fb == nullptr || fb->screen == nullptr)
        return false;
    const output_rect_t screen = {0, 0, fb->vinfo.xres, fb->vinfo.yres};
    const output_rect_t on = intersect({dstx, dsty, dstw, dsth}, screen);
    v->base = dstx * fb->bytes_per_pixel;
    v->i0 = on.x - dstx;
    v->i1 = on.x + on.w - dstx;
    v->j0 = on.y - dsty;
    v->j1 = on.y + on.h - dsty;
    return on.w > 0 && on.h > 0;
}

// Points `data` at row srcy, column srcx of the picture, plane by plane.
// False for formats whose pixels cannot be addressed that way.
bool crop_planes(const AVFrame* pic, int srcx, int srcy, uint8_t* data[4])
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pic->format));
    if (d == nullptr || (d->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)) != 0)
        return false;
    if ((d->flags & AV_PIX_FMT_FLAG_BAYER) != 0) {
        // An odd offset would change the colour pattern.
        srcx &= ~1;
        srcy &= ~1;
    }
    uint8_t* out[4] = {};
    for (int p = 0; p < 4 && pic->data[p] != nullptr; ++p) {
        if ((d->flags & AV_PIX_FMT_FLAG_PAL) != 0 && p == 1) {
            out[p] = pic->data[p];  // the palette, not pixels
            break;
        }
        const AVComponentDescriptor* comp = nullptr;
        for (int c = 0; c < d->nb_components; ++c) {
            if (d->comp[c].plane == p) {
                comp = &d->comp[c];
                break;
            }
        }
        if (comp == nullptr)
            return false;
        const int sx = (p == 1 || p == 2) ? d->log2_chroma_w : 0;
        const int sy = (p == 1 || p == 2) ? d->log2_chroma_h : 0;
        out[p] = pic->data[p] + static_cast<ptrdiff_t>(srcy >> sy) * pic->linesize[p]
                 + static_cast<ptrdiff_t>(srcx >> sx) * comp->step;
    }
    std::copy(out, out + 4, data);
    return true;
}

// Without nozoom the picture is stretched to the window. With it the picture
// is centred in a larger window (an odd spare pixel to the right or bottom)
// or its middle is cut out of a larger picture (an odd surplus pixel cut from
// the right or bottom).
static void fit_axis(long long* dst, long long* dstlen, int* src, int* srclen)
{
    if (*srclen < *dstlen) {
        *dst += (*dstlen - *srclen) / 2;
        *dstlen = *srclen;
    } else if (*srclen > *dstlen) {
        *src = static_cast<int>((*srclen - *dstlen) / 2);
        *srclen = static_cast<int>(*dstlen);
    }
}

// Shrinks the window to the largest rectangle of the picture's shape (its
// sample aspect ratio honoured), centred in it.
static void fit_aspect(geometry_t* g, AVRational sar)
{
    if (sar.num <= 0 || sar.den <= 0)
        sar = {1, 1};
    const long long pw = static_cast<long long>(g->srcw) * sar.num;  // the picture's shape
    const long long ph = static_cast<long long>(g->srch) * sar.den;
    if (pw <= 0 || ph <= 0)
        return;
    long long w = g->dstw, h = g->dsth;
    if (g->dstw * ph <= g->dsth * pw)
        h = std::max(1LL, (g->dstw * ph + pw / 2) / pw);
    else
        w = std::max(1LL, (g->dsth * pw + ph / 2) / ph);
    g->dstx += (g->dstw - w) / 2;
    g->dsty += (g->dsth - h) / 2;
    g->dstw = w;
    g->dsth = h;
}

geometry_t window_geometry(const stream_settings_t& win, const AVFrame* pic)
{
    geometry_t g = {win.x, win.y, win.w, win.h, 0, 0, pic->width, pic->height};
    if (g.dstw == 0)
        g.dstw = g.srcw;
    if (g.dsth == 0)
        g.dsth = g.srch;
    if (win.nozoom != 0 && g.dstw > 0 && g.dsth > 0) {
        fit_axis(&g.dstx, &g.dstw, &g.srcx, &g.srcw);
        fit_axis(&g.dsty, &g.dsth, &g.srcy, &g.srch);
    }
    if (win.aspect != 0 && g.dstw > 0 && g.dsth > 0)
        fit_aspect(&g, pic->sample_aspect_ratio);
    return g;
}

// FFmpeg's converters write whole blocks of pixels (up to 16 at a time with
// SIMD), and its unscaled conversions between packed RGB layouts (plain
// copies included) run over the whole line size, or over the gap between
// rows when both line sizes are equal: only a window whose rows they fill
// exactly may be drawn straight into screen memory, where anything more
// would land beside the window.
bool writes_only_its_rows(int format, const geometry_t& g)
{
    if (g.dstw % 16 != 0)
        return false;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    const bool packed_rgb = d != nullptr && (d->flags & AV_PIX_FMT_FLAG_RGB) != 0
                            && (d->flags & AV_PIX_FMT_FLAG_PLANAR) == 0;
    return !(packed_rgb && g.srcw == g.dstw && g.srch == g.dsth);
}

bool window_view(const fbuffer_t* fb, const stream_settings_t& win, int drawn_w, int drawn_h, fbuffer_t* view,
                 window_place_t* place)
{
    if (fb == nullptr || fb->screen == nullptr)
        return false;
    const long long line = fb->finfo.line_length;
    const long long corner = ICON_INSET + ICON_SIZE;
    const long long ww = win.w > 0 ? win.w : (drawn_w > 0 ? drawn_w : corner);
    const long long wh = win.h > 0 ? win.h : (drawn_h > 0 ? drawn_h : corner);
    const output_rect_t on = intersect({win.x, win.y, ww, wh}, {0, 0, fb->vinfo.xres, fb->vinfo.yres});
    if (on.w <= 0 || on.h <= 0)
        return false;
    *view = *fb;
    view->screen = fb->screen + on.y * line + on.x * fb->bytes_per_pixel;
    view->vinfo.xres = static_cast<uint32_t>(on.w);
    view->vinfo.yres = static_cast<uint32_t>(on.h);
    *place = {win.x - on.x, win.y - on.y, ww, wh, on.x, on.y};
    return true;
}

bool icon_view(const fbuffer_t* fb, const stream_settings_t& win, int drawn_w, int drawn_h, fbuffer_t* view, int* ix,
               int* iy)
{
    window_place_t p;
    if (!window_view(fb, win, drawn_w, drawn_h, view, &p))
        return false;
    *ix = static_cast<int>(p.x + ICON_INSET);
    *iy = static_cast<int>(p.y + ICON_INSET);
    return true;
}
