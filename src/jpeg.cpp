#include "jpeg.h"

#include <turbojpeg.h>

#include <cassert>
#include <climits>
#include <cstring>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/macros.h>
#include <libavutil/pixfmt.h>
}

struct jpeg_decoder_t {
    tjhandle tj = nullptr;
    // Picture buffers come from a pool of the current layout's size: the
    // renderer gives them back, one per picture in flight.
    AVBufferPool* pool = nullptr;
    int pool_size = 0;
};

void jpeg_decoder_deleter::operator()(jpeg_decoder_t* d) const
{
    if (d == nullptr)
        return;
    if (d->tj != nullptr)
        tjDestroy(d->tj);
    // Buffers still out with the renderer keep the pool until they return.
    av_buffer_pool_uninit(&d->pool);
    delete d;
}

jpeg_decoder_ptr jpeg_decoder_new(void)
{
    jpeg_decoder_ptr d(new jpeg_decoder_t{});
    d->tj = tjInitDecompress();
    if (d->tj == nullptr)
        return nullptr;
    return d;
}

int jpeg_reduction(int w, int h, int winw, int winh)
{
    if (winw <= 0 || winh <= 0)
        return 1;
    int div = 1;
    // The same rounding as the decompressor's own (up).
    while (div < 8 && (w + 2 * div - 1) / (2 * div) >= winw && (h + 2 * div - 1) / (2 * div) >= winh)
        div *= 2;
    return div;
}

namespace {

// The planar format FFmpeg's own decoder gives for the same JPEG, so that
// the renderer sees the same picture whichever decoder made it.
AVPixelFormat format_of(int subsamp)
{
    switch (subsamp) {
    case TJSAMP_444:
        return AV_PIX_FMT_YUVJ444P;
    case TJSAMP_422:
        return AV_PIX_FMT_YUVJ422P;
    case TJSAMP_420:
        return AV_PIX_FMT_YUVJ420P;
    case TJSAMP_GRAY:
        return AV_PIX_FMT_GRAY8;
    case TJSAMP_440:
        return AV_PIX_FMT_YUVJ440P;
    case TJSAMP_411:
        return AV_PIX_FMT_YUVJ411P;
    default:
        return AV_PIX_FMT_NONE;
    }
}

// The pixel aspect of the JFIF header, read as FFmpeg's decoder reads it
// (densities as the ratio, whatever their unit); 0/1 when there is none.
AVRational jfif_aspect(const uint8_t* data, int size)
{
    auto be16 = [&](int at) { return data[at] << 8 | data[at + 1]; };
    for (int at = 2; at + 4 <= size && data[at] == 0xff;) {
        const int marker = data[at + 1];
        if (marker == 0xff) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xda)  // the picture data starts
            break;
        const int len = be16(at + 2);
        if (marker == 0xe0 && len >= 16 && at + 4 + 12 <= size && memcmp(data + at + 4, "JFIF", 5) == 0) {
            const int x = be16(at + 4 + 8), y = be16(at + 4 + 10);
            return x > 0 && y > 0 ? AVRational{x, y} : AVRational{0, 1};
        }
        at += 2 + len;
    }
    return {0, 1};
}

// A handle that failed may stay failed (libjpeg-turbo 2.1 leaves the
// decompressor mid-header after some errors): the next picture gets a new one.
bool refuse(jpeg_decoder_t* d)
{
    tjDestroy(d->tj);
    d->tj = tjInitDecompress();
    return false;
}

// Line sizes are whole 64-byte blocks: the converter's SIMD reads whole
// blocks, and every plane starts aligned.
constexpr int line_align = 64;
// After the last plane: the converter may read a block past a line's end.
constexpr int tail_slack = 64;

}  // namespace

