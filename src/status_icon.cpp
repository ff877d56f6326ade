#include "status_icon.h"

#include <cassert>
#include <cstdio>
#include <iterator>

#include "icons/document-quick_restart.xpm"
#include "icons/edit-delete.xpm"
#include "icons/emblem-urgent.xpm"
#include "icons/knetattach.xpm"

void status_icons_init(status_icons_t* icons)
{
    icons->images[I_NONE] = {};
    icon_init_xpm(&icons->images[I_CONNECTING], document_quick_restart);
    icon_init_xpm(&icons->images[I_CONNECTED], knetattach);
    icon_init_xpm(&icons->images[I_ERROR], edit_delete);
    icon_init_xpm(&icons->images[I_DELAY], emblem_urgent);
}

void status_icons_done(status_icons_t* icons)
{
    for (icon_t& i : icons->images)
        if (i.argb != nullptr)
            icon_done(&i);
}

std::optional<icon_e> status_icon_for(const stream_t* s, long long now)
{
    switch (s->state.load()) {
    case SS_CONNECT_ERROR:
        return I_ERROR;
    case SS_CONNECTED: {
        const long long last = s->last_frame_time.load();
        return last != 0 && now - last > DELAY_ICON_AFTER_MS ? I_DELAY : I_NONE;
    }
    case SS_RECONNECTING:
        return I_CONNECTING;
    case SS_STOPPED:
        return I_NONE;
    default:  // no icon while the first attempt runs
        return std::nullopt;
    }
}

void status_icon_show(status_icons_t* icons, stream_t* stream, icon_spot_t* spot, fbuffer_t* where, int ix,
                      int iy, icon_e icon)
{
    assert(stream != nullptr);
    if (stream->render_off.load() != 0 || stream->current_icon.load() == icon)
        return;
    if (spot->background_valid != 0) {
        icon_draw(where, &spot->background, ix, iy);
    } else if (stream->current_icon.load() == I_NONE) {
        icon_copy(where, &spot->background, ix, iy);
        spot->background_valid = 1;
    } else {
        printf("%s: cannot copy background!\n", "render_draw_icon");
    }

    static constexpr const char* names[] = {nullptr, "icon_connecting", "icon_connected", "icon_error",
                                            "icon_delay"};
    const unsigned k = static_cast<unsigned>(icon);
    if (k < std::size(names) && names[k] != nullptr) {
        printf("%s: draw %s for stream '%s'\n", "render_draw_icon", names[k], stream->name);
        icon_draw(where, &icons->images[k], ix, iy);
    }
    stream->current_icon = icon;
}
