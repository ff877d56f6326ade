#include "options.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "rotate.h"
#include "scaler.h"

#ifndef VELMOR_VERSION
#define VELMOR_VERSION "unknown"
#endif

namespace {

const char usage_text[] =
    "usage: velmor [--script FILE] [--control PATH] [--fb DEVICE] [--font FILE] [--scale FILTER]\n"
    "              [--rotate DEGREES] [--output auto|drm|fb|memory] [--card DEVICE] [--connector NAME] [--mode WxH[@HZ]]\n"
    "       velmor --version | --help\n"
    "  --script FILE   run FILE's lines as console commands first ('#' starts a comment)\n"
    "  --control PATH  also serve the console on a Unix socket at PATH\n"
    "  --fb DEVICE     framebuffer device (default /dev/fb0, then /dev/fb/0)\n"
    "  --font FILE     font for the labels (default DejaVu Sans)\n"
    "  --scale FILTER  point, bilinear, box or fast (default bilinear)\n"
    "  --rotate DEGREES  0, 90, 180 or 270: the screen turned clockwise (default 0)\n"
    "  --output KIND   where to draw: auto (DRM, else the framebuffer device, else\n"
    "                  memory), drm, fb (the default) or memory\n"
    "  --card DEVICE   DRM card (default the first /dev/dri/card* with a screen)\n"
    "  --connector NAME  DRM connector, e.g. HDMI-A-1 (default the first connected)\n"
    "  --mode WxH[@HZ] DRM mode (default the connector's preferred one)\n";

}  // namespace

int service_parse_args(int argc, char** argv, service_options_t* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            fputs(usage_text, stdout);
            return 0;
        }
        if (a == "--version") {
            printf("velmor %s\n", VELMOR_VERSION);
            return 0;
        }
        const char** value = a == "--script"    ? &o->script
                             : a == "--control" ? &o->control
                             : a == "--fb"      ? &o->fb
                             : a == "--font"    ? &o->font
                             : a == "--scale"   ? &o->scale
                             : a == "--rotate"  ? &o->rotate
                             : a == "--output"  ? &o->output
                             : a == "--card"    ? &o->card
                             : a == "--mode"    ? &o->mode
                             : a == "--connector" ? &o->connector
                                                : nullptr;
        if (value == nullptr || i + 1 >= argc || argv[i + 1][0] == '\0') {
            fprintf(stderr, value == nullptr ? "velmor: unknown option '%s'\n" : "velmor: option '%s' needs a value\n",
                    argv[i]);
            fputs(usage_text, stderr);
            return 2;
        }
        *value = argv[++i];
        if (value == &o->output && strcmp(*value, "auto") != 0 && strcmp(*value, "drm") != 0
            && strcmp(*value, "fb") != 0 && strcmp(*value, "memory") != 0) {
            fprintf(stderr, "velmor: --output is auto, drm, fb or memory, not '%s'\n", *value);
            fputs(usage_text, stderr);
            return 2;
        }
    }
    scale_e mode;
    if (o->scale != nullptr && !scale_from_name(o->scale, &mode)) {
        fprintf(stderr, "velmor: unknown filter '%s' for --scale: point, bilinear, box or fast\n", o->scale);
        return 2;
    }
    int degrees;
    if (o->rotate != nullptr && !rotate_from_name(o->rotate, &degrees)) {
        fprintf(stderr, "velmor: unknown angle '%s' for --rotate: 0, 90, 180 or 270\n", o->rotate);
        return 2;
    }
    return -1;
}
