#include "render.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "geometry.h"
#include "reader.h"
#include "stats.h"

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"
#include "icons/knetattach.xpm"

// ------------------------------------------------------------ renderer state

namespace {

constexpr int MIN_POOL_FRAMES = 16;
constexpr long WAIT_STEP_MS = 100;
constexpr long long DELAY_ICON_AFTER_MS = 2000;
constexpr int ICON_SIZE = 32;
constexpr int ICON_INSET = 4;
// A window that reaches past the screen is scaled whole into a scratch
// buffer first; beyond this many pixels it is refused instead.
constexpr long long MAX_CLIPPED_WINDOW_PIXELS = 16LL << 20;

// One-time messages per stream.
enum warning_e : unsigned {
    W_CROP = 1,
    W_TOO_LARGE = 2,
    W_NO_SCALER = 4,
};

struct av_free_deleter {
    void operator()(uint8_t* p) const { av_free(p); }
};

struct renderer_t {
    render_settings_t settings;
    frame_pool_t pool;

    // Registered streams, linked through rdlink; also guards each stream's
    // icon fields and one-time messages.
    monitor_t streams_mon;
    list_t streams;
    int registered = 0;

    thread_t thread;
    std::atomic<int> stopping{0};

    // Scratch picture for windows that do not lie wholly on the screen; the
    // render thread's alone.
    std::unique_ptr<uint8_t, av_free_deleter> clip_buf;
    size_t clip_buf_size = 0;

    icon_t icons[5] = {};  // by icon_e; I_NONE has no image

    // For `stats`: pictures drawn since start, when the last samples were
    // taken (the render thread's).
    std::atomic<long> pictures{0};
    long long last_sample = 0;

