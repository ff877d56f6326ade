#include "decoder.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "stats.h"

namespace {

constexpr const char* fn = "reader_thread";

// MJPEG goes through libjpeg-turbo when it can be set up.
void choose_jpeg_decoder(const stream_settings_t& set, const AVCodecParameters* par, video_decoder_t* d)
{
    // A decoder chosen with -c, or options for one, mean FFmpeg's decoder
    // for the whole stream.
    if (par->codec_id != AV_CODEC_ID_MJPEG || set.decoder != nullptr || !set.decoder_options.empty())
        d->jpeg.reset();
    else if (d->jpeg == nullptr)
        d->jpeg = jpeg_decoder_new();
}

bool user_sets(const std::vector<std::string>& options, std::string_view key)
{
    return std::any_of(options.begin(), options.end(), [key](std::string_view o) {
        return o.substr(0, o.find('=')) == key;
    });
}

}  // namespace

int decoder_open(stream_t* s, const AVCodecParameters* par, video_decoder_t* d)
{
    // No FFmpeg monitor: avcodec_open2 locks what still needs it itself, and
    // a hardware decoder's open may take long.
    const AVCodec* codec = s->settings.decoder;
    if (codec != nullptr && codec->id != par->codec_id) {
        printf("%s: decoder '%s' cannot decode %s video: stream ended\n", fn, codec->name,
               avcodec_get_name(par->codec_id));
        return AVERROR_DECODER_NOT_FOUND;
    }
    if (codec == nullptr)
        codec = avcodec_find_decoder(par->codec_id);
    if (codec == nullptr) {
        stats_note_error(s, AVERROR_DECODER_NOT_FOUND);
        printf("%s: unsupported video codec!\n", fn);
        return AVERROR_DECODER_NOT_FOUND;
    }
    d->ctx.reset(avcodec_alloc_context3(codec));
    int err = d->ctx != nullptr ? avcodec_parameters_to_context(d->ctx.get(), par) : AVERROR(ENOMEM);
    if (err >= 0) {
        // Frame threads would hold pictures back; slices cost no latency.
        d->ctx->thread_count = 0;
        d->ctx->thread_type = FF_THREAD_SLICE;
        d->ctx->max_pixels = picture_pixels_max;
        AVDictionary* options = options_dictionary(s->settings.decoder_options);
        err = avcodec_open2(d->ctx.get(), codec, &options);
        if (err >= 0 && !options_all_taken("decoder", s->name, options))
            err = AVERROR_OPTION_NOT_FOUND;
        av_dict_free(&options);
    }
    if (err == AVERROR_OPTION_NOT_FOUND) {
        d->ctx.reset();
        return err;
    }
    if (err < 0) {
        d->ctx.reset();
        stats_note_error(s, err);
        printf("%s: could not open codec '%s'\n", fn, codec->name);
        return err;
    }
    s->codec_name = codec->name;
    choose_jpeg_decoder(s->settings, par, d);
    const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
    d->intra_only = desc != nullptr && (desc->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
    d->fits_window = (par->codec_id == AV_CODEC_ID_H264 || par->codec_id == AV_CODEC_ID_HEVC)
                     && !user_sets(s->settings.decoder_options, "skip_loop_filter");
    return 0;
}

void decoder_fit_window(video_decoder_t* d, const stream_t* s)
{
    if (!d->fits_window)
        return;
    const unsigned long long size = s->win_size.load(std::memory_order_relaxed);
    const long long w = static_cast<long long>(size >> 32), h = static_cast<long long>(size & 0xFFFFFFFFu);
    AVCodecContext* c = d->ctx.get();
    const bool small = s->settings.nozoom == 0 && w > 0 && h > 0 && 2 * w <= c->width && 2 * h <= c->height;
    c->skip_loop_filter = small ? AVDISCARD_NONKEY : AVDISCARD_DEFAULT;
}
