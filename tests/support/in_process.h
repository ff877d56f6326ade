// The one set-up of a test program that runs the player's modules in its own
// process, as the entry does: the main thread registered, the FFmpeg monitor
// and network layer ready, FFmpeg's notes (RGB input, ...) kept quiet.
#pragma once

#include "velmor.h"

extern "C" {
#include <libavutil/log.h>
}

inline const bool in_process_ready =
    (threads_init(), monitor_init(&ffmpeg_mon), avformat_network_init(), av_log_set_level(AV_LOG_ERROR), true);
