#include "output.h"

#include <cassert>

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
