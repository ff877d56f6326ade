// The block-timeout watchdog that bounds every blocking FFmpeg operation of
// a reader: FFmpeg's interrupt callback, and the render thread's idle check.
#include "watchdog.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdio>

// A parser that never finds a picture's end holds all it reads, and so do
// all such streams together: past this total (on a board of 1 GB, with a
// copy of each packet it is about 100 MB), a stream whose own part passes
// twice its largest picture (a quarter of its limit) is lost, whatever its
// own limit. A stream that delivers pictures holds about one.
static constexpr int64_t unpictured_total_max = 48 << 20;
static std::atomic<int64_t> unpictured_total{0};

// Records the stream's bytes without a picture, in the total too.
static void count_unpictured(stream_t* stream, int64_t bytes)
{
    unpictured_total += bytes - stream->unpictured;
    stream->unpictured = bytes;
}

void stream_picture_seen(stream_t* stream)
{
    const AVIOContext* pb = stream->input != nullptr ? stream->input->pb : nullptr;
    stream->bytes_at_picture = pb != nullptr ? pb->bytes_read : 0;
    count_unpictured(stream, 0);
}

// A deadline equal to the current millisecond has expired; 0 never expires.
static bool deadline_expired(long long unblock_time, long long now)
{
    return unblock_time != 0 && unblock_time <= now;
}

// Arms the deadline and gives it.
long long set_block_timeout(stream_t* stream, long timeout_millis)
{
    const long long now = current_time_in_millis();
    assert(stream != nullptr);
    assert(timeout_millis > 0);
    const long long deadline = now + static_cast<long long>(timeout_millis);
    stream->block_timeout_told = 0;
    stream->unblock_time = deadline;
    return deadline;
}

void clear_block_timeout(stream_t* stream)
{
    assert(stream != nullptr);
    stream->unblock_time = 0;
}


void stream_check(stream_t* stream, long long now)
{
    assert(stream != nullptr);
    // The deadline stays armed: every later pass interrupts again until the
    // reader comes back and disarms it.
    if (deadline_expired(stream->unblock_time.load(), now)) {
        printf("%s: block timeout is expired! interrupt stream reader '%s'!\n", "stream_check", stream->name);
        thread_interrupt(&stream->reader);
    }
}

int stream_decode_interrupt_cb(stream_t* stream)
{
    // No lock and no registered-thread requirement: FFmpeg calls this from
    // threads of its own too (the async protocol's worker, for one).
    if (deadline_expired(stream->unblock_time.load(), current_time_in_millis())) {
        // Answered for as long as the deadline stays armed: FFmpeg's probes
        // swallow one answer and read on.
        if (stream->block_timeout_told.exchange(1) == 0)
            printf("%s: block timeout is expired! interrupt stream reader '%s'!\n", "stream_decode_interrupt_cb",
                   stream->name);
        return 1;
    }
    if (stream->force_reconnect.load() != 0 || stream->terminate.load() != 0)
        return 1;
    // A parser that never finds the end of a picture buffers all it reads:
    // too much data without a picture loses the source, during the read.
    if (thread_self() != &stream->reader || stream->input == nullptr || stream->input->pb == nullptr)
        return 0;
    count_unpictured(stream, stream->input->pb->bytes_read - stream->bytes_at_picture);
    if (stream->unpictured > stream->read_limit ||
        (unpictured_total > unpictured_total_max && stream->unpictured > stream->read_limit / 4)) {
        stream->overread = 1;
        return 1;
    }
    return 0;
}

int decode_interrupt_cb(void* opaque)
{
    stream_t* stream = static_cast<stream_t*>(opaque);
    assert(stream != nullptr);
    return stream_decode_interrupt_cb(stream);
}
