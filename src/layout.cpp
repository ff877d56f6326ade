#include "layout.h"

#include <algorithm>

tile_t grid_tile(int screen_w, int screen_h, int cols, int rows, int gap, int index)
{
    const int col = index % cols, row = index / cols;
    const int tw = std::max(1, (screen_w - gap * (cols - 1)) / cols);
    const int th = std::max(1, (screen_h - gap * (rows - 1)) / rows);
    tile_t t = {col * (tw + gap), row * (th + gap), tw, th};
    // The last column and row reach the screen's edge.
    if (col == cols - 1)
        t.w = std::max(1, screen_w - t.x);
    if (row == rows - 1)
        t.h = std::max(1, screen_h - t.y);
    return t;
}

void grid_auto(int n, int* cols, int* rows)
{
    int c = 1;
    while (c * c < n)
        ++c;
    *cols = c;
    *rows = std::max(1, c * (c - 1) >= n ? c - 1 : c);
}

int next_page(int current, const std::vector<int>& pages)
{
    int next = 0, first = 0;
    for (int p : pages) {
        if (first == 0 || p < first)
            first = p;
        if (p > current && (next == 0 || p < next))
            next = p;
    }
    return next != 0 ? next : first != 0 ? first : current;
}
