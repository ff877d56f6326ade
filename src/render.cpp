#include "render.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "copy_request.h"
#include "geometry.h"
#include "pages.h"
#include "rotate.h"
#include "stats.h"
#include "status_icon.h"
#include "window.h"

// ------------------------------------------------------------ renderer state

namespace {

constexpr int MIN_POOL_FRAMES = 16;
constexpr long WAIT_STEP_MS = 100;
constexpr long long PRESENT_MS = 16;
// Pictures that come closer together than this are drawn in batches, a
// wake-up of the render thread a batch: on a wall of 16 streams the wake-up
// each picture cost was worth more CPU than drawing it a few ms later.
constexpr long long BATCH_MS = 8;

// One-time messages per stream.
enum warning_e : unsigned {
    W_CROP = 1,
    W_TOO_LARGE = 2,
    W_NO_SCALER = 4,
};

}  // namespace

// The renderer's drawing state of one registered stream, which the stream
// record only points to: made at registration, freed at unregistration.
// The render thread's, and the stream's reader's while it registers and
// unregisters (when the render thread holds none of its pictures).
struct render_stream_t {
    scaler_t scaler;
    icon_spot_t icon = {};         // under streams_mon
    unsigned warned = 0;           // one-time messages already printed; under streams_mon
    long long bars[4] = {};        // picture rectangle the window's bars were cleared around (-a)
    window_state_t wall;           // place and label
};

namespace {

struct renderer_t {
    render_settings_t settings;
    frame_pool_t pool;  // its abort stops the render thread

    // Registered streams, linked through rdlink; also guards each stream's
    // icon fields and one-time messages.
    monitor_t streams_mon;
    list_t streams;
    int registered = 0;

    thread_t thread;

    // Scratch picture for windows that do not lie wholly on the screen; the
    // render thread's alone.
    scaler_scratch_t clip;

    status_icons_t icons = {};

    // --rotate: the viewer's screen that icons, labels and black are drawn
    // on before they are turned onto the device; the render thread's.
    rotated_screen_t turned;

    // Wall: places to blacken (stop), under streams_mon; the page shown,
    // written by the render thread, read by a reader as it unregisters.
    std::vector<output_rect_t> clears;
    std::atomic<int> page_shown{1};

    // For `stats`: pictures drawn since start, when the last samples were
    // taken (the render thread's).
    std::atomic<long> pictures{0};
    long long last_sample = 0;

    // For the service's watchdog: the monotonic time (ms) of the render
    // loop's last pass, 0 while no render thread runs.
    std::atomic<long long> beat{0};
    long long presented = 0;  // the beat of the last present