bool jpeg_decode(jpeg_decoder_t* d, const uint8_t* data, int size, const jpeg_target_t& target, AVFrame* pic,
                 int* fullw, int* fullh)
{
    assert(d != nullptr && pic != nullptr && fullw != nullptr && fullh != nullptr);
    av_frame_unref(pic);
    if (d->tj == nullptr && (d->tj = tjInitDecompress()) == nullptr)
        return false;
    if (data == nullptr || size <= 0)
        return false;
    int w = 0, h = 0, subsamp = -1, colorspace = -1;
    unsigned char* buf = const_cast<unsigned char*>(data);
    const unsigned long len = static_cast<unsigned long>(size);
    if (tjDecompressHeader3(d->tj, buf, len, &w, &h, &subsamp, &colorspace) != 0)
        return refuse(d);
    const AVPixelFormat format = format_of(subsamp);
    const bool planar = colorspace == TJCS_YCbCr || (colorspace == TJCS_GRAY && subsamp == TJSAMP_GRAY);
    if (!planar || format == AV_PIX_FMT_NONE || w <= 0 || h <= 0)
        return false;
    // FFmpeg's own test for one field of an interlaced picture.
    if (target.stream_height > 0 && h < target.stream_height * 3 / 4)
        return false;

    int div = jpeg_reduction(w, h, target.winw, target.winh);
    const auto pixels = [&] { return static_cast<long long>((w + div - 1) / div) * ((h + div - 1) / div); };
    while (target.max_pixels > 0 && div < 8 && pixels() > target.max_pixels)
        div *= 2;
    if (target.max_pixels > 0 && pixels() > target.max_pixels)
        return false;
    const int dw = (w + div - 1) / div;
    const int dh = (h + div - 1) / div;
    const int planes = subsamp == TJSAMP_GRAY ? 1 : 3;
    int strides[3] = {};
    int heights[3] = {};
    long long total = tail_slack;
    for (int p = 0; p < planes; ++p) {
        const int pw = tjPlaneWidth(p, dw, subsamp);
        heights[p] = tjPlaneHeight(p, dh, subsamp);
        if (pw <= 0 || heights[p] <= 0)
            return false;
        strides[p] = FFALIGN(pw, line_align);
        total += static_cast<long long>(strides[p]) * heights[p];
    }
    if (total > INT_MAX / 2)
        return false;
    if (d->pool == nullptr || d->pool_size != total) {
        av_buffer_pool_uninit(&d->pool);
        d->pool = av_buffer_pool_init(static_cast<size_t>(total), nullptr);
        d->pool_size = d->pool != nullptr ? static_cast<int>(total) : 0;
        if (d->pool == nullptr)
            return false;
    }
    AVBufferRef* mem = av_buffer_pool_get(d->pool);
    if (mem == nullptr)
        return false;
    unsigned char* dst[3] = {};
    uint8_t* at = mem->data;
    for (int p = 0; p < planes; ++p) {
        dst[p] = at;
        at += static_cast<ptrdiff_t>(strides[p]) * heights[p];
    }
    // Warnings (a truncated or damaged picture filled in grey) count as
    // failures: FFmpeg's decoder handles those pictures as it always did.
    if (tjDecompressToYUVPlanes(d->tj, buf, len, dst, dw, strides, dh, TJFLAG_STOPONWARNING) != 0) {
        av_buffer_unref(&mem);
        return refuse(d);
    }
    pic->buf[0] = mem;
    for (int p = 0; p < planes; ++p) {
        pic->data[p] = dst[p];
        pic->linesize[p] = strides[p];
    }
    pic->extended_data = pic->data;
    pic->width = dw;
    pic->height = dh;
    pic->format = format;
    pic->color_range = AVCOL_RANGE_JPEG;
    pic->chroma_location = AVCHROMA_LOC_CENTER;
    pic->sample_aspect_ratio = jfif_aspect(data, size);
    pic->key_frame = 1;
    pic->pict_type = AV_PICTURE_TYPE_I;
    *fullw = w;
    *fullh = h;
    return true;
}
