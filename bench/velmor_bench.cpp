// Figures that cannot be read from outside the program: pictures decoded and
// drawn per second, and the time from `play` to the first picture on the
// surface. They run the real reader and render threads on the memory surface,
// started the way the `play` command starts a stream. Two plain-FFmpeg
// modes measure the floor under them: opening a source and decoding its
// first picture, and decoding a clip with each decoder threading.
//
// Every figure is printed as one line "RESULT key=value ..." for bench/run;
// the program's own messages pass through unchanged.
//
//   velmor_bench throughput [-f FMT] W H URL...   one stream per URL
//   velmor_bench first [-f FMT] URL               play until the first picture is drawn
//   velmor_bench open [-f FMT] [-fpsprobe N] URL  FFmpeg alone: open, probe, first picture
//   velmor_bench threads CLIP                     decoder threading: speed, delay, CPU
//   velmor_bench live [-f FMT] SECS W H URL...     live streams on a wall: CPU, each stream's pictures/s
//   velmor_bench jpeg CLIP                        libjpeg-turbo (full, 1/2, 1/4) against FFmpeg's decoder
//   velmor_bench decode SECS W H URL...           the floor of a live wall: each stream read and decoded
//                                                 (as the reader decodes for a W x H window), no more
//   velmor_bench tile W H CLIP                    the decoder as the reader opens it for a W x H window:
//                                                 CPU per picture with the loop filter and as the window
//                                                 chooses, and how far the pictures differ at W x H
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "decoder.h"
#include "jpeg.h"
#include "reader.h"
#include "velmor.h"

