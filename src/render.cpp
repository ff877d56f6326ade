// Renderer: the pool of frames that carries decoded pictures from the readers
// to the render thread, the render thread that converts and scales each
// picture into its stream's window on fb0, and the registration of streams
// with their status icons.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "velmor.h"

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"
#include "icons/knetattach.xpm"

namespace {

constexpr int POOL_FRAMES = 16;
constexpr long long IDLE_PERIOD_MS = 500;
constexpr long WAIT_STEP_MS = 100;
constexpr long long DELAY_ICON_AFTER_MS = 2000;
constexpr int ICON_SIZE = 32;
constexpr int ICON_INSET = 4;
// A window that reaches past the screen is scaled whole into a scratch
// buffer first; beyond this many pixels it is refused instead.
constexpr long long MAX_CLIPPED_WINDOW_PIXELS = 16LL << 20;

icon_t icon_connecting;
icon_t icon_connected;
icon_t icon_error;
icon_t icon_delay;

// The pool. frames_mon guards both lists, every frame's `stream`, every
// stream's frames_in_progress and `drawing`.
monitor_t frames_mon;
list_t free_frames;
list_t ready_frames;
frame_t* drawing;  // the frame the render thread holds, for inspection

// Registered streams, linked through rdlink, and the streams already told
// that their pictures cannot be cropped or clipped (one message each).
monitor_t streams_mon;
list_t streams;
std::vector<std::pair<stream_t*, unsigned>> warned;

thread_t render;
std::atomic<int> stopping;

std::atomic<int> scaler_builds;
std::atomic<long> pictures_handed;
std::atomic<long> pictures_drawn;
std::atomic<int> hold_pictures;
std::atomic<int> idle_by_caller;

// Scratch picture for windows that do not lie wholly on the screen; only the
// render thread touches it.
uint8_t* clip_buf;
size_t clip_buf_size;

enum warning_e : unsigned {
    W_CROP = 1,
    W_TOO_LARGE = 2,
};

frame_t* frame_of(list_item_t* i)
{
    return i != nullptr ? list_entry(i, frame_t, dlink) : nullptr;
}

stream_t* stream_of(list_item_t* i)
{
    return list_entry(i, stream_t, rdlink);
}

// The stream's waiting picture; with frames_mon held.
frame_t* find_ready(stream_t* stream)
{
    for (list_item_t* i = list_first(&ready_frames); i != nullptr; i = list_next(&ready_frames, i)) {
        frame_t* f = frame_of(i);
        if (f->stream == stream)
            return f;
    }
    return nullptr;
}

// True the first time this warning is raised for the stream.
bool first_warning(stream_t* s, warning_e w)
{
    monitor_lock(&streams_mon);
    auto it = std::find_if(warned.begin(), warned.end(), [s](const auto& e) { return e.first == s; });
    bool first = it == warned.end() || (it->second & w) == 0;
    if (it == warned.end())
        warned.emplace_back(s, w);
    else
        it->second |= w;
    monitor_unlock(&streams_mon);
    return first;
}

// ------------------------------------------------------------- status icons

void render_draw_icon(stream_t* stream, icon_e icon)
{
    assert(stream != nullptr);
    if (stream->render_off.load() != 0 || stream->current_icon == icon)
        return;
    // Any int is a valid window position: a corner past INT_MAX is as far
    // off the surface as INT_MAX itself.
    auto inset = [](int pos) {
        return static_cast<int>(std::min<long long>(static_cast<long long>(pos) + ICON_INSET, INT_MAX));
    };
    const int ix = inset(stream->x);
    const int iy = inset(stream->y);
    if (stream->background_valid != 0) {
        icon_draw(fb0, &stream->background, ix, iy);
    } else if (stream->current_icon == I_NONE) {
        icon_copy(fb0, &stream->background, ix, iy);
        stream->background_valid = 1;
    } else {
        printf("%s: cannot copy background!\n", "render_draw_icon");
    }

    // Images and names by icon_e value; I_NONE draws nothing.
    static const struct {
        icon_t* image;
        const char* name;
    } images[] = {
        {nullptr, nullptr},
        {&icon_connecting, "icon_connecting"},
        {&icon_connected, "icon_connected"},
        {&icon_error, "icon_error"},
        {&icon_delay, "icon_delay"},
    };
    const unsigned k = static_cast<unsigned>(icon);
    if (k < std::size(images) && images[k].image != nullptr) {
        printf("%s: draw %s for stream '%s'\n", "render_draw_icon", images[k].name, stream->name);
        icon_draw(fb0, images[k].image, ix, iy);
    }
    stream->current_icon = icon;
}

void render_idle(long long now)
{
    monitor_lock(&streams_mon);
    if (idle_by_caller.load() != 0 && thread_self() == &render) {
        monitor_unlock(&streams_mon);
        return;
    }
    for (list_item_t* i = list_first(&streams); i != nullptr; i = list_next(&streams, i)) {
        stream_t* s = stream_of(i);
        stream_check(s, now);
        switch (s->state.load()) {
        case SS_CONNECT_ERROR:
            render_draw_icon(s, I_ERROR);
            break;
        case SS_CONNECTED: {
            bool late = s->last_frame_time != 0 && now - s->last_frame_time > DELAY_ICON_AFTER_MS;
            render_draw_icon(s, late ? I_DELAY : I_NONE);
            break;
        }
        case SS_RECONNECTING:
            render_draw_icon(s, I_CONNECTING);
            break;
        case SS_STOPPED:
            render_draw_icon(s, I_NONE);
            break;
        default:  // no icon while the first attempt runs
            break;
        }
    }
    monitor_unlock(&streams_mon);
}

// ------------------------------------------------------------------ drawing

// The part of a destination rectangle that lies on the surface: columns
// [i0, i1) and rows [j0, j1) of the rectangle; `base` is the byte offset of
// the rectangle's first column within a scan line.
struct visible_t {
    long long base;
    long long i0, i1, j0, j1;
};

long long floor_div(long long a, long long b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// False when nothing of the rectangle is on the surface. The surface is taken
// no wider than a scan line and no taller than its memory.
bool visible_part(const fbuffer_t* fb, long long dstx, long long dsty, long long dstw, long long dsth,
                  visible_t* v)
{
    if (fb == nullptr || fb->fb == nullptr)
        return false;
    const long long line = fb->finfo.line_length;
    const long long bpp = fb->vinfo.bits_per_pixel;
    if (line <= 0 || bpp <= 0)
        return false;
    const long long rowbytes = std::min(line, static_cast<long long>(fb->vinfo.xres) * bpp / 8);
    if (rowbytes < 2 || fb->fb_size < rowbytes)
        return false;
    const long long rows = std::min<long long>(fb->vinfo.yres, (fb->fb_size - rowbytes) / line + 1);

    // Every output pixel is a 16-bit word; only the first column's offset
    // follows the surface's depth.
    v->base = floor_div(dstx * bpp, 8);
    v->i0 = std::max(0LL, -floor_div(v->base, 2));
    v->i1 = std::min(dstw, floor_div(rowbytes - v->base, 2));
    v->j0 = std::max(0LL, -dsty);
    v->j1 = std::min(dsth, rows - dsty);
    return v->i0 < v->i1 && v->j0 < v->j1;
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

// The window on the screen and the part of the picture it shows.
struct geometry_t {
    long long dstx, dsty, dstw, dsth;
    int srcx, srcy, srcw, srch;
};

// Without nozoom the picture is stretched to the window. With it the picture
// is centred in a larger window (an odd spare pixel to the right or bottom)
// or its middle is cut out of a larger picture (an odd surplus pixel cut from
// the right or bottom).
void fit_axis(long long* dst, long long* dstlen, int* src, int* srclen)
{
    if (*srclen < *dstlen) {
        *dst += (*dstlen - *srclen) / 2;
        *dstlen = *srclen;
    } else if (*srclen > *dstlen) {
        *src = static_cast<int>((*srclen - *dstlen) / 2);
        *srclen = static_cast<int>(*dstlen);
    }
}

geometry_t window_geometry(const stream_t* s, const AVFrame* pic)
{
    geometry_t g = {s->x, s->y, s->w, s->h, 0, 0, pic->width, pic->height};
    if (g.dstw == 0)
        g.dstw = g.srcw;
    if (g.dsth == 0)
        g.dsth = g.srch;
    if (s->nozoom != 0 && g.dstw > 0 && g.dsth > 0) {
        fit_axis(&g.dstx, &g.dstw, &g.srcx, &g.srcw);
        fit_axis(&g.dsty, &g.dsth, &g.srcy, &g.srch);
    }
    return g;
}

bool ensure_clip_buf(size_t size)
{
    if (size <= clip_buf_size)
        return true;
    av_freep(&clip_buf);
    clip_buf_size = 0;
    clip_buf = static_cast<uint8_t*>(av_malloc(size));
    if (clip_buf == nullptr)
        return false;
    clip_buf_size = size;
    return true;
}

// FFmpeg's converters write whole blocks of pixels (up to 16 at a time with
// SIMD), and its plain copies of RGB565 run to the end of the shorter line
// size: only a window whose rows they fill exactly may be drawn straight into
// screen memory, where anything more would land beside the window.
bool writes_only_its_rows(int format, const geometry_t& g)
{
    if (g.dstw % 16 != 0)
        return false;
    const bool copy = format == AV_PIX_FMT_RGB565LE || format == AV_PIX_FMT_RGB565BE;
    return !(copy && g.srcw == g.dstw && g.srch == g.dsth);
}

// Converts and scales one picture into its stream's window. A window that
// lies wholly on the screen is written by one sws_scale straight into screen
// memory; one that reaches past an edge (or whose rows the converter would
// overrun) is scaled whole into a scratch buffer and only its visible part
// is copied, so that exactly what would be drawn shows and nothing beside
// the window or outside the surface is touched.
void draw_picture(stream_t* s, const AVFrame* pic)
{
    s->frames_drawn.fetch_add(1, std::memory_order_relaxed);
    if (pic->data[0] == nullptr || pic->width <= 0 || pic->height <= 0) {
        printf("%s: empty picture of stream '%s' skipped!\n", "render_thread", s->name);
        return;
    }
    geometry_t g = window_geometry(s, pic);
    if (g.dstw <= 0 || g.dsth <= 0) {
        printf("%s: cannot initialize conversion context!\n", "render_thread");
        return;
    }
    visible_t v;
    if (!visible_part(fb0, g.dstx, g.dsty, g.dstw, g.dsth, &v))
        return;  // the window is wholly off the screen

    uint8_t* src_data[4];
    int src_linesize[4];
    std::copy(pic->data, pic->data + 4, src_data);
    std::copy(pic->linesize, pic->linesize + 4, src_linesize);
    if ((g.srcx != 0 || g.srcy != 0) && !crop_planes(pic, g.srcx, g.srcy, src_data)) {
        // Show the picture's top-left part instead of its middle.
        if (first_warning(s, W_CROP)) {
            const char* fmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(pic->format));
            printf("%s: cannot crop pixel format '%s' of stream '%s': drawing its top-left part\n",
                   "render_thread", fmt != nullptr ? fmt : "unknown", s->name);
        }
    }

    const int dstw = static_cast<int>(g.dstw);
    const int dsth = static_cast<int>(g.dsth);
    if (s->swsctx == nullptr || s->psrcw != g.srcw || s->psrch != g.srch || s->pdstw != dstw
        || s->pdsth != dsth || s->pfmt != pic->format) {
        ffmpeg_lock();
        s->swsctx = sws_getCachedContext(s->swsctx, g.srcw, g.srch, static_cast<AVPixelFormat>(pic->format),
                                         dstw, dsth, AV_PIX_FMT_RGB565, SWS_POINT, nullptr, nullptr, nullptr);
        ffmpeg_unlock();
        scaler_builds.fetch_add(1);
        s->psrcw = g.srcw;
        s->psrch = g.srch;
        s->pdstw = dstw;
        s->pdsth = dsth;
        s->pfmt = pic->format;
    }
    if (s->swsctx == nullptr) {
        printf("%s: cannot initialize conversion context!\n", "render_thread");
        return;
    }

    const size_t line = fb0->finfo.line_length;
    uint8_t* dst_data[4] = {};
    int dst_linesize[4] = {};
    if (v.i0 == 0 && v.i1 == g.dstw && v.j0 == 0 && v.j1 == g.dsth && writes_only_its_rows(pic->format, g)) {
        dst_data[0] = fb0->fb + static_cast<size_t>(g.dsty) * line + static_cast<size_t>(v.base);
        dst_linesize[0] = static_cast<int>(line);
        sws_scale(s->swsctx, src_data, src_linesize, 0, g.srch, dst_data, dst_linesize);
    } else {
        const long long stride = (g.dstw * 2 + 63) & ~63LL;
        // Line sizes are whole 32-pixel blocks, so the converter's overrun
        // stays inside each scratch line; a little slack after the last.
        if (g.dstw * g.dsth > MAX_CLIPPED_WINDOW_PIXELS
            || !ensure_clip_buf(static_cast<size_t>(stride * g.dsth + 64))) {
            if (first_warning(s, W_TOO_LARGE))
                printf("%s: window %lldx%lld of stream '%s' reaches past the screen and is too large to clip: "
                       "not drawn\n",
                       "render_thread", g.dstw, g.dsth, s->name);
            return;
        }
        dst_data[0] = clip_buf;
        dst_linesize[0] = static_cast<int>(stride);
        sws_scale(s->swsctx, src_data, src_linesize, 0, g.srch, dst_data, dst_linesize);
        const size_t bytes = static_cast<size_t>(v.i1 - v.i0) * 2;
        for (long long j = v.j0; j < v.j1; ++j) {
            uint8_t* to = fb0->fb + static_cast<size_t>(g.dsty + j) * line + static_cast<size_t>(v.base + 2 * v.i0);
            memcpy(to, clip_buf + j * stride + 2 * v.i0, bytes);
        }
    }
    // The picture has painted over the icon corner.
    s->background_valid = 0;
    s->current_icon = I_NONE;
}

// With frames_mon held.
frame_t* take_ready()
{
    if (hold_pictures.load() != 0)
        return nullptr;
    return frame_of(list_remove_first(&ready_frames));
}

}  // namespace

// --------------------------------------------------------------- frame pool

frame_t* render_get_free_frame(stream_t* stream)
{
    monitor_lock(&frames_mon);
    frame_t* f = frame_of(list_remove_first(&free_frames));
    bool taken_back = false;
    if (f == nullptr) {
        // No free frame: decode over this stream's own waiting picture.
        f = find_ready(stream);
        if (f != nullptr) {
            list_remove(&ready_frames, &f->dlink);
            stream->frames_in_progress.fetch_sub(1);
            f->stream = nullptr;
            taken_back = true;
        }
    }
    monitor_unlock(&frames_mon);
    if (taken_back)
        av_frame_unref(f->frame);
    return f;
}

void render_put_free_frame(stream_t* stream, frame_t* frame)
{
    (void)stream;
    assert(frame != nullptr);
    av_frame_unref(frame->frame);
    monitor_lock(&frames_mon);
    frame->stream = nullptr;
    list_append(&free_frames, &frame->dlink);
    monitor_notify_all(&frames_mon);
    monitor_unlock(&frames_mon);
}

void render_frame(stream_t* stream, frame_t* frame)
{
    assert(frame != nullptr);
    assert(stream != nullptr);
    pictures_handed.fetch_add(1, std::memory_order_relaxed);
    monitor_lock(&frames_mon);
    frame_t* waiting = find_ready(stream);
    if (waiting != nullptr) {
        // The new picture takes the waiting one's place; the older picture
        // is dropped with the caller's record.
        std::swap(waiting->frame, frame->frame);
        frame->stream = nullptr;
        av_frame_unref(frame->frame);
        list_append(&free_frames, &frame->dlink);
    } else {
        frame->stream = stream;
        stream->frames_in_progress.fetch_add(1);
        list_append(&ready_frames, &frame->dlink);
    }
    monitor_notify_all(&frames_mon);
    monitor_unlock(&frames_mon);
}

// ------------------------------------------------------------- registration

void render_on_stream_start(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_self() == &stream->reader);
    assert(thread_is_alive( &render ));
    list_item_init(&stream->rdlink);
    icon_init(&stream->background, ICON_SIZE, ICON_SIZE);
    stream->background_valid = 0;
    stream->last_frame_time = current_time_in_millis();
    monitor_lock(&streams_mon);
    list_append(&streams, &stream->rdlink);
    monitor_unlock(&streams_mon);
}

