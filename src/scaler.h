// Scaling a picture into its window on the surface: the per-stream
// converter, cached for the picture's and window's sizes, and the scratch
// picture for windows that reach past the screen. The render thread's alone.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "geometry.h"

struct SwsContext;

// How pictures are scaled (--scale): `point` is libswscale's point sampling,
// as before libyuv came in; `bilinear` and `box` are libyuv's filters, and
// `fast` libyuv's point sampling (cheaper than libswscale's, not the same
// pixels). The program's default is bilinear everywhere: it costs about what
// libswscale's point sampling did, box two to three times that even where
// the window is under half the picture (render_bench).
enum scale_e : int { SCALE_POINT, SCALE_BILINEAR, SCALE_BOX, SCALE_FAST };
// The mode of an option's value; false for an unknown one.
bool scale_from_name(const char* name, scale_e* mode);

// One stream's converter and what it was made for: libyuv's where it knows
// the picture's and the surface's layouts, else libswscale's.
struct scaler_t {
    bool yuv = false;  // libyuv's, with filter `yuv_filter`
    int yuv_filter = 0;
    SwsContext* sws = nullptr;
    int sws_flags = 0;
    int src_w = 0;
    int src_h = 0;
    int dst_w = 0;  // the window's size the last picture was scaled to
    int dst_h = 0;
    int format = 0;
};

// A scratch picture that the streams share, grown as needed.
struct scaler_scratch_t {
    struct av_free_deleter {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, av_free_deleter> buf;
    size_t size = 0;
    std::vector<uint8_t> yuv;  // the picture at the window's size, before conversion
    std::vector<uint8_t> turned;  // the same turned (libyuv), or libswscale's picture turned
};

// Points `data` at the part of the picture the window shows. False when the
// picture's format cannot be cropped that way: the planes are then the
// picture's own, its top-left part.
bool scaler_source_planes(const AVFrame* pic, const geometry_t& g, uint8_t* data[4], int linesize[4]);

// Makes `sc` ready for this picture and window in this mode; false when no
// converter can be made.
bool scaler_prepare(scaler_t* sc, const geometry_t& g, int format, AVPixelFormat to, scale_e mode = SCALE_POINT);

// Scales the picture into the window's visible part `v` of the surface and
// nothing else. False when the window reaches past the screen and is too
// large for the scratch picture: nothing is drawn. With `degrees` (--rotate)
// `g` and `v` are the viewer's, and the picture is turned onto `fb`.
bool scaler_draw(scaler_t* sc, scaler_scratch_t* scratch, fbuffer_t* fb, uint8_t* const src[4],
                 const int srcstride[4], const geometry_t& g, const visible_t& v, int format, int degrees = 0);

// Frees the converter (under the FFmpeg monitor).
void scaler_done(scaler_t* sc);
