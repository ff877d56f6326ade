#include "stream.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "reader.h"

const char* stream_get_state_name(stream_t* stream)
{
    assert(stream != nullptr);
    return stream_state_name(stream->state.load());
}

void stream_note_window_size(stream_t* stream, int w, int h)
{
    stream->win_size = static_cast<unsigned long long>(std::max(w, 0)) << 32 | static_cast<unsigned>(std::max(h, 0));
}

stream_t* stream_new(const char* name, const char* inputfile, const stream_settings_t& settings)
{
    assert(name != nullptr);
    assert(inputfile != nullptr);
    stream_t* stream = new stream_t{};
    list_item_init(&stream->dlink);
    stream->name = strdup(name);
    stream->inputfile = strdup(inputfile);
    assert(stream->name != nullptr && stream->inputfile != nullptr);
    stream->settings = settings;
    stream->win_x = settings.x;
    stream->win_y = settings.y;
    stream->win_w = settings.w;
    stream->win_h = settings.h;
    stream_note_window_size(stream, settings.w, settings.h);
    thread_init(&stream->reader, name);
    return stream;
}

void stream_free(stream_t* stream)
{
    if (stream == nullptr)
        return;
    assert(stream->dlink.next == nullptr);
    assert(thread_is_alive(&stream->reader) == 0);
    thread_done(&stream->reader);
    free(stream->name);
    free(stream->inputfile);
    delete stream;
}

int stream_start(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_is_alive(&stream->reader) == 0);
    stream->terminate = 0;
    stream->force_reconnect = 0;
    stream->unblock_time = 0;
    return thread_start(&stream->reader, reader_thread, stream);
}

void stream_stop(stream_t* stream)
{
    assert(stream != nullptr);
    if (thread_is_alive(&stream->reader) == 0)
        return;
    stream->terminate = 1;
    thread_interrupt(&stream->reader);
    thread_join(&stream->reader);
}

void stream_force_reconnect(stream_t* stream)
{
    assert(stream != nullptr);
    if (thread_is_alive(&stream->reader) == 0)
        return;
    stream->force_reconnect = 1;
    thread_interrupt(&stream->reader);
}