    // A snapshot asked for, copied between two pictures.
    copy_request_t snapshot;
};

renderer_t renderer;

// Where pictures go: the output's surface, or fb0 as it is now when the
// renderer was started without an output (test harnesses swap fb0).
fbuffer_t* device(void)
{
    return renderer.settings.output != nullptr ? renderer.settings.output->surface() : fb0;
}

// The screen as its viewer sees it: the device's surface, or with --rotate
// the memory view that is turned onto it.
fbuffer_t* surface(void)
{
    return rotated_view(&renderer.turned, device(), renderer.settings.rotate);
}

// Where a rectangle of the viewer's screen lies on the device: with --rotate,
// turned by the view made before, and none without one yet (asking for the
// surface here could bring the output up to date too early).
output_rect_t on_device(const output_rect_t& r)
{
    const int degrees = renderer.settings.rotate;
    const fbuffer_t* view = renderer.turned.view.get();
    if (degrees == 0)
        return r;
    if (view == nullptr)
        return {};
    return rotate_rect(degrees, view->vinfo.xres, view->vinfo.yres, r);
}

// A rectangle of the viewer's screen was drawn on the device (a picture):
// the output shows it at the next present.
void drawn(const output_rect_t& r)
{
    if (output_t* out = renderer.settings.output) {
        const output_rect_t turned = on_device(r);
        out->changed(&turned, 1);
    }
}

// A rectangle was drawn on the viewer's screen: turned onto the device first
// with --rotate.
void shown(output_rect_t r)
{
    if (renderer.settings.rotate != 0)
        r = rotated_put(&renderer.turned, device(), renderer.settings.rotate, r);
    if (output_t* out = renderer.settings.output)
        out->changed(&r, 1);
}

// What was drawn is shown once no picture waits, or a frame period after the
// last present while they keep coming: an output that flips on vblank shows
// many pictures at once instead of one per flip.
void present(bool more)
{
    if (renderer.settings.output != nullptr && (!more || renderer.beat >= renderer.presented + PRESENT_MS)) {
        renderer.settings.output->present();
        renderer.presented = renderer.beat.load();
    }
}

// True the first time this warning is raised for the stream.
bool first_warning(stream_t* s, warning_e w)
{
    monitor_guard hold(&renderer.streams_mon);
    const bool first = (s->drawing->warned & w) == 0;
    s->drawing->warned |= w;
    return first;
}

// ------------------------------------------------------------- status icons

// With streams_mon held.
void render_draw_icon(stream_t* stream, icon_e icon)
{
    assert(stream != nullptr);
    render_stream_t* d = stream->drawing;
    fbuffer_t* fb = surface();
    fbuffer_t view;
    int ix = 0, iy = 0;
    const bool on_screen = icon_view(fb, d->wall.win, d->scaler.dst_w, d->scaler.dst_h, &view, &ix, &iy);
    if (on_screen && renderer.settings.rotate != 0)
        // The icon blends with, and keeps, what the device shows there.
        rotated_get(&renderer.turned, device(), renderer.settings.rotate,
                    {d->wall.win.x + ICON_INSET, d->wall.win.y + ICON_INSET, ICON_SIZE, ICON_SIZE});
    const icon_e before = stream->current_icon.load();
    status_icon_show(&renderer.icons, stream, &d->icon, on_screen ? &view : nullptr, ix, iy, icon);
    if (on_screen && stream->current_icon.load() != before)
        shown({d->wall.win.x + ICON_INSET, d->wall.win.y + ICON_INSET, ICON_SIZE, ICON_SIZE});
}

bool on_shown_page(const stream_t* s)
{
    return s->settings.page == renderer.page_shown;
}

// Blackens the visible part of a rectangle of the surface; every device
// layout is black at zero bytes.
void clear_rect(fbuffer_t* fb, long long x, long long y, long long w, long long h)
{
    visible_t v;
    if (!visible_part(fb, x, y, w, h, &v))
        return;
    const size_t line = fb->finfo.line_length;
    const long long bytes = fb->bytes_per_pixel;
    for (long long j = v.j0; j < v.j1; ++j)
        memset(fb->screen + static_cast<size_t>(y + j) * line + static_cast<size_t>(v.base + bytes * v.i0), 0,
               static_cast<size_t>((v.i1 - v.i0) * bytes));
}

void clear_and_show(const output_rect_t& r)
{
    if (r.w > 0 && r.h > 0) {
        clear_rect(surface(), r.x, r.y, r.w, r.h);
        shown(r);
    }
}

output_rect_t window_rect(const render_stream_t* d)
{
    return window_rect(surface(), &d->wall, d->scaler.dst_w, d->scaler.dst_h);
}

// Takes the window and label the commands last set. A window that moved
// leaves its old place black (`clear_old`) and draws its icon and label
// afresh at the new one.
void take_layout(stream_t* s, bool clear_old)
{
    render_stream_t* d = s->drawing;
    output_rect_t old;
    if (!window_take_layout(&d->wall, s, &renderer.streams_mon, surface, d->scaler.dst_w, d->scaler.dst_h, &old))
        return;
    if (clear_old && s->render_off.load() == 0)
        clear_and_show(old);
    monitor_guard hold(&renderer.streams_mon);
    std::fill(d->bars, d->bars + 4, 0);
    d->icon.background_valid = 0;
    s->current_icon = I_NONE;
}

void draw_label(stream_t* s, long long now, bool after_picture)
{
    render_stream_t* d = s->drawing;
    // With --rotate, drawn over what the device shows there, with which its
    // edges blend.
    const auto under_label = [](const output_rect_t& place) {
        if (renderer.settings.rotate != 0)
            rotated_get(&renderer.turned, device(), renderer.settings.rotate, place);
    };
    const output_rect_t r =
        window_draw_label(&d->wall, s, surface(), d->scaler.dst_w, d->scaler.dst_h, now, after_picture, under_label);
    if (r.w > 0)
        shown(r);
}

// A new page: the screen goes black, and each window of the page shows its
// icon and label again at the next idle pass and its next picture.
void show_page(int page)
{
    renderer.page_shown = page;
    fbuffer_t* fb = surface();
    clear_rect(fb, 0, 0, fb->vinfo.xres, fb->vinfo.yres);
    shown({0, 0, fb->vinfo.xres, fb->vinfo.yres});
    monitor_guard hold(&renderer.streams_mon);
    list_for_each_entry(s, &renderer.streams, stream_t, rdlink) {
        take_layout(s, false);
        s->drawing->icon.background_valid = 0;
        s->drawing->wall.label_shown = 0;
        s->current_icon = I_NONE;
    }
}

// The pages of the registered streams, for the page cycle.
std::vector<int> pages_in_use(void)
{
    std::vector<int> pages;
    monitor_guard hold(&renderer.streams_mon);
    list_for_each_entry(s, &renderer.streams, stream_t, rdlink)
        pages.push_back(s->settings.page);
    return pages;
}

void render_idle(long long now)
{
    monitor_guard hold(&renderer.streams_mon);
    list_for_each_entry(s, &renderer.streams, stream_t, rdlink) {
        if (renderer.settings.idle_hook != nullptr)
            renderer.settings.idle_hook(s, now);
        if (!on_shown_page(s))
            continue;
        take_layout(s, true);
        if (const std::optional<icon_e> icon = status_icon_for(s, now))
            render_draw_icon(s, *icon);
        if (s->render_off.load() == 0)
            draw_label(s, now, false);
    }
}

// ------------------------------------------------------------------ drawing

// The picture's planes from the part the window shows on.
void source_planes(stream_t* s, const AVFrame* pic, const geometry_t& g, uint8_t* data[4], int linesize[4])
{
    if (!scaler_source_planes(pic, g, data, linesize) && first_warning(s, W_CROP)) {
        // Shows the picture's top-left part instead of its middle.
        const char* fmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(pic->format));
        printf("%s: cannot crop pixel format '%s' of stream '%s': drawing its top-left part\n", "render_thread",
               fmt != nullptr ? fmt : "unknown", s->name);
    }
}

