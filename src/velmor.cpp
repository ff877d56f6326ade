#include "velmor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "console.h"
#include "render.h"
#include "service.h"

extern "C" {
#include <libavformat/avformat.h>
}

// FFmpeg's own messages name URLs too (a refused connection, a stream's
// description): a line with a password goes out with *** in its place.
static void log_line(void* avcl, int level, const char* fmt, ...)
{
    va_list vl;
    va_start(vl, fmt);
    av_log_default_callback(avcl, level, fmt, vl);
    va_end(vl);
}

static void redacting_log_callback(void* avcl, int level, const char* fmt, va_list vl)
{
    if (level > av_log_get_level())
        return;
    char line[2048];
    va_list copy;
    va_copy(copy, vl);
    vsnprintf(line, sizeof line, fmt, copy);
    va_end(copy);
    if (strstr(line, "://") != nullptr && strchr(line, '@') != nullptr) {
        const std::string shown = url_redacted(line);
        if (shown != line) {
            log_line(avcl, level, "%s", shown.c_str());
            return;
        }
    }
    av_log_default_callback(avcl, level, fmt, vl);
}

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------
void velmor_start(fbuffer_t* surface)
{
    assert(surface != nullptr);
    fb0 = surface;
    monitor_init(&ffmpeg_mon);
    // Formats and codecs need no registration any more; the network layer
    // still wants its start-up. Interrupt callbacks are set per input.
    avformat_network_init();
    av_log_set_callback(redacting_log_callback);
    velmor_register_commands();
    render_start();
}

void velmor_shutdown(void)
{
    cmd_stopall("stopall", 0, nullptr);
    render_stop();
    console_done();
    fb_close(fb0);
    fb0 = nullptr;
    monitor_done(&ffmpeg_mon);
    avformat_network_deinit();
}

// Started with standard input, output or error closed, the next files
// opened (the wake-up pipe, the control socket) would take their numbers and
// get FFmpeg's messages: /dev/null holds them instead.
static void make_stdio_safe(void)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

int velmor_main(int argc, char** argv)
{
    make_stdio_safe();
    service_options_t options;
    const int usage = service_parse_args(argc, argv, &options);
    if (usage >= 0)
        return usage;
    if (!service_prepare(&options)) {
        service_done();
        return 2;
    }
    service_install_quit_signals();
    fbuffer_t* surface = nullptr;
    if (options.fb != nullptr) {
        // A device asked for by name is not replaced by one nobody sees.
        surface = fb_open(options.fb);
        if (surface == nullptr) {
            fprintf(stderr, "velmor_main: cannot use framebuffer device '%s'\n", options.fb);
            service_done();
            return 1;
        }
    }
    if (surface == nullptr)
        surface = fb_open("/dev/fb0");
    if (surface == nullptr)
        surface = fb_open("/dev/fb/0");
    if (surface == nullptr) {
        fprintf(stderr, "velmor_main: no framebuffer device: drawing into an 800x600 memory surface nobody sees\n");
        surface = fb_open_fake(800, 600);
    }
    velmor_start(surface);
    service_run();
    velmor_shutdown();
    service_done();
    return 0;
}