void render_on_stream_stop(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_self() == &stream->reader);
    assert(thread_is_alive( &render ));

    monitor_lock(&frames_mon);
    while (stream->frames_in_progress.load() != 0)
        monitor_wait(&frames_mon);
    monitor_unlock(&frames_mon);

    // Under streams_mon, so that no idle pass works on this icon meanwhile
    // or draws a new one before the stream is gone from the list.
    monitor_lock(&streams_mon);
    render_draw_icon(stream, I_NONE);
    list_remove(&streams, &stream->rdlink);
    std::erase_if(warned, [stream](auto& e) { return e.first == stream; });
    monitor_unlock(&streams_mon);

    ffmpeg_lock();
    if (stream->swsctx != nullptr) {
        sws_freeContext(stream->swsctx);
        stream->swsctx = nullptr;
    }
    ffmpeg_unlock();
    icon_done(&stream->background);
    stream->background.argb = nullptr;
}

// ----------------------------------------------------------- render thread

void render_start(void)
{
    icon_init_xpm(&icon_connecting, document_quick_restart);
    icon_init_xpm(&icon_connected, knetattach);
    icon_init_xpm(&icon_error, edit_delete);
    icon_init_xpm(&icon_delay, emblem_urgent);

    monitor_init(&frames_mon);
    monitor_init(&streams_mon);
    list_init(&free_frames);
    list_init(&ready_frames);
    list_init(&streams);
    drawing = nullptr;
    scaler_builds = 0;
    pictures_handed = 0;
    pictures_drawn = 0;
    hold_pictures = 0;
    idle_by_caller = 0;

    ffmpeg_lock();
    for (int n = 0; n < POOL_FRAMES; ++n) {
        frame_t* f = new frame_t{};
        list_item_init(&f->dlink);
        f->stream = nullptr;
        f->frame = av_frame_alloc();
        assert(f->frame != nullptr);
        list_append(&free_frames, &f->dlink);
    }
    ffmpeg_unlock();

    thread_init(&render, "render");
    stopping = 0;
    thread_start(&render, render_thread, nullptr);
}

