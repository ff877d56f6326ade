// The bottom layer every module above it shares: the clock, URLs as they
// may be shown, the FFmpeg monitor with owners for FFmpeg's objects, and the
// one surface. It calls nothing of the program but the thread layer.
#include "shared.h"

#include <sys/time.h>

#include <ctime>

#include <algorithm>
#include <cstdio>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

fbuffer_t* fb0;
monitor_t ffmpeg_mon;

// The monotonic clock: boards without a real-time clock step the wall clock
// by years when NTP syncs, which would fire every deadline or freeze every
// wait. Nothing prints it as a date.
long long current_time_in_millis(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A password may hold '/', '?', '#' and '@': the authority's last '@' is
// the last one before the first of those that follows an '@'. A word of the
// text ends at a blank or a quote.
std::string url_redacted(const char* text)
{
    std::string u = text;
    for (size_t scheme = u.find("://"); scheme != std::string::npos; scheme = u.find("://", scheme + 3)) {
        const size_t host = scheme + 3;
        const size_t word_end = std::min(u.find_first_of(" '\"\n\t", host), u.size());
        const size_t colon = u.find_first_of(":/?#", host);
        if (colon >= word_end || u[colon] != ':')
            continue;
        size_t at = u.find('@', colon);
        if (at >= word_end)
            continue;
        const size_t path = std::min(u.find_first_of("/?#", at), word_end);
        at = u.rfind('@', path - 1);
        u.replace(colon + 1, at - colon - 1, "***");
    }
    return u;
}

AVDictionary* options_dictionary(const std::vector<std::string>& options)
{
    AVDictionary* dict = nullptr;
    ffmpeg_guard ff;
    for (const std::string& o : options) {
        const size_t eq = o.find('=');
        av_dict_set(&dict, o.substr(0, eq).c_str(), o.substr(eq + 1).c_str(), 0);
    }
    return dict;
}

bool options_all_taken(const char* who, const char* stream_name, AVDictionary* left)
{
    if (av_dict_count(left) == 0)
        return true;
    std::string keys;
    for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(left, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr;)
        keys += std::string(keys.empty() ? "'" : ", '") + e->key + "'";
    printf("%s: %s of stream '%s' did not take option%s %s: stream ended\n", "reader_thread", who, stream_name,
           av_dict_count(left) > 1 ? "s" : "", keys.c_str());
    return false;
}

std::string av_error_text(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

void ffmpeg_lock(void)
{
    monitor_lock(&ffmpeg_mon);
}

void ffmpeg_unlock(void)
{
    monitor_unlock(&ffmpeg_mon);
}

// Without the FFmpeg monitor: FFmpeg 5.1 frees these safely from any
// thread, and closing an input may wait on the network (an RTSP TEARDOWN),
// which must hold up no other stream.
void ffmpeg_deleter::operator()(AVFormatContext* p) const
{
    avformat_close_input(&p);
}

void ffmpeg_deleter::operator()(AVCodecContext* p) const
{
    avcodec_free_context(&p);
}

void ffmpeg_deleter::operator()(AVPacket* p) const
{
    av_packet_free(&p);
}

void ffmpeg_deleter::operator()(AVFrame* p) const
{
    av_frame_free(&p);
}
