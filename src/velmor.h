// Types shared by the reader, the renderer and the commands: the stream
// record, the pool frame and the status icons; with shared.h, the global
// surface, the clock and the FFmpeg monitor with owners for FFmpeg's objects.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "collections.h"
#include "fbuffer.h"
#include "icon.h"
#include "shared.h"
#include "threads.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

enum stream_state_e : int {
    SS_CREATING = 0,
    SS_CONNECTING = 1,
    SS_CONNECT_ERROR = 2,
    SS_CONNECTED = 3,
    SS_RECONNECTING = 4,
    SS_STOPPED = 5,
};

// The name `list` and `stats` show for a state; "UNKNOWN" outside the table.
constexpr const char* stream_state_name(int state)
{
    constexpr const char* names[] = {
        "CREATING", "CONNECTING", "CONNECT_ERR", "CONNECTED", "RECONNECTING", "STOPPED",
    };
    const unsigned k = static_cast<unsigned>(state);
    return k < sizeof names / sizeof names[0] ? names[k] : "UNKNOWN";
}

enum icon_e : int {
    I_NONE = 0,
    I_CONNECTING = 1,
    I_CONNECTED = 2,
    I_ERROR = 3,
    I_DELAY = 4,
};

// What `play` chooses for a stream. Copied into the record by stream_new and
// never changed afterwards, so every thread reads it without a lock.
struct stream_settings_t {
    const AVInputFormat* format = nullptr;  // forced input format, null = probe
    int x = 0;                              // window, surface pixels
    int y = 0;
    int w = 0;                              // 0 = the picture's own width
    int h = 0;
    int nozoom = 0;                         // picture at its own size, centred or cut
    int reconnect = 5;                      // seconds before a new attempt, <= 0: none
    int aspect = 0;                         // fit keeping the picture's aspect, black bars
    int page = 1;                           // the wall's page the stream is drawn on
    const AVCodec* decoder = nullptr;       // chosen decoder, null = the stream's default
    std::vector<std::string> input_options{};    // "key=value" for the input's open
    std::vector<std::string> decoder_options{};  // "key=value" for the decoder's open
    bool paced = false;                     // -t: each picture at its timestamp
    bool loop = false;                      // -l: from the start again at the end
    int max_lag_ms = 0;                     // -L: skip pictures beyond this lag, 0 = never
    std::vector<std::string> more_inputs{};  // played in turn after the first
};

// The counters of a stream as the render thread found them at one moment:
// rates over the last seconds come from these.
struct stats_sample_t {
    long long time;  // ms, 0 = none
    long decoded;
    long drawn;
    long long bytes;
};
struct stats_history_t {
    stats_sample_t samples[16];  // a ring, one every half second
    unsigned next;
};

// One playing stream, grouped by the thread that writes each part.
struct stream_t {
    // Registry and identity: the main thread, before the reader starts and
    // after it has ended.
    list_item_t dlink;  // application registry; first field
    char* name;
    char* inputfile;
    stream_settings_t settings;
    thread_t reader;

    // Requests: set by the main thread, read by the reader and by FFmpeg's
    // interrupt callback on any thread. Atomic.
    std::atomic<int> force_reconnect;
    std::atomic<int> terminate;
    std::atomic<int> render_off;

    // Watchdog: armed and disarmed by the reader, read by the render thread's
    // idle pass and the interrupt callback. Atomic.
    std::atomic<long long> unblock_time;      // deadline, 0 = none armed
    std::atomic<int> block_timeout_told;      // the callback has reported it
    std::atomic<int> overread;                // the callback found too many bytes without a picture

    // Reader state: written by the reader thread only; the others read the
    // atomic ones.
    std::atomic<stream_state_e> state;
    int framew;  // geometry of the last picture, for the reader's own message
    int frameh;
    int framepixfmt;
    // Read by the interrupt callback only when it runs on the reader thread.
    AVFormatContext* input;      // the open input, null while none is
    int64_t bytes_at_picture;    // the input's byte count at the last picture
    int64_t read_limit;          // bytes without a picture that lose the source
    int64_t unpictured;          // read without a picture, as counted in the total of all streams

    // Renderer state: the render thread, and the stream's reader while it
    // registers and unregisters (when the render thread does not touch it).
    list_item_t rdlink;                // registered streams; under the renderer's streams_mon
    struct render_stream_t* drawing;   // the renderer's own: scaler, icon background; null unregistered
    std::atomic<icon_e> current_icon;  // written under streams_mon
    std::atomic<long long> last_frame_time;

    // Wall: the window and label as play, `move`, `grid` and `label` last
    // set them. Written by the main thread under the renderer's streams_mon,
    // read by the render thread under it (after `layout_serial` changed) and
    // by the main thread.
    int win_x, win_y, win_w, win_h;
    std::string label;
    std::atomic<unsigned> layout_serial;
    // The window's size again, w << 32 | h, for the reader, which decodes for
    // it and takes no monitor. Written with the window.
    std::atomic<unsigned long long> win_size;
    // The part of the surface the window covered as its reader unregistered,
    // x, y, w, h (0 x 0: nothing to clear); written by the reader, read by
    // `stop` after the join.
    long long tile[4];

    // Pictures in the renderer's hands (waiting or being drawn). Atomic; it
    // changes under the pool's monitor, which its waiter waits on.
    std::atomic<int> frames_in_progress;

    // Statistics: each written by one thread, read by anyone. Atomic.
    std::atomic<long> pictures_decoded;  // handed to the renderer
    std::atomic<long> pictures_drawn;
    std::atomic<long> pictures_dropped;   // not decoded, or thrown away, for want of a pool frame
    std::atomic<long> pictures_replaced;  // replaced by a newer one before being drawn (-t: by the reader)
    // For `stats`, beside them: written by the reader, except `history`.
    std::atomic<long> connects;                // connection attempts since play
    std::atomic<long long> input_bytes;        // packet bytes read since play
    std::atomic<long long> connected_at;       // first picture of this connection (ms), 0 = none
    std::atomic<const char*> codec_name;       // the decoder's (static) name, null = none yet
    std::atomic<unsigned long long> picture_format;  // stats_pack_format of the last picture, 0 = none
    std::atomic<long> loops;                   // times the input (or list) began again
    std::atomic<long long> lag_ms;             // behind the source's timeline
    std::atomic<long> late_dropped;            // packets skipped for -L
    stats_history_t history;                   // the render thread's samples; under the stats lock
    char last_error[AV_ERROR_MAX_STRING_SIZE];  // FFmpeg's text of the last failure; under the stats lock
};

// One frame of the renderer's pool.
struct frame_t {
    list_item_t dlink;  // free or ready list; first field
    stream_t* stream;   // owner of the picture while it waits or is drawn
    AVFrame* frame;
};

// Application entry: the surface named by the arguments, the console's
// input loop, the exit status.
int velmor_main(int argc, char** argv);
// Start-up without the input loop: the surface becomes fb0, then the FFmpeg
// monitor, the network layer, the commands and the renderer; and shut-down
// in its order (every registered stream, the renderer, the surface, the
// monitor). A harness that starts streams itself stops them before
// velmor_shutdown. Pictures are point-sampled (the tests' pixels) unless
// `program_filter` asks for the program's default --scale filter.
void velmor_start(fbuffer_t* surface, bool program_filter = false);
void velmor_shutdown(void);