void render_stop(void)
{
    stopping = 1;
    thread_interrupt(&render);
    thread_join(&render);
    thread_done(&render);

    monitor_lock(&frames_mon);
    ffmpeg_lock();
    for (list_t* l : {&ready_frames, &free_frames}) {
        while (frame_t* f = frame_of(list_remove_first(l))) {
            av_frame_free(&f->frame);
            delete f;
        }
    }
    ffmpeg_unlock();
    monitor_unlock(&frames_mon);
    monitor_done(&frames_mon);
    monitor_done(&streams_mon);
    warned.clear();
    av_freep(&clip_buf);
    clip_buf_size = 0;

    icon_done(&icon_connecting);
    icon_done(&icon_connected);
    icon_done(&icon_error);
    icon_done(&icon_delay);
}

void* render_thread(void* arg)
{
    (void)arg;
    long long last_idle_time = 0;
    while (stopping.load() == 0) {
        monitor_lock(&frames_mon);
        frame_t* f = take_ready();
        if (f == nullptr) {
            long long now = current_time_in_millis();
            if (now - last_idle_time >= IDLE_PERIOD_MS) {
                monitor_unlock(&frames_mon);
                render_idle(now);
                last_idle_time = now;
                continue;
            }
            monitor_wait_timeout(&frames_mon, WAIT_STEP_MS);
            if (stopping.load() != 0) {
                monitor_unlock(&frames_mon);
                break;
            }
            f = take_ready();
        }
        drawing = f;
        monitor_unlock(&frames_mon);
        if (f == nullptr)
            continue;

        stream_t* s = f->stream;
        assert(s != nullptr);
        s->last_frame_time = current_time_in_millis();
        if (s->render_off.load() == 0) {
            draw_picture(s, f->frame);
            pictures_drawn.fetch_add(1, std::memory_order_relaxed);
        }

        // Dropped before the frame goes back, so the pool pins no decoder buffer.
        av_frame_unref(f->frame);
        monitor_lock(&frames_mon);
        s->frames_in_progress.fetch_sub(1);
        f->stream = nullptr;
        drawing = nullptr;
        list_append(&free_frames, &f->dlink);
        monitor_notify_all(&frames_mon);
        monitor_unlock(&frames_mon);
    }
    return nullptr;
}