    // A snapshot asked for: the render thread copies the surface into `copy`
    // between two pictures. Under snap_lock, but `wanted`, which the render
    // thread looks at after every picture.
    std::mutex snap_lock;
    std::condition_variable snap_done;
    surface_copy_t* copy = nullptr;
    std::atomic<int> wanted{0};
};

renderer_t R;

stream_t* stream_of(list_item_t* i)
{
    return list_entry(i, stream_t, rdlink);
}

// True the first time this warning is raised for the stream.
bool first_warning(stream_t* s, warning_e w)
{
    monitor_guard hold(&R.streams_mon);
    const bool first = (s->warned & w) == 0;
    s->warned |= w;
    return first;
}

// ------------------------------------------------------------- status icons

// The part of the surface that the stream's window covers, as a surface of
// its own, and the icon's place in it: an icon is cut to its window as well
// as to the screen. A window of the picture's size that has not been drawn
// yet is taken as large enough for the icon. False when nothing of the
// window is on the screen.
bool window_view(const stream_t* s, fbuffer_t* view, int* ix, int* iy)
{
    if (fb0 == nullptr || fb0->screen == nullptr)
        return false;
    const long long line = fb0->finfo.line_length;
    const long long sw = fb0->vinfo.xres, sh = fb0->vinfo.yres;
    const long long corner = ICON_INSET + ICON_SIZE;
    const long long ww = s->settings.w > 0 ? s->settings.w : (s->pdstw > 0 ? s->pdstw : corner);
    const long long wh = s->settings.h > 0 ? s->settings.h : (s->pdsth > 0 ? s->pdsth : corner);
    const long long x0 = std::max<long long>(s->settings.x, 0), x1 = std::min(s->settings.x + ww, sw);
    const long long y0 = std::max<long long>(s->settings.y, 0), y1 = std::min(s->settings.y + wh, sh);
    if (x0 >= x1 || y0 >= y1)
        return false;
    *view = *fb0;
    view->screen = fb0->screen + y0 * line + x0 * fb0->bytes_per_pixel;
    view->vinfo.xres = static_cast<uint32_t>(x1 - x0);
    view->vinfo.yres = static_cast<uint32_t>(y1 - y0);
    *ix = static_cast<int>(s->settings.x + ICON_INSET - x0);
    *iy = static_cast<int>(s->settings.y + ICON_INSET - y0);
    return true;
}

// With streams_mon held.
void render_draw_icon(stream_t* stream, icon_e icon)
{
    assert(stream != nullptr);
    if (stream->render_off.load() != 0 || stream->current_icon.load() == icon)
        return;
    fbuffer_t view;
    int ix = 0, iy = 0;
    fbuffer_t* where = window_view(stream, &view, &ix, &iy) ? &view : nullptr;
    if (stream->background_valid != 0) {
        icon_draw(where, &stream->background, ix, iy);
    } else if (stream->current_icon.load() == I_NONE) {
        icon_copy(where, &stream->background, ix, iy);
        stream->background_valid = 1;
    } else {
        printf("%s: cannot copy background!\n", "render_draw_icon");
    }

    static constexpr const char* names[] = {nullptr, "icon_connecting", "icon_connected", "icon_error",
                                            "icon_delay"};
    const unsigned k = static_cast<unsigned>(icon);
    if (k < std::size(names) && names[k] != nullptr) {
        printf("%s: draw %s for stream '%s'\n", "render_draw_icon", names[k], stream->name);
        icon_draw(where, &R.icons[k], ix, iy);
    }
    stream->current_icon = icon;
}

// The icon a stream's state asks for; I_CONNECTED means none is asked for.
icon_e icon_for(const stream_t* s, long long now)
{
    switch (s->state.load()) {
    case SS_CONNECT_ERROR:
        return I_ERROR;
    case SS_CONNECTED: {
        const long long last = s->last_frame_time.load();
        return last != 0 && now - last > DELAY_ICON_AFTER_MS ? I_DELAY : I_NONE;
    }
    case SS_RECONNECTING:
        return I_CONNECTING;
    case SS_STOPPED:
        return I_NONE;
    default:  // no icon while the first attempt runs
        return I_CONNECTED;
    }
}

void render_idle(long long now)
{
    monitor_guard hold(&R.streams_mon);
    for (list_item_t* i = list_first(&R.streams); i != nullptr; i = list_next(&R.streams, i)) {
        stream_t* s = stream_of(i);
        stream_check(s, now);
        const icon_e icon = icon_for(s, now);
        if (icon != I_CONNECTED)
            render_draw_icon(s, icon);
    }
}

// ------------------------------------------------------------------ drawing

uint8_t* clip_buffer(size_t size)
{
    if (size > R.clip_buf_size) {
        R.clip_buf.reset(static_cast<uint8_t*>(av_malloc(size)));
        R.clip_buf_size = R.clip_buf != nullptr ? size : 0;
    }
    return R.clip_buf.get();
}

// The stream's cached scaler for this picture and window, rebuilt when
// either changed; null when none can be made.
SwsContext* scaler_for(stream_t* s, const geometry_t& g, int format)
{
    const int dstw = static_cast<int>(g.dstw);
    const int dsth = static_cast<int>(g.dsth);
    if (s->swsctx == nullptr || s->psrcw != g.srcw || s->psrch != g.srch || s->pdstw != dstw || s->pdsth != dsth
        || s->pfmt != format) {
        // A scaler per stream, made on this thread: no FFmpeg monitor in the
        // picture path.
        s->swsctx = sws_getCachedContext(s->swsctx, g.srcw, g.srch, static_cast<AVPixelFormat>(format), dstw, dsth,
                                         fb0->format, SWS_POINT, nullptr, nullptr, nullptr);
        s->psrcw = g.srcw;
        s->psrch = g.srch;
        s->pdstw = dstw;
        s->pdsth = dsth;
        s->pfmt = format;
    }
    return s->swsctx;
}

// The picture's planes from the part the window shows on.
void source_planes(stream_t* s, const AVFrame* pic, const geometry_t& g, uint8_t* data[4], int linesize[4])
{
    std::copy(pic->data, pic->data + 4, data);
    std::copy(pic->linesize, pic->linesize + 4, linesize);
    if ((g.srcx != 0 || g.srcy != 0) && !crop_planes(pic, g.srcx, g.srcy, data) && first_warning(s, W_CROP)) {
        // Shows the picture's top-left part instead of its middle.
        const char* fmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(pic->format));
        printf("%s: cannot crop pixel format '%s' of stream '%s': drawing its top-left part\n", "render_thread",
               fmt != nullptr ? fmt : "unknown", s->name);
    }
}

