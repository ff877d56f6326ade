// Where the renderer's pictures end up. An output gives the surface to draw
// into, is told which rectangles of it changed, and presents them. The
// framebuffer device and the memory surface are its implementations; each
// keeps its whole state private and tears down whatever its open built.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fbuffer.h"

// What the surface shows: its visible pixels in the device's layout, row
// after row without gaps.
struct surface_copy_t {
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    int bytespp = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
};
// Copies the visible area of `fb` into `c`.
void output_copy_surface(const fbuffer_t* fb, surface_copy_t* c);

struct output_rect_t {
    long long x, y, w, h;  // surface pixels; may reach past the surface
};

class output_t {
public:
    virtual ~output_t() = default;  // closes the output
    output_t() = default;
    output_t(const output_t&) = delete;
    output_t& operator=(const output_t&) = delete;

    // The surface to draw into, valid until the output is closed.
    virtual fbuffer_t* surface() = 0;
    // These rectangles of the surface were drawn since the last present.
    virtual void changed(const output_rect_t* rects, int count) = 0;
    // Makes what was drawn visible.
    virtual void present() = 0;
    // The picture about to be drawn writes every pixel of `r` (cut to the
    // surface): an output that brings its surface up to date before drawing
    // need not do so there. cover_done() follows the drawing, whether or not
    // it happened; what of `r` was not reported changed meanwhile is brought
    // up to date then.
    virtual void will_cover(const output_rect_t& /*r*/) {}
    virtual void cover_done() {}
    // What the `stats` line adds about the output, from a leading space;
    // nothing for the framebuffer device and memory.
    virtual std::string describe() const { return {}; }
};

// The framebuffer device at `path`, described on standard output; null after
// a message on standard error when it cannot be used.
std::unique_ptr<output_t> output_open_fbdev(const char* path);
// A zero-filled memory surface of width x height RGB565 pixels that nobody
// sees.
std::unique_ptr<output_t> output_open_memory(int width, int height);
// An output over a surface already opened with fb_open or fb_open_fake,
// which it closes.
std::unique_ptr<output_t> output_adopt(fbuffer_t* surface);
