#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "velmor.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

// ---------------------------------------------------------------------------
// Stream record and block-timeout watchdog
// ---------------------------------------------------------------------------

const char* stream_get_state_name(stream_t* stream)
{
    assert(stream != nullptr);
    static constexpr const char* names[] = {
        "CREATING", "CONNECTING", "CONNECT_ERR", "CONNECTED", "RECONNECTING", "STOPPED",
    };
    unsigned state = static_cast<unsigned>(stream->state.load());
    return state < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

// A deadline equal to the current millisecond has expired; 0 never expires.
static bool deadline_expired(long long unblock_time, long long now)
{
    return unblock_time != 0 && unblock_time <= now;
}

void set_block_timeout(stream_t* stream, long timeout_millis)
{
    long long now = current_time_in_millis();
    assert(stream != nullptr);
    assert(timeout_millis > 0);
    monitor_lock(&stream->lock);
    stream->unblock_time = now + static_cast<long long>(timeout_millis);
    monitor_unlock(&stream->lock);
}

void clear_block_timeout(stream_t* stream)
{
    assert(stream != nullptr);
    monitor_lock(&stream->lock);
    stream->unblock_time = 0;
    monitor_unlock(&stream->lock);
}

void stream_check(stream_t* stream, long long now)
{
    assert(stream != nullptr);
    monitor_lock(&stream->lock);
    bool interrupt = deadline_expired(stream->unblock_time, now);
    monitor_unlock(&stream->lock);
    // The deadline stays armed: every later pass interrupts again until the
    // reader comes back and disarms it.
    if (interrupt) {
        printf("%s: block timeout is expired! interrupt stream reader '%s'!\n", "stream_check",
               stream->name);
        thread_interrupt(&stream->reader);
    }
}

int stream_decode_interrupt_cb(stream_t* stream)
{
    long long now = current_time_in_millis();
    bool interrupt = false;
    monitor_lock(&stream->lock);
    if (deadline_expired(stream->unblock_time, now)) {
        // Answered once: the blocked call gives up and the reader re-arms.
        stream->unblock_time = 0;
        interrupt = true;
        printf("%s: block timeout is expired! interrupt stream reader '%s'!\n",
               "stream_decode_interrupt_cb", stream->name);
    }
    monitor_unlock(&stream->lock);
    if (interrupt)
        return 1;
    if (stream->force_reconnect.load() != 0)
        return 1;
    if (stream->terminate.load() != 0)
        return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Stream life cycle
// ---------------------------------------------------------------------------

void stream_init(stream_t* stream, const char* name, const char* inputfile)
{
    assert(stream != nullptr);
    assert(name != nullptr);
    assert(inputfile != nullptr);
    // Zero the whole record; a fresh value-initialised object is the way to
    // do that for a record with atomic members.
    new (stream) stream_t{};
    list_item_init(&stream->dlink);
    monitor_init(&stream->lock);
    stream->name = strdup(name);
    stream->inputfile = strdup(inputfile);
    assert(stream->name != nullptr && stream->inputfile != nullptr);
    stream->reconnect = 5;
    thread_init(&stream->reader, name);
}

void stream_done(stream_t* stream)
{
    assert(stream != nullptr);
    assert(stream->dlink.next == nullptr);
    assert(thread_is_alive(&stream->reader) == 0);
    thread_done(&stream->reader);
    free(stream->name);
    stream->name = nullptr;
    free(stream->inputfile);
    stream->inputfile = nullptr;
    monitor_done(&stream->lock);
}

void stream_start(stream_t* stream)
{
    assert(stream != nullptr);
    assert(thread_is_alive(&stream->reader) == 0);
    stream->terminate = 0;
    stream->force_reconnect = 0;
    stream->frames_in_progress = 0;
    stream->unblock_time = 0;  // no reader yet: nobody else looks at it
    thread_start(&stream->reader, reader_thread, stream);
}

void stream_stop(stream_t* stream)
{
    assert(stream != nullptr);
    if (thread_is_alive(&stream->reader) == 0)
        return;
    stream->terminate = 1;
    thread_interrupt(&stream->reader);
    thread_join(&stream->reader);
}

void stream_force_reconnect(stream_t* stream)
{
    assert(stream != nullptr);
    if (thread_is_alive(&stream->reader) == 0)
        return;
    stream->force_reconnect = 1;
    thread_interrupt(&stream->reader);
}

// ---------------------------------------------------------------------------
// Reader thread
// ---------------------------------------------------------------------------

namespace {

constexpr long block_timeout_ms = 5000;
// A source that keeps delivering packets but no picture for this long is lost.
constexpr long long no_picture_limit_ms = 5000;
constexpr int64_t analyze_duration = 1000000;  // one second, in AV_TIME_BASE
constexpr long progress_every = 250;
constexpr const char* fn = "reader_thread";

// Where an attempt, or the handling of its end, goes next.
enum class next_e { reopen, read_packets, wait_and_retry, source_lost, end_reading, fail };

struct reader_t {
    stream_t* s = nullptr;
    AVFormatContext* fmtctx = nullptr;
    AVCodecContext* codecctx = nullptr;  // owned by the reader
    const AVCodec* codec = nullptr;
    int videostream = -1;
    AVPacket* pkt = nullptr;
    AVFrame* scratch = nullptr;  // every picture is received here first
    frame_t* frame = nullptr;    // the pool frame held, if any
    long framescount = 0;
    int err = 0;
    // Intra-only pictures stand alone: a packet may simply be dropped. An
    // inter-coded stream is decoded packet after packet, and after a gap it
    // waits for a keyframe with a flushed decoder.
    bool intra_only = true;
    bool need_keyframe = false;
    long long last_picture_time = 0;  // or when decoding last (re)started
};

// Arms the block timeout and gives the deadline it set.
long long arm_block_timeout(stream_t* s)
{
    set_block_timeout(s, block_timeout_ms);
    monitor_lock(&s->lock);
    long long deadline = s->unblock_time;
    monitor_unlock(&s->lock);
    return deadline;
}

// An operation that comes back after its deadline was interrupted by the
// watchdog, whatever it returned: what it returned may be stale buffered
// data while the source itself is stalled.
bool returned_late(long long deadline)
{
    return current_time_in_millis() >= deadline;
}

void release_packet(reader_t& r)
{
    ffmpeg_lock();
    av_packet_unref(r.pkt);
    ffmpeg_unlock();
}

void close_input(reader_t& r)
{
    if (r.codecctx != nullptr) {
        ffmpeg_lock();
        avcodec_free_context(&r.codecctx);
        ffmpeg_unlock();
    }
    if (r.fmtctx != nullptr) {
        ffmpeg_lock();
        avformat_close_input(&r.fmtctx);
        ffmpeg_unlock();
    }
    r.videostream = -1;
}

// The renderer converts every picture with the picture's own geometry, so
// these may change at any time.
void set_geometry(stream_t* s, int w, int h, int pixfmt)
{
    s->framew = w;
    s->frameh = h;
    s->framepixfmt = pixfmt;
}

// Steps one connection attempt through to its packet loop.
next_e open_source(reader_t& r)
{
    stream_t* s = r.s;
    close_input(r);
    // A reconnect request is answered by this very attempt; left set, it
    // would make the interrupt callback abandon every operation from now on.
    s->force_reconnect = 0;

    ffmpeg_lock();
    r.fmtctx = avformat_alloc_context();
    ffmpeg_unlock();
    assert(r.fmtctx != nullptr);
    r.fmtctx->interrupt_callback = {decode_interrupt_cb, s};
    long long deadline = arm_block_timeout(s);
    r.err = avformat_open_input(&r.fmtctx, s->inputfile, s->format, nullptr);
    clear_block_timeout(s);
    printf("%s: av_open_input_file() returns %d!\n", fn, r.err);
    if (r.err == 0 && returned_late(deadline)) {
        close_input(r);
        r.err = AVERROR(ETIMEDOUT);
    }
    if (r.err != 0) {
        printf("%s: cannot open input file '%s', err=%d\n", fn, s->inputfile, r.err);
        return next_e::wait_and_retry;
    }
    if (s->terminate != 0)
        return next_e::fail;
    s->state = SS_CONNECTED;

    if (strcmp(r.fmtctx->iformat->name, "mjpeg") != 0) {
        r.fmtctx->max_analyze_duration = analyze_duration;
        // Nothing here looks at frame rates or timestamps: skip their probe.
        r.fmtctx->fps_probe_size = 0;
        arm_block_timeout(s);
        r.err = avformat_find_stream_info(r.fmtctx, nullptr);
        clear_block_timeout(s);
        printf("%s: av_find_stream_info() returns %d!\n", fn, r.err);
        if (r.err < 0) {
            printf("%s: cannot retrieve stream info, err=%d\n", fn, r.err);
            return next_e::wait_and_retry;
        }
        if (s->terminate != 0)
            return next_e::fail;
    }

    ffmpeg_lock();
    av_dump_format(r.fmtctx, 0, s->inputfile, 0);
    ffmpeg_unlock();

    for (unsigned i = 0; i < r.fmtctx->nb_streams; ++i) {
        if (r.fmtctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            r.videostream = static_cast<int>(i);
            break;
        }
    }
    if (r.videostream < 0) {
        printf("%s: cannot find video stream!\n", fn);
        return next_e::fail;
    }
    const AVCodecParameters* par = r.fmtctx->streams[r.videostream]->codecpar;

    ffmpeg_lock();
    r.codec = avcodec_find_decoder(par->codec_id);
    ffmpeg_unlock();
    if (r.codec == nullptr) {
        printf("%s: unsupported video codec!\n", fn);
        return next_e::fail;
    }

    ffmpeg_lock();
    r.codecctx = avcodec_alloc_context3(r.codec);
    r.err = r.codecctx != nullptr ? avcodec_parameters_to_context(r.codecctx, par) : AVERROR(ENOMEM);
    if (r.err >= 0) {
        // Frame threads would hold pictures back; slices cost no latency.
        r.codecctx->thread_count = 0;
        r.codecctx->thread_type = FF_THREAD_SLICE;
        r.err = avcodec_open2(r.codecctx, r.codec, nullptr);
    }
    if (r.err < 0)
        avcodec_free_context(&r.codecctx);
    ffmpeg_unlock();
    if (r.err < 0) {
        printf("%s: could not open codec '%s'\n", fn, r.codec->name);
        return next_e::fail;
    }

    const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
    r.intra_only = desc != nullptr && (desc->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
    // A fresh decoder of an inter-coded stream joined mid-way starts at a
    // keyframe too.
    r.need_keyframe = !r.intra_only;
    r.last_picture_time = current_time_in_millis();

    if (r.codecctx->width != s->framew || r.codecctx->height != s->frameh ||
        r.codecctx->pix_fmt != s->framepixfmt)
        set_geometry(s, r.codecctx->width, r.codecctx->height, r.codecctx->pix_fmt);

    if (s->terminate != 0)
        return next_e::fail;
    return next_e::read_packets;
}

// Hands the picture in r.scratch to the renderer, or drops it when the pool
// has no frame for the stream.
void deliver_picture(reader_t& r)
{
    stream_t* s = r.s;
    if (r.frame == nullptr) {
        r.frame = render_get_free_frame(s);
        if (r.frame == nullptr) {
            av_frame_unref(r.scratch);
            return;
        }
    }
    AVFrame* pic = r.frame->frame;
    av_frame_unref(pic);
    av_frame_move_ref(pic, r.scratch);

    if ((s->frameh != pic->height || s->framew != pic->width || s->framepixfmt != pic->format) &&
        pic->width != 0 && pic->format != AV_PIX_FMT_NONE) {
        set_geometry(s, pic->width, pic->height, pic->format);
        printf("%s: got stream w=%d, h=%d, pixfmt=%d\n", fn, s->framew, s->frameh, s->framepixfmt);
    }
    r.framescount += 1;
    if (r.framescount % progress_every == 0)
        printf("%s: readed %ld frames\n", fn, r.framescount);
    render_frame(s, r.frame);
    r.frame = nullptr;
}

// Decodes one packet of the video stream. False when the source counts as
// lost: it has kept sending packets that give no picture.
bool decode_packet(reader_t& r)
{
    stream_t* s = r.s;
    long long now = current_time_in_millis();
    bool skip = false;
    if (r.intra_only) {
        if (r.frame == nullptr) {
            if (s->render_off != 0)
                skip = true;
            else if ((r.frame = render_get_free_frame(s)) == nullptr)
                skip = true;
        }
    } else if (s->render_off != 0) {
        skip = true;
        r.need_keyframe = true;
    } else if (r.need_keyframe) {
        if ((r.pkt->flags & AV_PKT_FLAG_KEY) == 0) {
            skip = true;
        } else {
            // Whatever the decoder kept refers to pictures it never saw.
            avcodec_flush_buffers(r.codecctx);
            r.need_keyframe = false;
        }
    }
    if (skip) {
        // Not decoding is no sign of a bad source.
        r.last_picture_time = now;
        return true;
    }

    bool got = false;
    avcodec_send_packet(r.codecctx, r.pkt);
    while (avcodec_receive_frame(r.codecctx, r.scratch) >= 0) {
        got = true;
        deliver_picture(r);
    }
    if (got) {
        r.last_picture_time = now;
        return true;
    }
    if (now - r.last_picture_time >= no_picture_limit_ms) {
        r.err = AVERROR_INVALIDDATA;
        return false;
    }
    return true;
}

next_e read_packets(reader_t& r)
{
    stream_t* s = r.s;
    while (s->terminate == 0) {
        long long deadline = arm_block_timeout(s);
        r.err = av_read_frame(r.fmtctx, r.pkt);
        clear_block_timeout(s);
        if (r.err >= 0 && returned_late(deadline))
            r.err = AVERROR(ETIMEDOUT);
        if (r.err < 0 || s->force_reconnect != 0) {
            release_packet(r);
            if (r.err > 0)
                r.err = 0;
            return next_e::source_lost;
        }
        bool alive = r.pkt->stream_index != r.videostream || decode_packet(r);
        release_packet(r);
        if (!alive)
            return next_e::source_lost;
    }
    return next_e::end_reading;
}

long reconnect_wait_ms(stream_t* s)
{
    return s->reconnect > 0 ? static_cast<long>(s->reconnect) * 1000 : 0;
}

next_e wait_and_retry(reader_t& r)
{
    stream_t* s = r.s;
    if (s->terminate != 0 || s->reconnect <= 0)
        return next_e::fail;
    printf("%s: reconnect timeout=%d sec, start waiting...\n", fn, s->reconnect);
    s->state = SS_CONNECT_ERROR;
    thread_sleep(reconnect_wait_ms(s));
    if (s->terminate != 0)
        return next_e::fail;
    printf("%s: try to reconnect!\n", fn);
    s->state = SS_RECONNECTING;
    return next_e::reopen;
}

// The render thread must never wait behind the decoders: a picture it does
// not get to before the stream's next one is replaced unseen, and decoding it
// was wasted. With more streams than cores that cost a quarter of the
// pictures; a few nice levels below the render thread, readers yield the CPU
// to it as soon as a picture is ready.
void yield_to_renderer()
{
    constexpr int reader_nice = 5;
    const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        setpriority(PRIO_PROCESS, tid, std::min(nice + reader_nice, 19));
}

next_e source_lost(reader_t& r)
{
    stream_t* s = r.s;
    printf("%s: maybe EOF reached! err=%d\n", fn, r.err);
    if (s->reconnect <= 0 && s->force_reconnect == 0)
        return next_e::end_reading;
    printf("%s: reconnect timeout=%d sec, start waiting...\n", fn, s->reconnect);
    s->force_reconnect = 0;
    if (s->terminate != 0)
        return next_e::end_reading;
    s->state = SS_RECONNECTING;
    thread_sleep(reconnect_wait_ms(s));
    if (s->terminate != 0)
        return next_e::end_reading;
    printf("%s: try to reconnect!\n", fn);
    return next_e::reopen;
}

}  // namespace

void* reader_thread(void* arg)
{
    reader_t r;
    r.s = static_cast<stream_t*>(arg);
    stream_t* s = r.s;
    assert(s != nullptr);

    yield_to_renderer();
    render_on_stream_start(s);
    s->state = SS_CONNECTING;
    ffmpeg_lock();
    r.pkt = av_packet_alloc();
    r.scratch = av_frame_alloc();
    ffmpeg_unlock();
    assert(r.pkt != nullptr && r.scratch != nullptr);

    next_e step = next_e::reopen;
    while (step != next_e::fail) {
        switch (step) {
        case next_e::reopen:
            step = open_source(r);
            break;
        case next_e::read_packets:
            step = read_packets(r);
            break;
        case next_e::wait_and_retry:
            step = wait_and_retry(r);
            break;
        case next_e::source_lost:
            step = source_lost(r);
            break;
        case next_e::end_reading:
            printf("%s: total readed frames=%ld\n", fn, r.framescount);
            step = next_e::fail;
            break;
        case next_e::fail:
            break;
        }
    }

    if (r.frame != nullptr) {
        printf("%s: frame is leaved valid! put it back in free frames for reuse!\n", fn);
        render_put_free_frame(s, r.frame);
        r.frame = nullptr;
    }
    close_input(r);
    ffmpeg_lock();
    av_packet_free(&r.pkt);
    av_frame_free(&r.scratch);
    ffmpeg_unlock();
    s->state = SS_STOPPED;
    render_on_stream_stop(s);
    return nullptr;
}
