#include "stats.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>


extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

// Guards every stream's history and last error, and the render samples:
// taken twice a second by the render thread, on failures by readers, and by
// `stats`; never for a picture. Made on first use and kept for the life of
// the process, since any thread may report until the end.
monitor_t* stats_mon()
{
    static monitor_t* const mon = [] {
        monitor_t* m = new monitor_t;
        monitor_init(m);
        return m;
    }();
    return mon;
}

struct render_sample_t {
    long long time;  // ms, 0 = none
    long long cpu_ns;
};
render_sample_t render_samples[16];
unsigned render_next;

// The newest sample taken at least STATS_SPAN_MS before `now`, else the
// oldest one; null when there is none. `time_of` reads a sample's time.
template <typename Sample, size_t N>
const Sample* baseline(const Sample (&ring)[N], unsigned next, long long now)
{
    const Sample* best = nullptr;
    for (size_t k = 1; k <= N; ++k) {  // oldest first
        const Sample& s = ring[(next + k - 1) % N];
        if (s.time == 0)
            continue;
        if (best == nullptr || s.time <= now - STATS_SPAN_MS)
            best = &s;
    }
    return best;
}

std::string per_second(double count, long long ms, const char* format)
{
    if (ms < STATS_PERIOD_MS)
        return "-";
    char text[32];
    snprintf(text, sizeof text, format, count * 1000.0 / static_cast<double>(ms));
    return text;
}

long long thread_cpu_ns(void)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0)
        return 0;
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

unsigned long long stats_pack_format(int width, int height, int pixfmt)
{
    if (width <= 0 || height <= 0)
        return 0;
    return (static_cast<unsigned long long>(width) & 0xFFFFFF) << 40
           | (static_cast<unsigned long long>(height) & 0xFFFFFF) << 16
           | (static_cast<unsigned long long>(pixfmt + 1) & 0xFFFF);
}

void stats_note_connect(stream_t* s)
{
    s->connects.fetch_add(1, std::memory_order_relaxed);
    s->connected_at = 0;
}

void stats_note_error(stream_t* s, int err)
{
    if (err >= 0 || s->terminate.load() != 0 || s->force_reconnect.load() != 0)
        return;
    // The watchdog's interrupt is a time-out, not an exit anybody asked for.
    if (err == AVERROR_EXIT && s->block_timeout_told.load() != 0)
        err = AVERROR(ETIMEDOUT);
    const std::string text = av_error_text(err);
    monitor_guard hold(stats_mon());
    snprintf(s->last_error, sizeof s->last_error, "%s", text.c_str());
}

void stats_sample_stream(stream_t* s, long long now)
{
    monitor_guard hold(stats_mon());
    stats_history_t& h = s->history;
    h.samples[h.next] = {now, s->pictures_decoded.load(), s->pictures_drawn.load(), s->input_bytes.load()};
    h.next = (h.next + 1) % std::size(h.samples);
}

void stats_sample_render(long long now)
{
    const long long cpu = thread_cpu_ns();
    monitor_guard hold(stats_mon());
    render_samples[render_next] = {now, cpu};
    render_next = (render_next + 1) % std::size(render_samples);
}

std::string stats_line(stream_t* s, long long now)
{
    const long decoded = s->pictures_decoded.load();
    const long drawn = s->pictures_drawn.load();
    const long long bytes = s->input_bytes.load();
    stats_sample_t base = {};
    char last_error[sizeof s->last_error];
    {
        monitor_guard hold(stats_mon());
        if (const stats_sample_t* b = baseline(s->history.samples, s->history.next, now))
            base = *b;
        memcpy(last_error, s->last_error, sizeof last_error);
    }
    last_error[sizeof last_error - 1] = '\0';
    const long long span = base.time != 0 ? now - base.time : 0;

    const char* codec = s->codec_name.load();
    const unsigned long long format = s->picture_format.load();
    std::string size = "-", pixfmt = "-";
    if (format != 0) {
        size = std::to_string(format >> 40) + "x" + std::to_string((format >> 16) & 0xFFFFFF);
        const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(static_cast<int>(format & 0xFFFF) - 1));
        pixfmt = name != nullptr ? name : "-";
    }
    const long long since = s->connected_at.load();
    const long long connected_s = s->state.load() == SS_CONNECTED && since != 0 ? (now - since) / 1000 : 0;
    const long connects = s->connects.load();

    std::string line = "name=" + url_redacted(s->name);
    line += std::string(" state=") + stream_state_name(s->state.load());
    line += std::string(" codec=") + (codec != nullptr ? codec : "-");
    line += " size=" + size + " pixfmt=" + pixfmt;
    line += " fps_in=" + per_second(decoded - base.decoded, span, "%.1f");
    line += " fps_out=" + per_second(drawn - base.drawn, span, "%.1f");
    line += " dropped=" + std::to_string(s->pictures_dropped.load());
    line += " replaced=" + std::to_string(s->pictures_replaced.load());
    line += " reconnects=" + std::to_string(connects > 1 ? connects - 1 : 0);
    line += " connected_s=" + std::to_string(connected_s);
    line += " kbps=" + per_second(static_cast<double>(bytes - base.bytes) * 8 / 1000, span, "%.0f");
    line += " lag_ms=" + std::to_string(s->lag_ms.load());
    // The counters of -l and -L only where they were asked for.
    if (s->settings.loop)
        line += " loops=" + std::to_string(s->loops.load());
    if (s->settings.max_lag_ms > 0)
        line += " late_dropped=" + std::to_string(s->late_dropped.load());
    line += std::string(" last_error=\"") + last_error + "\"";
    line += " page=" + std::to_string(s->settings.page) + " label=\"" + s->label + "\"";
    return line;
}

std::string stats_render_line(long pictures)
{
    render_sample_t last = {}, base = {};
    {
        monitor_guard hold(stats_mon());
        last = render_samples[(render_next + std::size(render_samples) - 1) % std::size(render_samples)];
        if (const render_sample_t* b = baseline(render_samples, render_next, last.time))
            base = *b;
    }
    std::string busy = "-";
    if (last.time - base.time >= STATS_PERIOD_MS) {
        const long long ms = last.time - base.time;
        busy = std::to_string((last.cpu_ns - base.cpu_ns) / 10000 / ms) + "%";
    }
    return "render busy=" + busy + " pictures=" + std::to_string(pictures);
}
