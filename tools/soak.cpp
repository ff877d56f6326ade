// Soak run of the reader and render threads: eight real-time MJPEG streams
// from local servers (five raw over TCP, three multipart over HTTP) play
// into an 800x600 memory surface for a given time. Every few minutes one
// source starts to misbehave for a while, another stream is asked to
// reconnect and a third is stopped and played again. Each minute prints the
// resident memory, the thread count and the pictures drawn per stream.
//
//   velmor_soak MINUTES FAULT_PERIOD_SECONDS LOG_FILE
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media.h"
#include "reader.h"
#include "velmor.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;

long status_field(const char* key)
{
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + strlen(key));
    return -1;
}

struct Source {
    std::unique_ptr<PyServer> server;
    bool http;
    std::string url;
    stream_t* s = nullptr;
    long drawn_before = 0;  // of earlier lives of the stream
    long last_minute = 0;
    Clock::time_point heal_at = Clock::time_point::max();
};

constexpr const char* tcp_faults[] = {"silent", "stall", "random", "truncated", "corrupt", "cut", "reset"};
constexpr const char* http_faults[] = {"garbage", "longlength", "shortlength", "unauthorized"};

void play(Source& src, int index)
{
    char name[16];
    snprintf(name, sizeof name, "soak%d", index);
    stream_settings_t settings;
    settings.format = av_find_input_format(src.http ? "mpjpeg" : "mjpeg");
    settings.x = (index % 4) * 200;
    settings.y = (index / 4) * 300;
    settings.w = 200;
    settings.h = 150;
    src.s = stream_new(name, src.url.c_str(), settings);
    stream_start(src.s);
}

void stop(Source& src)
{
    stream_stop(src.s);
    src.drawn_before += src.s->pictures_drawn.load();
    stream_free(src.s);
    src.s = nullptr;
}

long drawn(const Source& src)
{
    return src.drawn_before + src.s->pictures_drawn.load();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s MINUTES FAULT_PERIOD_SECONDS LOG_FILE\n", argv[0]);
        return 2;
    }
    const int minutes = atoi(argv[1]);
    const int period = std::max(10, atoi(argv[2]));
    // Figures on the original standard output; the modules' messages, which
    // go to standard output too, into the log.
    FILE* out = fdopen(dup(1), "w");
    int log = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out == nullptr || log < 0) {
        perror(argv[3]);
        return 2;
    }
    dup2(log, 1);
    dup2(log, 2);
    close(log);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(out, nullptr, _IOLBF, 0);

    threads_init();
    av_log_set_level(AV_LOG_ERROR);
    velmor_start(fb_open_fake(800, 600));

    const std::string clip = clip_mjpeg();
    std::vector<Source> sources(8);
    for (int i = 0; i < 8; ++i) {
        Source& src = sources[i];
        src.http = i >= 5;
        src.server = std::make_unique<PyServer>(src.http ? "httpgood" : "good", clip, 0, 0, 25);
        src.url = std::string(src.http ? "http" : "tcp") + "://127.0.0.1:" + std::to_string(src.server->port()) +
                  (src.http ? "/" : "");
        play(src, i);
    }
    fprintf(out, "soak: 8 streams at 25 pictures/s for %d min, a fault every %d s\n", minutes, period);
    fprintf(out, "%4s %9s %7s  %s\n", "min", "rss_kib", "threads", "pictures drawn in the minute, per stream");

    const auto start = Clock::now();
    auto next_minute = start + std::chrono::minutes(1);
    auto next_fault = start + std::chrono::seconds(period);
    int round = 0;
    long rss_first = -1, rss_last = -1;
    for (int minute = 1; minute <= minutes;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto now = Clock::now();
        for (int i = 0; i < 8; ++i) {
            Source& src = sources[i];
            if (now < src.heal_at)
                continue;
            src.server->control(src.http ? "mode httpgood" : "mode good");
            src.server->control("close");
            fprintf(out, "     source %d is good again\n", i);
            src.heal_at = Clock::time_point::max();
        }
        if (now >= next_fault) {
            const int faulty = round % 8;
            Source& src = sources[faulty];
            const char* mode = src.http ? http_faults[round % 4] : tcp_faults[round % 7];
            src.server->control(std::string("mode ") + mode);
            src.server->control("close");
            const int reconnected = (round + 3) % 8, replayed = (round + 5) % 8;
            stream_force_reconnect(sources[reconnected].s);
            stop(sources[replayed]);
            play(sources[replayed], replayed);
            fprintf(out, "     source %d: %s for 60 s; stream %d reconnects, stream %d stopped and played again\n",
                    faulty, mode, reconnected, replayed);
            src.heal_at = now + std::chrono::seconds(60);
            next_fault = now + std::chrono::seconds(period);
            ++round;
        }
        if (now >= next_minute) {
            const long rss = status_field("VmRSS:");
            if (rss_first < 0)
                rss_first = rss;
            rss_last = rss;
            char per_stream[256];
            int used = 0;
            for (Source& src : sources) {
                const long d = drawn(src);
                used += snprintf(per_stream + used, sizeof per_stream - used, " %5ld", d - src.last_minute);
                src.last_minute = d;
            }
            fprintf(out, "%4d %9ld %7ld %s\n", minute, rss, status_field("Threads:"), per_stream);
            ++minute;
            next_minute += std::chrono::minutes(1);
        }
    }

    for (Source& src : sources)
        stop(src);
    velmor_shutdown();
    fprintf(out, "soak: rss after minute 1 %ld KiB, at the end %ld KiB, growth %ld KiB; threads after stop %ld\n",
            rss_first, rss_last, rss_last - rss_first, status_field("Threads:"));
    return 0;
}
