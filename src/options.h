// The program's command line.
#pragma once

struct service_options_t {
    const char* script = nullptr;   // --script FILE
    const char* control = nullptr;  // --control PATH
    const char* fb = nullptr;       // --fb DEVICE
    const char* font = nullptr;     // --font FILE
    const char* scale = nullptr;    // --scale FILTER
    const char* rotate = nullptr;   // --rotate DEGREES
    const char* output = nullptr;   // --output auto|drm|fb|memory
    const char* card = nullptr;     // --card /dev/dri/cardN
    const char* mode = nullptr;     // --mode WIDTHxHEIGHT[@HZ]
    const char* connector = nullptr;  // --connector NAME
};

// Reads the command line: -1 to go on, else the exit status (0 after
// --help or --version, 2 after a usage message on standard error).
int service_parse_args(int argc, char** argv, service_options_t* o);
