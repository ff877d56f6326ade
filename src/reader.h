// The reader thread of a stream (connect, probe, decode, hand pictures to
// the renderer, reconnect); the record's life cycle is stream.h, the
// watchdog that bounds every blocking FFmpeg operation of a reader is
// watchdog.h.
#pragma once

#include "stream.h"
#include "velmor.h"
#include "watchdog.h"

void* reader_thread(void* arg);

// The input options the reader adds for `url` to those given (see
// reader.cpp); the benchmark's decode-only floor reads the same way.
void reader_input_defaults(const char* url, AVDictionary** options);