// A window that lies wholly on the screen is written by one sws_scale
// straight into screen memory; one that reaches past an edge (or whose rows
// the converter would overrun) is scaled whole into a scratch buffer and only
// its visible part is copied, so that nothing beside the window or outside
// the surface is touched.
void scale_into_window(stream_t* s, SwsContext* sws, uint8_t* const src[4], const int srcstride[4],
                       const geometry_t& g, const visible_t& v, int format)
{
    const size_t line = fb0->finfo.line_length;
    const long long bpp = fb0->bytes_per_pixel;
    uint8_t* dst[4] = {};
    int dststride[4] = {};
    if (v.i0 == 0 && v.i1 == g.dstw && v.j0 == 0 && v.j1 == g.dsth && writes_only_its_rows(format, g)) {
        dst[0] = fb0->screen + static_cast<size_t>(g.dsty) * line + static_cast<size_t>(v.base);
        dststride[0] = static_cast<int>(line);
        sws_scale(sws, src, srcstride, 0, g.srch, dst, dststride);
        return;
    }
    // Line sizes hold whole 16-pixel blocks (in whole 64-byte units), so the
    // converter's overrun stays inside each scratch line; a little slack
    // after the last.
    const long long stride = ((g.dstw + 15) / 16 * 16 * bpp + 63) & ~63LL;
    uint8_t* buf = g.dstw * g.dsth > MAX_CLIPPED_WINDOW_PIXELS
                       ? nullptr
                       : clip_buffer(static_cast<size_t>(stride * g.dsth + 64));
    if (buf == nullptr) {
        if (first_warning(s, W_TOO_LARGE))
            printf("%s: window %lldx%lld of stream '%s' reaches past the screen and is too large to clip: "
                   "not drawn\n",
                   "render_thread", g.dstw, g.dsth, s->name);
        return;
    }
    dst[0] = buf;
    dststride[0] = static_cast<int>(stride);
    sws_scale(sws, src, srcstride, 0, g.srch, dst, dststride);
    const size_t bytes = static_cast<size_t>((v.i1 - v.i0) * bpp);
    for (long long j = v.j0; j < v.j1; ++j) {
        uint8_t* to = fb0->screen + static_cast<size_t>(g.dsty + j) * line + static_cast<size_t>(v.base + bpp * v.i0);
        memcpy(to, buf + j * stride + bpp * v.i0, bytes);
    }
}

// Once per stream, not once per picture.
void no_scaler(stream_t* s)
{
    if (first_warning(s, W_NO_SCALER))
        printf("%s: cannot initialize conversion context!\n", "render_thread");
}

// Blackens the visible part of a rectangle of the surface; every device
// layout is black at zero bytes.
void clear_rect(long long x, long long y, long long w, long long h)
{
    visible_t v;
    if (!visible_part(fb0, x, y, w, h, &v))
        return;
    const size_t line = fb0->finfo.line_length;
    const long long bytes = fb0->bytes_per_pixel;
    for (long long j = v.j0; j < v.j1; ++j)
        memset(fb0->screen + static_cast<size_t>(y + j) * line + static_cast<size_t>(v.base + bytes * v.i0), 0,
               static_cast<size_t>((v.i1 - v.i0) * bytes));
}

// A picture that keeps its aspect leaves bars in its window: black, cleared
// when the picture's place is first known or changes, not for every picture.
void clear_bars(stream_t* s, const AVFrame* pic, const geometry_t& g)
{
    const long long place[4] = {g.dstx, g.dsty, g.dstw, g.dsth};
    if (s->settings.aspect == 0 || std::equal(place, place + 4, s->bars))
        return;
    std::copy(place, place + 4, s->bars);
    const stream_settings_t& win = s->settings;
    clear_rect(win.x, win.y, win.w > 0 ? win.w : pic->width, win.h > 0 ? win.h : pic->height);
}

