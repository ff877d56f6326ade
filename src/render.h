// Renderer: the pool of frames that carries decoded pictures from the readers
// to the render thread, the registration of streams with their status icons,
// and the render thread that scales each picture into its window on fb0.
#pragma once

#include <vector>

#include "frame_pool.h"
#include "velmor.h"

// The renderer's own pool, for the readers.
frame_t* render_get_free_frame(stream_t* stream);
void render_put_free_frame(frame_t* frame);
void render_frame(stream_t* stream, frame_t* frame);

// Registration, on the stream's reader thread while the render thread runs.
void render_on_stream_start(stream_t* stream);
void render_on_stream_stop(stream_t* stream);

// How often the idle pass (watchdog, status icons) runs, and the clock it
// reads; the program uses the defaults.
struct render_settings_t {
    long long idle_period_ms = 500;
    long long (*clock)(void) = current_time_in_millis;
};
void render_start(const render_settings_t& settings = {});
void render_stop(void);
void* render_thread(void* arg);

// Pictures the render thread has drawn since the program started.
long render_pictures_drawn(void);

// What the surface shows: its visible pixels in the device's layout, row
// after row without gaps.
struct surface_copy_t {
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    int bytespp = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
};
// Has the render thread copy the surface between two pictures, so that the
// copy holds whole pictures only. False when it did not within timeout_ms.
bool render_copy_surface(surface_copy_t* out, long timeout_ms);
