// MJPEG pictures through libjpeg-turbo: each packet is one JPEG, decompressed
// straight into YUV planes as the JPEG holds them (no colour conversion), and
// at a reduced size when the window is much smaller than the picture. What it
// does not take goes back to the caller for FFmpeg's decoder.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

struct jpeg_decoder_t;
struct jpeg_decoder_deleter {
    void operator()(jpeg_decoder_t* d) const;
};
using jpeg_decoder_ptr = std::unique_ptr<jpeg_decoder_t, jpeg_decoder_deleter>;

// Null when libjpeg-turbo cannot be set up.
jpeg_decoder_ptr jpeg_decoder_new(void);

// What one picture is decoded for.
struct jpeg_target_t {
    // The window the picture is scaled into; 0 (or less) in either: the
    // picture's own size, no reduction.
    int winw = 0;
    int winh = 0;
    // The stream's picture height as the container gives it, 0 unknown: a
    // JPEG much shorter is one field of an interlaced picture, which only
    // FFmpeg's decoder pairs up.
    int stream_height = 0;
    // A picture of more pixels is decoded reduced until it has no more, and
    // refused when even 1/8 has more; 0: no bound.
    long long max_pixels = 0;
};

// The reduction (1, 2, 4 or 8) of a w x h picture whose result still covers
// a winw x winh window in both dimensions. Only these divisors have SIMD
// inverse transforms; 1 when there is no window.
int jpeg_reduction(int w, int h, int winw, int winh);

// Decompresses one JPEG into pic (unreferenced first). False, with pic left
// empty, for anything libjpeg-turbo refuses, fails or warns on, and for
// colour spaces or layouts that have no planar YUV format. On success
// *fullw x *fullh is the JPEG's own size, pic's the decoded one.
bool jpeg_decode(jpeg_decoder_t* d, const uint8_t* data, int size, const jpeg_target_t& target, AVFrame* pic,
                 int* fullw, int* fullh);
