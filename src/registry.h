// The registry of the streams that `play` started, in the order it started
// them; only the main thread touches it.
#pragma once

#include "velmor.h"

void streams_append(stream_t* stream);
stream_t* streams_find(const char* name);
stream_t* streams_first(void);
stream_t* streams_next(stream_t* stream);
// The stream that followed the removed one.
stream_t* streams_remove(stream_t* stream);
void streams_init(void);

// The stream named by the first argument of a command that takes between
// min_args and max_args arguments; null after the error message.
stream_t* named_stream(int argc, const char** argv, int min_args, int max_args);
