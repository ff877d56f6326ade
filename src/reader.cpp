#include "reader.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "decoder.h"
#include "playlist.h"
#include "timeline.h"
#include "watchdog.h"
#include "render.h"
#include "stats.h"

// ---------------------------------------------------------------------------
// Reader thread
// ---------------------------------------------------------------------------

namespace {

constexpr long block_timeout_ms = 5000;
// A source that keeps delivering packets but no picture for this long is lost.
constexpr long long no_picture_limit_ms = 5000;
constexpr int64_t analyze_duration = 1000000;  // one second, in AV_TIME_BASE
constexpr long progress_every = 250;
// Read without a picture, a source is lost past the larger of these (and
// sooner when all streams together hold too much: see the watchdog). 8 MiB
// is several seconds of a camera's H.264 before its first keyframe.
constexpr int64_t overread_min_bytes = 8 << 20;
constexpr int64_t overread_pictures = 8;
constexpr const char* fn = "reader_thread";
// A kernel receive buffer this large holds a camera's bursts by itself.
constexpr long long udp_buffer_alone = 1 << 20;

// What the reader does next.
enum class step_e {
    connect,        // open the source (again)
    read,           // read and decode packets
    retry_connect,  // the source could not be opened or probed: wait, then connect
    retry_lost,     // the source was lost while reading: wait, then connect
    finish,         // say how many pictures were read, then end
    end,            // end the thread
};

struct reader_t {
    stream_t* s = nullptr;
    input_ptr input;
    video_decoder_t dec;  // the decoder is always closed before the input
    int videostream = -1;
    packet_ptr pkt;
    picture_ptr scratch;       // every picture is received here first
    frame_t* frame = nullptr;  // the pool frame held, if any
    long framescount = 0;
    int err = 0;
    // An inter-coded stream is decoded packet after packet, and after a gap
    // it waits for a keyframe with a flushed decoder.
    bool need_keyframe = false;
    long long last_picture_time = 0;  // or when decoding last (re)started
    bool decode_failing = false;      // a burst of decoding errors has been reported
    int largest_picture = 0;          // bytes of the largest picture packet seen
    bool hopeless = false;            // the open failed in a way no retry can mend
    bool undecodable = false;         // the decoder cannot work here (hardware it lacks)
    int fullw = 0;  // the source size of a picture decoded reduced, else 0
    int fullh = 0;
    pacer_t pacer;
    lag_control_t lag;
    playlist_t list;
    bool next_item = false;  // the connection opens the list's next input
};

// An operation that comes back after its deadline was interrupted by the
// watchdog, whatever it returned: what it returned may be stale buffered
// data while the source itself is stalled.
bool returned_late(long long deadline)
{
    return current_time_in_millis() >= deadline;
}

void close_input(reader_t& r)
{
    r.s->input = nullptr;
    stream_picture_seen(r.s);
    r.dec.ctx.reset();
    r.input.reset();
    r.videostream = -1;
}

// Every packet: never behind the FFmpeg monitor.
void release_packet(reader_t& r)
{
    av_packet_unref(r.pkt.get());
}

// Gives back the pool frame the reader holds, if any.
void give_back_frame(reader_t& r)
{
    if (r.frame != nullptr) {
        render_put_free_frame(r.frame);
        r.frame = nullptr;
    }
}

// A URL whose protocol FFmpeg lacks fails the same way every time.
bool unknown_protocol(reader_t& r)
{
    if (r.err != AVERROR_PROTOCOL_NOT_FOUND)
        return false;
    printf("%s: FFmpeg has no protocol for '%s': stream ended\n", fn, url_redacted(r.s->inputfile).c_str());
    r.hopeless = true;
    return true;
}

// The value of `key` in the query of `url`, or null.
const char* url_query_value(const char* url, std::string_view key)
{
    const char* query = strchr(url, '?');
    for (const char* at = query; at != nullptr; at = strchr(at, '&')) {
        ++at;
        if (strncmp(at, key.data(), key.size()) == 0 && at[key.size()] == '=')
            return at + key.size() + 1;
    }
    return nullptr;
}

}  // namespace

