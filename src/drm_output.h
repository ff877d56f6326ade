// The screen through DRM/KMS: two dumb buffers on a CRTC, drawn into while
// the other one is shown and page-flipped on vblank, so that no picture is
// ever written into the memory being scanned out.
#pragma once

#include <memory>
#include <string>

#include "output.h"

struct drm_request_t {
    const char* card = nullptr;       // /dev/dri/cardN; null: the first with a connected connector
    const char* connector = nullptr;  // e.g. "HDMI-A-1"; null: the first connected one
    const char* mode = nullptr;       // "WIDTHxHEIGHT[@HZ]"; null: the connector's preferred mode
};

// Opens the card as DRM master, sets the mode on a CRTC and takes the
// console to graphics mode; its description goes to standard output. Null,
// with the reason in `why`, when any of it cannot be done.
std::unique_ptr<output_t> output_open_drm(const drm_request_t& request, std::string* why);

// The same buffers, damage and flips on two XRGB8888 memory buffers, each
// flip done at once: the output's own cost, measured without a card.
std::unique_ptr<output_t> output_open_drm_memory(int width, int height);

// Reads "WIDTHxHEIGHT[@HZ]" (hz 0 when left out); false for anything else.
bool drm_parse_mode(const char* text, int* width, int* height, int* hz);
