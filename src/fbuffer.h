// The drawing surface: a mapped Linux framebuffer device, or a block of
// ordinary memory described like a screen (800 x 600 RGB565 unless asked
// otherwise). Pixel (x, y) of the visible area is the bytes_per_pixel bytes at
// byte offset y * finfo.line_length + x * bytes_per_pixel from `screen`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/fb.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct fbuffer {
    int fbdev;                        // device descriptor; -1 for a memory surface
    struct fb_fix_screeninfo finfo;   // fixed screen information
    struct fb_var_screeninfo vinfo;   // variable screen information
    uint8_t* fb;                      // first byte of the mapping or heap block
    int fb_size;                      // bytes at fb (mapping or heap block)
    // Set by fb_setup from the two descriptions:
    enum AVPixelFormat format;        // the pixels' layout, as libswscale names it
    int bytes_per_pixel;
    uint8_t* screen;                  // first pixel of the visible area (panning)
};
typedef struct fbuffer fbuffer_t;

// Opens and maps the device at `fbdev`, printing its description on standard
// output, switches the console to graphics mode and clears the visible area.
// Null after a message on standard error, also for a pixel layout or geometry
// that cannot be drawn.
fbuffer_t* fb_open(const char* fbdev);

// A zero-filled (black) RGB565 memory surface of width x height pixels.
fbuffer_t* fb_open_fake(int width, int height);
// The same in another layout; `format` must be one that fb_setup accepts.
fbuffer_t* fb_open_fake_format(int width, int height, enum AVPixelFormat format);

// Releases the surface and its memory and gives the console back its text
// mode; null does nothing.
void fb_close(fbuffer_t* fb);

// Derives format, bytes_per_pixel and screen from finfo, vinfo, fb and
// fb_size. False, with the reason in `why`, when the layout is not one of the
// packed RGB layouts that can be drawn or the visible area does not lie
// within the memory.
bool fb_setup(fbuffer_t* fb, char* why, size_t why_size);

// Switches the active virtual terminal to graphics mode, so that the kernel
// console stops drawing over the windows, and has every exit() switch it
// back; a message on standard error when it cannot. fb_open does it itself.
void fb_take_console(void);

// Puts the console switched to graphics mode by fb_open back into text mode,
// once. Async-signal-safe: crash handlers and fatal paths call it.
void fb_restore_console(void);

// Bytes to map for a device: smem_len plus the offset of smem_start within
// its 4096-byte page, since the mapping starts at the page boundary.
int fb_map_length(const struct fb_fix_screeninfo* finfo);
