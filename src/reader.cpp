#include <cassert>
#include <cstdio>

#include "velmor.h"

// ---------------------------------------------------------------------------
// Stream record and block-timeout watchdog
// ---------------------------------------------------------------------------

const char* stream_get_state_name(stream_t* stream)
{
    assert(stream != nullptr);
    static constexpr const char* names[] = {
        "CREATING", "CONNECTING", "CONNECT_ERR", "CONNECTED", "RECONNECTING", "STOPPED",
    };
    unsigned state = static_cast<unsigned>(stream->state.load());
    return state < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

// A deadline equal to the current millisecond has expired; 0 never expires.
static bool deadline_expired(long long unblock_time, long long now)
{
    return unblock_time != 0 && unblock_time <= now;
}

void set_block_timeout(stream_t* stream, long timeout_millis)
{
    long long now = current_time_in_millis();
    assert(stream != nullptr);
    assert(timeout_millis > 0);
    monitor_lock(&stream->lock);
    stream->unblock_time = now + static_cast<long long>(timeout_millis);
    monitor_unlock(&stream->lock);
}

void clear_block_timeout(stream_t* stream)
{
    assert(stream != nullptr);
    monitor_lock(&stream->lock);
    stream->unblock_time = 0;
    monitor_unlock(&stream->lock);
}

void stream_check(stream_t* stream, long long now)
{
    assert(stream != nullptr);
    monitor_lock(&stream->lock);
    bool interrupt = deadline_expired(stream->unblock_time, now);
    monitor_unlock(&stream->lock);
    // The deadline stays armed: every later pass interrupts again until the
    // reader comes back and disarms it.
    if (interrupt) {
        printf("%s: block timeout is expired! interrupt stream reader '%s'!\n", "stream_check",
               stream->name);
        thread_interrupt(&stream->reader);
    }
}

int stream_decode_interrupt_cb(stream_t* stream)
{
    long long now = current_time_in_millis();
    bool interrupt = false;
    monitor_lock(&stream->lock);
    if (deadline_expired(stream->unblock_time, now)) {
        // Answered once: the blocked call gives up and the reader re-arms.
        stream->unblock_time = 0;
        interrupt = true;
        printf("%s: block timeout is expired! interrupt stream reader '%s'!\n",
               "stream_decode_interrupt_cb", stream->name);
    }
    monitor_unlock(&stream->lock);
    if (interrupt)
        return 1;
    if (stream->force_reconnect.load() != 0)
        return 1;
    if (stream->terminate.load() != 0)
        return 1;
    return 0;
}
