#include "wall.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "console.h"
#include "label.h"
#include "layout.h"
#include "pages.h"
#include "play_args.h"
#include "registry.h"
#include "render.h"
#include "stream.h"

namespace {

// Places the window for the renderer, and its size for the reader.
void place(stream_t* s, int x, int y, int w, int h)
{
    render_set_window(s, x, y, w, h);
    stream_note_window_size(s, w, h);
}

constexpr size_t MAX_LABEL = 100;  // bytes
constexpr int MAX_GRID = 64;       // columns or rows
constexpr int MAX_CYCLE_S = 86400;

// The grid `grid` set; the main thread's.
struct grid_t {
    bool on = false;
    bool automatic = false;
    int cols = 1, rows = 1, gap = 0;
} grid;

// Streams that `page --idle-close` disconnected, to connect again when
// their page is shown.
std::vector<stream_t*> closed;

std::vector<stream_t*> streams_on_page(int page)
{
    std::vector<stream_t*> on;
    for (stream_t* s = streams_first(); s != nullptr; s = streams_next(s))
        if (s->settings.page == page)
            on.push_back(s);
    return on;
}

// Lays the page's streams, in `list` order, into the grid's tiles; streams
// beyond the last tile keep their windows.
void lay_out(int page)
{
    const std::vector<stream_t*> on = streams_on_page(page);
    int cols = grid.cols, rows = grid.rows;
    if (grid.automatic)
        grid_auto(static_cast<int>(on.size()), &cols, &rows);
    int sw = 0, sh = 0;
    render_screen_size(&sw, &sh);
    for (int i = 0; i < static_cast<int>(on.size()) && i < cols * rows; ++i) {
        const tile_t t = grid_tile(sw, sh, cols, rows, grid.gap, i);
        place(on[static_cast<size_t>(i)], t.x, t.y, t.w, t.h);
    }
}

int cmd_label(const char* /*name*/, int argc, const char** argv)
{
    stream_t* s = named_stream(argc, argv, 1, INT_MAX);
    if (s == nullptr)
        return 0;
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            text += ' ';
        text += argv[i];
    }
    text = url_redacted(text.c_str());
    if (text.size() > MAX_LABEL) {
        console_printf("Error: label is longer than %zu characters!\n", MAX_LABEL);
        return 0;
    }
    if (!text.empty() && !label_font_ready()) {
        console_printf("Error: labels are off: no font could be read!\n");
        return 0;
    }
    render_set_label(s, text);
    return 1;
}

int cmd_move(const char* /*name*/, int argc, const char** argv)
{
    stream_t* s = named_stream(argc, argv, 5, 5);
    if (s == nullptr)
        return 0;
    int v[4];
    if (!to_int(argv[1], INT_MIN, &v[0]) || !to_int(argv[2], INT_MIN, &v[1]) || !to_int(argv[3], 0, &v[2])
        || !to_int(argv[4], 0, &v[3])) {
        console_printf("Error: window '%s %s %s %s' is not a position and a size of whole numbers!\n", argv[1], argv[2],
                       argv[3], argv[4]);
        return 0;
    }
    place(s, v[0], v[1], v[2], v[3]);
    return 1;
}

int cmd_grid(const char* /*name*/, int argc, const char** argv)
{
    if (argc == 1 && strcasecmp(argv[0], "off") == 0) {
        grid.on = false;
        return 1;
    }
    grid_t g;
    g.on = true;
    g.automatic = argc >= 1 && strcasecmp(argv[0], "auto") == 0;
    const int gap_at = g.automatic ? 1 : 2;
    if (argc < gap_at || argc > gap_at + 1) {
        console_printf("Error: invalid number of parameters!\n");
        return 0;
    }
    if (!g.automatic && (!to_int(argv[0], 1, &g.cols) || !to_int(argv[1], 1, &g.rows) || g.cols > MAX_GRID
                         || g.rows > MAX_GRID)) {
        console_printf("Error: grid '%s %s' is not columns and rows from 1 to %d!\n", argv[0], argv[1], MAX_GRID);
        return 0;
    }
    if (argc > gap_at && (!to_int(argv[gap_at], 0, &g.gap) || g.gap > 1000)) {
        console_printf("Error: gap '%s' is not a whole number of pixels from 0 to 1000!\n", argv[gap_at]);
        return 0;
    }
    grid = g;
    lay_out(pages_wanted());
    return 1;
}

// Connects again what --idle-close disconnected, on `page` or (0) on any.
void reopen(int page)
{
    for (auto it = closed.begin(); it != closed.end();) {
        if (page != 0 && (*it)->settings.page != page) {
            ++it;
            continue;
        }
        if (const int err = stream_start(*it); err != 0)
            console_printf("Error: cannot start stream '%s': %s!\n", (*it)->name, strerror(err));
        it = closed.erase(it);
    }
}

