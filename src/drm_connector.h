// Which connector of a DRM card to drive, in which mode and through which
// CRTC: what was asked for, else the first connected connector in its
// preferred mode.
#pragma once

#include <cstdint>
#include <string>

#include <xf86drmMode.h>

struct drm_request_t {
    const char* card = nullptr;       // /dev/dri/cardN; null: the first with a connected connector
    const char* connector = nullptr;  // e.g. "HDMI-A-1"; null: the first connected one
    const char* mode = nullptr;       // "WIDTHxHEIGHT[@HZ]"; null: the connector's preferred mode
};

struct drm_choice_t {
    uint32_t connector_id = 0;
    std::string connector;  // its name, e.g. "HDMI-A-1"
    uint32_t crtc_id = 0;
    drmModeModeInfo mode = {};
};

// The choice on the card open at `fd`; false, with the reason in `why`,
// when the request cannot be met.
bool drm_pick_connector(int fd, const drm_request_t& request, drm_choice_t* choice, std::string* why);

// Reads "WIDTHxHEIGHT[@HZ]" (hz 0 when left out); false for anything else.
bool drm_parse_mode(const char* text, int* width, int* height, int* hz);
