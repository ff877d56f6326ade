// Reading `play`'s words: flags, options checked against FFmpeg's tables,
// and inputs that would read the console's own descriptors.
#include "play_args.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "console.h"
#include "playlist.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

bool to_int(const char* str, long min, int* out)
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



constexpr size_t max_options = 16;
constexpr size_t max_decoder_name = 64;
constexpr int max_decoder_threads = 16;
constexpr size_t max_inputs = 64;

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
    } else if (strcmp(arg, "-t") == 0) {
        set.paced = true;
    } else if (strcmp(arg, "-l") == 0) {
        set.loop = true;
    } else if (strcmp(arg, "-L") == 0) {
        if (*i + 1 >= argc || !to_int(argv[*i + 1], 1, &set.max_lag_ms) || set.max_lag_ms > 3600000) {
            console_printf("Error: lag bound is not a whole number of milliseconds from 1 to 3600000!\n");
            return -1;
        }
        ++*i;
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
bool play_args_parse(int argc, const char** argv, play_args_t* a)
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
            a->placed = true;
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
            a->placed = true;
            i += 2;
        } else if (strcmp(arg, "-P") == 0) {
            if (i + 1 >= argc || !to_int(argv[i + 1], 1, &set.page) || set.page > MAX_PAGE) {
                console_printf("Error: page is not a whole number from 1 to %d!\n", MAX_PAGE);
                return false;
            }
            ++i;
        } else {
            // A word with a dash is a flag, not a URL ("-" alone is refused below).
            if (arg[0] == '-' && arg[1] != '\0') {
                console_printf("Error: unknown parameter '%s'!\n", url_redacted(arg).c_str());
                return false;
            }
            // Further inputs make a list, played in turn in the one window.
            if (a->url != nullptr && set.more_inputs.size() + 1 >= max_inputs) {
                console_printf("Error: more than %zu inputs!\n", max_inputs);
                return false;
            }
            if (a->url != nullptr)
                set.more_inputs.push_back(arg);
            else
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
    for (size_t k = 0; k <= set.more_inputs.size(); ++k) {
        const char* url = k == 0 ? a->url : set.more_inputs[k - 1].c_str();
        if (names_own_stdio(url)) {
            console_printf("Error: stream url '%s' is the console's own input or output!\n", url_redacted(url).c_str());
            return false;
        }
        // A live source has no start to go back to.
        if (set.loop && playlist_is_live(url)) {
            console_printf("Error: stream url '%s' is live and cannot loop (-l)!\n", url_redacted(url).c_str());
            return false;
        }
    }
    return true;
}

// The flags beyond name, format and window, only those given.
void play_args_print(const play_args_t& a)
{
    const char* fn = "cmd_play";
    const stream_settings_t& set = a.settings;
    if (set.aspect != 0)
        console_printf("%s: Keep Aspect  : 1\n", fn);
    if (a.decoder_name != nullptr)
        console_printf("%s: Decoder      : '%s'\n", fn, a.decoder_name);
    for (const std::string& u : set.more_inputs)
        console_printf("%s: Next URL     : '%s'\n", fn, url_redacted(u.c_str()).c_str());
    if (set.paced)
        console_printf("%s: Timestamps   : 1\n", fn);
    if (set.loop)
        console_printf("%s: Loop         : 1\n", fn);
    if (set.max_lag_ms > 0)
        console_printf("%s: Lag bound    : %d ms\n", fn, set.max_lag_ms);
    if (set.reconnect != stream_settings_t{}.reconnect)
        console_printf("%s: Reconnect    : %d sec\n", fn, set.reconnect);
    if (set.page != stream_settings_t{}.page)
        console_printf("%s: Page         : %d\n", fn, set.page);
    for (const std::string& o : set.input_options)
        console_printf("%s: Input option : '%s'\n", fn, url_redacted(o.c_str()).c_str());
    for (const std::string& o : set.decoder_options)
        console_printf("%s: Codec option : '%s'\n", fn, url_redacted(o.c_str()).c_str());
}
