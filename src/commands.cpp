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
#include "reader.h"
#include "render.h"
#include "snapshot.h"
#include "stats.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

// ---------------------------------------------------------------------------
// Stream registry
// ---------------------------------------------------------------------------

// Streams in the order they were started; touched by the main thread only.
static list_t streams;

static void streams_init(void)
{
    if (streams.head == nullptr)
        list_init(&streams);
}

static void streams_append(stream_t* stream)
{
    assert(stream != nullptr);
    streams_init();
    list_append(&streams, &stream->dlink);
}

static stream_t* streams_find(const char* name)
{
    assert(name != nullptr);
    streams_init();
    list_for_each_entry(s, &streams, stream_t, dlink)
        if (strcmp(s->name, name) == 0)
            return s;
    return nullptr;
}

static stream_t* streams_first(void)
{
    streams_init();
    return list_entry_or_null(list_first(&streams), stream_t, dlink);
}

static stream_t* streams_next(stream_t* stream)
{
    if (stream == nullptr)
        return nullptr;
    return list_entry_or_null(list_next(&streams, &stream->dlink), stream_t, dlink);
}

static stream_t* streams_remove(stream_t* stream)
{
    if (stream == nullptr)
        return nullptr;
    stream_t* next = streams_next(stream);
    list_remove(&streams, &stream->dlink);
    return next;
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

// A whole decimal number within int's range, and at least `min`.
static bool to_int(const char* str, long min, int* out)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(str, &end, 10);
    if (end == str || *end != '\0' || errno != 0 || v < min || v > INT_MAX || !(isdigit(static_cast<unsigned char>(*str)) || *str == '-'))
        return false;
    *out = static_cast<int>(v);
    return true;
}

// The descriptor FFmpeg's pipe protocol reads for `pipe:<n>`: standard
// input unless all of n is a number.
static long pipe_descriptor(std::string_view n)
{
    const std::string digits(n);
    char* end = nullptr;
    const long fd = strtol(digits.c_str(), &end, 10);
    return end == digits.c_str() || *end != '\0' ? 0 : fd;
}

// Whether an input names this program's own standard input, output or
// error: reading it would steal the console's lines. Wrappers are looked
// through, and every part of a concatenation.
static bool names_own_stdio(std::string_view u)
{
    for (std::string_view wrapper : {"async:", "cache:", "crypto:"})
        if (u.substr(0, wrapper.size()) == wrapper)
            return names_own_stdio(u.substr(wrapper.size()));
    if (u.substr(0, 7) == "concat:") {
        u.remove_prefix(7);
        for (size_t bar; (bar = u.find('|')) != std::string_view::npos; u.remove_prefix(bar + 1))
            if (names_own_stdio(u.substr(0, bar)))
                return true;
        return names_own_stdio(u);
    }
    for (std::string_view proto : {"pipe:", "fd:"}) {
        if (u.substr(0, proto.size()) == proto) {
            const long fd = pipe_descriptor(u.substr(proto.size()));
            return fd >= 0 && fd <= 2;
        }
    }
    if (u.substr(0, 5) == "file:")
        u.remove_prefix(5);
    else if (u.find("://") != std::string_view::npos || u == "-")
        return u == "-";
    struct stat target;
    if (stat(std::string(u).c_str(), &target) != 0)
        return false;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat own;
        if (fstat(fd, &own) == 0 && own.st_dev == target.st_dev && own.st_ino == target.st_ino)
            return true;
    }
    return false;
}

