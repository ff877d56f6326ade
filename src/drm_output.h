// The screen through DRM/KMS: two dumb buffers on a CRTC, drawn into while
// the other one is shown and page-flipped on vblank, so that no picture is
// ever written into the memory being scanned out.
#pragma once

#include <memory>
#include <string>

#include "drm_connector.h"
#include "output.h"

// Opens the card as DRM master, sets the mode on a CRTC and takes the
// console to graphics mode; its description goes to standard output. Null,
// with the reason in `why`, when any of it cannot be done.
std::unique_ptr<output_t> output_open_drm(const drm_request_t& request, std::string* why);

// The same buffers, damage and flips on two XRGB8888 memory buffers, each
// flip done at once: the output's own cost, measured without a card.
std::unique_ptr<output_t> output_open_drm_memory(int width, int height);
