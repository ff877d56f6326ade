// Stream labels: text drawn once with FreeType into a small coverage bitmap,
// coloured by the stream's state into an opaque image (text over a black
// box), and copied over each picture of the window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "icon.h"
#include "velmor.h"

constexpr const char* DEFAULT_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int LABEL_MIN_HEIGHT = 10;
constexpr int LABEL_INSET = 4;  // from the window's lower-left corner

// The colours of a label, 0xRRGGBB.
constexpr uint32_t LABEL_WHITE = 0xFFFFFF;  // pictures come
constexpr uint32_t LABEL_AMBER = 0xFFB000;  // delayed, as the delay icon
constexpr uint32_t LABEL_RED = 0xFF2020;    // not connected, or stopped

// Opens the font for every label; before the render thread starts. On
// failure labels stay off and `why` says so.
bool label_font_open(const char* path, std::string* why);
void label_font_close(void);
bool label_font_ready(void);

// The label's colour for the stream's state at `now`.
uint32_t label_colour(const stream_t* stream, long long now);

// One stream's label as the render thread keeps it.
struct label_t {
    std::string text;  // what `coverage` shows
    int height = 0;    // box height it was made for
    int width = 0;
    std::vector<uint8_t> coverage;  // width * height, 0 to 255
    uint32_t colour = 0;            // of `image`; 0: not coloured yet
    icon_t image = {};
};

// The box of the label for `text` at a box height (and at most max_width
// wide), made again only when either changed; false when there is nothing
// to show (no text, no font, no room).
bool label_make(label_t* l, std::string_view text, int height, int max_width);
// Copies the label, in `colour`, with its top-left corner at (x, y) of
// `where`, cut to it.
void label_draw(label_t* l, fbuffer_t* where, int x, int y, uint32_t colour);
void label_done(label_t* l);
