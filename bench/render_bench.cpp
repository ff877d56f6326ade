// How many 640 x 480 pictures a second the render thread converts into a
// window of a memory surface, as MJPEG (YUVJ420P) and most video decoders
// (YUV420P) deliver them, for surfaces of 16, 24 and 32 bits per pixel (the
// common device layouts). One reader hands over a picture, waits until the
// render thread has given it back, and hands over the next. On a shared
// machine the layouts take turns, three rounds, and each figure is the best
// round's. Then the filters of --scale on camera-sized pictures (µs per
// picture, as the renderer draws them) and with --rotate; last, the cost of a label (one small
// copy after each picture).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "drm_output.h"
#include "label.h"
#include "reader.h"
#include "render.h"
#include "scaler.h"

namespace {

struct run_t {
    stream_t* stream;
    AVFrame* source;
    double seconds;
    long pictures;
};

// A picture with some detail, so that nothing is flat.
AVFrame* make_source(AVPixelFormat fmt, int w = 640, int h = 480)
{
    AVFrame* f = av_frame_alloc();
    f->width = w;
    f->height = h;
    f->format = fmt;
    av_frame_get_buffer(f, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(x + y);
    for (int p = 1; p <= 2; ++p)
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w / 2; ++x)
                f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(p * x - y);
    return f;
}

void* reader(void* arg)
{
    run_t* r = static_cast<run_t*>(arg);
    stream_t* s = r->stream;
    render_on_stream_start(s);
    auto hand_over = [&] {
        frame_t* f = render_get_free_frame(s);
        av_frame_ref(f->frame, r->source);  // as a decoder would: a reference, no copy
        render_frame(s, f);
        while (s->frames_in_progress.load() != 0)
            thread_yield();
    };
    for (int i = 0; i < 20; ++i)  // scaler built, caches warm
        hand_over();
    auto t0 = std::chrono::steady_clock::now();
    long n = 0;
    do {
        for (int i = 0; i < 50; ++i, ++n)
            hand_over();
        r->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    } while (r->seconds < 0.7);
    r->pictures = n;
    render_on_stream_stop(s);
    return nullptr;
}

// Microseconds per picture.
double bench(AVPixelFormat fmt, int w, int h, const char* label = "", int srcw = 640, int srch = 480)
{
    stream_settings_t set;
    set.w = w;
    set.h = h;
    stream_t* s = stream_new("bench", "bench", set);
    s->state = SS_CONNECTED;
    render_set_label(s, label);
    run_t r = {s, make_source(fmt, srcw, srch), 0, 0};
    thread_start(&s->reader, reader, &r);
    thread_join(&s->reader);
    av_frame_free(&r.source);
    stream_free(s);
    return 1e6 * r.seconds / static_cast<double>(r.pictures);
}

void scale_table(const AVPixelFormat (&surfaces)[3])
{
    // The filters of --scale: libswscale's point sampling (`point`, as before
    // libyuv), libyuv's point sampling (`fast`), bilinear and box filters.
    // The scaler alone, as the render thread calls it, without the hand-over
    // between threads: the modes take turns, and each figure is the best of
    // 9 rounds of 100 pictures.
    const struct {
        int srcw, srch, w, h;
    } sizes[] = {{640, 360, 200, 150}, {1280, 720, 400, 300}};
    constexpr scale_e modes[] = {SCALE_POINT, SCALE_FAST, SCALE_BILINEAR, SCALE_BOX};
    printf("render_bench: us per yuv420p picture | swscale point | libyuv point | libyuv bilinear | libyuv box\n");
    for (const auto& size : sizes)
        for (AVPixelFormat surface : surfaces) {
            fbuffer_t* fb = fb_open_fake_format(800, 600, surface);
            AVFrame* pic = make_source(AV_PIX_FMT_YUV420P, size.srcw, size.srch);
            stream_settings_t win;
            std::tie(win.x, win.y, win.w, win.h) = std::tuple(10, 10, size.w, size.h);
            const geometry_t g = window_geometry(win, pic);
            visible_t v;
            visible_part(fb, g.dstx, g.dsty, g.dstw, g.dsth, &v);
            scaler_scratch_t scratch;
            double us[4] = {1e12, 1e12, 1e12, 1e12};
            for (int round = 0; round < 9; ++round)
                for (int m = 0; m < 4; ++m) {
                    scaler_t sc;
                    scaler_prepare(&sc, g, pic->format, surface, modes[m]);
                    scaler_draw(&sc, &scratch, fb, pic->data, pic->linesize, g, v, pic->format);  // warm
                    const auto t0 = std::chrono::steady_clock::now();
                    for (int i = 0; i < 100; ++i)
                        scaler_draw(&sc, &scratch, fb, pic->data, pic->linesize, g, v, pic->format);
                    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - t0;
                    us[m] = std::min(us[m], took.count() / 100);
                    scaler_done(&sc);
                }
            printf("render_bench: %dx%d -> %dx%d, %-8s | %6.1f | %6.1f (%.2fx) | %6.1f (%.2fx) | %6.1f (%.2fx)\n",
                   size.srcw, size.srch, size.w, size.h, av_get_pix_fmt_name(surface), us[0], us[1], us[1] / us[0],
                   us[2], us[2] / us[0], us[3], us[3] / us[0]);
            av_frame_free(&pic);
            fb_close(fb);
        }
}

// --rotate 90 and 180 against none, at the default filter: a full-screen
// window and a 4 x 4 wall of camera tiles on an 800 x 600 screen, the scaler
// alone as in the table above. The rotations take turns; each figure is the
// best of 9 rounds of 10 screens.
void rotate_line(AVPixelFormat surface)
{
    const struct {
        int srcw, srch, cols;
    } walls[] = {{1280, 720, 1}, {640, 360, 4}};
    double us[2][3];
    for (int k = 0; k < 2; ++k) {
        AVFrame* pic = make_source(AV_PIX_FMT_YUV420P, walls[k].srcw, walls[k].srch);
        const int n = walls[k].cols, tw = 800 / n, th = 600 / n;
        fbuffer_t* view = fb_open_fake_format(800, 600, surface);
        fbuffer_t* portrait = fb_open_fake_format(600, 800, surface);
        std::vector<scaler_t> sc(static_cast<size_t>(3 * n * n));
        scaler_scratch_t scratch;
        auto screen = [&](int r) {
            for (int t = 0; t < n * n; ++t) {
                stream_settings_t win;
                std::tie(win.x, win.y, win.w, win.h) = std::tuple(t % n * tw, t / n * th, tw, th);
                const geometry_t g = window_geometry(win, pic);
                visible_t v;
                visible_part(view, g.dstx, g.dsty, g.dstw, g.dsth, &v);
                scaler_t* s = &sc[static_cast<size_t>(r * n * n + t)];
                scaler_prepare(s, g, pic->format, surface, SCALE_BILINEAR);
                scaler_draw(s, &scratch, r == 1 ? portrait : view, pic->data, pic->linesize, g, v, pic->format, 90 * r);
            }
        };
        for (int r = 0; r < 3; ++r)
            screen(r), us[k][r] = 1e12;  // warm
        for (int round = 0; round < 9; ++round)
            for (int r = 0; r < 3; ++r) {
                const auto t0 = std::chrono::steady_clock::now();
                for (int i = 0; i < 10; ++i)
                    screen(r);
                const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - t0;
                us[k][r] = std::min(us[k][r], took.count() / 10 / (n * n));
            }
        for (scaler_t& s : sc)
            scaler_done(&s);
        fb_close(portrait);
        fb_close(view);
        av_frame_free(&pic);
    }
    printf("render_bench: --rotate, %-8s bilinear, us per picture: 1280x720 -> 800x600 %.1f, 90 %.1f (%.2fx), "
           "180 %.1f (%.2fx); 16 x 640x360 -> 200x150 %.1f, 90 %.1f (%.2fx), 180 %.1f (%.2fx)\n",
           av_get_pix_fmt_name(surface), us[0][0], us[0][1], us[0][1] / us[0][0], us[0][2], us[0][2] / us[0][0],
           us[1][0], us[1][1], us[1][1] / us[1][0], us[1][2], us[1][2] / us[1][0]);
}

// CPU seconds the render thread has used (/proc: utime + stime).
double render_cpu_seconds(void)
{
    DIR* d = opendir("/proc/self/task");
    double seconds = 0;
    for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string comm, stat;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != "render")
            continue;
        std::getline(std::ifstream(task + "/stat"), stat);
        stat = stat.substr(stat.rfind(')') + 2);  // fields from the 3rd
        unsigned long utime = 0, stime = 0;
        sscanf(stat.c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
        seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    if (d != nullptr)
        closedir(d);
    return seconds;
}

// The render thread's CPU microseconds per picture on `out` (1024 x 768,
// 32 bpp) for a grid `across` windows wide and high, each with its reader.
double output_cost(output_t* out, int across)
{
    render_settings_t settings;
    settings.output = out;
    render_start(settings);
    const int w = 1024 / across, h = 768 / across, n = across * across;
    AVFrame* source = make_source(AV_PIX_FMT_YUV420P);
    std::vector<run_t> runs(n);
    for (int i = 0; i < n; ++i) {
        stream_settings_t set;
        set.x = i % across * w;
        set.y = i / across * h;
        set.w = w;
        set.h = h;
        runs[i] = {stream_new("bench", "bench", set), source, 0, 0};
        runs[i].stream->state = SS_CONNECTED;
    }
    const double cpu0 = render_cpu_seconds();
    for (run_t& r : runs)
        thread_start(&r.stream->reader, reader, &r);
    long pictures = 0;
    for (run_t& r : runs) {
        thread_join(&r.stream->reader);
        pictures += r.pictures + 20;
        stream_free(r.stream);
    }
    const double cpu = render_cpu_seconds() - cpu0;
    render_stop();
    av_frame_free(&source);
    return 1e6 * cpu / static_cast<double>(pictures);
}

// fb (a 32 bpp surface drawn in place) against the DRM output's double
// buffering, damage copy included, on memory: no card here.
void output_costs(void)
{
    for (int across : {1, 4}) {
        double fb = 1e12, drm = 1e12;
        for (int round = 0; round < 3; ++round) {
            std::unique_ptr<output_t> plain = output_adopt(fb_open_fake_format(1024, 768, AV_PIX_FMT_BGRA));
            fb = std::min(fb, output_cost(plain.get(), across));
            std::unique_ptr<output_t> flipped = output_open_drm_memory(1024, 768);
            drm = std::min(drm, output_cost(flipped.get(), across));
        }
        printf("render_bench: 1024x768 bgra, %s: render thread %5.0f us of CPU per picture on fb, %5.0f on drm "
               "(memory buffers): %.2fx\n",
               across == 1 ? "one full-screen window" : "16-tile wall", fb, drm, drm / fb);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // `render_bench scale`, `render_bench output`: that table alone.
    const bool scale_only = argc > 1 && std::string_view(argv[1]) == "scale";
    const bool output_only = argc > 1 && std::string_view(argv[1]) == "output";
    setvbuf(stdout, nullptr, _IOLBF, 0);
    av_log_set_level(AV_LOG_ERROR);
    threads_init();
    monitor_init(&ffmpeg_mon);
    const AVPixelFormat surfaces[] = {AV_PIX_FMT_RGB565, AV_PIX_FMT_BGR24, AV_PIX_FMT_BGRA};
    if (scale_only || output_only) {
        scale_only ? scale_table(surfaces) : output_costs();
        return 0;
    }
    if (argc > 1 && std::string_view(argv[1]) == "rotate") {
        for (AVPixelFormat surface : surfaces)
            rotate_line(surface);
        return 0;
    }
    const struct {
        AVPixelFormat fmt;
        int w, h;
    } cases[] = {{AV_PIX_FMT_YUV420P, 400, 300},
                 {AV_PIX_FMT_YUV420P, 640, 480},
                 {AV_PIX_FMT_YUVJ420P, 400, 300},
                 {AV_PIX_FMT_YUVJ420P, 640, 480}};
    double cost[3][4];
    std::fill(&cost[0][0], &cost[0][0] + 12, 1e12);
    for (int round = 0; round < 3; ++round)
        for (int k = 0; k < 3; ++k) {
            fb0 = fb_open_fake_format(800, 600, surfaces[k]);
            render_start();
            for (int c = 0; c < 4; ++c)
                cost[k][c] = std::min(cost[k][c], bench(cases[c].fmt, cases[c].w, cases[c].h));
            render_stop();
            fb_close(fb0);
        }
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k)
            printf("render_bench: %-8s surface, %-8s 640x480 -> %dx%d window: %7.1f pictures/s, %5.0f us each\n",
                   av_get_pix_fmt_name(surfaces[k]), av_get_pix_fmt_name(cases[c].fmt), cases[c].w, cases[c].h,
                   1e6 / cost[k][c], cost[k][c]);
        printf("render_bench:   cost per picture against 16 bpp: 24 bpp %.2fx, 32 bpp %.2fx\n",
               cost[1][c] / cost[0][c], cost[2][c] / cost[0][c]);
    }
    scale_table(surfaces);
    for (AVPixelFormat surface : surfaces)
        rotate_line(surface);
    std::string why;
    if (!label_font_open(DEFAULT_FONT, &why)) {
        printf("render_bench: no label figures: %s\n", why.c_str());
    } else {
        for (int k : {0, 2}) {
            double plain = 1e12, labelled = 1e12;
            // Five rounds, each of both: the figures are close, the machine noisy.
            for (int round = 0; round < 5; ++round) {
                fb0 = fb_open_fake_format(800, 600, surfaces[k]);
                render_start();
                labelled = std::min(labelled, bench(AV_PIX_FMT_YUV420P, 400, 300, "Front door 12"));
                plain = std::min(plain, bench(AV_PIX_FMT_YUV420P, 400, 300));
                render_stop();
                fb_close(fb0);
            }
            printf("render_bench: %-8s surface, yuv420p 640x480 -> 400x300 window: %5.0f us each, with a label "
                   "%5.0f us (+%.1f us)\n",
                   av_get_pix_fmt_name(surfaces[k]), plain, labelled, labelled - plain);
            // The label's copy alone, as the render thread does it after each
            // picture (box of a 400 x 300 window): steadier than the
            // difference above on a busy machine.
            fbuffer_t* fb = fb_open_fake_format(800, 600, surfaces[k]);
            label_t l;
            label_make(&l, "Front door 12", 300 / 12, 400 - 2 * LABEL_INSET);
            double best = 1e12;
            for (int round = 0; round < 5; ++round) {
                const auto t0 = std::chrono::steady_clock::now();
                for (int i = 0; i < 2000; ++i)
                    label_draw(&l, fb, 4, 271, LABEL_WHITE);
                const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - t0;
                best = std::min(best, took.count() / 2000);
            }
            printf("render_bench: %-8s surface, the label's copy alone (%dx%d box): %.1f us each\n",
                   av_get_pix_fmt_name(surfaces[k]), l.width, l.height, best);
            label_done(&l);
            fb_close(fb);
        }
        label_font_close();
    }
    output_costs();
    monitor_done(&ffmpeg_mon);
    return 0;
}
