#include "rotate.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <libyuv/rotate.h>
#include <libyuv/rotate_argb.h>

#include "geometry.h"

bool rotate_from_name(const char* name, int* degrees)
{
    for (int d : {0, 90, 180, 270})
        if (name != nullptr && std::to_string(d) == name) {
            *degrees = d;
            return true;
        }
    return false;
}

void rotated_size(const fbuffer_t* device, int degrees, long long* w, long long* h)
{
    *w = degrees % 180 != 0 ? device->vinfo.yres : device->vinfo.xres;
    *h = degrees % 180 != 0 ? device->vinfo.xres : device->vinfo.yres;
}

output_rect_t rotate_rect(int degrees, long long w, long long h, const output_rect_t& r)
{
    switch (degrees) {
    case 90:
        return {h - (r.y + r.h), r.x, r.h, r.w};
    case 180:
        return {w - (r.x + r.w), h - (r.y + r.h), r.w, r.h};
    case 270:
        return {r.y, w - (r.x + r.w), r.h, r.w};
    default:
        return r;
    }
}

void rotate_pixels(const uint8_t* src, int src_stride, int w, int h, uint8_t* dst, int dst_stride, int bpp,
                   int degrees)
{
    const auto mode = static_cast<libyuv::RotationMode>(degrees);
    if (bpp == 4) {
        libyuv::ARGBRotate(src, src_stride, dst, dst_stride, w, h, mode);
        return;
    }
    if (bpp == 2 && ((reinterpret_cast<uintptr_t>(src) | reinterpret_cast<uintptr_t>(dst) | src_stride | dst_stride) & 1) == 0) {
        libyuv::RotatePlane_16(reinterpret_cast<const uint16_t*>(src), src_stride / 2, reinterpret_cast<uint16_t*>(dst),
                               dst_stride / 2, w, h, mode);
        return;
    }
    // 24-bit pixels, which libyuv does not turn.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int tx = degrees == 90 ? h - 1 - y : degrees == 180 ? w - 1 - x : degrees == 270 ? y : x;
            const int ty = degrees == 90 ? x : degrees == 180 ? h - 1 - y : degrees == 270 ? w - 1 - x : y;
            memcpy(dst + static_cast<size_t>(ty) * dst_stride + static_cast<size_t>(tx) * bpp,
                   src + static_cast<size_t>(y) * src_stride + static_cast<size_t>(x) * bpp, static_cast<size_t>(bpp));
        }
}

void rotated_screen_t::closer::operator()(fbuffer_t* fb) const
{
    fb_close(fb);
}

fbuffer_t* rotated_view(rotated_screen_t* s, fbuffer_t* device, int degrees)
{
    if (degrees == 0 || device == nullptr)
        return device;
    long long w, h;
    rotated_size(device, degrees, &w, &h);
    // Not for another device of the same size: DRM's two buffers take turns.
    if (s->view == nullptr || s->view->vinfo.xres != w || s->view->vinfo.yres != h
        || s->view->format != device->format)
        s->view.reset(fb_open_fake_format(static_cast<int>(w), static_cast<int>(h), device->format));
    return s->view.get();
}

namespace {

// The part of `r` on the view, and where it lies on the view and the device.
bool place(const rotated_screen_t* s, const fbuffer_t* device, int degrees, const output_rect_t& r, uint8_t** at,
           uint8_t** device_at, output_rect_t* on_device, output_rect_t* cut)
{
    const fbuffer_t* v = s->view.get();
    *cut = intersect(r, {0, 0, v->vinfo.xres, v->vinfo.yres});
    if (cut->w <= 0 || cut->h <= 0)
        return false;
    *on_device = rotate_rect(degrees, v->vinfo.xres, v->vinfo.yres, *cut);
    const long long bpp = v->bytes_per_pixel;
    *at = v->screen + cut->y * v->finfo.line_length + cut->x * bpp;
    *device_at = device->screen + on_device->y * device->finfo.line_length + on_device->x * bpp;
    return true;
}

}  // namespace

output_rect_t rotated_put(rotated_screen_t* s, fbuffer_t* device, int degrees, const output_rect_t& r)
{
    uint8_t *at, *device_at;
    output_rect_t on_device, cut;
    if (!place(s, device, degrees, r, &at, &device_at, &on_device, &cut))
        return {0, 0, 0, 0};
    rotate_pixels(at, static_cast<int>(s->view->finfo.line_length), static_cast<int>(cut.w), static_cast<int>(cut.h),
                  device_at, static_cast<int>(device->finfo.line_length), device->bytes_per_pixel, degrees);
    return on_device;
}

void rotated_get(rotated_screen_t* s, const fbuffer_t* device, int degrees, const output_rect_t& r)
{
    uint8_t *at, *device_at;
    output_rect_t on_device, cut;
    if (place(s, device, degrees, r, &at, &device_at, &on_device, &cut))
        rotate_pixels(device_at, static_cast<int>(device->finfo.line_length), static_cast<int>(on_device.w),
                      static_cast<int>(on_device.h), at, static_cast<int>(s->view->finfo.line_length),
                      device->bytes_per_pixel, (360 - degrees) % 360);
}

void rotate_copy_back(surface_copy_t* c, int degrees)
{
    if (degrees == 0 || c->pixels.empty())
        return;
    const int w = degrees % 180 != 0 ? c->height : c->width, h = degrees % 180 != 0 ? c->width : c->height;
    std::vector<uint8_t> turned(static_cast<size_t>(w) * h * c->bytespp);
    rotate_pixels(c->pixels.data(), c->stride, c->width, c->height, turned.data(), w * c->bytespp, c->bytespp,
                  (360 - degrees) % 360);
    c->pixels = std::move(turned);
    std::tie(c->width, c->height, c->stride) = std::tuple(w, h, w * c->bytespp);
}
