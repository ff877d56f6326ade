#include "velmor.h"

#include <sys/time.h>

#include <cassert>

fbuffer_t* fb0;
monitor_t ffmpeg_mon;

long long current_time_in_millis(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void ffmpeg_lock(void)
{
    monitor_lock(&ffmpeg_mon);
}

void ffmpeg_unlock(void)
{
    monitor_unlock(&ffmpeg_mon);
}

int decode_interrupt_cb(void* opaque)
{
    stream_t* stream = static_cast<stream_t*>(opaque);
    assert(stream != nullptr);
    return stream_decode_interrupt_cb(stream);
}
