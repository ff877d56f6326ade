// The console commands that manage streams, and the registry of the streams
// they started.
#include "commands.h"

#include <strings.h>
#include <sys/stat.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "console.h"
#include "play_args.h"
#include "reader.h"
#include "registry.h"
#include "render.h"
#include "snapshot.h"
#include "stats.h"
#include "wall.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------

static int str2bool(const char* str)
{
    if (str == nullptr || str[0] == '\0')
        return -1;
    if (strcmp(str, "1") == 0 || strcasecmp(str, "on") == 0 || strcasecmp(str, "true") == 0 ||
        strcasecmp(str, "enable") == 0)
        return 1;
    if (strcmp(str, "0") == 0 || strcasecmp(str, "off") == 0 || strcasecmp(str, "false") == 0 ||
        strcasecmp(str, "disable") == 0)
        return 0;
    return -1;
}

// Stops the stream's reader and frees the record. Its window goes black,
// unless its drawing is off: then the picture stays.
static void stream_destroy(stream_t* s)
{
    wall_forget(s);
    stream_stop(s);
    if (s->render_off.load() == 0)
        render_clear(s->tile);
    streams_remove(s);
    stream_free(s);
}

static int cmd_exit(const char* /*name*/, int /*argc*/, const char** /*argv*/)
{
    return -1;
}

static int cmd_ping(const char* /*name*/, int argc, const char** argv)
{
    console_printf("pong(%s)\n", argc > 0 ? argv[0] : "");
    return 1;
}

// The name of the stream that the last successful play started.
static std::string last_played;

static int cmd_play(const char* /*name*/, int argc, const char** argv)
{
    play_args_t a;
    if (!play_args_parse(argc, argv, &a))
        return 0;
    if (streams_find(a.name) != nullptr) {
        console_printf("Error: duplicate stream name '%s'!\n", url_redacted(a.name).c_str());
        return 0;
    }
    const char* fn = "cmd_play";
    console_printf("%s: Stream Name  : '%s'\n", fn, a.name);
    console_printf("%s: Stream URL   : '%s'\n", fn, a.shown_url.c_str());
    console_printf("%s: Input Format : '%s'\n", fn, a.format_name != nullptr ? a.format_name : "");
    console_printf("%s: Window pos   : %d,%d\n", fn, a.settings.x, a.settings.y);
    console_printf("%s: Window size  : %d,%d\n", fn, a.settings.w, a.settings.h);
    console_printf("%s: No Zoom      : %d\n", fn, a.settings.nozoom);
    play_args_print(a);

    stream_t* s = stream_new(a.name, a.url, a.settings);
    if (const int err = stream_start(s); err != 0) {
        console_printf("Error: cannot start stream '%s': %s!\n", url_redacted(a.name).c_str(), strerror(err));
        stream_free(s);
        return 0;
    }
    streams_append(s);
    wall_after_play(s, a.placed);
    last_played = s->name;
    return 1;
}

const char* velmor_last_played(void)
{
    return last_played.c_str();
}

static int cmd_stop(const char* /*name*/, int argc, const char** argv)
{
    stream_t* s = named_stream(argc, argv, 1, 1);
    if (s == nullptr)
        return 0;
    stream_destroy(s);
    return 1;
}

int cmd_stopall(const char* /*name*/, int argc, const char** /*argv*/)
{
    if (argc != 0) {
        console_printf("Error: invalid number of parameters!\n");
        return 0;
    }
    for (stream_t* s = streams_first(); s != nullptr; s = streams_first())
        stream_destroy(s);
    return 1;
}

static int cmd_reconnect(const char* /*name*/, int argc, const char** argv)
{
    stream_t* s = named_stream(argc, argv, 1, 1);
    if (s == nullptr)
        return 0;
    stream_force_reconnect(s);
    return 1;
}

static int cmd_list(const char* /*name*/, int /*argc*/, const char** /*argv*/)
{
    for (stream_t* s = streams_first(); s != nullptr; s = streams_next(s))
        console_printf("%16s %16s %s page=%d label=\"%s\"\n", s->name, stream_get_state_name(s),
                       url_redacted(s->inputfile).c_str(), s->settings.page, s->label.c_str());
    return 1;
}

static int cmd_render(const char* /*name*/, int argc, const char** argv)
{
    stream_t* s = named_stream(argc, argv, 1, 2);
    if (s == nullptr)
        return 0;
    if (argc == 1) {
        console_printf("Stream '%s' render is %s.\n", s->name, s->render_off != 0 ? "OFF" : "ON");
        return 1;
    }
    int on = str2bool(argv[1]);
    if (on < 0) {
        console_printf("Error: parameter '%s'. is not boolean!\n", argv[1]);
        return 0;
    }
    s->render_off = on != 0 ? 0 : 1;
    return 1;
}