// Stops the stream's reader and frees the record.
static void stream_destroy(stream_t* s)
{
    stream_stop(s);
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

// What `play` was asked for.
struct play_args_t {
    const char* name = nullptr;
    const char* format_name = nullptr;
    const char* url = nullptr;
    const char* decoder_name = nullptr;
    std::string shown_url;  // the URL without its password, the default name
    stream_settings_t settings;
};

constexpr size_t max_options = 16;
constexpr size_t max_decoder_name = 64;
constexpr int max_decoder_threads = 16;

// Takes a "key=value" option of -o or -d; false after the error message.
static bool add_option(int argc, const char** argv, int* i, std::vector<std::string>* to)
{
    const char* what = strcmp(argv[*i], "-o") == 0 ? "input" : "decoder";
    if (*i + 1 >= argc) {
        console_printf("Error: %s option is not specified!\n", what);
        return false;
    }
    const char* opt = argv[++*i];
    const char* eq = strchr(opt, '=');
    if (eq == nullptr || eq == opt) {
        console_printf("Error: %s option '%s' is not key=value!\n", what, url_redacted(opt).c_str());
        return false;
    }
    if (to->size() >= max_options) {
        console_printf("Error: more than %zu %s options!\n", max_options, what);
        return false;
    }
    // A key no FFmpeg component knows would only be found after a successful
    // open, so a typo for an unreachable camera would go unreported for ever.
    const AVClass* known = what[0] == 'i' ? avformat_get_class() : avcodec_get_class();
    const std::string key(opt, eq);
    if (av_opt_find(&known, key.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ) == nullptr) {
        console_printf("Error: no FFmpeg %s has an option '%s'!\n", what[0] == 'i' ? "input" : "decoder",
                       url_redacted(key.c_str()).c_str());
        return false;
    }
    // FFmpeg makes as many decoder threads as asked (it only warns past 16),
    // and evaluates expressions such as 1e6: only auto or 0 to 16 pass.
    int threads = 0;
    if ((what[0] == 'd' && std::string_view(opt, eq - opt) == "threads" && strcmp(eq + 1, "auto") != 0 &&
                          (!to_int(eq + 1, 0, &threads) || threads > max_decoder_threads))) {
        console_printf("Error: decoder option '%s' is not auto or 0 to %d threads!\n", opt, max_decoder_threads);
        return false;
    }
    to->push_back(opt);
    return true;
}

// Reads play's flags beyond name, format and window; 1 when taken, 0 when
// not one of them, -1 after the error message.
static int parse_source_flag(int argc, const char** argv, int* i, play_args_t* a)
{
    stream_settings_t& set = a->settings;
    const char* arg = argv[*i];
    if (strcmp(arg, "-a") == 0) {
        set.aspect = 1;
    } else if (strcmp(arg, "-o") == 0) {
        return add_option(argc, argv, i, &set.input_options) ? 1 : -1;
    } else if (strcmp(arg, "-d") == 0) {
        return add_option(argc, argv, i, &set.decoder_options) ? 1 : -1;
    } else if (strcmp(arg, "-c") == 0) {
        if (*i + 1 >= argc) {
            console_printf("Error: decoder name is not specified!\n");
            return -1;
        }
        a->decoder_name = argv[++*i];
        if (strlen(a->decoder_name) > max_decoder_name) {
            console_printf("Error: decoder name is longer than %zu characters!\n", max_decoder_name);
            return -1;
        }
        ffmpeg_guard ff;
        set.decoder = avcodec_find_decoder_by_name(a->decoder_name);
        if (set.decoder == nullptr) {
            console_printf("Error: unknown decoder '%s'!\n", a->decoder_name);
            return -1;
        }
    } else if (strcmp(arg, "-r") == 0) {
        if (*i + 1 >= argc || !to_int(argv[*i + 1], 1, &set.reconnect) || set.reconnect > 3600) {
            console_printf("Error: reconnect delay is not a whole number of seconds from 1 to 3600!\n");
            return -1;
        }
        ++*i;
    } else {
        return 0;
    }
    return 1;
}

// Reads play's arguments; false after the error message.
static bool parse_play_args(int argc, const char** argv, play_args_t* a)
{
    stream_settings_t& set = a->settings;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (const int taken = parse_source_flag(argc, argv, &i, a); taken != 0) {
            if (taken < 0)
                return false;
        } else if (strcmp(arg, "-z") == 0) {
            set.nozoom = 1;
        } else if (strcmp(arg, "-f") == 0) {
            if (i + 1 >= argc) {
                console_printf("Error: format name is not specified!\n");
                return false;
            }
            a->format_name = argv[++i];
            ffmpeg_guard ff;
            set.format = av_find_input_format(a->format_name);
            if (set.format == nullptr) {
                console_printf("Error: input format name is invalid!\n");
                return false;
            }
        } else if (strcmp(arg, "-n") == 0) {
            if (i + 1 >= argc) {
                console_printf("Error: stream name is not specified!\n");
                return false;
            }
            a->name = argv[++i];
        } else if (strcmp(arg, "-p") == 0) {
            if (i + 2 >= argc) {
                console_printf("Error: window position is not specified correctly!\n");
                return false;
            }
            if (!to_int(argv[i + 1], INT_MIN, &set.x) || !to_int(argv[i + 2], INT_MIN, &set.y)) {
                console_printf("Error: window position '%s %s' is not two whole numbers!\n", argv[i + 1], argv[i + 2]);
                return false;
            }
            i += 2;
        } else if (strcmp(arg, "-s") == 0) {
            if (i + 2 >= argc) {
                console_printf("Error: window size is not specified correctly!\n");
                return false;
            }
            if (!to_int(argv[i + 1], 0, &set.w) || !to_int(argv[i + 2], 0, &set.h)) {
                console_printf("Error: window size '%s %s' is not two whole numbers of 0 or more!\n", argv[i + 1],
                       argv[i + 2]);
                return false;
            }
            i += 2;
        } else {
            // A word with a dash is a flag, not a URL ("-" alone is refused below).
            if (a->url != nullptr || (arg[0] == '-' && arg[1] != '\0')) {
                console_printf("Error: unknown parameter '%s'!\n", url_redacted(arg).c_str());
                return false;
            }
            a->url = arg;
        }
    }
    if (a->url == nullptr) {
        console_printf("Error: stream url is not specified. Nothing to play!\n ");
        return false;
    }
    if (set.aspect != 0 && set.nozoom != 0) {
        console_printf("Error: -a (keep aspect) and -z (no zoom) cannot be combined!\n");
        return false;
    }
    a->shown_url = url_redacted(a->url);
    if (a->name == nullptr)
        a->name = a->shown_url.c_str();
    if (names_own_stdio(a->url)) {
        console_printf("Error: stream url '%s' is the console's own input or output!\n", a->shown_url.c_str());
        return false;
    }
    return true;
}

