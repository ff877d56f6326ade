#include "scaler.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

extern "C" {
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "rotate.h"
#include "shared.h"

namespace {

// A window that reaches past the screen is scaled whole into a scratch
// buffer first; beyond this many pixels it is refused instead.
constexpr long long MAX_CLIPPED_WINDOW_PIXELS = 16LL << 20;

// The picture layouts libyuv scales: planar Y, U, V with the chroma planes
// cut by 2^cw_shift across and 2^ch_shift down, NV12's interleaved chroma, or
// luma alone. Full range (JPEG's, and grey's as libswscale takes it) picks
// the full-range matrix.
enum source_kind_e { PLANAR, NV12, GREY };
struct source_layout_t {
    AVPixelFormat format;
    source_kind_e kind;
    int cw_shift, ch_shift;
    bool full_range;
};
constexpr source_layout_t SOURCES[] = {
    {AV_PIX_FMT_YUV420P, PLANAR, 1, 1, false}, {AV_PIX_FMT_YUVJ420P, PLANAR, 1, 1, true},
    {AV_PIX_FMT_YUV422P, PLANAR, 1, 0, false}, {AV_PIX_FMT_YUVJ422P, PLANAR, 1, 0, true},
    {AV_PIX_FMT_YUV444P, PLANAR, 0, 0, false}, {AV_PIX_FMT_YUVJ444P, PLANAR, 0, 0, true},
    {AV_PIX_FMT_NV12, NV12, 1, 1, false},      {AV_PIX_FMT_GRAY8, GREY, 1, 1, true},
};

// I420 at the window's size into a surface layout. libyuv names layouts by
// their order in a little-endian word: its "ARGB" is B, G, R, A in memory.
// The orders it lacks are its own with U and V swapped (and the matrix for
// that).
using to_rgb_f = int (*)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int,
                         const libyuv::YuvConstants*, int, int);
struct surface_layout_t {
    AVPixelFormat format;
    to_rgb_f convert;  // null: limited range only, through `convert_limited`
    bool swap_uv;
    int (*convert_limited)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int);
};
constexpr surface_layout_t SURFACES[] = {
    {AV_PIX_FMT_BGRA, libyuv::I420ToARGBMatrix, false, nullptr},
    {AV_PIX_FMT_RGBA, libyuv::I420ToARGBMatrix, true, nullptr},
    {AV_PIX_FMT_ABGR, libyuv::I420ToRGBAMatrix, false, nullptr},
    {AV_PIX_FMT_ARGB, libyuv::I420ToRGBAMatrix, true, nullptr},
    {AV_PIX_FMT_BGR24, libyuv::I420ToRGB24Matrix, false, nullptr},
    {AV_PIX_FMT_RGB24, libyuv::I420ToRGB24Matrix, true, nullptr},
    {AV_PIX_FMT_RGB565LE, libyuv::I420ToRGB565Matrix, false, nullptr},
    {AV_PIX_FMT_RGB555LE, nullptr, false, libyuv::I420ToARGB1555},
};

const source_layout_t* yuv_source(int format)
{
    for (const auto& t : SOURCES)
        if (t.format == format)
            return &t;
    return nullptr;
}

const surface_layout_t* yuv_surface(int format, bool full_range)
{
    for (const auto& t : SURFACES)
        if (t.format == format)
            return t.convert != nullptr || !full_range ? &t : nullptr;
    return nullptr;
}

uint8_t* scratch_buffer(scaler_scratch_t* scratch, size_t size)
{
    if (size > scratch->size) {
        scratch->buf.reset(static_cast<uint8_t*>(av_malloc(size)));
        scratch->size = scratch->buf != nullptr ? size : 0;
    }
    return scratch->buf.get();
}

}  // namespace

void scaler_scratch_t::av_free_deleter::operator()(uint8_t* p) const
{
    av_free(p);
}

bool scaler_source_planes(const AVFrame* pic, const geometry_t& g, uint8_t* data[4], int linesize[4])
{
    std::copy(pic->data, pic->data + 4, data);
    std::copy(pic->linesize, pic->linesize + 4, linesize);
    return (g.srcx == 0 && g.srcy == 0) || crop_planes(pic, g.srcx, g.srcy, data);
}

bool scale_from_name(const char* name, scale_e* mode)
{
    constexpr std::string_view NAMES[] = {"point", "bilinear", "box", "fast"};
    for (size_t i = 0; i < std::size(NAMES); ++i)
        if (name != nullptr && NAMES[i] == name) {
            *mode = static_cast<scale_e>(i);
            return true;
        }
    return false;
}

