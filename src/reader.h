// The reader thread of a stream (connect, probe, decode, hand pictures to
// the renderer, reconnect); the record's life cycle is stream.h, the
// watchdog that bounds every blocking FFmpeg operation of a reader is
// watchdog.h.
#pragma once

#include "stream.h"
#include "velmor.h"
#include "watchdog.h"

void* reader_thread(void* arg);
