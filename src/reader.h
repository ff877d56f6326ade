// Streams: the life cycle of a stream record, its reader thread (connect,
// probe, decode, hand pictures to the renderer, reconnect) and the watchdog
// that bounds every blocking FFmpeg operation of a reader.
#pragma once

#include "velmor.h"

// A stream record on the heap, reader not started; stream_free releases it
// once the reader has ended and the record has left the registry.
stream_t* stream_new(const char* name, const char* inputfile, const stream_settings_t& settings);
void stream_free(stream_t* stream);

// Starts the reader; it must not be running. 0, or the error number when
// no thread could be made.
int stream_start(stream_t* stream);
// Ends the reader and waits for it; nothing when it does not run.
void stream_stop(stream_t* stream);
// Makes the reader drop its connection and connect again at once.
void stream_force_reconnect(stream_t* stream);

const char* stream_get_state_name(stream_t* stream);

// The render thread's idle pass: interrupts a reader whose deadline passed.
void stream_check(stream_t* stream, long long now);
// 1 when the blocking FFmpeg operation in progress must give up. Safe on any
// thread: FFmpeg calls it from threads of its own too.
int stream_decode_interrupt_cb(stream_t* stream);
// FFmpeg's per-input interrupt callback; opaque is the stream.
int decode_interrupt_cb(void* opaque);

void* reader_thread(void* arg);