// FFmpeg's udp:// receives in a thread of its own into a ring, which then
// wakes the reader: two wake-ups for every datagram, a large part of a
// camera wall's CPU. Where the kernel buffer asked for (buffer_size) is
// large, it holds the bursts alone and the reader reads the socket itself.
// A fifo_size given in the URL or with -o still wins.
void reader_input_defaults(const char* url, AVDictionary** options)
{
    if (strncmp(url, "udp://", 6) != 0 || av_dict_get(*options, "fifo_size", nullptr, 0) != nullptr)
        return;
    const AVDictionaryEntry* given = av_dict_get(*options, "buffer_size", nullptr, 0);
    const char* buffer = given != nullptr ? given->value : url_query_value(url, "buffer_size");
    if (buffer != nullptr && strtoll(buffer, nullptr, 10) >= udp_buffer_alone)
        av_dict_set(options, "fifo_size", "0", 0);
}

namespace {

// Opens the source with its deadline; false after the failure message (and
// `hopeless` set when retrying cannot help).
bool open_input(reader_t& r)
{
    stream_t* s = r.s;
    AVFormatContext* ctx;
    {
        ffmpeg_guard ff;
        ctx = avformat_alloc_context();
    }
    assert(ctx != nullptr);
    ctx->interrupt_callback = {decode_interrupt_cb, s};
    AVDictionary* options = options_dictionary(s->settings.input_options);
    reader_input_defaults(r.list.url(s), &options);
    const long long deadline = set_block_timeout(s, block_timeout_ms);
    r.err = avformat_open_input(&ctx, r.list.url(s), s->settings.format, &options);
    clear_block_timeout(s);
    r.input.reset(ctx);  // null after a failed open, which frees it
    printf("%s: av_open_input_file() returns %d!\n", fn, r.err);
    if (r.err == 0 && returned_late(deadline)) {
        close_input(r);
        r.err = AVERROR(ETIMEDOUT);
    }
    const bool options_taken = r.err != 0 || options_all_taken("input", s->name, options);
    {
        ffmpeg_guard ff;
        av_dict_free(&options);
    }
    if (r.err != 0) {
        printf("%s: cannot open input file '%s', err=%d\n", fn, url_redacted(r.list.url(s)).c_str(), r.err);
        unknown_protocol(r);
        return false;
    }
    if (!options_taken) {
        close_input(r);
        r.hopeless = true;
        return false;
    }
    s->input = r.input.get();
    stream_picture_seen(s);
    s->read_limit = std::max(overread_min_bytes, overread_pictures * r.largest_picture);
    s->overread = 0;
    return true;
}

// Probes the streams of the input; false after the failure message. Raw
// MJPEG has nothing to probe.
bool probe_input(reader_t& r)
{
    AVFormatContext* in = r.input.get();
    if (strcmp(in->iformat->name, "mjpeg") == 0)
        return true;
    in->max_analyze_duration = analyze_duration;
    // Nothing here looks at frame rates or timestamps: skip their probe.
    in->fps_probe_size = 0;
    set_block_timeout(r.s, block_timeout_ms);
    r.err = avformat_find_stream_info(in, nullptr);
    clear_block_timeout(r.s);
    printf("%s: av_find_stream_info() returns %d!\n", fn, r.err);
    if (r.err < 0) {
        printf("%s: cannot retrieve stream info, err=%d\n", fn, r.err);
        return false;
    }
    return true;
}

// Chooses the first video stream and opens its decoder; false after the
// message that ends the stream.
bool open_decoder(reader_t& r)
{
    AVFormatContext* in = r.input.get();
    for (unsigned i = 0; i < in->nb_streams && r.videostream < 0; ++i)
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            r.videostream = static_cast<int>(i);
    if (r.videostream < 0) {
        stats_note_error(r.s, AVERROR_STREAM_NOT_FOUND);
        printf("%s: cannot find video stream!\n", fn);
        return false;
    }
    r.err = decoder_open(r.s, in->streams[r.videostream]->codecpar, &r.dec);
    if (r.err < 0)
        return false;
    // A fresh decoder of an inter-coded stream joined mid-way starts at a
    // keyframe too.
    r.need_keyframe = !r.dec.intra_only;
    return true;
}

// One connection attempt, through to its packet loop.
step_e connect(reader_t& r)
{
    stream_t* s = r.s;
    close_input(r);
    // A reconnect request is answered by this very attempt; left set, it
    // would make the interrupt callback abandon every operation from now on.
    s->force_reconnect = 0;
    if (!r.next_item) {
        stats_note_connect(s);
        r.pacer = pacer_t{};
    }
    r.next_item = false;
    if (!open_input(r)) {
        if (r.hopeless || playlist_size(s) == 1)
            return r.hopeless ? step_e::end : step_e::retry_connect;
        stats_note_error(s, r.err);  // one input of a list that fails does not hold the others up
        return (r.next_item = r.list.advance(s, true)) ? step_e::connect : step_e::retry_connect;
    }
    if (s->terminate != 0)
        return step_e::end;
    s->state = SS_CONNECTED;
    if (!probe_input(r))
        return step_e::retry_connect;
    if (s->terminate != 0)
        return step_e::end;
    {
        ffmpeg_guard ff;
        av_dump_format(r.input.get(), 0, url_redacted(s->inputfile).c_str(), 0);
    }
    if (!open_decoder(r))
        return step_e::end;
    r.lag.restart(s, nullptr);
    r.last_picture_time = current_time_in_millis();
    s->framew = r.dec.ctx->width;
    s->frameh = r.dec.ctx->height;
    s->framepixfmt = r.dec.ctx->pix_fmt;
    if (const unsigned long long f = stats_pack_format(s->framew, s->frameh, s->framepixfmt))
        s->picture_format = f;
    return s->terminate != 0 ? step_e::end : step_e::read;
}

// Hands the picture in r.scratch to the renderer, or drops it when the pool
// has no frame for the stream.
void deliver_picture(reader_t& r)
{
    stream_t* s = r.s;
    if (r.frame == nullptr && (r.frame = render_get_free_frame(s)) == nullptr) {
        av_frame_unref(r.scratch.get());
        s->pictures_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    AVFrame* pic = r.frame->frame;
    av_frame_unref(pic);
    av_frame_move_ref(pic, r.scratch.get());
    if (!r.pacer.show(s, pic, r.input->streams[r.videostream]->time_base))
        return;

    // The source's own size, whatever size the picture was decoded at.
    const int srcw = r.fullw > 0 ? r.fullw : pic->width;
    const int srch = r.fullh > 0 ? r.fullh : pic->height;
    r.fullw = r.fullh = 0;
    if ((s->frameh != srch || s->framew != srcw || s->framepixfmt != pic->format) && pic->width != 0
        && pic->format != AV_PIX_FMT_NONE) {
        s->framew = srcw;
        s->frameh = srch;
        s->framepixfmt = pic->format;
        s->picture_format = stats_pack_format(s->framew, s->frameh, s->framepixfmt);
        printf("%s: got stream w=%d, h=%d, pixfmt=%d\n", fn, s->framew, s->frameh, s->framepixfmt);
    }
    r.framescount += 1;
    if (r.framescount % progress_every == 0)
        printf("%s: readed %ld frames\n", fn, r.framescount);
    s->pictures_decoded.fetch_add(1, std::memory_order_relaxed);
    render_frame(s, r.frame);
    r.frame = nullptr;
}

// Whether the packet in hand is to be decoded; a skipped one is no sign of a
// bad source.
bool worth_decoding(reader_t& r)
{
    stream_t* s = r.s;
    const lag_e lag = r.lag.admit(s, r.dec.ctx.get(), r.pkt.get(), r.input->streams[r.videostream]->time_base);
    if (lag == lag_e::drop)
        return false;
    r.need_keyframe |= lag == lag_e::resume && !r.dec.intra_only;  // flushed below, at this keyframe
    if (r.dec.intra_only) {
        if (r.frame != nullptr)
            return true;
        if (s->render_off != 0)
            return false;
        if ((r.frame = render_get_free_frame(s)) == nullptr) {
            s->pictures_dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        return true;
    }
    if (s->render_off != 0) {
        r.need_keyframe = true;
        return false;
    }
    if (r.need_keyframe) {
        if ((r.pkt->flags & AV_PKT_FLAG_KEY) == 0)
            return false;
        // Whatever the decoder kept refers to pictures it never saw.
        avcodec_flush_buffers(r.dec.ctx.get());
        r.need_keyframe = false;
    }
    return true;
}

// Reports the first decoding error of a burst; a picture ends the burst.
void decoding_failed(reader_t& r, int err)
{
    // A decoder that never gave a picture and says it cannot work at all (a
    // hardware decoder without its hardware) fails the same way every time.
    if (r.framescount == 0 && (err == AVERROR(ENOSYS) || err == AVERROR(ENODEV))) {
        if (!r.undecodable) {
            stats_note_error(r.s, err);
            printf("%s: decoder '%s' of stream '%s' decodes nothing: %s: stream ended\n", fn, r.dec.ctx->codec->name,
                   r.s->name, av_error_text(err).c_str());
        }
        r.undecodable = true;
        return;
    }
    if (!r.decode_failing) {
        stats_note_error(r.s, err);
        printf("%s: cannot decode a picture of stream '%s': %s\n", fn, r.s->name, av_error_text(err).c_str());
    }
    r.decode_failing = true;
}

// A picture, or a packet skipped on purpose: the bytes read so far were
// not wasted.
void mark_progress(reader_t& r, long long now)
{
    stream_t* s = r.s;
    r.last_picture_time = now;
    if (s->connected_at.load(std::memory_order_relaxed) == 0)
        s->connected_at = now;
    r.largest_picture = std::max(r.largest_picture, r.pkt->size);
    s->read_limit = std::max(overread_min_bytes, overread_pictures * r.largest_picture);
    stream_picture_seen(s);
}

// Decodes an MJPEG packet with libjpeg-turbo, at the window's size when that
// is much smaller than the picture (a scaled window only), and hands it on.
// False when it is not MJPEG or libjpeg-turbo does not take the picture.
bool decode_jpeg(reader_t& r)
{
    if (r.dec.jpeg == nullptr)
        return false;
    const stream_settings_t& set = r.s->settings;
    jpeg_target_t target;
    if (set.nozoom == 0) {
        target.winw = set.w;
        target.winh = set.h;
    }
    target.stream_height = r.input->streams[r.videostream]->codecpar->height;
    target.max_pixels = picture_pixels_max;
    if (!jpeg_decode(r.dec.jpeg.get(), r.pkt->data, r.pkt->size, target, r.scratch.get(), &r.fullw, &r.fullh))
        return false;
    r.scratch->best_effort_timestamp = r.pkt->pts;
    r.decode_failing = false;
    deliver_picture(r);
    return true;
}

// Decodes one packet of the video stream. False when the source counts as
// lost: it has kept sending packets that give no picture.
bool decode_packet(reader_t& r)
{
    const long long now = current_time_in_millis();
    if (!worth_decoding(r)) {
        mark_progress(r, now);
        return true;
    }
    if (decode_jpeg(r)) {
        mark_progress(r, now);
        return true;
    }
    decoder_fit_window(&r.dec, r.s);
    int err = avcodec_send_packet(r.dec.ctx.get(), r.pkt.get());
    if (err < 0 && err != AVERROR(EAGAIN))
        decoding_failed(r, err);
    bool got = false;
    while ((err = avcodec_receive_frame(r.dec.ctx.get(), r.scratch.get())) >= 0) {
        got = true;
        r.decode_failing = false;
        deliver_picture(r);
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF)
        decoding_failed(r, err);
    // A frame taken for a packet that gave no picture goes back at once: a
    // stream of undecodable data must not sit on the pool.
    give_back_frame(r);
    if (!got && r.dec.ctx->skip_frame == AVDISCARD_NONREF)
        r.s->late_dropped.fetch_add(1, std::memory_order_relaxed);
    if (got) {
        mark_progress(r, now);
        return true;
    }
    if (now - r.last_picture_time >= no_picture_limit_ms) {
        r.err = AVERROR_INVALIDDATA;
        return false;
    }
    return true;
}

// An input ended: its last pictures still in the decoder, then the same
// input from its start, the list's next one, or the reconnect delay.
step_e next_input(reader_t& r)
{
    if (avcodec_send_packet(r.dec.ctx.get(), nullptr) >= 0)
        while (avcodec_receive_frame(r.dec.ctx.get(), r.scratch.get()) >= 0)
            deliver_picture(r);
    give_back_frame(r);
    avcodec_flush_buffers(r.dec.ctx.get());
    r.pacer.restart();
    if (playlist_size(r.s) > 1)
        return (r.next_item = r.list.advance(r.s, false)) ? step_e::connect : step_e::retry_lost;
    if (!playlist_rewind(r.input.get(), r.videostream, r.dec.ctx.get()))
        return step_e::retry_lost;
    r.s->loops.fetch_add(1, std::memory_order_relaxed);
    r.lag.restart(r.s, r.dec.ctx.get());
    r.need_keyframe = !r.dec.intra_only;
    return step_e::read;
}

step_e read_packets(reader_t& r)
{
    stream_t* s = r.s;
    while (s->terminate == 0) {
        const long long deadline = set_block_timeout(s, block_timeout_ms);
        r.err = av_read_frame(r.input.get(), r.pkt.get());
        clear_block_timeout(s);
        if (r.err >= 0 && returned_late(deadline))
            r.err = AVERROR(ETIMEDOUT);
        if (r.err >= 0)
            s->input_bytes.fetch_add(r.pkt->size, std::memory_order_relaxed);
        if (s->overread.exchange(0) != 0) {
            printf("%s: %lld bytes read without a picture!\n", fn, static_cast<long long>(s->unpictured));
            r.err = AVERROR_INVALIDDATA;
        }
        if (r.err == AVERROR_EOF && s->force_reconnect == 0 && playlist_size(s) + s->settings.loop > 1)
            return next_input(r);
        if (r.err < 0 || s->force_reconnect != 0) {
            release_packet(r);
            r.err = std::min(r.err, 0);
            return step_e::retry_lost;
        }
        const bool alive = r.pkt->stream_index != r.videostream || decode_packet(r);
        release_packet(r);
        if (r.undecodable)
            return step_e::end;
        if (!alive)
            return step_e::retry_lost;
    }
    return step_e::finish;
}

// The whole delay: the watchdog's interrupt that ended the last read may
// still be pending, and only a stop or a reconnect request cuts it short.
void wait_reconnect_delay(stream_t* s)
{
    const long long until = current_time_in_millis() + std::max(s->settings.reconnect, 0) * 1000LL;
    for (int i = 0; i < 100000 && s->terminate == 0 && s->force_reconnect == 0; ++i) {
        const long long left = until - current_time_in_millis();
        if (left <= 0)
            break;
        thread_sleep(static_cast<long>(left));
    }
}

// Waits the stream's reconnect delay and goes on with a new connection, or
// with `gone` when the stream is stopped meanwhile.
step_e wait_and_reconnect(reader_t& r, stream_state_e waiting, step_e gone)
{
    stream_t* s = r.s;
    give_back_frame(r);
    // A source that takes one client must not have its slot held meanwhile.
    close_input(r);
    printf("%s: reconnect timeout=%d sec, start waiting...\n", fn, s->settings.reconnect);
    const bool at_once = s->force_reconnect.exchange(0) != 0;
    if (s->terminate != 0)
        return gone;
    s->state = waiting;
    if (at_once)
        thread_sleep(0);
    else
        wait_reconnect_delay(s);
    if (s->terminate != 0)
        return gone;
    printf("%s: try to reconnect!\n", fn);
    s->state = SS_RECONNECTING;
    return step_e::connect;
}

step_e retry_connect(reader_t& r)
{
    stats_note_error(r.s, r.err);
    if (r.s->terminate != 0 || r.s->settings.reconnect <= 0)
        return step_e::end;
    return wait_and_reconnect(r, SS_CONNECT_ERROR, step_e::end);
}

step_e retry_lost(reader_t& r)
{
    printf("%s: maybe EOF reached! err=%d\n", fn, r.err);
    stats_note_error(r.s, r.err);
    if (r.s->settings.reconnect <= 0 && r.s->force_reconnect == 0)
        return step_e::finish;
    return wait_and_reconnect(r, SS_RECONNECTING, step_e::finish);
}

// The render thread must never wait behind the decoders: a picture it does
// not get to before the stream's next one is replaced unseen, and decoding it
// was wasted. With more streams than cores that cost a quarter of the
// pictures; a few nice levels below the render thread, readers leave the CPU
// to it as soon as a picture is ready.
void lower_reader_priority()
{
    constexpr int reader_nice = 5;
    const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        setpriority(PRIO_PROCESS, tid, std::min(nice + reader_nice, 19));
}

}  // namespace

void* reader_thread(void* arg)
{
    reader_t r;
    r.s = static_cast<stream_t*>(arg);
    stream_t* s = r.s;
    assert(s != nullptr);

    lower_reader_priority();
    render_on_stream_start(s);
    s->state = SS_CONNECTING;
    {
        ffmpeg_guard ff;
        r.pkt.reset(av_packet_alloc());
        r.scratch.reset(av_frame_alloc());
    }
    assert(r.pkt != nullptr && r.scratch != nullptr);

    for (step_e step = step_e::connect; step != step_e::end;) {
        switch (step) {
        case step_e::connect:
            step = connect(r);
            break;
        case step_e::read:
            step = read_packets(r);
            break;
        case step_e::retry_connect:
            step = retry_connect(r);
            break;
        case step_e::retry_lost:
            step = retry_lost(r);
            break;
        case step_e::finish:
            printf("%s: total readed frames=%ld\n", fn, r.framescount);
            step = step_e::end;
            break;
        case step_e::end:
            break;
        }
    }

    if (r.frame != nullptr) {
        printf("%s: frame is leaved valid! put it back in free frames for reuse!\n", fn);
        give_back_frame(r);
    }
    close_input(r);
    r.pkt.reset();
    r.scratch.reset();
    s->state = SS_STOPPED;
    render_on_stream_stop(s);
    return nullptr;
}
