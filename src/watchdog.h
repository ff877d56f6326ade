// The block-timeout watchdog: a reader arms a deadline in its stream around
// each blocking FFmpeg operation; FFmpeg's interrupt callback and the render
// thread's idle pass make the operation give up once it has passed.
#pragma once

#include "velmor.h"

// Arms the deadline and gives it; disarms it. The reader's alone.
long long set_block_timeout(stream_t* stream, long timeout_millis);
void clear_block_timeout(stream_t* stream);

// The reader's own: a picture (or a new input) starts the count of bytes
// read without a picture afresh, for this stream and in the total.
void stream_picture_seen(stream_t* stream);

// The render thread's idle pass: interrupts a reader whose deadline passed.
void stream_check(stream_t* stream, long long now);
// 1 when the blocking FFmpeg operation in progress must give up. Safe on any
// thread: FFmpeg calls it from threads of its own too.
int stream_decode_interrupt_cb(stream_t* stream);
// FFmpeg's per-input interrupt callback; opaque is the stream.
int decode_interrupt_cb(void* opaque);