bool scaler_prepare(scaler_t* sc, const geometry_t& g, int format, AVPixelFormat to, scale_e mode)
{
    const int dstw = static_cast<int>(g.dstw);
    const int dsth = static_cast<int>(g.dsth);
    const source_layout_t* from = mode != SCALE_POINT ? yuv_source(format) : nullptr;
    const bool resized = sc->dst_w != dstw || sc->dst_h != dsth;
    sc->yuv = from != nullptr && yuv_surface(to, from->full_range) != nullptr;
    sc->dst_w = dstw;
    sc->dst_h = dsth;
    if (sc->yuv) {
        sc->yuv_filter = mode == SCALE_BILINEAR ? libyuv::kFilterBilinear
                         : mode == SCALE_BOX    ? libyuv::kFilterBox
                                                : libyuv::kFilterNone;
        sc->format = format;
        return true;
    }
    // Layouts libyuv does not know keep libswscale, with the nearest filter.
    const int flags = mode == SCALE_BILINEAR ? SWS_BILINEAR : mode == SCALE_BOX ? SWS_AREA : SWS_POINT;
    if (sc->sws == nullptr || resized || sc->src_w != g.srcw || sc->src_h != g.srch || sc->sws_flags != flags
        || sc->format != format) {
        // A scaler per stream, made on this thread: no FFmpeg monitor in the
        // picture path.
        sc->sws = sws_getCachedContext(sc->sws, g.srcw, g.srch, static_cast<AVPixelFormat>(format), dstw, dsth, to,
                                       flags, nullptr, nullptr, nullptr);
        sc->src_w = g.srcw;
        sc->src_h = g.srch;
        sc->sws_flags = flags;
        sc->format = format;
    }
    return sc->sws != nullptr;
}

namespace {

// libyuv: the picture scaled plane by plane into I420 at the window's size
// (chroma at half its size, rounded up), turned by `degrees` (the I420
// picture is the smallest there is to turn), then converted into `dst`.
void yuv_scale(const scaler_t* sc, scaler_scratch_t* scratch, uint8_t* const src[4], const int srcstride[4],
               const geometry_t& g, AVPixelFormat to, uint8_t* dst, int dststride, int degrees)
{
    const source_layout_t* from = yuv_source(sc->format);
    const surface_layout_t* layout = yuv_surface(to, from->full_range);
    const auto filter = static_cast<libyuv::FilterMode>(sc->yuv_filter);
    int w = sc->dst_w, h = sc->dst_h, cw = (w + 1) / 2, ch = (h + 1) / 2;
    const size_t luma = static_cast<size_t>(w) * h, chroma = static_cast<size_t>(cw) * ch;
    const size_t need = luma + 2 * chroma + (from->kind == NV12 ? 2 * chroma : 0);
    if (scratch->yuv.size() < need)
        scratch->yuv.resize(need);
    uint8_t* y = scratch->yuv.data();
    uint8_t* u = y + luma;
    uint8_t* v = u + chroma;
    libyuv::ScalePlane(src[0], srcstride[0], g.srcw, g.srch, y, w, w, h, filter);
    const int scw = (g.srcw + (1 << from->cw_shift) - 1) >> from->cw_shift;
    const int sch = (g.srch + (1 << from->ch_shift) - 1) >> from->ch_shift;
    if (from->kind == PLANAR) {
        libyuv::ScalePlane(src[1], srcstride[1], scw, sch, u, cw, cw, ch, filter);
        libyuv::ScalePlane(src[2], srcstride[2], scw, sch, v, cw, cw, ch, filter);
    } else if (from->kind == NV12) {
        uint8_t* uv = v + chroma;
        libyuv::UVScale(src[1], srcstride[1], scw, sch, uv, 2 * cw, cw, ch, filter);
        libyuv::SplitUVPlane(uv, 2 * cw, u, cw, v, cw, cw, ch);
    } else {
        libyuv::SetPlane(u, cw, cw, ch, 128);
        libyuv::SetPlane(v, cw, cw, ch, 128);
    }
    if (degrees != 0) {
        const int tw = degrees == 180 ? w : h, th = degrees == 180 ? h : w, tcw = (tw + 1) / 2, tch = (th + 1) / 2;
        const size_t tluma = static_cast<size_t>(tw) * th, tchroma = static_cast<size_t>(tcw) * tch;
        if (scratch->turned.size() < tluma + 2 * tchroma)
            scratch->turned.resize(tluma + 2 * tchroma);
        uint8_t* ty = scratch->turned.data();
        libyuv::I420Rotate(y, w, u, cw, v, cw, ty, tw, ty + tluma, tcw, ty + tluma + tchroma, tcw, w, h,
                           static_cast<libyuv::RotationMode>(degrees));
        std::tie(y, u, v, w, h, cw) = std::tuple(ty, ty + tluma, ty + tluma + tchroma, tw, th, tcw);
    }
    if (layout->convert == nullptr) {
        layout->convert_limited(y, w, u, cw, v, cw, dst, dststride, w, h);
        return;
    }
    const libyuv::YuvConstants* matrix =
        from->full_range ? (layout->swap_uv ? &libyuv::kYvuJPEGConstants : &libyuv::kYuvJPEGConstants)
                         : (layout->swap_uv ? &libyuv::kYvuI601Constants : &libyuv::kYuvI601Constants);
    if (layout->swap_uv)
        std::swap(u, v);
    layout->convert(y, w, u, cw, v, cw, dst, dststride, matrix, w, h);
}

}  // namespace