// Once per stream, not once per picture.
void no_scaler(stream_t* s)
{
    if (first_warning(s, W_NO_SCALER))
        printf("%s: cannot initialize conversion context!\n", "render_thread");
}

// A picture that keeps its aspect leaves bars in its window: black, cleared
// when the picture's place is first known or changes, not for every picture.
void clear_bars(fbuffer_t* fb, stream_t* s, const AVFrame* pic, const geometry_t& g)
{
    long long* bars = s->drawing->bars;
    const long long place[4] = {g.dstx, g.dsty, g.dstw, g.dsth};
    if (s->drawing->wall.win.aspect == 0 || std::equal(place, place + 4, bars))
        return;
    std::copy(place, place + 4, bars);
    const stream_settings_t& win = s->drawing->wall.win;
    const long long w = win.w > 0 ? win.w : pic->width, h = win.h > 0 ? win.h : pic->height;
    clear_rect(fb, win.x, win.y, w, h);
    shown({win.x, win.y, w, h});
}

// The picture in its window at `g`, as much of it as is on the screen.
void paint_window(stream_t* s, const AVFrame* pic, const geometry_t& g)
{
    fbuffer_t* fb = surface();
    visible_t v;
    if (!visible_part(fb, g.dstx, g.dsty, g.dstw, g.dsth, &v))
        return;  // the window is wholly off the screen
    uint8_t* src[4];
    int srcstride[4];
    source_planes(s, pic, g, src, srcstride);
    if (!scaler_prepare(&s->drawing->scaler, g, pic->format, fb->format, renderer.settings.scale)) {
        no_scaler(s);
        return;
    }
    clear_bars(fb, s, pic, g);
    if (!scaler_draw(&s->drawing->scaler, &renderer.clip, device(), src, srcstride, g, v, pic->format,
                     renderer.settings.rotate)) {
        if (first_warning(s, W_TOO_LARGE))
            printf("%s: window %lldx%lld of stream '%s' reaches past the screen and is too large to clip: "
                   "not drawn\n",
                   "render_thread", g.dstw, g.dsth, s->name);
        return;
    }
    drawn({g.dstx, g.dsty, g.dstw, g.dsth});
    // The picture has painted over the icon corner.
    monitor_guard hold(&renderer.streams_mon);
    s->drawing->icon.background_valid = 0;
    s->current_icon = I_NONE;
}

