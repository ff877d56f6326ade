#include "fbuffer.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <fcntl.h>
#include <grp.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

namespace {

// The packed RGB layouts that can be drawn: depth and red, green and blue
// fields (offset, length) of a pixel value, and libswscale's name for them.
// Pixel values are in the processor's byte order, so a 24-bit layout with red
// at 16 is B, G, R in memory on a little-endian machine. The spare byte of
// 32-bit pixels is named alpha: libswscale has fast converters into those
// layouts only (the spare byte gets 255).
struct layout_t {
    uint32_t bits;
    uint32_t red[2], green[2], blue[2];
    AVPixelFormat format;
};

const layout_t layouts[] = {
    {16, {11, 5}, {5, 6}, {0, 5}, AV_PIX_FMT_RGB565},
    {16, {0, 5}, {5, 6}, {11, 5}, AV_PIX_FMT_BGR565},
    {16, {10, 5}, {5, 5}, {0, 5}, AV_PIX_FMT_RGB555},
    {16, {0, 5}, {5, 5}, {10, 5}, AV_PIX_FMT_BGR555},
    {15, {10, 5}, {5, 5}, {0, 5}, AV_PIX_FMT_RGB555},
    {15, {0, 5}, {5, 5}, {10, 5}, AV_PIX_FMT_BGR555},
    {24, {16, 8}, {8, 8}, {0, 8}, AV_PIX_FMT_NE(RGB24, BGR24)},
    {24, {0, 8}, {8, 8}, {16, 8}, AV_PIX_FMT_NE(BGR24, RGB24)},
    {32, {16, 8}, {8, 8}, {0, 8}, AV_PIX_FMT_NE(ARGB, BGRA)},
    {32, {0, 8}, {8, 8}, {16, 8}, AV_PIX_FMT_NE(ABGR, RGBA)},
    {32, {24, 8}, {16, 8}, {8, 8}, AV_PIX_FMT_NE(RGBA, ABGR)},
    {32, {8, 8}, {16, 8}, {24, 8}, AV_PIX_FMT_NE(BGRA, ARGB)},
};

bool same_field(const fb_bitfield& f, const uint32_t want[2])
{
    return f.offset == want[0] && f.length == want[1];
}

// The descriptor of the terminal that fb_open switched to graphics mode, or
// -1; taken by whoever restores it first.
std::atomic<int> console_fd{-1};

// The OS's reason why `path` could not be used, and who could: the group
// that the device grants `bits` (S_IRGRP, S_IWGRP) to, when the program is
// not in it ("Permission denied; the group 'video' may open it").
std::string device_reason(const char* path, int err, mode_t bits)
{
    std::string why = strerror(err);
    struct stat st;
    if (err != EACCES || stat(path, &st) != 0 || (st.st_mode & bits) != bits)
        return why;
    gid_t groups[256];
    const int n = getgroups(256, groups);
    if (getegid() == st.st_gid || std::find(groups, groups + std::max(n, 0), st.st_gid) != groups + std::max(n, 0))
        return why;
    const group* g = getgrgid(st.st_gid);
    return why + "; the group '" + (g != nullptr ? g->gr_name : std::to_string(st.st_gid)) + "' may open it";
}

}  // namespace

// Write access is enough (/dev/tty0 is root:tty 0620); switching a terminal
// that is not ours takes CAP_SYS_TTY_CONFIG.
void fb_take_console(void)
{
    const char* tried = nullptr;
    std::string why;
    for (const char* tty : {"/dev/tty0", "/dev/tty"}) {
        int fd = open(tty, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == EACCES)
            fd = open(tty, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && ioctl(fd, KDSETMODE, KD_GRAPHICS) == 0) {
            int old = console_fd.exchange(fd);
            if (old >= 0)
                close(old);
            // Every exit() gives the console back, that of a fatal failure
            // in the thread layer included.
            static bool at_exit = atexit(fb_restore_console) == 0;
            (void)at_exit;
            return;
        }
        if (tried == nullptr) {
            tried = tty;
            why = fd < 0 ? device_reason(tty, errno, S_IWGRP)
                         : std::string(strerror(errno)) + (errno == EPERM ? "; it takes CAP_SYS_TTY_CONFIG" : "");
        }
        if (fd >= 0)
            close(fd);
    }
    fprintf(stderr, "Cannot switch %s to graphics mode (%s): console text may show over the windows\n", tried,
            why.c_str());
}

void fb_restore_console(void)
{
    int fd = console_fd.exchange(-1);
    if (fd >= 0) {
        ioctl(fd, KDSETMODE, KD_TEXT);
        close(fd);
    }
}

