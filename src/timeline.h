// A stream against its own timestamps: the waits that show each picture at
// its time (-t), the lag behind a live source, and what -L skips to bound it.
#pragma once

#include <cstdint>

#include "velmor.h"

// Timestamps (µs) against the monotonic clock (ms), from an anchor that
// moves when they jump.
class timeline_t {
public:
    // How late (ms; negative: early) timestamp `us` is at `now`. The first
    // one, or one that jumps back or more than 2 s forward, anchors the
    // timeline again: at `now`, or just after the pictures before a restart.
    long long offset(int64_t us, long long now, long long period_ms);
    // The next timestamp anchors anew at `at` (0: when it comes).
    void restart(long long at) { anchored_ = false, resume_ms_ = at; }
    // Whether the last offset anchored the timeline.
    bool anchored_now() const { return anchored_now_; }

private:
    bool anchored_ = false;
    bool anchored_now_ = false;
    long long anchor_ms_ = 0;
    int64_t anchor_us_ = 0;
    int64_t last_us_ = 0;
    long long resume_ms_ = 0;
};

// -t: shows pictures at their timestamps.
class pacer_t {
public:
    // With -t, waits until the picture's time (at once without a timestamp);
    // false, the picture let go and counted as replaced, when it is a period
    // or more late and the next is to take its place. A stop ends the wait.
    bool show(stream_t* s, AVFrame* pic, AVRational time_base);
    // After the last picture of an input, the next one (of whatever input)
    // comes one period after it.
    void restart() { line_.restart(last_due_ + period_ms_); }

private:
    bool wait_for(stream_t* s, int64_t us);
    timeline_t line_;
    int64_t last_us_ = AV_NOPTS_VALUE;
    long long period_ms_ = 40;
    long long last_due_ = 0;
    long long last_shown_ = 0;
};

// What to do with a packet of a stream that may fall behind.
enum class lag_e { decode, drop, resume };

// The lag of `stats`, and -L's bound on it.
class lag_control_t {
public:
    // Measures the lag at a packet of the video stream and says whether to
    // decode it; sets the decoder's skipping. `resume`: decode after
    // flushing the decoder, the keyframe that ends a drop.
    lag_e admit(stream_t* s, AVCodecContext* dec, const AVPacket* pkt, AVRational time_base);
    // A new connection, or an input begun again: its timeline is new.
    void restart(stream_t* s, AVCodecContext* dec);

private:
    enum class mode_e { normal, nonref, keyframe };
    timeline_t line_;
    bool have_least_ = false;
    long long least_ = 0;  // the smallest offset since the timeline began
    mode_e mode_ = mode_e::normal;
    long long checked_at_ = 0;  // when the lag was last seen falling (nonref)
    long long checked_lag_ = 0;
};

// A timestamp in µs; AV_NOPTS_VALUE stays.
int64_t timeline_us(int64_t ts, AVRational time_base);
