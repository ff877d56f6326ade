// A window of the wall as the render thread keeps it: its place, taken from
// the stream record after the commands changed it, and its label.
#pragma once

#include <functional>
#include <string>

#include "label.h"
#include "output.h"
#include "velmor.h"

struct window_state_t {
    stream_settings_t win;     // the window (no options)
    unsigned layout_seen = 0;  // the record's layout_serial it was taken at
    std::string label_text;
    label_t label;
    uint32_t label_shown = 0;  // colour the label was last drawn in, 0: to draw
};

void window_init(window_state_t* w, const stream_settings_t& settings);
void window_done(window_state_t* w);

// The window's place on the surface (a window of the picture's size as
// large as it was last drawn, drawn_w x drawn_h); 0 x 0 when it is off it.
output_rect_t window_rect(const fbuffer_t* fb, const window_state_t* w, int drawn_w, int drawn_h);

// Takes the window and label the record holds, with the monitor that
// guards them held. True when the window moved; `*old` is then its old place
// on `surface()`, which is asked for only then (an output may bring its
// surface up to date when asked, best once it knows what the next picture
// covers).
bool window_take_layout(window_state_t* w, stream_t* s, monitor_t* mon, fbuffer_t* (*surface)(), int drawn_w,
                        int drawn_h, output_rect_t* old);

// Draws the label in the window's lower-left corner, cut to the window:
// after each picture, else only when its colour changed; `before` is told
// its place just before it is drawn there. The place drawn, or none (0 x 0).
output_rect_t window_draw_label(window_state_t* w, const stream_t* s, fbuffer_t* fb, int drawn_w, int drawn_h,
                                long long now, bool after_picture,
                                const std::function<void(const output_rect_t&)>& before);
