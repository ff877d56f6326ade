// The wall's pages: the page asked for (by `page`, or by the cycle that
// shows the pages in turn) and the cycle's period. The render thread shows
// the page and turns the cycle.
#pragma once

#include <functional>
#include <vector>

void pages_show(int page);
int pages_wanted(void);
// 0: off. Starts the period again, as a page chosen by hand does.
void pages_set_cycle(long long period_ms);
long long pages_cycle_ms(void);

// On the render thread, at `now` (ms): the page to show after the cycle's
// turn, if one is due; `in_use` lists the pages to cycle through.
int pages_tick(long long now, const std::function<std::vector<int>()>& in_use);
