// The one set-up of a test program that runs the player's modules in its own
// process, as the entry does: the main thread registered, the FFmpeg monitor
// and network layer ready, FFmpeg's notes (RGB input, ...) kept quiet.
#pragma once

#include "render.h"
#include "velmor.h"

extern "C" {
#include <libavutil/log.h>
}

inline const bool in_process_ready =
    (threads_init(), monitor_init(&ffmpeg_mon), avformat_network_init(), av_log_set_level(AV_LOG_ERROR), true);

// The render thread drawing on a w x h memory surface, for as long as this lives.
struct RenderedSurface {
    explicit RenderedSurface(int w, int h, AVPixelFormat format = AV_PIX_FMT_RGB565, render_settings_t set = {})
    {
        fb0 = fb_open_fake_format(w, h, format);
        render_start(set);
    }
    ~RenderedSurface() { render_stop(), fb_close(fb0), fb0 = nullptr; }
};
