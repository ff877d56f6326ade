#include "snapshot.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "render.h"
#include "velmor.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

// A picture in the render thread's hands for longer than this means it is
// stuck; the snapshot gives up rather than the console.
constexpr long COPY_TIMEOUT_MS = 5000;

// The copy as an RGB24 picture.
bool to_rgb(const surface_copy_t& c, AVFrame* rgb, std::string* reason)
{
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = c.width;
    rgb->height = c.height;
    int err;
    {
        ffmpeg_guard ff;
        err = av_frame_get_buffer(rgb, 0);
    }
    if (err < 0) {
        *reason = av_error_text(err);
        return false;
    }
    SwsContext* sws;
    {
        ffmpeg_guard ff;
        sws = sws_getContext(c.width, c.height, c.format, c.width, c.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
                             nullptr, nullptr);
    }
    if (sws == nullptr) {
        *reason = "no converter from the surface's format";
        return false;
    }
    const uint8_t* src[4] = {c.pixels.data()};
    const int stride[4] = {c.stride};
    sws_scale(sws, src, stride, 0, c.height, rgb->data, rgb->linesize);
    ffmpeg_guard ff;
    sws_freeContext(sws);
    return true;
}

bool encode_png(AVFrame* rgb, packet_ptr* png, std::string* reason)
{
    decoder_ptr enc;  // the owner frees encoders as well
    int err = AVERROR_ENCODER_NOT_FOUND;
    {
        ffmpeg_guard ff;
        if (const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG)) {
            enc.reset(avcodec_alloc_context3(codec));
            png->reset(av_packet_alloc());
            if (enc == nullptr || *png == nullptr) {
                err = AVERROR(ENOMEM);
            } else {
                enc->width = rgb->width;
                enc->height = rgb->height;
                enc->pix_fmt = AV_PIX_FMT_RGB24;
                enc->time_base = {1, 1};
                err = avcodec_open2(enc.get(), codec, nullptr);
            }
        }
    }
    if (err >= 0)
        err = avcodec_send_frame(enc.get(), rgb);
    if (err >= 0)
        err = avcodec_receive_packet(enc.get(), png->get());
    if (err < 0) {
        *reason = "cannot encode: " + av_error_text(err);
        return false;
    }
    return true;
}

bool write_file(const char* file, const AVPacket* png, std::string* reason)
{
    FILE* f = fopen(file, "wb");
    if (f == nullptr) {
        *reason = strerror(errno);
        return false;
    }
    const bool written = fwrite(png->data, 1, static_cast<size_t>(png->size), f) == static_cast<size_t>(png->size);
    const int write_errno = errno;
    if (fclose(f) != 0 || !written) {
        *reason = strerror(written ? errno : write_errno);
        unlink(file);  // no half picture left behind
        return false;
    }
    return true;
}

}  // namespace

bool snapshot_write(const char* file, std::string* reason)
{
    surface_copy_t copy;
    if (!render_copy_surface(&copy, COPY_TIMEOUT_MS)) {
        *reason = "the render thread gave no picture of the surface";
        return false;
    }
    picture_ptr rgb;
    {
        ffmpeg_guard ff;
        rgb.reset(av_frame_alloc());
    }
    packet_ptr png;
    if (rgb == nullptr) {
        *reason = strerror(ENOMEM);
        return false;
    }
    return to_rgb(copy, rgb.get(), reason) && encode_png(rgb.get(), &png, reason) && write_file(file, png.get(), reason);
}