void draw_picture(stream_t* s, const AVFrame* pic)
{
    if (pic->data[0] == nullptr || pic->width <= 0 || pic->height <= 0) {
        printf("%s: empty picture of stream '%s' skipped!\n", "render_thread", s->name);
        return;
    }
    const geometry_t g = window_geometry(s->settings, pic);
    if (g.dstw <= 0 || g.dsth <= 0) {
        no_scaler(s);
        return;
    }
    visible_t v;
    if (!visible_part(fb0, g.dstx, g.dsty, g.dstw, g.dsth, &v))
        return;  // the window is wholly off the screen
    uint8_t* src[4];
    int srcstride[4];
    source_planes(s, pic, g, src, srcstride);
    SwsContext* sws = scaler_for(s, g, pic->format);
    if (sws == nullptr) {
        no_scaler(s);
        return;
    }
    clear_bars(s, pic, g);
    scale_into_window(s, sws, src, srcstride, g, v, pic->format);
    // The picture has painted over the icon corner.
    monitor_guard hold(&R.streams_mon);
    s->background_valid = 0;
    s->current_icon = I_NONE;
}

// The surface's pixel layout and its first visible pixel.
void surface_layout(const fbuffer_t* fb, AVPixelFormat* format, int* bytespp, const uint8_t** first)
{
    *format = fb->format;
    *bytespp = fb->bytes_per_pixel;
    *first = fb->screen;
}

// Between two pictures: the samples for `stats`, once per period, and the
// snapshot if one is asked for.
void between_pictures(void)
{
    const long long now = current_time_in_millis();
    if (now - R.last_sample >= STATS_PERIOD_MS) {
        R.last_sample = now;
        {
            monitor_guard hold(&R.streams_mon);
            for (list_item_t* i = list_first(&R.streams); i != nullptr; i = list_next(&R.streams, i))
                stats_sample_stream(stream_of(i), now);
        }
        stats_sample_render(now);
    }
    if (R.wanted.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard<std::mutex> hold(R.snap_lock);
    if (surface_copy_t* c = R.copy; c != nullptr && fb0 != nullptr && fb0->finfo.line_length != 0
                                         && fb0->bytes_per_pixel > 0) {
        const uint8_t* first;
        surface_layout(fb0, &c->format, &c->bytespp, &first);
        const int line = static_cast<int>(fb0->finfo.line_length);
        c->width = std::min(static_cast<int>(fb0->vinfo.xres), line / c->bytespp);
        c->height = std::min(static_cast<int>(fb0->vinfo.yres),
                             static_cast<int>((fb0->fb_size - (first - fb0->fb)) / line));
        c->stride = c->width * c->bytespp;
        c->pixels.resize(static_cast<size_t>(c->stride) * c->height);
        for (int y = 0; y < c->height; ++y)
            memcpy(c->pixels.data() + static_cast<size_t>(y) * c->stride, first + static_cast<size_t>(y) * line,
                   static_cast<size_t>(c->stride));
    }
    R.copy = nullptr;
    R.wanted = 0;
    R.snap_done.notify_all();
}

}  // namespace

// ------------------------------------------------------------- for `stats`

long render_pictures_drawn(void)
{
    return R.pictures.load();
}

bool render_copy_surface(surface_copy_t* out, long timeout_ms)
{
    std::unique_lock<std::mutex> hold(R.snap_lock);
    out->pixels.clear();
    out->width = out->height = 0;
    R.copy = out;
    R.wanted = 1;
    R.snap_done.wait_for(hold, std::chrono::milliseconds(timeout_ms), [] { return R.copy == nullptr; });
    // Not taken in time: withdrawn, so the render thread never writes it later.
    const bool taken = R.copy == nullptr;
    R.copy = nullptr;
    R.wanted = 0;
    return taken && out->width > 0 && out->height > 0;
}

// ------------------------------------------------------- the readers' pool

frame_t* render_get_free_frame(stream_t* stream)
{
    return frame_pool_get_free(&R.pool, stream);
}

