#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "in_process.h"
#include "jpeg.h"
#include "media.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

// Smooth content (gradients and a slow wave, each plane its own), compressed
// from planes by libjpeg-turbo.
std::vector<uint8_t> make_jpeg(int w, int h, int subsamp)
{
    const int planes = subsamp == TJSAMP_GRAY ? 1 : 3;
    std::vector<std::vector<uint8_t>> data(planes);
    const unsigned char* src[3] = {};
    int strides[3] = {};
    for (int p = 0; p < planes; ++p) {
        const int pw = tjPlaneWidth(p, w, subsamp), ph = tjPlaneHeight(p, h, subsamp);
        data[p].resize(static_cast<size_t>(pw) * ph);
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x)
                data[p][y * pw + x] = static_cast<uint8_t>(
                    128 + 60 * std::sin((x + 3 * p) / 9.0) + (p + 1) * 50.0 * (y - ph / 2) / ph);
        src[p] = data[p].data();
        strides[p] = pw;
    }
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompressFromYUVPlanes(tj, src, w, strides, h, subsamp, &out, &size, 95, 0), 0) << tjGetErrorStr2(tj);
    std::vector<uint8_t> jpeg(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return jpeg;
}

// Largest difference of a reduced plane from the full one's block means.
int worst_block_mean_error(const AVFrame* full, const AVFrame* reduced, int p, int div)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(full->format));
    const int sx = p == 0 ? 0 : d->log2_chroma_w, sy = p == 0 ? 0 : d->log2_chroma_h;
    const int fw = AV_CEIL_RSHIFT(full->width, sx), fh = AV_CEIL_RSHIFT(full->height, sy);
    const int rw = AV_CEIL_RSHIFT(reduced->width, sx), rh = AV_CEIL_RSHIFT(reduced->height, sy);
    int worst = 0;
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x) {
            long sum = 0, n = 0;
            for (int j = y * div; j < std::min(fh, (y + 1) * div); ++j)
                for (int i = x * div; i < std::min(fw, (x + 1) * div); ++i, ++n)
                    sum += full->data[p][j * full->linesize[p] + i];
            if (n == 0)
                return 999;  // a reduced pixel with nothing under it
            const int mean = static_cast<int>(sum / n);
            worst = std::max(worst, std::abs(mean - reduced->data[p][y * reduced->linesize[p] + x]));
        }
    return worst;
}

// Kept across pictures as a reader keeps it; fw x fh the source's size.
struct Decoder {
    jpeg_decoder_ptr dec = jpeg_decoder_new();
    int fw = 0, fh = 0;
    bool operator()(const std::vector<uint8_t>& jpeg, AVFrame* out, jpeg_target_t target = {}, size_t size = 0)
    {
        return jpeg_decode(dec.get(), jpeg.data(), int(size != 0 ? size : jpeg.size()), target, out, &fw, &fh);
    }
};

TEST(Jpeg, ReductionIsTheSmallestPictureThatCoversTheWindow)
{
    // 161 x 121 reduced by 4 is 41 x 31: rounded up, as the decompressor does.
    for (auto [w, h, ww, wh, want] :
         {std::tuple(640, 480, 400, 300, 1), {640, 480, 320, 240, 2}, {640, 480, 321, 240, 1}, {640, 480, 200, 150, 2},
          {640, 480, 160, 120, 4}, {640, 480, 2, 2, 8}, {161, 121, 41, 31, 4}, {161, 121, 41, 32, 2},
          {640, 480, 0, 150, 1}, {640, 480, -5, 150, 1}})
        EXPECT_EQ(want, jpeg_reduction(w, h, ww, wh)) << w << "x" << h << " into " << ww << "x" << wh;
}

// Odd sizes in every layout: at full size as FFmpeg decodes them; reduced,
// each pixel its block's mean (chroma and the right and bottom edges too).
TEST(Jpeg, PlanesMatchFfmpegAndReduceInPlace)
{
    Decoder decode;
    ASSERT_NE(decode.dec, nullptr);
    for (int subsamp : {TJSAMP_444, TJSAMP_422, TJSAMP_420, TJSAMP_GRAY}) {
        SCOPED_TRACE(subsamp);
        const std::vector<uint8_t> jpeg = make_jpeg(161, 121, subsamp);
        picture_ptr ref = decode_picture(AV_CODEC_ID_MJPEG, jpeg), full(av_frame_alloc()), reduced(av_frame_alloc());
        ASSERT_NE(ref, nullptr);
        ASSERT_TRUE(decode(jpeg, full.get()));
        EXPECT_EQ(full->format, ref->format);
        EXPECT_EQ(av_cmp_q(full->sample_aspect_ratio, ref->sample_aspect_ratio), 0);
        EXPECT_EQ(decode.fw, 161);
        ASSERT_EQ(full->width, ref->width);
        ASSERT_EQ(full->height, ref->height);
        const int planes = subsamp == TJSAMP_GRAY ? 1 : 3;
        for (int p = 0; p < planes; ++p)
            EXPECT_LE(worst_block_mean_error(ref.get(), full.get(), p, 1), 2) << "plane " << p;

        ASSERT_TRUE(decode(jpeg, reduced.get(), {.winw = 40, .winh = 30}));
        EXPECT_EQ(decode.fh, 121);
        EXPECT_EQ(reduced->width, 41);
        EXPECT_EQ(reduced->height, 31);
        for (int p = 0; p < planes; ++p)
            EXPECT_LE(worst_block_mean_error(full.get(), reduced.get(), p, 4), 6) << "plane " << p;
    }
}

// Left to FFmpeg's decoder: a cut or damaged picture, and an interlaced one's
// field (half the stream's height).
TEST(Jpeg, DamagedPicturesAndFieldsAreRefused)
{
    Decoder decode;
    const std::vector<uint8_t> jpeg = make_jpeg(64, 48, TJSAMP_420);
    picture_ptr pic(av_frame_alloc());
    EXPECT_FALSE(decode(jpeg, pic.get(), {}, jpeg.size() / 2));
    EXPECT_EQ(pic->buf[0], nullptr);
    std::vector<uint8_t> noise(jpeg.begin(), jpeg.begin() + 2);
    for (int i = 0; i < 500; ++i)
        noise.push_back(static_cast<uint8_t>(i * 37));
    EXPECT_FALSE(decode(noise, pic.get()));
    EXPECT_FALSE(decode(jpeg, pic.get(), {.stream_height = 96}));
    EXPECT_TRUE(decode(jpeg, pic.get(), {.stream_height = 48}));
}

}  // namespace