int cmd_page(const char* /*name*/, int argc, const char** argv)
{
    if (argc == 0) {
        const long long cycle = pages_cycle_ms();
        console_printf("page=%d cycle=%s\n", pages_wanted(),
                       cycle > 0 ? std::to_string(cycle / 1000).c_str() : "off");
        return 1;
    }
    if (strcasecmp(argv[0], "cycle") == 0) {
        int seconds = 0;
        if (argc != 2) {
            console_printf("Error: invalid number of parameters!\n");
            return 0;
        }
        if (strcasecmp(argv[1], "off") != 0 && (!to_int(argv[1], 1, &seconds) || seconds > MAX_CYCLE_S)) {
            console_printf("Error: cycle '%s' is not off or a whole number of seconds from 1 to %d!\n", argv[1],
                           MAX_CYCLE_S);
            return 0;
        }
        pages_set_cycle(seconds * 1000LL);
        // Each page comes up in turn: none keeps its streams closed.
        reopen(0);
        return 1;
    }
    int page = 0;
    const bool idle_close = argc == 2 && strcmp(argv[1], "--idle-close") == 0;
    if (argc > 2 || (argc == 2 && !idle_close)) {
        console_printf("Error: invalid number of parameters!\n");
        return 0;
    }
    if (!to_int(argv[0], 1, &page) || page > MAX_PAGE) {
        console_printf("Error: page '%s' is not a whole number from 1 to %d!\n", argv[0], MAX_PAGE);
        return 0;
    }
    pages_show(page);
    reopen(idle_close ? page : 0);
    if (idle_close)
        for (stream_t* s = streams_first(); s != nullptr; s = streams_next(s))
            if (s->settings.page != page && std::find(closed.begin(), closed.end(), s) == closed.end()) {
                stream_stop(s);
                closed.push_back(s);
            }
    return 1;
}

console_cmd_t wall_reg[] = {
    {"label", cmd_label, "Show/Remove a stream's label.",
     "Show a label in the window's lower-left corner: white while pictures come,\n"
     "amber while they are late, red while the stream is not connected. Parameters are:\n"
     "  <streamname>  Stream name.\n"
     "  [text...]     The label, words joined by single blanks. If omitted, the label goes.\n",
     {}},
    {"move", cmd_move, "Move a stream's window without reconnecting.",
     "Move a stream's window; its old place is cleared. Parameters are:\n"
     "  <streamname>  Stream name.\n"
     "  <x> <y>       Window position on screen.\n"
     "  <w> <h>       Window size (if 0, use source size).\n",
     {}},
    {"grid", cmd_grid, "Lay the streams of the page in a grid.",
     "Lay the streams of the current page, in list order, into equal tiles of the screen;\n"
     "a play without -p or -s then takes the next tile. Parameters are:\n"
     "  <cols> <rows> [gap]  Columns and rows (1 to 64), tiles gap pixels apart.\n"
     "  auto [gap]           The smallest near-square grid that holds the streams.\n"
     "  off                  No grid; windows stay where they are.\n",
     {}},
    {"page", cmd_page, "Show/Set the page shown, or cycle through the pages.",
     "Show a page: its streams are drawn, the others are not but stay connected. Parameters are:\n"
     "  <n> [--idle-close]  Show page n (play -P n); --idle-close disconnects the other pages' streams.\n"
     "  cycle <sec>|off     Show the pages of the streams in turn, each for sec seconds.\n"
     "If omitted, show the current page and cycle.\n",
     {}},
    {nullptr, nullptr, nullptr, nullptr, {}},
};

}  // namespace

void wall_register_commands(void)
{
    console_register_commands(wall_reg);
}

void wall_after_play(stream_t* s, bool placed)
{
    if (!grid.on || placed)
        return;
    if (grid.automatic) {
        lay_out(s->settings.page);
        return;
    }
    const size_t index = streams_on_page(s->settings.page).size() - 1;
    if (index >= static_cast<size_t>(grid.cols) * grid.rows)
        return;
    int sw = 0, sh = 0;
    render_screen_size(&sw, &sh);
    const tile_t t = grid_tile(sw, sh, grid.cols, grid.rows, grid.gap, static_cast<int>(index));
    place(s, t.x, t.y, t.w, t.h);
}

void wall_forget(stream_t* s)
{
    closed.erase(std::remove(closed.begin(), closed.end(), s), closed.end());
}

void wall_reset(void)
{
    grid = {};
    closed.clear();
    pages_show(1);
    pages_set_cycle(0);
}
