// Renderer: the registration of streams with their status icons, and the
// render thread that takes pictures from the frame pool and scales each into
// its window on the output.
#pragma once

#include <string>
#include <vector>

#include "frame_pool.h"
#include "output.h"
#include "scaler.h"
#include "velmor.h"

// The renderer's own pool, for the readers.
frame_t* render_get_free_frame(stream_t* stream);
void render_put_free_frame(frame_t* frame);
void render_frame(stream_t* stream, frame_t* frame);

// Registration, on the stream's reader thread while the render thread runs.
void render_on_stream_start(stream_t* stream);
void render_on_stream_stop(stream_t* stream);

// How often the idle pass runs, and the clock it reads; where pictures go;
// and the work the idle pass does for each registered stream besides its
// status icon (the entry gives it the watchdog's check).
struct render_settings_t {
    long long idle_period_ms = 500;
    long long (*clock)(void) = current_time_in_millis;
    output_t* output = nullptr;  // null: fb0, as it is at each picture
    void (*idle_hook)(stream_t* stream, long long now) = nullptr;
    scale_e scale = SCALE_POINT;  // the program takes --scale's
    int rotate = 0;  // --rotate: 0, 90, 180 or 270 degrees clockwise on the device
};
void render_start(const render_settings_t& settings = {});
void render_stop(void);
void* render_thread(void* arg);

// Pictures the render thread has drawn since the program started.
long render_pictures_drawn(void);
// CLOCK_MONOTONIC time (ms) of the render loop's last pass (it passes at
// least every 100 ms while alive), 0 while no render thread runs.
long long render_last_pass_ms(void);
// What the output adds to the `stats` line.
std::string render_output_text(void);

// The wall, from the main thread: a stream's window and label (the render
// thread clears the old place and draws at the new one with the next
// picture or idle pass); a place to blacken; the surface's size. The render
// thread shows the page pages_tick gives (the screen is cleared when it
// changes), cycling through the pages of the registered streams.
void render_set_window(stream_t* stream, int x, int y, int w, int h);
void render_set_label(stream_t* stream, const std::string& text);
void render_clear(const long long rect[4]);
void render_screen_size(int* w, int* h);

// Has the render thread copy the surface between two pictures, so that the
// copy holds whole pictures only. False when it did not within timeout_ms.
bool render_copy_surface(surface_copy_t* out, long timeout_ms);