static console_cmd_t cmd_velmor_reg[] = {
    {"exit", cmd_exit, "Stops all playing streams and exit the program.", nullptr, {}},
    {"ping", cmd_ping, "Echo (pong) first parameter. Used for testing for hangs!", nullptr, {}},
    {"play", cmd_play, "Play stream in window.",
     "Play new stream in window. Parameters are:\n"
     "  -n <name>     Stream name.\n"
     "  -f <name>     Input format name (Example: mjpeg).\n"
     "  -p <x> <y>    Window position on screen.\n"
     "  -s <w> <h>    Window size (if 0, use source size).\n"
     "  -z            No-zoom (draw actual source size).\n"
     "  -a            Keep aspect ratio (fit in window, black bars; not with -z).\n"
     "  -P <n>        Page, 1 to 1000 (default 1); see page.\n"
     "  -o <key=val>  Input option for FFmpeg (Example: rtsp_transport=tcp); repeatable, up to 16.\n"
     "  -d <key=val>  Decoder option for FFmpeg (Example: threads=1); repeatable, up to 16.\n"
     "  -c <name>     Decoder name (Example: h264_v4l2m2m).\n"
     "  -r <sec>      Reconnect delay, 1 to 3600 seconds (default 5).\n"
     "  -t            Show each picture at its timestamp (files at their own speed).\n"
     "  -l            Loop: from the start again at the end (files; not live sources).\n"
     "  -L <ms>       Skip pictures while the lag behind a live source exceeds ms.\n"
     "                Option values cannot hold spaces.\n"
     "  <streamurl>   Stream URL.\n"
     "                More URLs make a list, played in turn in the window.\n",
     {}},
    {"stop", cmd_stop, "Stop video stream.",
     "Stop video stream by name. Parameters are:\n"
     "  <streamname>  Stream name.\n",
     {}},
    {"stopall", cmd_stopall, "Stop all video streams.", nullptr, {}},
    {"reconnect", cmd_reconnect, "Reconnect video stream.",
     "Try to reconnect video stream by name. Parameters are:\n"
     "  <streamname>  Stream name.\n",
     {}},
    {"list", cmd_list, "List all active video streams.", nullptr, {}},
    {"render", cmd_render, "Show/Set Render enable/disable status of the stream.",
     "Show/Set Render enable/disable status of the stream. Parameters are:\n"
     "  <streamname>  Stream name.\n"
     "  [on/off]      Enable/Disable render. If omitted, show current value.\n",
     {}},
    {nullptr, nullptr, nullptr, nullptr, {}},
};

static int cmd_stats(const char* /*name*/, int argc, const char** argv)
{
    stream_t* only = nullptr;
    if (argc > 0 && (only = named_stream(argc, argv, 1, 1)) == nullptr)
        return 0;
    const long long now = current_time_in_millis();
    for (stream_t* s = streams_first(); s != nullptr; s = streams_next(s))
        if (only == nullptr || s == only)
            console_printf("%s\n", stats_line(s, now).c_str());
    console_printf("%s%s\n", stats_render_line(render_pictures_drawn()).c_str(), render_output_text().c_str());
    return 1;
}

static int cmd_snapshot(const char* /*name*/, int argc, const char** argv)
{
    if (argc != 1) {
        console_printf("Error: invalid number of parameters!\n");
        return 0;
    }
    std::string reason;
    if (!snapshot_write(argv[0], &reason)) {
        console_printf("Error: cannot write '%s': %s\n", argv[0], reason.c_str());
        return 0;
    }
    return 1;
}

// Apart from the table above, so that commands added elsewhere merge apart.
static console_cmd_t cmd_stats_reg[] = {
    {"stats", cmd_stats, "Show how each stream and the renderer do.",
     "One line per stream (or the named one), then one for the renderer. Parameters are:\n"
     "  [streamname]  Stream name; all streams if omitted.\n"
     "Fields, '-' while unknown; rates are over the last 5 seconds:\n"
     "  name          Stream name (a URL's password shown as ***).\n"
     "  state         As in list.\n"
     "  codec         Decoder name.\n"
     "  size          Picture size, WxH.\n"
     "  pixfmt        Picture pixel format, as FFmpeg names it.\n"
     "  fps_in        Pictures decoded per second.\n"
     "  fps_out       Pictures drawn per second.\n"
     "  dropped       Pictures not decoded or thrown away for want of a pool frame, since play.\n"
     "  replaced      Pictures replaced by a newer one before they were drawn, since play.\n"
     "  reconnects    Connection attempts after the first, since play.\n"
     "  connected_s   Seconds since the connection's first picture; 0 when not connected.\n"
     "  kbps          Input bitrate, kilobits per second.\n"
     "  lag_ms        How far the stream is behind its source's timeline, ms.\n"
     "  loops         Times the input (or list) began again (with -l only).\n"
     "  late_dropped  Packets skipped to bound the lag (with -L only).\n"
     "  last_error    FFmpeg's text for the last failure, in double quotes.\n"
     "  page          The page the stream is drawn on.\n"
     "  label         The stream's label, in double quotes.\n"
     "Renderer line: busy (share of one core) and pictures (drawn since start).\n",
     {}},
    {"snapshot", cmd_snapshot, "Write what the screen shows as a PNG file.",
     "Write the whole screen, as it is between two pictures, as a PNG file. Parameters are:\n"
     "  <file>        File to write (replaced if it exists).\n",
     {}},
    {nullptr, nullptr, nullptr, nullptr, {}},
};

// Initialises the console and registers `help` and the stream commands.
void velmor_register_commands(void)
{
    // console_done at shut-down unlinks the records: a new start-up links
    // them again.
    console_init();
    console_register_commands(cmd_velmor_reg);
    console_register_commands(cmd_stats_reg);
    wall_register_commands();
    wall_reset();
    streams_init();
}
