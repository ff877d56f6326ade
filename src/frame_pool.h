// The pool of frames that carries decoded pictures from the readers to the
// render thread.
#pragma once

#include <atomic>

#include "velmor.h"

// A pool of frames: free ones, and handed-over pictures waiting to be drawn
// (at most one per stream, oldest first). Its monitor guards both lists,
// every frame's `stream` and the streams' frames_in_progress.
// Like ffplay's packet queues, the pool can be aborted: its owner's stop sets
// `abort` under the monitor and notifies, and from then on every wait of the
// pool returns at once, so that no waiter depends on a signal to wake.
struct frame_pool_t {
    monitor_t mon;
    std::atomic<int> abort;  // set under mon; read without it too
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
// The oldest waiting picture, waiting at most wait_ms for one (not at all
// once the pool is aborted); null if none.
frame_t* frame_pool_take_ready(frame_pool_t* pool, long wait_ms);
// Gives back a picture taken with frame_pool_take_ready.
void frame_pool_give_back(frame_pool_t* pool, frame_t* frame);
// Waits until the pool holds no picture of the stream, or is aborted.
void frame_pool_wait_released(frame_pool_t* pool, stream_t* stream);
// Ends every wait of the pool, now and later, until frame_pool_init.
void frame_pool_abort(frame_pool_t* pool);
bool frame_pool_aborted(const frame_pool_t* pool);
