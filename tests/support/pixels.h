// The one way tests read and write a surface's pixels: red, green and blue
// through the surface's own channel description, each as the top bits of an
// 8-bit value. Reading through the description, not the layout's name, is
// what catches a name and a description that disagree.
#pragma once

#include <cstring>
#include <ostream>
#include <utility>

#include "fbuffer.h"

struct rgb_t {
    int r, g, b;
    bool operator==(const rgb_t&) const = default;
};

// Pixel (x, y) of the visible area; x and y may lie outside it, in the memory.
inline uint8_t* pixel_at(const fbuffer_t* fb, long x, long y)
{
    return fb->screen + y * static_cast<long>(fb->finfo.line_length) + x * fb->bytes_per_pixel;
}

inline rgb_t rgb_at(const fbuffer_t* fb, long x, long y)
{
    uint32_t v = 0;
    memcpy(&v, pixel_at(fb, x, y), static_cast<size_t>(fb->bytes_per_pixel));
    auto ch = [v](const fb_bitfield& f) { return int((v >> f.offset) & ((1u << f.length) - 1)) << (8 - f.length); };
    return {ch(fb->vinfo.red), ch(fb->vinfo.green), ch(fb->vinfo.blue)};
}

// Keeps the bits outside the three channels.
inline void set_rgb(fbuffer_t* fb, long x, long y, rgb_t c)
{
    uint32_t v = 0;
    uint8_t* p = pixel_at(fb, x, y);
    memcpy(&v, p, static_cast<size_t>(fb->bytes_per_pixel));
    for (auto [f, value] : {std::pair{fb->vinfo.red, c.r}, {fb->vinfo.green, c.g}, {fb->vinfo.blue, c.b}}) {
        const uint32_t mask = ((1u << f.length) - 1) << f.offset;
        v = (v & ~mask) | ((static_cast<uint32_t>(value) >> (8 - f.length)) << f.offset & mask);
    }
    memcpy(p, &v, static_cast<size_t>(fb->bytes_per_pixel));
}

inline std::ostream& operator<<(std::ostream& o, const rgb_t& c)
{
    return o << c.r << "," << c.g << "," << c.b;
}

// c as the surface keeps it: each channel cut to its field's top bits.
inline rgb_t top_bits(const fbuffer_t* fb, rgb_t c)
{
    auto cut = [](int v, const fb_bitfield& f) { return v & (0xFF << (8 - f.length)) & 0xFF; };
    return {cut(c.r, fb->vinfo.red), cut(c.g, fb->vinfo.green), cut(c.b, fb->vinfo.blue)};
}
