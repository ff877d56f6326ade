// Status icons: the 32 x 32 images shown near a window's top-left corner
// while its stream has trouble, the rule that picks one from the stream's
// state, and the drawing that saves and puts back what an icon covers.
#pragma once

#include <optional>

#include "icon.h"
#include "velmor.h"

// A connected stream whose last picture is older than this shows I_DELAY.
constexpr long long DELAY_ICON_AFTER_MS = 2000;

// The images, by icon_e. I_CONNECTED has one although no state asks for it:
// a connected stream shows its pictures; it keeps the set whole for the
// status that will.
struct status_icons_t {
    icon_t images[5];  // I_NONE has none
};
void status_icons_init(status_icons_t* icons);
void status_icons_done(status_icons_t* icons);

// The icon a stream's state asks for at `now`; none while its first
// connection attempt runs (and for a state without a rule).
std::optional<icon_e> status_icon_for(const stream_t* stream, long long now);

// What a stream's icon covers: the surface under it, saved before an icon
// was drawn over a picture.
struct icon_spot_t {
    icon_t background;
    int background_valid;
};

// Shows `icon` for the stream at (ix, iy) of `where` (null: the icon's place
// is not on the surface): puts back the saved background, or saves it, then
// draws the image. Nothing when drawing is off or the icon already shows.
// The caller serialises the calls for one stream.
void status_icon_show(status_icons_t* icons, stream_t* stream, icon_spot_t* spot, fbuffer_t* where, int ix,
                      int iy, icon_e icon);
