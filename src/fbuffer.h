// The drawing surface: a mapped Linux framebuffer device, or a block of
// ordinary memory described like a 16-bit RGB565 screen when there is none.
// Pixel (x, y) is the 16-bit word at byte offset y * finfo.line_length + 2 * x
// from fb.
#pragma once

#include <cstdint>
#include <linux/fb.h>

struct fbuffer {
    int fbdev;                        // device descriptor; -1 for a memory surface
    struct fb_fix_screeninfo finfo;   // fixed screen information
    struct fb_var_screeninfo vinfo;   // variable screen information
    uint8_t* fb;                      // first byte of the pixel memory
    int fb_size;                      // bytes at fb (mapping or heap block)
};
typedef struct fbuffer fbuffer_t;

// Opens and maps the device at `fbdev`, printing its description on standard
// output. Null after a message on standard error.
fbuffer_t* fb_open(const char* fbdev);

// A zero-filled (black) RGB565 memory surface of width x height pixels.
fbuffer_t* fb_open_fake(int width, int height);

// Releases the surface and its memory; null does nothing.
void fb_close(fbuffer_t* fb);

// Bytes to map for a device: smem_len plus the offset of smem_start within
// its 4096-byte page, since the mapping starts at the page boundary.
int fb_map_length(const struct fb_fix_screeninfo* finfo);
