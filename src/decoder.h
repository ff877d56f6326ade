// The video decoder of a stream: which one (`-c`, else the codec's own, and
// libjpeg-turbo for MJPEG), opened with the stream's `-d` options, its
// threads and its size limit; and how much of the work its window needs.
#pragma once

#include "jpeg.h"
#include "shared.h"
#include "velmor.h"

// The most pixels a decoded picture may have: 4K (DCI and UHD) passes. A
// camera's 16000x16000 pictures held 400 MB a stream; larger JPEGs are
// decoded reduced, any other decoder refuses them (FFmpeg's max_pixels).
constexpr long long picture_pixels_max = 4096 * 2304;

// What decoder_open made.
struct video_decoder_t {
    decoder_ptr ctx;
    // MJPEG through libjpeg-turbo, FFmpeg's decoder for what it refuses;
    // null for other codecs. Kept from one open to the next.
    jpeg_decoder_ptr jpeg;
    // Intra-only pictures stand alone: a packet may simply be dropped.
    bool intra_only = true;
    // H.264 or HEVC, and no skip_loop_filter of the user's (-d): the loop
    // filter is decoder_fit_window's to choose.
    bool fits_window = false;
};

// Opens the decoder of the stream's video (par). 0, or after the message
// that ends the stream, the error: AVERROR_OPTION_NOT_FOUND when an option
// was not taken (already reported).
int decoder_open(stream_t* s, const AVCodecParameters* par, video_decoder_t* d);

// Where the window shows the picture at half its size or less both ways,
// skips the loop filter on non-key pictures: the downscale hides what it
// smooths, and it is 13-16% of an H.264 decode. Before each packet, since
// `move` and `grid` change the window; the decoders read it per slice.
void decoder_fit_window(video_decoder_t* d, const stream_t* s);
