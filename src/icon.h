// True-colour images with alpha: decoded from built-in XPM data, blended onto
// the surface in its pixel layout, or filled from a screen area to put it
// back later.
#pragma once

#include <cstdint>

#include "fbuffer.h"

struct icon {
    int width;
    int height;
    uint32_t* argb;  // width * height words 0xAARRGGBB, row by row; owned
};
typedef struct icon icon_t;

// One colour of an XPM image while it is decoded.
struct key_color {
    int key;        // the pixel characters, packed 8 bits each
    uint32_t argb;  // the colour as a pixel word
};
typedef struct key_color key_color_t;

// Decodes an XPM image (the "c" colour context, "#RRGGBB" or None) into `i`.
// Malformed data ends the process through an assertion.
void icon_init_xpm(icon_t* i, const char** xpm);
// A width x height image, fully transparent black.
void icon_init(icon_t* i, int width, int height);
icon_t* icon_new_xpm(const char** xpm);
icon_t* icon_new(int width, int height);
// Frees the pixels; the record must be initialised again before further use.
void icon_done(icon_t* i);
void icon_free(icon_t* i);

// Alpha-blends the icon with its top-left pixel at (posx, posy). The parts
// that fall off the surface are skipped; a null surface does nothing.
void icon_draw(fbuffer_t* fb, icon_t* i, int posx, int posy);
// Fills the icon with the surface area at (posx, posy), opaque. Icon pixels
// whose place is off the surface keep their value; a null surface does nothing.
void icon_copy(fbuffer_t* fb, icon_t* i, int posx, int posy);

// The last entry of the table with this key, or null.
key_color_t* search_color(key_color_t* colors, int size, int key);
