// --rotate: the screen as its viewer sees it, turned on the device by 90,
// 180 or 270 degrees clockwise (a screen mounted portrait). Positions and
// sizes are the viewer's; pictures are turned as they are converted (the
// scaler), the rest (icons, labels, black) is drawn on a memory copy of the
// viewer's screen and turned rectangle by rectangle onto the device.
#pragma once

#include <cstdint>
#include <memory>

#include "output.h"

// The degrees of an option's value; false for an unknown one.
bool rotate_from_name(const char* name, int* degrees);

// The viewer's size of a device's surface turned by `degrees`.
void rotated_size(const fbuffer_t* device, int degrees, long long* w, long long* h);

// Where a rectangle of a w x h viewer's screen lies on the device's surface.
output_rect_t rotate_rect(int degrees, long long w, long long h, const output_rect_t& r);

// A w x h block of bpp-byte pixels turned clockwise into `dst`, which takes
// h x w pixels for 90 and 270.
void rotate_pixels(const uint8_t* src, int src_stride, int w, int h, uint8_t* dst, int dst_stride, int bpp,
                   int degrees);

// The viewer's screen in memory over a device's surface.
struct rotated_screen_t {
    struct closer {
        void operator()(fbuffer_t* fb) const;
    };
    std::unique_ptr<fbuffer_t, closer> view;
};

// The viewer's screen of `device` (made again when its size or layout
// changes); the device itself at 0 degrees.
fbuffer_t* rotated_view(rotated_screen_t* s, fbuffer_t* device, int degrees);
// The view's rectangle `r` (cut to the screen) turned onto the device;
// returns where it lies there.
output_rect_t rotated_put(rotated_screen_t* s, fbuffer_t* device, int degrees, const output_rect_t& r);
// The device's pixels under the view's rectangle `r` turned back into the
// view, before something is drawn over them there.
void rotated_get(rotated_screen_t* s, const fbuffer_t* device, int degrees, const output_rect_t& r);
// A copy of the device's surface turned back into what the viewer sees.
void rotate_copy_back(surface_copy_t* c, int degrees);
