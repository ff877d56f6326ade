// Renderer: the pool of frames that carries decoded pictures from the readers
// to the render thread, the registration of streams with their status icons,
// and the render thread that scales each picture into its window on fb0.
#pragma once

#include <vector>

#include "velmor.h"

// A pool of frames: free ones, and handed-over pictures waiting to be drawn
// (at most one per stream, oldest first). Its monitor guards both lists,
// every frame's `stream` and the streams' frames_in_progress.
struct frame_pool_t {
    monitor_t mon;
    list_t free_frames;
    list_t ready_frames;
    int size;  // frames made; the pool only grows
};

void frame_pool_init(frame_pool_t* pool, int frames);
// Every frame must be back in one of the lists.
void frame_pool_done(frame_pool_t* pool);
// Makes frames until the pool holds at least `frames`.
void frame_pool_grow(frame_pool_t* pool, int frames);
// A free frame, else the stream's own waiting one taken back, else null.
frame_t* frame_pool_get_free(frame_pool_t* pool, stream_t* stream);
// Gives back a frame that holds no picture for the renderer.
void frame_pool_put_free(frame_pool_t* pool, frame_t* frame);
// Hands a complete picture over; it replaces the stream's waiting one.
void frame_pool_hand_over(frame_pool_t* pool, stream_t* stream, frame_t* frame);
// The oldest waiting picture, waiting at most wait_ms for one; null if none.
frame_t* frame_pool_take_ready(frame_pool_t* pool, long wait_ms);
// Gives back a picture taken with frame_pool_take_ready.
void frame_pool_give_back(frame_pool_t* pool, frame_t* frame);
// Waits until the pool holds no picture of the stream.
void frame_pool_wait_released(frame_pool_t* pool, stream_t* stream);

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
// CLOCK_MONOTONIC time (ms) of the render loop's last pass (it passes at
// least every 100 ms while alive), 0 while no render thread runs.
long long render_last_pass_ms(void);

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