// A window that lies wholly on the screen is written straight into screen
// memory; one that reaches past an edge (or whose rows libswscale would
// overrun) is scaled whole into a scratch buffer and only its visible part is
// copied, so that nothing beside the window or outside the surface is
// touched. libyuv writes each row's own pixels only.
bool scaler_draw(scaler_t* sc, scaler_scratch_t* scratch, fbuffer_t* fb, uint8_t* const src[4],
                 const int srcstride[4], const geometry_t& g, const visible_t& v, int format, int degrees)
{
    const size_t line = fb->finfo.line_length;
    const long long bpp = fb->bytes_per_pixel;
    auto scale = [&](uint8_t* to, int stride, int turn) {
        if (sc->yuv) {
            yuv_scale(sc, scratch, src, srcstride, g, fb->format, to, stride, turn);
            return;
        }
        uint8_t* dst[4] = {to};
        int dststride[4] = {stride};
        sws_scale(sc->sws, src, srcstride, 0, g.srch, dst, dststride);
    };
    // Line sizes hold whole 16-pixel blocks (in whole 64-byte units), so the
    // converter's overrun stays inside each scratch line; a little slack
    // after the last.
    auto stride_for = [bpp](long long w) { return ((w + 15) / 16 * 16 * bpp + 63) & ~63LL; };
    auto copy_visible = [&](const uint8_t* buf, long long stride, long long dsty, const visible_t& on) {
        const size_t bytes = static_cast<size_t>((on.i1 - on.i0) * bpp);
        for (long long j = on.j0; j < on.j1; ++j)
            memcpy(fb->screen + static_cast<size_t>(dsty + j) * line + static_cast<size_t>(on.base + bpp * on.i0),
                   buf + j * stride + bpp * on.i0, bytes);
    };
    const bool too_large = g.dstw * g.dsth > MAX_CLIPPED_WINDOW_PIXELS;
    if (degrees != 0 && !too_large) {
        // `v` is the viewer's; what is copied is the window's part on the device.
        long long w, h;
        rotated_size(fb, degrees, &w, &h);
        const output_rect_t d = rotate_rect(degrees, w, h, {g.dstx, g.dsty, g.dstw, g.dsth});
        visible_t dv;
        if (!visible_part(fb, d.x, d.y, d.w, d.h, &dv))
            return true;
        const bool whole = dv.i0 == 0 && dv.i1 == d.w && dv.j0 == 0 && dv.j1 == d.h;
        uint8_t* at = fb->screen + static_cast<size_t>(d.y) * line + static_cast<size_t>(dv.base);
        const long long stride = stride_for(d.w);
        uint8_t* buf;
        if (sc->yuv) {
            if (whole) {
                scale(at, static_cast<int>(line), degrees);
                return true;
            }
            if ((buf = scratch_buffer(scratch, static_cast<size_t>(stride * d.h + 64))) == nullptr)
                return false;
            scale(buf, static_cast<int>(stride), degrees);
        } else {
            // libswscale's picture is the viewer's, turned after.
            const long long upright = stride_for(g.dstw);
            uint8_t* up = scratch_buffer(scratch, static_cast<size_t>(upright * g.dsth + 64));
            if (up == nullptr)
                return false;
            scale(up, static_cast<int>(upright), 0);
            if (whole) {
                rotate_pixels(up, static_cast<int>(upright), static_cast<int>(g.dstw), static_cast<int>(g.dsth), at,
                              static_cast<int>(line), static_cast<int>(bpp), degrees);
                return true;
            }
            scratch->turned.resize(static_cast<size_t>(stride * d.h));
            buf = scratch->turned.data();
            rotate_pixels(up, static_cast<int>(upright), static_cast<int>(g.dstw), static_cast<int>(g.dsth), buf,
                          static_cast<int>(stride), static_cast<int>(bpp), degrees);
        }
        copy_visible(buf, stride, d.y, dv);
        return true;
    }
    if (degrees == 0 && v.i0 == 0 && v.i1 == g.dstw && v.j0 == 0 && v.j1 == g.dsth
        && (sc->yuv || writes_only_its_rows(format, g))) {
        scale(fb->screen + static_cast<size_t>(g.dsty) * line + static_cast<size_t>(v.base), static_cast<int>(line), 0);
        return true;
    }
    const long long stride = stride_for(g.dstw);
    uint8_t* buf = too_large || degrees != 0 ? nullptr : scratch_buffer(scratch, static_cast<size_t>(stride * g.dsth + 64));
    if (buf == nullptr)
        return false;
    scale(buf, static_cast<int>(stride), 0);
    copy_visible(buf, stride, g.dsty, v);
    return true;
}

void scaler_done(scaler_t* sc)
{
    ffmpeg_guard ff;
    sws_freeContext(sc->sws);
    sc->sws = nullptr;
}