namespace {

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_s()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void usage()
{
    fprintf(stderr,
            "usage: velmor_bench throughput [-f FMT] W H URL...\n"
            "       velmor_bench first [-f FMT] URL\n"
            "       velmor_bench open [-f FMT] [-fpsprobe N] URL\n"
            "       velmor_bench threads CLIP\n"
            "       velmor_bench live [-f FMT] SECS W H URL...\n"
            "       velmor_bench jpeg CLIP\n"
            "       velmor_bench decode SECS W H URL...\n"
            "       velmor_bench tile W H CLIP\n");
    exit(2);
}

const AVInputFormat* find_format(const char* name)
{
    const AVInputFormat* f = av_find_input_format(name);
    if (f == nullptr) {
        fprintf(stderr, "velmor_bench: unknown input format '%s'\n", name);
        exit(2);
    }
    return f;
}

// What `play -n NAME [-f FMT] -p X Y -s W H URL` does after its checks.
stream_t* play(const char* name, const char* url, const AVInputFormat* fmt, int x, int y, int w, int h)
{
    stream_settings_t settings;
    settings.format = fmt;
    settings.x = x;
    settings.y = y;
    settings.w = w;
    settings.h = h;
    stream_t* s = stream_new(name, url, settings);
    stream_start(s);
    return s;
}

void stop(stream_t* s)
{
    stream_stop(s);
    stream_free(s);
}

struct counts_t {
    long pictures_handed = 0;
    long pictures_drawn = 0;
};

counts_t stats(const std::vector<stream_t*>& streams)
{
    counts_t c;
    for (stream_t* s : streams) {
        c.pictures_handed += s->pictures_decoded.load();
        c.pictures_drawn += s->pictures_drawn.load();
    }
    return c;
}

// Pictures handed over and drawn per second while every stream reads its
// file, from the moment each has delivered a few pictures until the first
// one reaches the end of its file. Windows tile the 800 x 600 surface.
int cmd_throughput(const AVInputFormat* fmt, int w, int h, const std::vector<const char*>& urls)
{
    threads_init();
    velmor_start(fb_open_fake(800, 600));
    std::vector<stream_t*> streams;
    for (size_t i = 0; i < urls.size(); ++i) {
        char name[32];
        snprintf(name, sizeof name, "s%zu", i);
        streams.push_back(play(name, urls[i], fmt, static_cast<int>(i % 2) * 400,
                               static_cast<int>(i / 2 % 2) * 300, w, h));
    }
    const long warm = 25 * static_cast<long>(urls.size());
    double t0 = 0, t1 = 0;
    long handed0 = 0, drawn0 = 0, handed1 = 0, drawn1 = 0;
    double cpu0 = 0, cpu1 = 0;
    const double deadline = now_s() + 120;
    while (now_s() < deadline) {
        bool all_playing = std::all_of(streams.begin(), streams.end(),
                                       [](stream_t* s) { return s->state.load() == SS_CONNECTED; });
        counts_t st = stats(streams);
        double t = now_s();
        if (t0 == 0) {
            if (all_playing && st.pictures_handed >= warm) {
                t0 = t;
                handed0 = st.pictures_handed;
                drawn0 = st.pictures_drawn;
                cpu0 = cpu_s();
            }
        } else if (!all_playing) {
            break;  // a file has ended: the last sample closes the window
        } else {
            t1 = t;
            handed1 = st.pictures_handed;
            drawn1 = st.pictures_drawn;
            cpu1 = cpu_s();
        }
        usleep(5000);
    }
    for (stream_t* s : streams)
        stop(s);
    velmor_shutdown();
    if (t1 <= t0) {
        printf("RESULT error=no-steady-window\n");
        return 1;
    }
    double secs = t1 - t0;
    printf("RESULT decoded=%.1f drawn=%.1f seconds=%.3f pictures=%ld cpu=%.3f\n", (handed1 - handed0) / secs,
           (drawn1 - drawn0) / secs, secs, handed1 - handed0, (cpu1 - cpu0) / secs);
    return 0;
}

// From `play` to the first picture drawn into the surface.
int cmd_first(const AVInputFormat* fmt, const char* url)
{
    threads_init();
    velmor_start(fb_open_fake(800, 600));
    double t0 = now_s();
    stream_t* s = play("first", url, fmt, 0, 0, 400, 300);
    double handed = 0, drawn = 0;
    while (now_s() - t0 < 10) {
        counts_t st = stats({s});
        double t = now_s();
        if (handed == 0 && st.pictures_handed > 0)
            handed = t;
        if (st.pictures_drawn > 0) {
            drawn = t;
            break;
        }
        usleep(200);
    }
    stop(s);
    velmor_shutdown();
    if (drawn == 0) {
        printf("RESULT error=no-picture\n");
        return 1;
    }
    printf("RESULT first_ms=%.1f handed_ms=%.1f\n", (drawn - t0) * 1e3, (handed - t0) * 1e3);
    return 0;
}

struct input_t {
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    int video = -1;
    ~input_t()
    {
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }
};

// Opens `url` as the reader does (no probe for raw MJPEG, a one-second
// analyse limit, frame-rate probe as given) and a decoder for its video.
bool open_input(input_t& in, const char* url, const AVInputFormat* fmt, int fpsprobe, int threads,
                int thread_type)
{
    AVDictionary* options = nullptr;
    reader_input_defaults(url, &options);
    const int err = avformat_open_input(&in.fmt, url, fmt, &options);
    av_dict_free(&options);
    if (err != 0)
        return false;
    if (strcmp(in.fmt->iformat->name, "mjpeg") != 0) {
        in.fmt->max_analyze_duration = 1000000;
        in.fmt->fps_probe_size = fpsprobe;
        if (avformat_find_stream_info(in.fmt, nullptr) < 0)
            return false;
    }
    in.video = av_find_best_stream(in.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (in.video < 0)
        return false;
    const AVCodecParameters* par = in.fmt->streams[in.video]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    in.dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(in.dec, par);
    in.dec->thread_count = threads;
    in.dec->thread_type = thread_type;
    return avcodec_open2(in.dec, codec, nullptr) >= 0;
}

// FFmpeg alone: from the open call to the first decoded picture.
int cmd_open(const AVInputFormat* fmt, int fpsprobe, const char* url)
{
    avformat_network_init();
    double t0 = now_s();
    input_t in;
    if (!open_input(in, url, fmt, fpsprobe, 1, FF_THREAD_SLICE)) {
        printf("RESULT error=open\n");
        return 1;
    }
    double opened = now_s();
    AVPacket* pkt = av_packet_alloc();
    AVFrame* pic = av_frame_alloc();
    bool got = false;
    while (!got && av_read_frame(in.fmt, pkt) >= 0) {
        if (pkt->stream_index == in.video && avcodec_send_packet(in.dec, pkt) >= 0)
            got = avcodec_receive_frame(in.dec, pic) >= 0;
        av_packet_unref(pkt);
    }
    double t1 = now_s();
    av_packet_free(&pkt);
    av_frame_free(&pic);
    if (!got) {
        printf("RESULT error=no-picture\n");
        return 1;
    }
    printf("RESULT first_ms=%.1f open_ms=%.1f\n", (t1 - t0) * 1e3, (opened - t0) * 1e3);
    return 0;
}

// Every video packet of the clip, read into memory before the clock starts.
std::vector<AVPacket*> video_packets(const input_t& in)
{
    std::vector<AVPacket*> packets;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in.fmt, pkt) >= 0) {
        if (pkt->stream_index == in.video)
            packets.push_back(av_packet_clone(pkt));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return packets;
}

// Decodes the whole clip, held in memory, with each threading: pictures per
// second, CPU seconds per picture, and how many packets go in before the
// first picture comes out (each frame thread holds one back).
int cmd_threads(const char* clip)
{
    struct config_t {
        const char* name;
        int threads;
        int type;
    };
    const config_t configs[] = {
        {"single", 1, FF_THREAD_SLICE},
        {"slice-auto", 0, FF_THREAD_SLICE},
        {"frame-2", 2, FF_THREAD_FRAME},
        {"frame-auto", 0, FF_THREAD_FRAME},
    };
    for (const config_t& c : configs) {
        input_t in;
        if (!open_input(in, clip, nullptr, 0, c.threads, c.type)) {
            printf("RESULT error=open\n");
            return 1;
        }
        std::vector<AVPacket*> packets = video_packets(in);
        AVFrame* pic = av_frame_alloc();
        long pictures = 0, sent = 0, delay = -1;
        double t0 = now_s(), c0 = cpu_s();
        for (AVPacket* p : packets) {
            avcodec_send_packet(in.dec, p);
            ++sent;
            while (avcodec_receive_frame(in.dec, pic) >= 0) {
                if (delay < 0)
                    delay = sent - 1;
                ++pictures;
                av_frame_unref(pic);
            }
        }
        avcodec_send_packet(in.dec, nullptr);
        while (avcodec_receive_frame(in.dec, pic) >= 0) {
            ++pictures;
            av_frame_unref(pic);
        }
        double secs = now_s() - t0, cpu = cpu_s() - c0;
        printf("RESULT config=%s threads=%d rate=%.1f cpu_ms=%.3f delay=%ld\n", c.name, in.dec->thread_count,
               pictures / secs, cpu * 1e3 / static_cast<double>(std::max(pictures, 1L)), delay);
        av_frame_free(&pic);
        for (AVPacket*& p : packets)
            av_packet_free(&p);
    }
    return 0;
}

// Live streams into a wall of W x H windows, eight to a row, scaled with the
// program's default filter (not the tests' point sampling): once every
// stream is drawing, the process's CPU (share of one core) and the slowest
// and mean stream's pictures drawn per second over SECS seconds.
int cmd_live(const AVInputFormat* fmt, double secs, int w, int h, const std::vector<const char*>& urls)
{
    threads_init();
    const int cols = 8, rows = static_cast<int>((urls.size() + cols - 1) / cols);
    velmor_start(fb_open_fake(cols * w, std::max(rows, 1) * h), true);  // drawn as the program draws
    std::vector<stream_t*> streams;
    for (size_t i = 0; i < urls.size(); ++i) {
        char name[32];
        snprintf(name, sizeof name, "s%zu", i);
        const int col = static_cast<int>(i) % cols, row = static_cast<int>(i) / cols;
        streams.push_back(play(name, urls[i], fmt, col * w, row * h, w, h));
    }
    auto drawing = [&] {
        return std::all_of(streams.begin(), streams.end(), [](stream_t* s) { return s->pictures_drawn >= 25; });
    };
    for (double until = now_s() + 30; now_s() < until && !drawing();)
        usleep(20000);
    std::vector<long> d0;
    for (stream_t* s : streams)
        d0.push_back(s->pictures_drawn.load());
    const double t0 = now_s(), c0 = cpu_s();
    usleep(static_cast<useconds_t>(secs * 1e6));
    const double t1 = now_s(), c1 = cpu_s();
    double slowest = 1e9, total = 0;
    long dropped = 0, replaced = 0;
    std::string rates;
    for (size_t i = 0; i < streams.size(); ++i) {
        dropped += streams[i]->pictures_dropped.load();
        replaced += streams[i]->pictures_replaced.load();
        const double rate = static_cast<double>(streams[i]->pictures_drawn.load() - d0[i]) / (t1 - t0);
        slowest = std::min(slowest, rate);
        total += rate;
        char one[32];
        snprintf(one, sizeof one, "%s%.2f", rates.empty() ? "" : ",", rate);
        rates += one;
    }
    for (stream_t* s : streams)
        stop(s);
    velmor_shutdown();
    printf("RESULT cpu=%.2f slowest=%.2f mean=%.2f dropped=%ld replaced=%ld rates=%s\n", 100 * (c1 - c0) / (t1 - t0),
           slowest, total / static_cast<double>(std::max<size_t>(urls.size(), 1)), dropped, replaced, rates.c_str());
    return 0;
}

// One decoder thread on the clip held in memory: FFmpeg's decoder, then
// libjpeg-turbo at full size and reduced to 1/2 and 1/4.
int cmd_jpeg(const char* clip)
{
    input_t in;
    if (!open_input(in, clip, nullptr, 0, 1, FF_THREAD_SLICE)) {
        printf("RESULT error=open\n");
        return 1;
    }
    std::vector<AVPacket*> packets = video_packets(in);
    AVFrame* pic = av_frame_alloc();
    const int w = in.dec->width > 0 ? in.dec->width : 640, h = in.dec->height > 0 ? in.dec->height : 480;
    printf("RESULT decoder=ffmpeg");
    double c0 = cpu_s();
    long n = 0;
    for (AVPacket* p : packets) {
        avcodec_send_packet(in.dec, p);
        while (avcodec_receive_frame(in.dec, pic) >= 0) {
            ++n;
            av_frame_unref(pic);
        }
    }
    printf(" rate=%.1f\n", static_cast<double>(n) / (cpu_s() - c0));
    jpeg_decoder_ptr dec = jpeg_decoder_new();
    for (int div : {1, 2, 4}) {
        jpeg_target_t target;
        target.winw = div == 1 ? 0 : (w + div - 1) / div;
        target.winh = div == 1 ? 0 : (h + div - 1) / div;
        int fw = 0, fh = 0;
        n = 0;
        c0 = cpu_s();
        for (AVPacket* p : packets)
            n += jpeg_decode(dec.get(), p->data, p->size, target, pic, &fw, &fh) ? 1 : 0;
        printf("RESULT decoder=turbo-1/%d rate=%.1f refused=%ld\n", div, static_cast<double>(n) / (cpu_s() - c0),
               static_cast<long>(packets.size()) - n);
        av_frame_unref(pic);
    }
    av_frame_free(&pic);
    for (AVPacket*& p : packets)
        av_packet_free(&p);
    return 0;
}


// The reader's decoder for a W x H window, opened as `play -s W H` opens it
// (full: with -d skip_loop_filter=default).
struct tile_decoder_t {
    stream_t* s;
    video_decoder_t d;
    tile_decoder_t(const char* clip, const AVCodecParameters* par, int w, int h, bool full)
    {
        stream_settings_t set;
        set.w = w;
        set.h = h;
        if (full)
            set.decoder_options = {"skip_loop_filter=default"};
        s = stream_new(full ? "full" : "tile", clip, set);
        if (decoder_open(s, par, &d) != 0)
            exit(1);
    }
    ~tile_decoder_t() { stream_free(s); }
    // Sends a packet (null: the end) as the reader does; each picture to `got`.
    template <typename F> void decode(const AVPacket* p, AVFrame* pic, F got)
    {
        decoder_fit_window(&d, s);
        avcodec_send_packet(d.ctx.get(), p);
        while (avcodec_receive_frame(d.ctx.get(), pic) >= 0) {
            got(pic);
            av_frame_unref(pic);
        }
    }
};

// CPU per picture of each decoder over the clip in memory (the best of
// three runs, taken in turn), then the two decoded side by side: each
// picture scaled to W x H RGB24 by point, bilinear and area sampling, and
// the mean absolute difference per channel (the worst channel; over the
// clip and in the worst picture).
int cmd_tile(int w, int h, const char* clip)
{
    threads_init();
    monitor_init(&ffmpeg_mon);
    input_t in;
    if (!open_input(in, clip, nullptr, 0, 1, FF_THREAD_SLICE)) {
        printf("RESULT error=open\n");
        return 1;
    }
    const AVCodecParameters* par = in.fmt->streams[in.video]->codecpar;
    std::vector<AVPacket*> packets = video_packets(in);
    AVFrame* pic = av_frame_alloc();
    double best[2] = {1e9, 1e9};
    long pictures = 0;
    for (int run = 0; run < 6; ++run) {
        tile_decoder_t dec(clip, par, w, h, run % 2 == 0);
        long n = 0;
        const double c0 = cpu_s();
        for (const AVPacket* p : packets)
            dec.decode(p, pic, [&](AVFrame*) { ++n; });
        dec.decode(nullptr, pic, [&](AVFrame*) { ++n; });
        best[run % 2] = std::min(best[run % 2], (cpu_s() - c0) * 1e3 / static_cast<double>(std::max(n, 1L)));
        pictures = n;
    }
    printf("RESULT pictures=%ld full_ms=%.3f tile_ms=%.3f\n", pictures, best[0], best[1]);

    constexpr std::pair<const char*, int> scalers[] = {{"point", SWS_POINT}, {"bilinear", SWS_BILINEAR}, {"area", SWS_AREA}};
    tile_decoder_t full(clip, par, w, h, true), tile(clip, par, w, h, false);
    std::vector<std::vector<uint8_t>> shown;  // full's pictures, scaled, until tile's come
    struct diff_t {
        double sum[3] = {};
        double worst = 0;
        long n = 0;
    } diff[3];
    auto scaled = [&](const AVFrame* f, int k) {
        std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
        SwsContext* sws = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), w, h,
                                         AV_PIX_FMT_RGB24, scalers[k].second, nullptr, nullptr, nullptr);
        uint8_t* dst[4] = {rgb.data()};
        const int stride[4] = {w * 3};
        sws_scale(sws, f->data, f->linesize, 0, f->height, dst, stride);
        sws_freeContext(sws);
        return rgb;
    };
    for (size_t i = 0; i <= packets.size(); ++i) {
        const AVPacket* p = i < packets.size() ? packets[i] : nullptr;
        full.decode(p, pic, [&](AVFrame* f) {
            for (int k = 0; k < 3; ++k)
                shown.push_back(scaled(f, k));
        });
        tile.decode(p, pic, [&](AVFrame* f) {
            for (int k = 0; k < 3 && !shown.empty(); ++k) {
                const std::vector<uint8_t> a = std::move(shown.front()), b = scaled(f, k);
                shown.erase(shown.begin());
                double sum[3] = {};
                for (size_t j = 0; j < a.size(); ++j)
                    sum[j % 3] += std::abs(a[j] - b[j]);
                const double px = static_cast<double>(w) * h;
                for (int c = 0; c < 3; ++c)
                    diff[k].sum[c] += sum[c] / px;
                diff[k].worst = std::max({diff[k].worst, sum[0] / px, sum[1] / px, sum[2] / px});
                diff[k].n += 1;
            }
        });
    }
    for (int k = 0; k < 3; ++k) {
        const double n = static_cast<double>(std::max(diff[k].n, 1L));
        printf("RESULT scaler=%s pictures=%ld mad_r=%.3f mad_g=%.3f mad_b=%.3f worst_picture=%.3f\n", scalers[k].first,
               diff[k].n, diff[k].sum[0] / n, diff[k].sum[1] / n, diff[k].sum[2] / n, diff[k].worst);
    }
    av_frame_free(&pic);
    for (AVPacket*& p : packets)
        av_packet_free(&p);
    return 0;
}