// ------------------------------------------------------------- test access

void render_get_stats(stream_t* stream, render_stats_t* stats)
{
    *stats = {};
    monitor_lock(&frames_mon);
    for (list_item_t* i = list_first(&free_frames); i != nullptr; i = list_next(&free_frames, i))
        ++stats->free_count;
    for (list_item_t* i = list_first(&ready_frames); i != nullptr; i = list_next(&ready_frames, i)) {
        ++stats->ready_count;
        if (stream != nullptr && frame_of(i)->stream == stream)
            ++stats->stream_ready;
    }
    stats->drawing = drawing != nullptr ? 1 : 0;
    stats->stream_drawing = drawing != nullptr && stream != nullptr && drawing->stream == stream ? 1 : 0;
    stats->stream_in_progress = stream != nullptr ? stream->frames_in_progress.load() : 0;
    monitor_unlock(&frames_mon);
    stats->scaler_builds = scaler_builds.load();
    stats->pictures_handed = pictures_handed.load();
    stats->pictures_drawn = pictures_drawn.load();
}

void render_hold_pictures(int hold)
{
    hold_pictures = hold;
    if (hold == 0) {
        monitor_lock(&frames_mon);
        monitor_notify_all(&frames_mon);
        monitor_unlock(&frames_mon);
    }
}

void render_idle_for_test(long long now)
{
    // Set under streams_mon: a pass the render thread has already begun is
    // over, and any later one leaves the streams alone.
    monitor_lock(&streams_mon);
    idle_by_caller = 1;
    monitor_unlock(&streams_mon);
    render_idle(now);
}
