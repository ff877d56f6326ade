#include "scaler.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "shared.h"

namespace {

// A window that reaches past the screen is scaled whole into a scratch
// buffer first; beyond this many pixels it is refused instead.
constexpr long long MAX_CLIPPED_WINDOW_PIXELS = 16LL << 20;

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

bool scaler_prepare(scaler_t* sc, const geometry_t& g, int format, AVPixelFormat to)
{
    const int dstw = static_cast<int>(g.dstw);
    const int dsth = static_cast<int>(g.dsth);
    if (sc->sws == nullptr || sc->src_w != g.srcw || sc->src_h != g.srch || sc->dst_w != dstw || sc->dst_h != dsth
        || sc->format != format) {
        // A scaler per stream, made on this thread: no FFmpeg monitor in the
        // picture path.
        sc->sws = sws_getCachedContext(sc->sws, g.srcw, g.srch, static_cast<AVPixelFormat>(format), dstw, dsth, to,
                                       SWS_POINT, nullptr, nullptr, nullptr);
        sc->src_w = g.srcw;
        sc->src_h = g.srch;
        sc->dst_w = dstw;
        sc->dst_h = dsth;
        sc->format = format;
    }
    return sc->sws != nullptr;
}

// A window that lies wholly on the screen is written by one sws_scale
// straight into screen memory; one that reaches past an edge (or whose rows
// the converter would overrun) is scaled whole into a scratch buffer and only
// its visible part is copied, so that nothing beside the window or outside
// the surface is touched.
bool scaler_draw(scaler_t* sc, scaler_scratch_t* scratch, fbuffer_t* fb, uint8_t* const src[4],
                 const int srcstride[4], const geometry_t& g, const visible_t& v, int format)
{
    const size_t line = fb->finfo.line_length;
    const long long bpp = fb->bytes_per_pixel;
    uint8_t* dst[4] = {};
    int dststride[4] = {};
    if (v.i0 == 0 && v.i1 == g.dstw && v.j0 == 0 && v.j1 == g.dsth && writes_only_its_rows(format, g)) {
        dst[0] = fb->screen + static_cast<size_t>(g.dsty) * line + static_cast<size_t>(v.base);
        dststride[0] = static_cast<int>(line);
        sws_scale(sc->sws, src, srcstride, 0, g.srch, dst, dststride);
        return true;
    }
    // Line sizes hold whole 16-pixel blocks (in whole 64-byte units), so the
    // converter's overrun stays inside each scratch line; a little slack
    // after the last.
    const long long stride = ((g.dstw + 15) / 16 * 16 * bpp + 63) & ~63LL;
    uint8_t* buf = g.dstw * g.dsth > MAX_CLIPPED_WINDOW_PIXELS
                       ? nullptr
                       : scratch_buffer(scratch, static_cast<size_t>(stride * g.dsth + 64));
    if (buf == nullptr)
        return false;
    dst[0] = buf;
    dststride[0] = static_cast<int>(stride);
    sws_scale(sc->sws, src, srcstride, 0, g.srch, dst, dststride);
    const size_t bytes = static_cast<size_t>((v.i1 - v.i0) * bpp);
    for (long long j = v.j0; j < v.j1; ++j) {
        uint8_t* to = fb->screen + static_cast<size_t>(g.dsty + j) * line + static_cast<size_t>(v.base + bpp * v.i0);
        memcpy(to, buf + j * stride + bpp * v.i0, bytes);
    }
    return true;
}

void scaler_done(scaler_t* sc)
{
    ffmpeg_guard ff;
    sws_freeContext(sc->sws);
    sc->sws = nullptr;
}