bool fb_setup(fbuffer_t* fb, char* why, size_t why_size)
{
    const fb_fix_screeninfo& f = fb->finfo;
    const fb_var_screeninfo& v = fb->vinfo;
    fb->screen = nullptr;
    fb->bytes_per_pixel = 0;
    fb->format = AV_PIX_FMT_NONE;
    if (f.type != FB_TYPE_PACKED_PIXELS) {
        snprintf(why, why_size, "%s pixels", fb_type_name(f.type));
        return false;
    }
    if (f.visual != FB_VISUAL_TRUECOLOR && f.visual != FB_VISUAL_DIRECTCOLOR) {
        snprintf(why, why_size, "%s visual (palette or monochrome)", fb_visual_name(f.visual));
        return false;
    }
    if (v.grayscale == 1) {
        snprintf(why, why_size, "grayscale");
        return false;
    }
    if (v.grayscale > 1) {
        const uint32_t c = v.grayscale;
        snprintf(why, why_size, "FOURCC %c%c%c%c", c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF, c >> 24);
        return false;
    }
    const layout_t* l = nullptr;
    for (const layout_t& k : layouts)
        if (v.nonstd == 0 && v.bits_per_pixel == k.bits && same_field(v.red, k.red) && same_field(v.green, k.green)
            && same_field(v.blue, k.blue))
            l = &k;
    if (l == nullptr) {
        snprintf(why, why_size,
                 "%u bits per pixel, red %u bits at %u, green %u at %u, blue %u at %u%s",
                 v.bits_per_pixel, v.red.length, v.red.offset, v.green.length, v.green.offset, v.blue.length,
                 v.blue.offset, v.nonstd != 0 ? ", non-standard" : "");
        return false;
    }
    // Every pixel of the visible area, from its first to its last, must lie
    // in the memory; unsigned sums in 64 bits cannot wrap.
    const uint64_t bpp = (l->bits + 7) / 8;
    const uint64_t line = f.line_length;
    const uint64_t first = (f.smem_start & 0xfff) + uint64_t(v.yoffset) * line + uint64_t(v.xoffset) * bpp;
    const uint64_t end = first + (uint64_t(v.yres) - 1) * line + uint64_t(v.xres) * bpp;
    if (v.xres == 0 || v.yres == 0) {
        snprintf(why, why_size, "empty visible area %ux%u", v.xres, v.yres);
        return false;
    }
    if (line < (uint64_t(v.xoffset) + v.xres) * bpp || fb->fb == nullptr || fb->fb_size < 0
        || end > uint64_t(fb->fb_size)) {
        snprintf(why, why_size, "visible area %ux%u at (%u,%u) with %u-byte lines does not fit in %d bytes of memory",
                 v.xres, v.yres, v.xoffset, v.yoffset, f.line_length, fb->fb_size);
        return false;
    }
    fb->format = l->format;
    fb->bytes_per_pixel = static_cast<int>(bpp);
    fb->screen = fb->fb + first;
    return true;
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
        fprintf(stderr, "Error opening %s: %s.\n", fbdev, device_reason(fbdev, errno, S_IRGRP | S_IWGRP).c_str());
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

    // Anything but a known packed RGB layout, or a description whose visible
    // area does not lie in the mapping, would put garbage on the screen or
    // write outside the mapping: refused, so that the caller falls back.
    char why[160];
    if (!fb_setup(fb, why, sizeof why)) {
        fprintf(stderr, "Cannot draw on framebuffer %s: %s\n", fbdev, why);
        munmap(fb->fb, static_cast<size_t>(fb->fb_size));
        close(fb->fbdev);
        free(fb);
        return nullptr;
    }

    fb_take_console();
    // What the screen showed before (boot messages, a login prompt) would
    // stay around the windows.
    for (uint32_t y = 0; y < v->yres; ++y)
        memset(fb->screen + size_t(y) * fb->finfo.line_length, 0, size_t(v->xres) * fb->bytes_per_pixel);
    return fb;
}

fbuffer_t* fb_open_fake(int width, int height)
{
    return fb_open_fake_format(width, height, AV_PIX_FMT_RGB565);
}

fbuffer_t* fb_open_fake_format(int width, int height, AVPixelFormat format)
{
    assert(width > 0 && height > 0);
    const layout_t* l = std::find_if(std::begin(layouts), std::end(layouts),
                                     [format](const layout_t& k) { return k.format == format; });
    assert(l != std::end(layouts));
    const int bpp = static_cast<int>(l->bits + 7) / 8;
    fbuffer_t* fb = fb_alloc();

    fb->fbdev = -1;
    fb->fb_size = width * height * bpp;
    fb->fb = static_cast<uint8_t*>(calloc(static_cast<size_t>(fb->fb_size), 1));
    assert(fb->fb != nullptr);

    fb->finfo.type = FB_TYPE_PACKED_PIXELS;
    fb->finfo.visual = FB_VISUAL_TRUECOLOR;
    fb->finfo.line_length = static_cast<uint32_t>(width * bpp);

    fb->vinfo.bits_per_pixel = l->bits;
    fb->vinfo.xres = fb->vinfo.xres_virtual = static_cast<uint32_t>(width);
    fb->vinfo.yres = fb->vinfo.yres_virtual = static_cast<uint32_t>(height);
    fb->vinfo.red = {l->red[0], l->red[1], 0};
    fb->vinfo.green = {l->green[0], l->green[1], 0};
    fb->vinfo.blue = {l->blue[0], l->blue[1], 0};
    char why[160];
    bool ok = fb_setup(fb, why, sizeof why);
    assert(ok);
    (void)ok;
    return fb;
}

void fb_close(fbuffer_t* fb)
{
    if (fb == nullptr)
        return;
    if (fb->fbdev == -1) {
        free(fb->fb);
    } else {
        fb_restore_console();
        munmap(fb->fb, static_cast<size_t>(fb->fb_size));
        close(fb->fbdev);
    }
    free(fb);
}