void render_put_free_frame(frame_t* frame)
{
    frame_pool_put_free(&R.pool, frame);
}

void render_frame(stream_t* stream, frame_t* frame)
{
    frame_pool_hand_over(&R.pool, stream, frame);
}

// ------------------------------------------------------------- registration

void render_on_stream_start(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_self() == &stream->reader);
    assert(thread_is_alive(&R.thread));
    list_item_init(&stream->rdlink);
    icon_init(&stream->background, ICON_SIZE, ICON_SIZE);
    stream->background_valid = 0;
    std::fill(stream->bars, stream->bars + 4, 0);
    stream->last_frame_time = R.settings.clock();
    int registered;
    {
        monitor_guard hold(&R.streams_mon);
        list_append(&R.streams, &stream->rdlink);
        registered = ++R.registered;
    }
    // Each stream may have one picture waiting and its reader one in hand,
    // and the render thread draws one: with that many frames no stream can
    // starve another, however many deliver nothing.
    frame_pool_grow(&R.pool, std::max(MIN_POOL_FRAMES, 2 * registered + 1));
}

void render_on_stream_stop(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_self() == &stream->reader);
    assert(thread_is_alive(&R.thread));

    frame_pool_wait_released(&R.pool, stream);
    {
        // Under streams_mon, so that no idle pass works on this icon
        // meanwhile or draws a new one before the stream is gone.
        monitor_guard hold(&R.streams_mon);
        render_draw_icon(stream, I_NONE);
        list_remove(&R.streams, &stream->rdlink);
        --R.registered;
        stream->warned = 0;
        icon_done(&stream->background);
        stream->background.argb = nullptr;
    }
    ffmpeg_guard ff;
    sws_freeContext(stream->swsctx);
    stream->swsctx = nullptr;
}

// ----------------------------------------------------------- render thread

void render_start(const render_settings_t& settings)
{
    R.settings = settings;
    icon_init_xpm(&R.icons[I_CONNECTING], document_quick_restart);
    icon_init_xpm(&R.icons[I_CONNECTED], knetattach);
    icon_init_xpm(&R.icons[I_ERROR], edit_delete);
    icon_init_xpm(&R.icons[I_DELAY], emblem_urgent);
    frame_pool_init(&R.pool, MIN_POOL_FRAMES);
    monitor_init(&R.streams_mon);
    list_init(&R.streams);
    R.registered = 0;
    thread_init(&R.thread, "render");
    R.stopping = 0;
    if (thread_start(&R.thread, render_thread, nullptr) != 0) {
        printf("%s: can't create thread!\n", "render_start");
        exit(1);
    }
}

void render_stop(void)
{
    R.stopping = 1;
    thread_interrupt(&R.thread);
    thread_join(&R.thread);
    thread_done(&R.thread);
    frame_pool_done(&R.pool);
    monitor_done(&R.streams_mon);
    R.clip_buf.reset();
    R.clip_buf_size = 0;
    for (icon_t& i : R.icons)
        if (i.argb != nullptr)
            icon_done(&i);
}

void* render_thread(void* /*arg*/)
{
    long long last_idle_time = 0;
    while (R.stopping.load() == 0) {
        between_pictures();
        frame_t* f = frame_pool_take_ready(&R.pool, 0);
        if (f == nullptr) {
            const long long now = R.settings.clock();
            if (now - last_idle_time >= R.settings.idle_period_ms) {
                render_idle(now);
                last_idle_time = now;
                continue;
            }
            f = frame_pool_take_ready(&R.pool, WAIT_STEP_MS);
            if (f == nullptr)
                continue;
        }
        stream_t* s = f->stream;
        s->last_frame_time = R.settings.clock();
        if (s->render_off.load() == 0) {
            draw_picture(s, f->frame);
            s->pictures_drawn.fetch_add(1, std::memory_order_relaxed);
            R.pictures.fetch_add(1, std::memory_order_relaxed);
        }
        frame_pool_give_back(&R.pool, f);
    }
    return nullptr;
}
