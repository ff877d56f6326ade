// Where a picture goes: the window's rectangle on the surface, the part of
// the picture it shows, and the part of a rectangle that is on the screen.
// Pure functions of their arguments.
#pragma once

#include <cstdint>

#include "output.h"
#include "velmor.h"

// The part of `a` that lies inside `b`; zero wide or high when they do not
// meet.
output_rect_t intersect(const output_rect_t& a, const output_rect_t& b);

// The part of a destination rectangle that lies on the visible area: columns
// [i0, i1) and rows [j0, j1) of the rectangle; `base` is the byte offset of
// the rectangle's first column within a scan line of the visible area.
struct visible_t {
    long long base;
    long long i0, i1, j0, j1;
};

// False when nothing of the rectangle is on the surface (whose visible area
// fb_setup has checked against its memory).
bool visible_part(const fbuffer_t* fb, long long dstx, long long dsty, long long dstw, long long dsth,
                  visible_t* v);

// Points `data` at row srcy, column srcx of the picture, plane by plane.
// False for formats whose pixels cannot be addressed that way.
bool crop_planes(const AVFrame* pic, int srcx, int srcy, uint8_t* data[4]);

// The window on the screen and the part of the picture it shows.
struct geometry_t {
    long long dstx, dsty, dstw, dsth;
    int srcx, srcy, srcw, srch;
};

geometry_t window_geometry(const stream_settings_t& win, const AVFrame* pic);

// Whether FFmpeg's converter, writing this window straight into screen
// memory, writes only the window's own rows.
bool writes_only_its_rows(int format, const geometry_t& g);

// The status icon's square: ICON_INSET pixels in from the window's corner.
constexpr int ICON_SIZE = 32;
constexpr int ICON_INSET = 4;

// The part of the surface that a window covers, as a surface of its own,
// and the icon's place in it: an icon is cut to its window as well as to the
// screen. A window of the picture's size is as large as the picture was last
// drawn (drawn_w, drawn_h), or, before that, as large as the icon's corner.
// False when nothing of the window is on the screen.
// The same for any mark in the window: where the window's top-left corner
// lies in the view (negative when cut), its size, and the view's place on
// the surface.
struct window_place_t {
    long long x, y, w, h;
    long long view_x, view_y;
};
bool window_view(const fbuffer_t* fb, const stream_settings_t& win, int drawn_w, int drawn_h, fbuffer_t* view,
                 window_place_t* place);
bool icon_view(const fbuffer_t* fb, const stream_settings_t& win, int drawn_w, int drawn_h, fbuffer_t* view, int* ix,
               int* iy);
