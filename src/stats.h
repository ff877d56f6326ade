// Figures for the `stats` command: what each stream shows and how it does,
// and how busy the render thread is. The per-picture counters are atomics
// of the stream record; rates over the last seconds come from samples the
// render thread takes every half second, so no picture waits for a lock.
#pragma once

#include <string>

#include "velmor.h"

// How far back the rates look, and how often the render thread samples.
constexpr long long STATS_SPAN_MS = 5000;
constexpr long long STATS_PERIOD_MS = 500;

// Width, height and pixel format of a picture in one word for
// stream_t::picture_format; 0 for a picture without a size.
unsigned long long stats_pack_format(int width, int height, int pixfmt);

// The reader's notes: a connection attempt begins; a failure (FFmpeg's error
// code) ends something. Requested ends (stop, reconnect) are no failures.
void stats_note_connect(stream_t* s);
void stats_note_error(stream_t* s, int err);

// The render thread's samples, at most one per STATS_PERIOD_MS: each
// registered stream's counters, then its own processor time.
void stats_sample_stream(stream_t* s, long long now);
void stats_sample_render(long long now);

// One `stats` line of a stream, and the render line with the pictures drawn
// since start; without their newlines.
std::string stats_line(stream_t* s, long long now);
std::string stats_render_line(long pictures);

