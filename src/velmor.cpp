#include "velmor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "commands.h"
#include "console.h"
#include "drm_output.h"
#include "journal.h"
#include "label.h"
#include "rotate.h"
#include "render.h"
#include "service.h"
#include "watchdog.h"

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
    journal_ffmpeg_level journal(level);
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

// The screen the program draws on, from start-up to shut-down. Its holder
// is never destroyed: a process that exits without shutting down (a fuzzer)
// still has a render thread presenting on it.
static std::unique_ptr<output_t>& screen = *new std::unique_ptr<output_t>;

// --font, else Debian's DejaVu Sans.
static const char* font_path = nullptr;
// --scale; the program's default is set by velmor_main, so that a surface
// started by velmor_start alone (the tests') keeps libswscale's point sampling.
static scale_e scale_mode = SCALE_POINT;
static constexpr scale_e DEFAULT_SCALE = SCALE_BILINEAR;
// --rotate's degrees.
static int rotate_degrees = 0;

static void velmor_start_on(std::unique_ptr<output_t> output)
{
    // Before the render thread, which alone uses the font afterwards. Labels
    // are off without one; a font asked for by name says why at once.
    std::string why;
    if (!label_font_open(font_path != nullptr ? font_path : DEFAULT_FONT, &why) && font_path != nullptr)
        fprintf(stderr, "velmor: %s: labels off\n", why.c_str());
    screen = std::move(output);
    fb0 = screen->surface();
    monitor_init(&ffmpeg_mon);
    // Formats and codecs need no registration any more; the network layer
    // still wants its start-up. Interrupt callbacks are set per input.
    avformat_network_init();
    av_log_set_callback(redacting_log_callback);
    velmor_register_commands();
    render_settings_t settings;
    settings.output = screen.get();
    settings.idle_hook = stream_check;
    settings.scale = scale_mode;
    settings.rotate = rotate_degrees;
    render_start(settings);
}

void velmor_start(fbuffer_t* surface, bool program_filter)
{
    assert(surface != nullptr);
    scale_mode = program_filter ? DEFAULT_SCALE : SCALE_POINT;
    velmor_start_on(output_adopt(surface));
}

void velmor_shutdown(void)
{
    cmd_stopall("stopall", 0, nullptr);
    render_stop();
    label_font_close();
    console_done();
    screen.reset();
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

// The framebuffer device: --fb's, else /dev/fb0 or /dev/fb/0, else (unless
// one was named) a memory surface nobody sees.
static std::unique_ptr<output_t> open_fbdev(const char* named)
{
    if (named != nullptr) {
        // A device asked for by name is not replaced by one nobody sees.
        std::unique_ptr<output_t> output = output_open_fbdev(named);
        if (output == nullptr)
            fprintf(stderr, "velmor_main: cannot use framebuffer device '%s'\n", named);
        return output;
    }
    std::unique_ptr<output_t> output = output_open_fbdev("/dev/fb0");
    if (output == nullptr)
        output = output_open_fbdev("/dev/fb/0");
    if (output == nullptr) {
        fprintf(stderr, "velmor_main: no framebuffer device: drawing into an 800x600 memory surface nobody sees\n");
        output = output_open_memory(800, 600);
    }
    return output;
}

// The output --output asks for; null after a message on standard error.
static std::unique_ptr<output_t> open_output(const service_options_t& o)
{
    const std::string_view kind = o.output != nullptr ? o.output : "fb";
    if (kind == "memory")
        return output_open_memory(800, 600);
    if (kind == "fb")
        return open_fbdev(o.fb);
    drm_request_t request;
    request.card = o.card;
    request.connector = o.connector;
    request.mode = o.mode;
    std::string why;
    if (std::unique_ptr<output_t> output = output_open_drm(request, &why))
        return output;
    if (kind == "drm") {
        fprintf(stderr, "velmor_main: cannot use DRM: %s\n", why.c_str());
        return nullptr;
    }
    fprintf(stderr, "velmor_main: no DRM output (%s): trying the framebuffer device\n", why.c_str());
    return open_fbdev(o.fb);
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
    font_path = options.font;
    scale_mode = DEFAULT_SCALE;
    if (options.scale != nullptr)
        scale_from_name(options.scale, &scale_mode);
    if (options.rotate != nullptr)
        rotate_from_name(options.rotate, &rotate_degrees);
    std::unique_ptr<output_t> output = open_output(options);
    if (output == nullptr) {
        service_done();
        return 1;
    }
    velmor_start_on(std::move(output));
    service_run();
    velmor_shutdown();
    service_done();
    return 0;
}
