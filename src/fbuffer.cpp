#include "fbuffer.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

static const char* fb_type_name(uint32_t type)
{
    switch (type) {
    case FB_TYPE_PACKED_PIXELS: return "packed pixels";
    case FB_TYPE_PLANES: return "planar (non-interleaved)";
    case FB_TYPE_INTERLEAVED_PLANES: return "planar (interleaved)";
    case FB_TYPE_TEXT: return "text (not a framebuffer)";
    case FB_TYPE_VGA_PLANES: return "planar (EGA/VGA)";
    default: return "no idea what this is";
    }
}

static const char* fb_visual_name(uint32_t visual)
{
    switch (visual) {
    case FB_VISUAL_TRUECOLOR: return "truecolor";
    case FB_VISUAL_PSEUDOCOLOR: return "pseudocolor";
    case FB_VISUAL_DIRECTCOLOR: return "directcolor";
    case FB_VISUAL_STATIC_PSEUDOCOLOR: return "fixed pseudocolor";
    default: return "other (mono perhaps)";
    }
}

int fb_map_length(const struct fb_fix_screeninfo* finfo)
{
    unsigned long ppc_fix = finfo->smem_start & 0xfff;
    return static_cast<int>(finfo->smem_len + ppc_fix);
}

static fbuffer_t* fb_alloc(void)
{
    fbuffer_t* fb = static_cast<fbuffer_t*>(calloc(1, sizeof(fbuffer_t)));
    assert(fb != nullptr);
    return fb;
}

static fbuffer_t* fb_fail(fbuffer_t* fb, const char* what)
{
    fprintf(stderr, "%s: %s\n", what, strerror(errno));
    close(fb->fbdev);
    free(fb);
    return nullptr;
}

fbuffer_t* fb_open(const char* fbdev)
{
    fbuffer_t* fb = fb_alloc();

    fb->fbdev = open(fbdev, O_RDWR);
    if (fb->fbdev < 0) {
        fprintf(stderr, "Error opening %s.\n", fbdev);
        free(fb);
        return nullptr;
    }

    if (ioctl(fb->fbdev, FBIOGET_FSCREENINFO, &fb->finfo) < 0)
        return fb_fail(fb, "Unable to retrieve fixed screen info");

    printf("FRamebuffer device : %s\n", fbdev);
    printf("Framebuffer ID     : %.16s\n", fb->finfo.id);
    printf("Framebuffer type   : %s\n", fb_type_name(fb->finfo.type));
    printf("Bytes per scanline : %i\n", fb->finfo.line_length);
    printf("Visual type        : %s\n", fb_visual_name(fb->finfo.visual));

    if (ioctl(fb->fbdev, FBIOGET_VSCREENINFO, &fb->vinfo) < 0)
        return fb_fail(fb, "Unable to retrieve variable screen info");

    const struct fb_var_screeninfo* v = &fb->vinfo;
    printf("Bits per pixel     : %i\n", v->bits_per_pixel);
    printf("Resolution         : %ix%i (virtual %ix%i)\n",
           v->xres, v->yres, v->xres_virtual, v->yres_virtual);
    printf("Scrolling offset   : (%i,%i)\n", v->xoffset, v->yoffset);
    printf("Red channel        : %i bits at offset %i\n", v->red.length, v->red.offset);
    printf("Green channel      : %i bits at offset %i\n", v->green.length, v->green.offset);
    printf("Blue channel       : %i bits at offset %i\n", v->blue.length, v->blue.offset);

    // Readable as well as writable: saving the area under an icon reads the
    // screen back, and a write-only mapping is not readable everywhere.
    fb->fb_size = fb_map_length(&fb->finfo);
    void* mem = mmap(nullptr, static_cast<size_t>(fb->fb_size), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fb->fbdev, 0);
    if (mem == MAP_FAILED)
        return fb_fail(fb, "Unable to mmap framebuffer");
    fb->fb = static_cast<uint8_t*>(mem);

    printf("Framebuffer %s is mmap-ed successfuly!\n", fbdev);
    return fb;
}

fbuffer_t* fb_open_fake(int width, int height)
{
    assert(width > 0 && height > 0);
    fbuffer_t* fb = fb_alloc();

    fb->fbdev = -1;
    fb->fb_size = width * height * 2;
    fb->fb = static_cast<uint8_t*>(calloc(static_cast<size_t>(fb->fb_size), 1));
    assert(fb->fb != nullptr);

    fb->finfo.type = FB_TYPE_PACKED_PIXELS;
    fb->finfo.visual = FB_VISUAL_TRUECOLOR;
    fb->finfo.line_length = static_cast<uint32_t>(width * 2);

    fb->vinfo.bits_per_pixel = 16;
    fb->vinfo.xres = fb->vinfo.xres_virtual = static_cast<uint32_t>(width);
    fb->vinfo.yres = fb->vinfo.yres_virtual = static_cast<uint32_t>(height);
    fb->vinfo.red.offset = 11;
    fb->vinfo.red.length = 5;
    fb->vinfo.green.offset = 5;
    fb->vinfo.green.length = 6;
    fb->vinfo.blue.offset = 0;
    fb->vinfo.blue.length = 5;
    return fb;
}

void fb_close(fbuffer_t* fb)
{
    if (fb == nullptr)
        return;
    if (fb->fbdev == -1) {
        free(fb->fb);
    } else {
        munmap(fb->fb, static_cast<size_t>(fb->fb_size));
        close(fb->fbdev);
    }
    free(fb);
}