// The flags beyond name, format and window, only those given.
static void print_source_flags(const play_args_t& a)
{
    const char* fn = "cmd_play";
    const stream_settings_t& set = a.settings;
    if (set.aspect != 0)
        console_printf("%s: Keep Aspect  : 1\n", fn);
    if (a.decoder_name != nullptr)
        console_printf("%s: Decoder      : '%s'\n", fn, a.decoder_name);
    if (set.reconnect != stream_settings_t{}.reconnect)
        console_printf("%s: Reconnect    : %d sec\n", fn, set.reconnect);
    for (const std::string& o : set.input_options)
        console_printf("%s: Input option : '%s'\n", fn, url_redacted(o.c_str()).c_str());
    for (const std::string& o : set.decoder_options)
        console_printf("%s: Codec option : '%s'\n", fn, url_redacted(o.c_str()).c_str());
}

// The name of the stream that the last successful play started.
static std::string last_played;

static int cmd_play(const char* /*name*/, int argc, const char** argv)
{
    play_args_t a;
    if (!parse_play_args(argc, argv, &a))
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
    print_source_flags(a);

    stream_t* s = stream_new(a.name, a.url, a.settings);
    if (const int err = stream_start(s); err != 0) {
        console_printf("Error: cannot start stream '%s': %s!\n", url_redacted(a.name).c_str(), strerror(err));
        stream_free(s);
        return 0;
    }
    streams_append(s);
    last_played = s->name;
    return 1;
}

const char* velmor_last_played(void)
{
    return last_played.c_str();
}

// The stream named by the first argument of a command that takes between
// min_args and max_args arguments; null after the error message.
static stream_t* named_stream(int argc, const char** argv, int min_args, int max_args)
{
    if (argc < min_args || argc > max_args) {
        console_printf("Error: invalid number of parameters!\n");
        return nullptr;
    }
    stream_t* s = streams_find(argv[0]);
    // A stream named after its URL is known by the URL without the password.
    if (s == nullptr)
        s = streams_find(url_redacted(argv[0]).c_str());
    if (s == nullptr)
        console_printf("Error: unable to find stream '%s'.\n", url_redacted(argv[0]).c_str());
    return s;
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
        console_printf("%16s %16s %s\n", s->name, stream_get_state_name(s), url_redacted(s->inputfile).c_str());
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
     "  -o <key=val>  Input option for FFmpeg (Example: rtsp_transport=tcp); repeatable, up to 16.\n"
     "  -d <key=val>  Decoder option for FFmpeg (Example: threads=1); repeatable, up to 16.\n"
     "  -c <name>     Decoder name (Example: h264_v4l2m2m).\n"
     "  -r <sec>      Reconnect delay, 1 to 3600 seconds (default 5).\n"
     "                Option values cannot hold spaces.\n"
     "  <streamurl>   Stream URL.\n",
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
    console_printf("%s\n", stats_render_line(render_pictures_drawn()).c_str());
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
     "  last_error    FFmpeg's text for the last failure, in double quotes.\n"
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
    streams_init();
}
