#include "output.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace {

// A mapped framebuffer device: the mapping is what the device shows, so
// drawing is presenting and neither call has anything left to do.
class fbdev_output final : public output_t {
public:
    explicit fbdev_output(fbuffer_t* fb) : fb_(fb) {}
    ~fbdev_output() override { fb_close(fb_); }
    fbuffer_t* surface() override { return fb_; }
    void changed(const output_rect_t*, int) override {}
    void present() override {}

private:
    fbuffer_t* fb_;
};

// Ordinary memory described like a screen: nobody looks at it but snapshots
// and tests, which read the memory itself.
class memory_output final : public output_t {
public:
    explicit memory_output(fbuffer_t* fb) : fb_(fb) {}
    ~memory_output() override { fb_close(fb_); }
    fbuffer_t* surface() override { return fb_; }
    void changed(const output_rect_t*, int) override {}
    void present() override {}

private:
    fbuffer_t* fb_;
};

}  // namespace

std::unique_ptr<output_t> output_open_fbdev(const char* path)
{
    fbuffer_t* fb = fb_open(path);
    if (fb == nullptr)
        return nullptr;
    return std::make_unique<fbdev_output>(fb);
}

std::unique_ptr<output_t> output_open_memory(int width, int height)
{
    fbuffer_t* fb = fb_open_fake(width, height);
    if (fb == nullptr)
        return nullptr;
    return std::make_unique<memory_output>(fb);
}

std::unique_ptr<output_t> output_adopt(fbuffer_t* surface)
{
    assert(surface != nullptr);
    if (surface->fbdev >= 0)
        return std::make_unique<fbdev_output>(surface);
    return std::make_unique<memory_output>(surface);
}

// Row after row.
void output_copy_surface(const fbuffer_t* fb, surface_copy_t* c)
{
    if (fb == nullptr || fb->finfo.line_length == 0 || fb->bytes_per_pixel <= 0)
        return;
    const uint8_t* first = fb->screen;
    c->format = fb->format;
    c->bytespp = fb->bytes_per_pixel;
    const int line = static_cast<int>(fb->finfo.line_length);
    c->width = std::min(static_cast<int>(fb->vinfo.xres), line / c->bytespp);
    c->height = std::min(static_cast<int>(fb->vinfo.yres), static_cast<int>((fb->fb_size - (first - fb->fb)) / line));
    c->stride = c->width * c->bytespp;
    c->pixels.resize(static_cast<size_t>(c->stride) * c->height);
    for (int y = 0; y < c->height; ++y)
        memcpy(c->pixels.data() + static_cast<size_t>(y) * c->stride, first + static_cast<size_t>(y) * line,
               static_cast<size_t>(c->stride));
}
