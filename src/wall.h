// The wall as users build it: labels on the windows, a grid computed from
// the number of streams, live moves, and pages shown in turn. The console
// commands `label`, `move`, `grid` and `page`, and what `play` and `stop`
// ask of them.
#pragma once

#include "velmor.h"

void wall_register_commands(void);
// A stream that `play` started: it takes the grid's next tile on its page
// unless its window was given (`placed`).
void wall_after_play(stream_t* stream, bool placed);
// A stream about to be stopped and freed.
void wall_forget(stream_t* stream);
// The grid set and the page shown by the last commands: none, page 1.
void wall_reset(void);
