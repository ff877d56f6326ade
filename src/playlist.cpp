#include "playlist.h"

#include <sys/stat.h>

#include <cstdio>
#include <string_view>

size_t playlist_size(const stream_t* s)
{
    return 1 + s->settings.more_inputs.size();
}

const char* playlist_url(const stream_t* s, size_t item)
{
    return item == 0 ? s->inputfile : s->settings.more_inputs.at(item - 1).c_str();
}

bool playlist_is_live(const char* url)
{
    constexpr std::string_view live[] = {"rtsp:", "rtsps:", "rtp:", "srtp:", "udp:", "tcp:", "tls:", "unix:",
                                         "rtmp", "srt:", "mmsh:", "mmst:", "pipe:", "fd:"};
    const std::string_view u(url);
    for (std::string_view p : live)
        if (u.substr(0, p.size()) == p)
            return true;
    if (u == "-")
        return true;
    // A local FIFO or device has no start either.
    struct stat st;
    const std::string_view path = u.substr(0, 5) == "file:" ? u.substr(5) : u;
    return path.find("://") == std::string_view::npos && stat(std::string(path).c_str(), &st) == 0
           && !S_ISREG(st.st_mode);
}

bool playlist_can_rewind(const AVFormatContext* in)
{
    return in->pb != nullptr && (in->pb->seekable & AVIO_SEEKABLE_NORMAL) != 0;
}

bool playlist_rewind(AVFormatContext* in, int video_stream, AVCodecContext* dec)
{
    if (!playlist_can_rewind(in)) {
        printf("reader_thread: input '%s' cannot seek back to its start: not looped\n", url_redacted(in->url).c_str());
        return false;
    }
    const AVStream* st = in->streams[video_stream];
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    if (av_seek_frame(in, video_stream, start, AVSEEK_FLAG_BACKWARD) < 0
        && avformat_seek_file(in, -1, INT64_MIN, 0, 0, 0) < 0)
        return false;
    avcodec_flush_buffers(dec);
    return true;
}

bool playlist_t::advance(stream_t* s, bool unopenable)
{
    const size_t n = playlist_size(s);
    unopenable_.resize(n);
    unopenable_[item_] = unopenable_[item_] || unopenable;
    for (size_t k = 1; k <= n && (item_ + k < n || s->settings.loop); ++k) {
        if (!unopenable_[(item_ + k) % n]) {
            s->loops.fetch_add(item_ + k >= n ? 1 : 0, std::memory_order_relaxed);
            item_ = (item_ + k) % n;
            return true;
        }
    }
    item_ = 0;
    unopenable_.assign(n, false);
    return false;
}
