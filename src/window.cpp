#include "window.h"

#include <algorithm>
#include <tuple>

#include "geometry.h"

void window_init(window_state_t* w, const stream_settings_t& settings)
{
    w->win = settings;
    w->win.input_options.clear();
    w->win.decoder_options.clear();
}

void window_done(window_state_t* w)
{
    label_done(&w->label);
}

output_rect_t window_rect(const fbuffer_t* fb, const window_state_t* w, int drawn_w, int drawn_h)
{
    fbuffer_t view;
    window_place_t p;
    if (!window_view(fb, w->win, drawn_w, drawn_h, &view, &p))
        return {};
    return {p.view_x, p.view_y, view.vinfo.xres, view.vinfo.yres};
}

bool window_take_layout(window_state_t* w, stream_t* s, monitor_t* mon, fbuffer_t* (*surface)(), int drawn_w,
                        int drawn_h, output_rect_t* old)
{
    const unsigned serial = s->layout_serial.load();
    if (serial == w->layout_seen)
        return false;
    monitor_guard hold(mon);
    w->layout_seen = serial;
    w->label_text = s->label;
    w->label_shown = 0;
    stream_settings_t& win = w->win;
    if (std::tie(win.x, win.y, win.w, win.h) == std::tie(s->win_x, s->win_y, s->win_w, s->win_h))
        return false;
    *old = window_rect(surface(), w, drawn_w, drawn_h);
    std::tie(win.x, win.y, win.w, win.h) = std::tie(s->win_x, s->win_y, s->win_w, s->win_h);
    return true;
}

output_rect_t window_draw_label(window_state_t* w, const stream_t* s, fbuffer_t* fb, int drawn_w, int drawn_h,
                                long long now, bool after_picture,
                                const std::function<void(const output_rect_t&)>& before)
{
    if (w->label_text.empty() || !label_font_ready())
        return {};
    const uint32_t colour = label_colour(s, now);
    if (!after_picture && colour == w->label_shown)
        return {};
    fbuffer_t view;
    window_place_t p;
    if (!window_view(fb, w->win, drawn_w, drawn_h, &view, &p))
        return {};
    const int height = static_cast<int>(std::max<long long>(LABEL_MIN_HEIGHT, p.h / 12));
    if (!label_make(&w->label, w->label_text, height, static_cast<int>(p.w - 2 * LABEL_INSET)))
        return {};
    const long long x = p.x + LABEL_INSET, y = p.y + p.h - LABEL_INSET - height;
    const output_rect_t place = {p.view_x + x, p.view_y + y, w->label.width, height};
    before(place);
    label_draw(&w->label, &view, static_cast<int>(x), static_cast<int>(y), colour);
    w->label_shown = colour;
    return place;
}