// Live streams read and decoded as the reader decodes them for W x H
// windows, one thread each (the program's, which the FFmpeg monitor needs),
// and nothing drawn: once every stream has pictures, the process's CPU
// (share of one core) and each stream's pictures per second over SECS.
struct decode_job_t {
    const char* url;
    int w, h;
    const std::atomic<bool>* stop;
    std::atomic<long> pictures{0};
    thread_t thread;
};

void* decode_stream(void* arg)
{
    decode_job_t* job = static_cast<decode_job_t*>(arg);
    input_t in;
    if (!open_input(in, job->url, nullptr, 0, 1, FF_THREAD_SLICE))
        return nullptr;
    tile_decoder_t dec(job->url, in.fmt->streams[in.video]->codecpar, job->w, job->h, false);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* pic = av_frame_alloc();
    while (!*job->stop && av_read_frame(in.fmt, pkt) >= 0) {
        if (pkt->stream_index == in.video)
            dec.decode(pkt, pic, [&](AVFrame*) { job->pictures += 1; });
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_frame_free(&pic);
    return nullptr;
}

int cmd_decode(double secs, int w, int h, const std::vector<const char*>& urls)
{
    threads_init();
    monitor_init(&ffmpeg_mon);
    avformat_network_init();
    std::atomic<bool> stop{false};
    std::vector<decode_job_t> jobs(urls.size());
    for (size_t i = 0; i < urls.size(); ++i) {
        jobs[i].url = urls[i];
        std::tie(jobs[i].w, jobs[i].h, jobs[i].stop) = std::tuple(w, h, &stop);
        thread_init(&jobs[i].thread, "decode");
        thread_start(&jobs[i].thread, decode_stream, &jobs[i]);
    }
    auto all_decoding = [&] {
        return std::all_of(jobs.begin(), jobs.end(), [](const decode_job_t& j) { return j.pictures >= 25; });
    };
    for (double until = now_s() + 30; now_s() < until && !all_decoding();)
        usleep(20000);
    std::vector<long> p0;
    for (const decode_job_t& j : jobs)
        p0.push_back(j.pictures);
    const double t0 = now_s(), c0 = cpu_s();
    usleep(static_cast<useconds_t>(secs * 1e6));
    const double t1 = now_s(), c1 = cpu_s();
    std::string rates;
    for (size_t i = 0; i < jobs.size(); ++i) {
        char one[32];
        snprintf(one, sizeof one, "%s%.2f", i == 0 ? "" : ",", static_cast<double>(jobs[i].pictures - p0[i]) / (t1 - t0));
        rates += one;
    }
    stop = true;
    for (decode_job_t& j : jobs) {
        thread_join(&j.thread);
        thread_done(&j.thread);
    }
    printf("RESULT cpu=%.2f rates=%s\n", 100 * (c1 - c0) / (t1 - t0), rates.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    av_log_set_level(AV_LOG_ERROR);
    if (argc < 3)
        usage();
    std::string mode = argv[1];
    const AVInputFormat* fmt = nullptr;
    int fpsprobe = 0;
    int i = 2;
    while (i + 1 < argc && argv[i][0] == '-') {
        if (strcmp(argv[i], "-f") == 0)
            fmt = find_format(argv[i + 1]);
        else if (strcmp(argv[i], "-fpsprobe") == 0)
            fpsprobe = atoi(argv[i + 1]);
        else
            usage();
        i += 2;
    }
    auto urls = [&](int skip) { return std::vector<const char*>(argv + i + skip, argv + argc); };
    if (mode == "throughput" && argc - i >= 3)
        return cmd_throughput(fmt, atoi(argv[i]), atoi(argv[i + 1]), urls(2));
    if (mode == "first" && argc - i == 1)
        return cmd_first(fmt, argv[i]);
    if (mode == "open" && argc - i == 1)
        return cmd_open(fmt, fpsprobe, argv[i]);
    if (mode == "threads" && argc - i == 1)
        return cmd_threads(argv[i]);
    if (mode == "live" && argc - i >= 4)
        return cmd_live(fmt, atof(argv[i]), atoi(argv[i + 1]), atoi(argv[i + 2]), urls(3));
    if (mode == "jpeg" && argc - i == 1)
        return cmd_jpeg(argv[i]);
    if (mode == "decode" && argc - i >= 4)
        return cmd_decode(atof(argv[i]), atoi(argv[i + 1]), atoi(argv[i + 2]), urls(3));
    if (mode == "tile" && argc - i == 3)
        return cmd_tile(atoi(argv[i]), atoi(argv[i + 1]), argv[i + 2]);
    usage();
}
