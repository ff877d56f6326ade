#include "registry.h"

#include <cassert>
#include <cstring>

#include "console.h"

// Streams in the order they were started; touched by the main thread only.
static list_t streams;

void streams_init(void)
{
    if (streams.head == nullptr)
        list_init(&streams);
}

void streams_append(stream_t* stream)
{
    assert(stream != nullptr);
    streams_init();
    list_append(&streams, &stream->dlink);
}

stream_t* streams_find(const char* name)
{
    assert(name != nullptr);
    streams_init();
    list_for_each_entry(s, &streams, stream_t, dlink)
        if (strcmp(s->name, name) == 0)
            return s;
    return nullptr;
}

stream_t* streams_first(void)
{
    streams_init();
    return list_entry_or_null(list_first(&streams), stream_t, dlink);
}

stream_t* streams_next(stream_t* stream)
{
    if (stream == nullptr)
        return nullptr;
    return list_entry_or_null(list_next(&streams, &stream->dlink), stream_t, dlink);
}

stream_t* streams_remove(stream_t* stream)
{
    if (stream == nullptr)
        return nullptr;
    stream_t* next = streams_next(stream);
    list_remove(&streams, &stream->dlink);
    return next;
}

// The stream named by the first argument of a command that takes between
// min_args and max_args arguments; null after the error message.
stream_t* named_stream(int argc, const char** argv, int min_args, int max_args)
{
    if (argc < min_args || argc > max_args) {
        console_printf("Error: invalid number of parameters!\n");
        return nullptr;
    }
    stream_t* s = streams_find(argv[0]);
    // A stream named after its URL is known by the URL without the password.
    if (s == nullptr)
        s = streams_find(url_redacted(argv[0]).c_str());
    if (s == nullptr)
        console_printf("Error: unable to find stream '%s'.\n", url_redacted(argv[0]).c_str());
    return s;
}

