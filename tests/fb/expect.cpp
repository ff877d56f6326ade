// The picture a test-fb run must show: its command file's windows played on a
// memory surface of the device's layout (FORMAT: rgb565le, bgr24, ...), as a
// binary PPM; the clips under /clips/ are read from CLIPS.
//
//   fb_expect CPU_FLAGS FORMAT WIDTH HEIGHT COMMANDS CLIPS OUT.ppm
//   fb_expect --cpu-flags
//
// FFmpeg's SIMD converters round and dither unlike its C ones: the picture is
// painted with the features that the test machine, running the second form, has.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "console.h"
#include "velmor.h"

namespace {

std::string ppm(const fbuffer_t* fb)
{
    std::string out = "P6\n" + std::to_string(fb->vinfo.xres) + " " + std::to_string(fb->vinfo.yres) + "\n255\n";
    for (uint32_t y = 0; y < fb->vinfo.yres; ++y)
        for (uint32_t x = 0; x < fb->vinfo.xres; ++x) {
            uint32_t v = 0;
            memcpy(&v, fb->screen + y * fb->finfo.line_length + x * fb->bytes_per_pixel,
                   static_cast<size_t>(fb->bytes_per_pixel));
            for (const fb_bitfield* c : {&fb->vinfo.red, &fb->vinfo.green, &fb->vinfo.blue})
                out += static_cast<char>(((v >> c->offset) & ((1u << c->length) - 1)) << (8 - c->length));
        }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--cpu-flags") == 0) {
        printf("%#x\n", static_cast<unsigned>(av_get_cpu_flags()));
        return 0;
    }
    if (argc != 8) {
        fprintf(stderr, "usage: %s CPU_FLAGS FORMAT WIDTH HEIGHT COMMANDS CLIPS OUT.ppm\n", argv[0]);
        return 2;
    }
    av_force_cpu_flags(static_cast<int>(strtoul(argv[1], nullptr, 0)));
    ++argv;
    const AVPixelFormat format = av_get_pix_fmt(argv[1]);
    std::vector<std::string> lines;
    std::ifstream commands(argv[4]);
    for (std::string l; std::getline(commands, l);) {
        if (l.empty() || l[0] == '#')
            continue;
        if (size_t at = l.find(" /clips/"); at != std::string::npos)
            l.replace(at + 1, 7, std::string(argv[5]) + "/");
        lines.push_back(l);
    }

    // The program's messages go through a pipe: ready when every stream has
    // handed over its first 250 pictures, as on the test machine.
    int out[2];
    if (pipe(out) != 0)
        return 1;
    fflush(stdout);
    const int saved_stdout = dup(1);
    dup2(out[1], 1);
    close(out[1]);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::atomic<int> ready{0};
    std::thread watch([&] {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) {
            text.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = text.find('\n')) != std::string::npos; text.erase(0, nl + 1))
                if (text.compare(0, nl, "reader_thread: readed 250 frames") == 0)
                    ++ready;
        }
    });

    av_log_set_level(AV_LOG_ERROR);
    threads_init();
    fbuffer_t* fb = fb_open_fake_format(atoi(argv[2]), atoi(argv[3]), format);
    velmor_start(fb);
    int plays = 0;
    for (const std::string& l : lines) {
        console_exec(l.c_str());
        plays += l.rfind("play", 0) == 0;
    }
    // Then until two looks 200 ms apart see the same picture.
    bool ok = false;
    std::string last;
    for (int i = 0; i < 300 && !ok; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::string now = ppm(fb);
        ok = ready.load() >= plays && now == last;
        last = std::move(now);
    }
    ok = ok && (std::ofstream(argv[6], std::ios::binary) << last).good();
    velmor_shutdown();
    fflush(stdout);
    dup2(saved_stdout, 1);
    watch.join();
    if (!ok)
        fprintf(stderr, "fb_expect: the windows did not settle\n");
    return ok ? 0 : 1;
}
