// Types and helpers shared by the reader, the renderer and the application:
// the stream record, the pool frame, the status icons, the global surface and
// the FFmpeg monitor.
#pragma once

#include <atomic>

#include "collections.h"
#include "fbuffer.h"
#include "icon.h"
#include "threads.h"

extern "C" {
#include <libavformat/avformat.h>
}

struct SwsContext;
struct AVFrame;

enum stream_state_e : int {
    SS_CREATING = 0,
    SS_CONNECTING = 1,
    SS_CONNECT_ERROR = 2,
    SS_CONNECTED = 3,
    SS_RECONNECTING = 4,
    SS_STOPPED = 5,
};

enum icon_e : int {
    I_NONE = 0,
    I_CONNECTING = 1,
    I_CONNECTED = 2,
    I_ERROR = 3,
    I_DELAY = 4,
};

// One playing stream. The atomic fields are shared between the main thread,
// the stream's reader and the render thread without a lock.
struct stream_t {
    list_item_t dlink;                  // application registry; first field
    monitor_t lock;                     // guards unblock_time only
    long long unblock_time;             // block-timeout deadline, 0 = none
    char* name;
    std::atomic<stream_state_e> state;  // written by the reader only
    thread_t reader;
    char* inputfile;
    const AVInputFormat* format;        // forced input format, null = probe
    int framew;
    int frameh;
    int framepixfmt;
    int reconnect;                      // seconds before a new attempt
    std::atomic<int> force_reconnect;
    std::atomic<int> terminate;
    std::atomic<int> render_off;
    list_item_t rdlink;                 // renderer's list of active streams
    int x;
    int y;
    int w;
    int h;
    int nozoom;
    struct SwsContext* swsctx;
    int psrcw;
    int psrch;
    int pdstw;
    int pdsth;
    int pfmt;
    icon_t background;
    int background_valid;
    icon_e current_icon;
    long long last_frame_time;
    std::atomic<int> frames_in_progress;
    std::atomic<long> frames_drawn;     // pictures the render thread set out to draw
};

// One frame of the renderer's pool.
struct frame_t {
    list_item_t dlink;  // free_frames or ready_frames; first field
    stream_t* stream;
    AVFrame* frame;
};

// --- velmor module: process-wide state and helpers ---
extern fbuffer_t* fb0;
extern monitor_t ffmpeg_mon;  // made by velmor_start (tests make it themselves)

long long current_time_in_millis(void);
void ffmpeg_lock(void);
void ffmpeg_unlock(void);

// --- reader module: stream record, watchdog and life cycle ---
const char* stream_get_state_name(stream_t* stream);
void set_block_timeout(stream_t* stream, long timeout_millis);
void clear_block_timeout(stream_t* stream);
void stream_check(stream_t* stream, long long now);
int stream_decode_interrupt_cb(stream_t* stream);
// FFmpeg's per-input interrupt callback; opaque is the stream.
int decode_interrupt_cb(void* opaque);

void stream_init(stream_t* stream, const char* name, const char* inputfile);
void stream_done(stream_t* stream);
void stream_start(stream_t* stream);
void stream_stop(stream_t* stream);
void stream_force_reconnect(stream_t* stream);
void* reader_thread(void* arg);

// --- render module: frame pool, registration, render thread ---
frame_t* render_get_free_frame(stream_t* stream);
void render_put_free_frame(stream_t* stream, frame_t* frame);
void render_frame(stream_t* stream, frame_t* frame);
void render_on_stream_start(stream_t* stream);
void render_on_stream_stop(stream_t* stream);
void render_start(void);
void render_stop(void);
void* render_thread(void* arg);

// Inspection and control for tests; the program itself never calls these.
struct render_stats_t {
    int free_count;      // frames in free_frames
    int ready_count;     // pictures in ready_frames
    int drawing;         // 1 while the render thread holds a picture
    int stream_ready;    // pictures of the given stream in ready_frames
    int stream_drawing;  // 1 while the render thread holds a picture of it
    int stream_in_progress;  // its frames_in_progress
    int scaler_builds;   // scaler (re)builds since render_start
    long pictures_handed;  // pictures handed over by readers since render_start
    long pictures_drawn;   // pictures drawn since render_start
};
// A consistent snapshot under the pool's monitor; stream may be null.
void render_get_stats(stream_t* stream, render_stats_t* stats);
// While set, the render thread leaves handed-over pictures waiting.
void render_hold_pictures(int hold);
// Runs one idle pass at `now` on the calling thread. From then on, until the
// next render_start, the render thread runs no idle pass of its own, so the
// caller alone decides the clock of the status icons.
void render_idle_for_test(long long now);

// --- velmor module: application entry ---
int velmor_main(int argc, char** argv);
// Start-up without the console's input loop: the surface becomes fb0, then
// the FFmpeg monitor, the network layer, the commands and the renderer; and
// the shut-down in its order (every registered stream, the renderer, the
// surface, the monitor). velmor_main runs the input loop between the two; a
// harness that starts streams itself stops them before velmor_shutdown.
void velmor_start(fbuffer_t* surface);
void velmor_shutdown(void);
// Initialises the console and registers `help` and the stream commands;
// velmor_main does it, and a harness that drives the console itself.
void velmor_register_commands(void);
