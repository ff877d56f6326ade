#include "timeline.h"

#include <algorithm>

namespace {

constexpr int64_t forward_jump_us = 2000000;
// How long skipping only unreferenced pictures has to bring the lag down
// before whole groups of pictures are dropped.
constexpr long long nonref_trial_ms = 300;

// Sleeps until `until`, or until the stream is stopped or reconnected.
void sleep_until(stream_t* s, long long until)
{
    for (int i = 0; i < 100000 && s->terminate == 0 && s->force_reconnect == 0; ++i) {
        const long long left = until - current_time_in_millis();
        if (left <= 0)
            break;
        thread_sleep(static_cast<long>(std::min(left, 1000LL)));
    }
}

}  // namespace

int64_t timeline_us(int64_t ts, AVRational time_base)
{
    return ts == AV_NOPTS_VALUE ? ts : av_rescale_q(ts, time_base, AVRational{1, 1000000});
}

long long timeline_t::offset(int64_t us, long long now, long long period_ms)
{
    const bool jumped = anchored_ && (us < last_us_ || us - last_us_ > forward_jump_us);
    anchored_now_ = !anchored_ || jumped;
    if (anchored_now_) {
        // After a jump or a restart the next picture keeps the pace, one
        // period on, unless it came later than that.
        if (jumped)
            resume_ms_ = anchor_ms_ + (last_us_ - anchor_us_) / 1000 + period_ms;
        anchor_ms_ = resume_ms_ != 0 && now <= resume_ms_ + period_ms ? resume_ms_ : now;
        anchor_us_ = us;
        anchored_ = true;
        resume_ms_ = 0;
    }
    last_us_ = us;
    return now - (anchor_ms_ + (us - anchor_us_) / 1000);
}

bool pacer_t::show(stream_t* s, AVFrame* pic, AVRational time_base)
{
    if (!s->settings.paced || wait_for(s, timeline_us(pic->best_effort_timestamp, time_base)))
        return true;
    av_frame_unref(pic);
    s->pictures_replaced.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool pacer_t::wait_for(stream_t* s, int64_t us)
{
    const long long now = current_time_in_millis();
    if (us == AV_NOPTS_VALUE) {
        last_shown_ = now;
        return true;
    }
    if (last_us_ != AV_NOPTS_VALUE && us > last_us_ && us - last_us_ <= 1000000)
        period_ms_ = std::max<long long>((us - last_us_) / 1000, 1);
    last_us_ = us;
    const long long late = line_.offset(us, now, period_ms_);
    last_due_ = now - late;
    // A late picture gives way to the next, but one a second is shown
    // whatever happens: a decoder slower than the source never freezes the window.
    if (late > period_ms_ && now - last_shown_ < 1000)
        return false;
    if (late < 0)
        sleep_until(s, last_due_);
    last_shown_ = std::max(now, last_due_);
    return true;
}

void lag_control_t::restart(stream_t* s, AVCodecContext* dec)
{
    line_.restart(0);
    have_least_ = false;
    mode_ = mode_e::normal;
    s->lag_ms = 0;
    if (dec != nullptr)
        dec->skip_frame = AVDISCARD_DEFAULT;
}

lag_e lag_control_t::admit(stream_t* s, AVCodecContext* dec, const AVPacket* pkt, AVRational time_base)
{
    const int64_t us = timeline_us(pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts, time_base);
    const bool keyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    const AVCodecDescriptor* desc = avcodec_descriptor_get(dec->codec_id);
    const bool intra_only = desc != nullptr && (desc->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
    if (us == AV_NOPTS_VALUE)
        return mode_ == mode_e::keyframe && !keyframe ? lag_e::drop : lag_e::decode;
    const long long now = current_time_in_millis();
    const long long off = line_.offset(us, now, 0);
    if (line_.anchored_now())
        have_least_ = false;
    if (!have_least_ || off < least_)
        least_ = off;
    have_least_ = true;
    const long long lag = off - least_;
    s->lag_ms.store(lag, std::memory_order_relaxed);

    const long long bound = s->settings.max_lag_ms;
    if (bound <= 0)
        return lag_e::decode;
    // Back to every picture under half the bound; after a drop, only from a
    // keyframe on, since the decoder lacks what came before.
    if (lag < bound / 2 && (mode_ == mode_e::nonref || (mode_ == mode_e::keyframe && keyframe))) {
        mode_ = mode_e::normal;
        dec->skip_frame = AVDISCARD_DEFAULT;
        return intra_only ? lag_e::decode : lag_e::resume;
    }
    if (mode_ == mode_e::normal && lag > bound) {
        // Unreferenced pictures first: skipping them loses no other picture.
        // A stream without reordered pictures (a camera's, mostly) has none
        // to skip: straight on to dropping.
        mode_ = dec->has_b_frames > 0 ? mode_e::nonref : mode_e::keyframe;
        dec->skip_frame = AVDISCARD_NONREF;
        checked_at_ = now;
        checked_lag_ = lag;
    }
    if (mode_ == mode_e::nonref && now - checked_at_ >= nonref_trial_ms) {
        if (lag >= checked_lag_)
            mode_ = mode_e::keyframe;
        checked_at_ = now;
        checked_lag_ = lag;
    }
    if (mode_ != mode_e::keyframe)
        return lag_e::decode;
    // Every keyframe is shown, alone while the lag stays high: the window
    // never freezes, and reading past the rest catches up with the source.
    if (keyframe && !intra_only)
        return lag_e::resume;
    s->late_dropped.fetch_add(1, std::memory_order_relaxed);
    return lag_e::drop;
}