void draw_picture(stream_t* s, const AVFrame* pic)
{
    if (pic->data[0] == nullptr || pic->width <= 0 || pic->height <= 0) {
        printf("%s: empty picture of stream '%s' skipped!\n", "render_thread", s->name);
        return;
    }
    const geometry_t g = window_geometry(s->drawing->wall.win, pic);
    if (g.dstw <= 0 || g.dsth <= 0) {
        no_scaler(s);
        return;
    }
    // The picture writes every pixel of its rectangle (bars, with -a, only
    // change with its place and are reported then): the output need not
    // bring that part up to date before, only what of it was not drawn
    // after, however the painting ended.
    output_t* out = renderer.settings.output;
    if (out != nullptr)
        out->will_cover(on_device({g.dstx, g.dsty, g.dstw, g.dsth}));
    paint_window(s, pic, g);
    if (out != nullptr)
        out->cover_done();
}

// Between two pictures: the samples for `stats`, once per period, and the
// snapshot if one is asked for.
void between_pictures(void)
{
    {
        // Under streams_mon: a stopping stream's reader draws its icon there,
        // perhaps where a tile is blackened.
        monitor_guard hold(&renderer.streams_mon);
        for (const auto& r : renderer.clears)
            clear_and_show(r);
        renderer.clears.clear();
    }
    if (const int page = pages_tick(renderer.settings.clock(), pages_in_use); page != renderer.page_shown)
        show_page(page);
    const long long now = current_time_in_millis();
    if (now - renderer.last_sample >= STATS_PERIOD_MS) {
        renderer.last_sample = now;
        {
            monitor_guard hold(&renderer.streams_mon);
            list_for_each_entry(s, &renderer.streams, stream_t, rdlink)
                stats_sample_stream(s, now);
        }
        stats_sample_render(now);
    }
    if (!copy_request_pending(&renderer.snapshot))
        return;
    present(false);  // what is shown is then what was drawn
    copy_request_serve(&renderer.snapshot, device(), renderer.settings.rotate);
}

}  // namespace

// ------------------------------------------------------------- for `stats`

long render_pictures_drawn(void)
{
    return renderer.pictures.load();
}

long long render_last_pass_ms(void)
{
    return renderer.beat.load();
}

std::string render_output_text(void)
{
    return renderer.settings.output != nullptr ? renderer.settings.output->describe() : std::string();
}

bool render_copy_surface(surface_copy_t* out, long timeout_ms)
{
    return copy_request_wait(&renderer.snapshot, out, timeout_ms);
}

// ------------------------------------------------------- the readers' pool

frame_t* render_get_free_frame(stream_t* stream)
{
    return frame_pool_get_free(&renderer.pool, stream);
}

void render_put_free_frame(frame_t* frame)
{
    frame_pool_put_free(&renderer.pool, frame);
}

void render_frame(stream_t* stream, frame_t* frame)
{
    frame_pool_hand_over(&renderer.pool, stream, frame);
}

// ------------------------------------------------------------- registration

void render_on_stream_start(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_self() == &stream->reader);
    assert(thread_is_alive(&renderer.thread));
    list_item_init(&stream->rdlink);
    stream->drawing = new render_stream_t;
    window_init(&stream->drawing->wall, stream->settings);
    icon_init(&stream->drawing->icon.background, ICON_SIZE, ICON_SIZE);
    stream->last_frame_time = renderer.settings.clock();
    int registered;
    {
        monitor_guard hold(&renderer.streams_mon);
        list_append(&renderer.streams, &stream->rdlink);
        registered = ++renderer.registered;
    }
    // Each stream may have one picture waiting and its reader one in hand,
    // and the render thread draws one: with that many frames no stream can
    // starve another, however many deliver nothing.
    frame_pool_grow(&renderer.pool, std::max(MIN_POOL_FRAMES, 2 * registered + 1));
}

void render_on_stream_stop(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_self() == &stream->reader);
    assert(thread_is_alive(&renderer.thread));

    frame_pool_wait_released(&renderer.pool, stream);
    render_stream_t* d = stream->drawing;
    {
        // Under streams_mon, so that no idle pass works on this icon
        // meanwhile or draws a new one before the stream is gone.
        monitor_guard hold(&renderer.streams_mon);
        render_draw_icon(stream, I_NONE);
        // What `stop` blackens: a window of another page, or one whose
        // drawing is off, keeps what the screen shows.
        const bool blackened = on_shown_page(stream) && stream->render_off.load() == 0;
        const output_rect_t tile = blackened ? window_rect(d) : output_rect_t{};
        std::tie(stream->tile[0], stream->tile[1], stream->tile[2], stream->tile[3]) =
            std::tie(tile.x, tile.y, tile.w, tile.h);
        list_remove(&renderer.streams, &stream->rdlink);
        --renderer.registered;
        icon_done(&d->icon.background);
        stream->drawing = nullptr;
    }
    scaler_done(&d->scaler);
    window_done(&d->wall);
    delete d;
}

