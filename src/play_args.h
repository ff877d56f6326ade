// What `play` is asked for: its words read into a stream's settings, each
// refused with its message before anything starts.
#pragma once

#include <string>

#include "velmor.h"

// What `play` was asked for.
struct play_args_t {
    const char* name = nullptr;
    const char* format_name = nullptr;
    const char* url = nullptr;
    const char* decoder_name = nullptr;
    std::string shown_url;  // the URL without its password, the default name
    bool placed = false;    // -p or -s given: no grid tile
    stream_settings_t settings;
};

constexpr int MAX_PAGE = 1000;

// A whole decimal number within int's range, and at least `min`.
bool to_int(const char* str, long min, int* out);

// Reads play's arguments; false after the error message.
bool play_args_parse(int argc, const char** argv, play_args_t* a);
// Prints the flags beyond name, format and window, only those given.
void play_args_print(const play_args_t& a);
