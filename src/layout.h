// The wall's arithmetic: a grid's tiles on the screen, the grid that holds
// a number of streams, and the page that follows another in a cycle. Pure
// functions of their arguments.
#pragma once

#include <vector>

struct tile_t {
    int x, y, w, h;
};

// Tile `index` (row after row) of a cols x rows grid over a screen_w x
// screen_h screen, tiles `gap` pixels apart; the last column and row take
// the pixels that an even split leaves over. Cols and rows at least 1.
tile_t grid_tile(int screen_w, int screen_h, int cols, int rows, int gap, int index);

// The smallest near-square grid for n streams: as many columns as rows, or
// one more, columns first.
void grid_auto(int n, int* cols, int* rows);

// The page after `current` among `pages` (any order, repeats allowed): the
// next larger one, else the smallest; `current` when there are none.
int next_page(int current, const std::vector<int>& pages);