// ------------------------------------------------------------------ the wall

void render_set_window(stream_t* s, int x, int y, int w, int h)
{
    monitor_guard hold(&renderer.streams_mon);
    std::tie(s->win_x, s->win_y, s->win_w, s->win_h) = std::tie(x, y, w, h);
    s->layout_serial.fetch_add(1);
}

void render_set_label(stream_t* s, const std::string& text)
{
    monitor_guard hold(&renderer.streams_mon);
    s->label = text;
    s->layout_serial.fetch_add(1);
}

void render_clear(const long long rect[4])
{
    monitor_guard hold(&renderer.streams_mon);
    if (rect[2] > 0 && rect[3] > 0)
        renderer.clears.push_back({rect[0], rect[1], rect[2], rect[3]});
}

void render_screen_size(int* w, int* h)
{
    // From the device: the render thread alone makes the viewer's screen.
    const fbuffer_t* fb = device();
    long long lw = 0, lh = 0;
    if (fb != nullptr)
        rotated_size(fb, renderer.settings.rotate, &lw, &lh);
    *w = static_cast<int>(lw);
    *h = static_cast<int>(lh);
}

// ----------------------------------------------------------- render thread

void render_start(const render_settings_t& settings)
{
    renderer.settings = settings;
    // Made here, before any reader registers and asks where its window lies.
    surface();
    status_icons_init(&renderer.icons);
    frame_pool_init(&renderer.pool, MIN_POOL_FRAMES);
    monitor_init(&renderer.streams_mon);
    copy_request_init(&renderer.snapshot);
    list_init(&renderer.streams);
    renderer.registered = 0;
    thread_init(&renderer.thread, "render");
    if (thread_start(&renderer.thread, render_thread, nullptr) != 0) {
        printf("%s: can't create thread!\n", "render_start");
        exit(1);
    }
}

void render_stop(void)
{
    // The pool's abort ends the thread's wait at once and its loop after the
    // picture in hand.
    frame_pool_abort(&renderer.pool);
    thread_join(&renderer.thread);
    renderer.beat = 0;
    thread_done(&renderer.thread);
    frame_pool_done(&renderer.pool);
    copy_request_done(&renderer.snapshot);
    monitor_done(&renderer.streams_mon);
    renderer.clip = scaler_scratch_t{};
    renderer.turned = rotated_screen_t{};
    status_icons_done(&renderer.icons);
}

void* render_thread(void* /*arg*/)
{
    long long last_idle_time = 0, last_picture = 0;
    while (!frame_pool_aborted(&renderer.pool)) {
        timespec mono;
        clock_gettime(CLOCK_MONOTONIC, &mono);
        renderer.beat = mono.tv_sec * 1000LL + mono.tv_nsec / 1000000;
        between_pictures();
        frame_t* f = frame_pool_take_ready(&renderer.pool, 0);
        present(f != nullptr);
        if (f == nullptr) {
            const long long now = renderer.settings.clock();
            if (now - last_idle_time >= renderer.settings.idle_period_ms) {
                render_idle(now);
                last_idle_time = now;
                continue;
            }
            if (renderer.beat - last_picture < BATCH_MS) {
                thread_sleep(BATCH_MS);
                continue;
            }
            f = frame_pool_take_ready(&renderer.pool, WAIT_STEP_MS);
            if (f == nullptr)
                continue;
        }
        last_picture = renderer.beat;
        stream_t* s = f->stream;
        assert(s->drawing != nullptr);  // only registered streams hand pictures over
        s->last_frame_time = renderer.settings.clock();
        if (s->render_off.load() == 0 && on_shown_page(s)) {
            take_layout(s, true);
            draw_picture(s, f->frame);
            draw_label(s, s->last_frame_time.load(), true);
            s->pictures_drawn.fetch_add(1, std::memory_order_relaxed);
            renderer.pictures.fetch_add(1, std::memory_order_relaxed);
        }
        frame_pool_give_back(&renderer.pool, f);
    }
    return nullptr;
}
