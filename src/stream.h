// The stream record's life cycle: made, its reader started, stopped or
// sent to reconnect, freed; what the reader does is reader.h.
#pragma once

#include "velmor.h"

// A stream record on the heap, reader not started; stream_free releases it
// once the reader has ended and the record has left the registry.
stream_t* stream_new(const char* name, const char* inputfile, const stream_settings_t& settings);
void stream_free(stream_t* stream);
// Keeps the window's size where the reader reads it (win_size): play and
// the wall's commands, as they place the window.
void stream_note_window_size(stream_t* stream, int w, int h);

// Starts the reader; it must not be running. 0, or the error number when
// no thread could be made.
int stream_start(stream_t* stream);
// Ends the reader and waits for it; nothing when it does not run.
void stream_stop(stream_t* stream);
// Makes the reader drop its connection and connect again at once.
void stream_force_reconnect(stream_t* stream);

const char* stream_get_state_name(stream_t* stream);
