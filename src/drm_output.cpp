#include "drm_output.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <csignal>
#include <linux/vt.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "geometry.h"

namespace {

using clock_type = std::chrono::steady_clock;

// How long a page flip may take before it is taken as lost: many frame
// periods even at the lowest refresh rates.
constexpr int FLIP_TIMEOUT_MS = 200;
constexpr int MAX_CARDS = 16;
constexpr size_t MAX_DAMAGE_RECTS = 256;

// The terminal's switch signals: set by the handlers, acted on by whoever
// next asks the output for anything (the render thread does every pass).
std::atomic<int> vt_release{0};
std::atomic<int> vt_acquire{0};

void on_vt_signal(int sig)
{
    (sig == SIGRTMIN + 1 ? vt_release : vt_acquire) = 1;
}

struct crtc_deleter {
    void operator()(drmModeCrtc* p) const { drmModeFreeCrtc(p); }
};
using crtc_ptr = std::unique_ptr<drmModeCrtc, crtc_deleter>;

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

// The pixel layouts a dumb buffer is made in, the device's preferred first.
struct layout_t {
    uint32_t fourcc;
    uint32_t bits;
    fb_bitfield red, green, blue;
    const char* name;
};
constexpr layout_t XRGB8888 = {DRM_FORMAT_XRGB8888, 32, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}, "XRGB8888"};
constexpr layout_t RGB565 = {DRM_FORMAT_RGB565, 16, {11, 5, 0}, {5, 6, 0}, {0, 5, 0}, "RGB565"};

struct buffer_t {
    uint32_t handle = 0;
    uint32_t fb_id = 0;
    uint8_t* map = nullptr;
    size_t size = 0;
    fbuffer_t surface = {};
};

class drm_output final : public output_t {
public:
    ~drm_output() override;
    bool open(const drm_request_t& request, std::string* why);
    void open_memory(int width, int height);
    fbuffer_t* surface() override;
    void changed(const output_rect_t* rects, int count) override;
    void present() override;
    void will_cover(const output_rect_t& r) override;
    void cover_done() override;
    std::string describe() const override;

private:
    bool open_card(const char* path, const drm_request_t& request, std::string* why);
    bool make_buffer(buffer_t* b, const layout_t& l, std::string* why);
    bool describe_buffer(buffer_t* b, const layout_t& l, uint32_t pitch, std::string* why);
    void free_buffer(buffer_t* b);
    void settle();
    void swapped();
    void catch_up();
    void copy_rect(const buffer_t& from, buffer_t& to, const output_rect_t& r);
    void watch_vt();
    void follow_vt();
    static void on_flip(int, unsigned, unsigned, unsigned, void* self);

    int fd_ = -1;
    bool memory_ = false;  // no card: flips are done at once
    std::string card_;
    uint32_t connector_id_ = 0;
    std::string connector_;
    uint32_t crtc_id_ = 0;
    drmModeModeInfo mode_ = {};
    crtc_ptr saved_crtc_;
    bool mode_set_ = false;
    buffer_t buffers_[2];
    int back_ = 1;  // the buffer drawn into; the other one is shown

    std::mutex mutex_;
    bool flip_pending_ = false;
    bool flip_warned_ = false;
    // Drawn into the back buffer since it was last shown; once it is shown,
    // what the other buffer lacks.
    std::vector<output_rect_t> damage_;
    std::vector<output_rect_t> flipped_;
    // The picture about to be drawn covers `covered_`: the parts of flipped_
    // inside it wait in deferred_ for it instead of being copied.
    bool covering_ = false;
    output_rect_t covered_ = {};
    std::vector<output_rect_t> deferred_;
    clock_type::time_point last_flip_{};
    std::atomic<long> flips_{0};
    int tty_ = -1;        // the terminal whose switches hand the card over
    bool active_ = true;  // ours: master held, the mode set
};

drm_output::~drm_output()
{
    if (memory_) {
        for (buffer_t& b : buffers_)
            free(b.map);
        return;
    }
    if (fd_ < 0)
        return;
    {
        std::lock_guard hold(mutex_);
        settle();
    }
    if (tty_ >= 0) {
        const vt_mode automatic = {VT_AUTO, 0, 0, 0, 0};
        ioctl(tty_, VT_SETMODE, &automatic);
        close(tty_);
    }
    if (mode_set_ && active_ && saved_crtc_ != nullptr && saved_crtc_->mode_valid)
        drmModeSetCrtc(fd_, saved_crtc_->crtc_id, saved_crtc_->buffer_id, saved_crtc_->x, saved_crtc_->y,
                       &connector_id_, 1, &saved_crtc_->mode);
    for (buffer_t& b : buffers_)
        free_buffer(&b);
    drmDropMaster(fd_);
    close(fd_);
    if (mode_set_)
        fb_restore_console();
}

bool drm_output::open(const drm_request_t& request, std::string* why)
{
    if (request.card != nullptr)
        return open_card(request.card, request, why);
    // The first card with a connected connector (a render-only device has
    // none).
    std::string reasons;
    for (int n = 0; n < MAX_CARDS; ++n) {
        const std::string path = "/dev/dri/card" + std::to_string(n);
        if (access(path.c_str(), F_OK) != 0)
            continue;
        std::string w;
        if (open_card(path.c_str(), request, &w))
            return true;
        reasons += (reasons.empty() ? "" : "; ") + w;
    }
    *why = reasons.empty() ? "no /dev/dri/card* device" : reasons;
    return false;
}

bool drm_output::open_card(const char* path, const drm_request_t& request, std::string* why)
{
    card_ = path;
    fd_ = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        *why = errno_text(path);
        return false;
    }
    auto fail = [&](const std::string& text) {
        *why = std::string(path) + ": " + text;
        for (buffer_t& b : buffers_)
            free_buffer(&b);
        close(fd_);
        fd_ = -1;
        return false;
    };
    // The first opener of a card is its master; otherwise it must be free.
    if (drmIsMaster(fd_) == 0 && drmSetMaster(fd_) != 0)
        return fail("another program is DRM master (" + std::string(strerror(errno)) + ")");
    uint64_t dumb = 0;
    if (drmGetCap(fd_, DRM_CAP_DUMB_BUFFER, &dumb) != 0 || dumb == 0)
        return fail("no dumb buffers");
    drm_choice_t choice;
    if (!drm_pick_connector(fd_, request, &choice, why))
        return fail(*why);
    connector_id_ = choice.connector_id;
    connector_ = choice.connector;
    crtc_id_ = choice.crtc_id;
    mode_ = choice.mode;
    uint64_t depth = 24;
    drmGetCap(fd_, DRM_CAP_DUMB_PREFERRED_DEPTH, &depth);
    const layout_t order[2] = {depth == 16 ? RGB565 : XRGB8888, depth == 16 ? XRGB8888 : RGB565};
    std::string first_why;
    const layout_t* used = nullptr;
    for (const layout_t& l : order) {
        std::string w;
        if (make_buffer(&buffers_[0], l, &w) && make_buffer(&buffers_[1], l, &w)) {
            used = &l;
            break;
        }
        for (buffer_t& b : buffers_)
            free_buffer(&b);
        if (first_why.empty())
            first_why = w;
    }
    if (used == nullptr)
        return fail(first_why);
    saved_crtc_.reset(drmModeGetCrtc(fd_, crtc_id_));
    const int front = back_ ^ 1;
    if (drmModeSetCrtc(fd_, crtc_id_, buffers_[front].fb_id, 0, 0, &connector_id_, 1, &mode_) != 0)
        return fail(errno_text("cannot set the mode"));
    mode_set_ = true;
    fb_take_console();
    watch_vt();
    printf("%s: %s %ux%u@%u %s, 2 buffers of %u-byte lines\n", card_.c_str(), connector_.c_str(), mode_.hdisplay,
           mode_.vdisplay, mode_.vrefresh, used->name, buffers_[0].surface.finfo.line_length);
    return true;
}

bool drm_output::make_buffer(buffer_t* b, const layout_t& l, std::string* why)
{
    uint32_t pitch = 0;
    uint64_t size = 0;
    if (drmModeCreateDumbBuffer(fd_, mode_.hdisplay, mode_.vdisplay, l.bits, 0, &b->handle, &pitch, &size) != 0) {
        *why = errno_text("cannot make a dumb buffer");
        return false;
    }
    b->size = size;
    const uint32_t handles[4] = {b->handle}, pitches[4] = {pitch}, offsets[4] = {};
    if (drmModeAddFB2(fd_, mode_.hdisplay, mode_.vdisplay, l.fourcc, handles, pitches, offsets, &b->fb_id, 0) != 0) {
        *why = errno_text((std::string("no ") + l.name + " framebuffer").c_str());
        return false;
    }
    uint64_t offset = 0;
    void* map = MAP_FAILED;
    if (drmModeMapDumbBuffer(fd_, b->handle, &offset) == 0)
        map = mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, static_cast<off_t>(offset));
    if (map == MAP_FAILED) {
        *why = errno_text("cannot map a dumb buffer");
        return false;
    }
    b->map = static_cast<uint8_t*>(map);
    memset(b->map, 0, b->size);  // video memory comes as it was left
    return describe_buffer(b, l, pitch, why);
}

// The buffer as a surface the renderer draws into.
bool drm_output::describe_buffer(buffer_t* b, const layout_t& l, uint32_t pitch, std::string* why)
{
    fbuffer_t& s = b->surface;
    s.fbdev = -1;
    s.finfo.type = FB_TYPE_PACKED_PIXELS;
    s.finfo.visual = FB_VISUAL_TRUECOLOR;
    s.finfo.line_length = pitch;
    s.finfo.smem_len = static_cast<uint32_t>(b->size);
    s.vinfo.xres = s.vinfo.xres_virtual = mode_.hdisplay;
    s.vinfo.yres = s.vinfo.yres_virtual = mode_.vdisplay;
    s.vinfo.bits_per_pixel = l.bits;
    s.vinfo.red = l.red;
    s.vinfo.green = l.green;
    s.vinfo.blue = l.blue;
    s.fb = b->map;
    s.fb_size = static_cast<int>(std::min<size_t>(b->size, INT_MAX));
    char reason[160];
    if (!fb_setup(&s, reason, sizeof reason)) {
        *why = reason;
        return false;
    }
    return true;
}

void drm_output::free_buffer(buffer_t* b)
{
    if (b->map != nullptr && !memory_)
        munmap(b->map, b->size);
    if (b->fb_id != 0)
        drmModeRmFB(fd_, b->fb_id);
    if (b->handle != 0)
        drmModeDestroyDumbBuffer(fd_, b->handle);
    *b = buffer_t{};
}

void drm_output::on_flip(int, unsigned, unsigned, unsigned, void* self)
{
    static_cast<drm_output*>(self)->flip_pending_ = false;
}

// With mutex_ held: waits (bounded) for the flip in flight, after which the
// buffer shown before is the one to draw into.
void drm_output::settle()
{
    const auto deadline = clock_type::now() + std::chrono::milliseconds(FLIP_TIMEOUT_MS);
    drmEventContext events = {};
    events.version = 2;
    events.page_flip_handler = on_flip;
    while (flip_pending_ && !memory_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        pollfd p = {fd_, POLLIN, 0};
        const int n = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (n > 0) {
            drmHandleEvent(fd_, &events);
        } else if (n == 0) {
            if (!flip_warned_)
                fprintf(stderr, "%s: page flip not done in %d ms: drawing on\n", card_.c_str(), FLIP_TIMEOUT_MS);
            flip_warned_ = true;
            flip_pending_ = false;
        } else if (errno != EINTR) {
            flip_pending_ = false;
        }
    }
    swapped();
}

// The buffer now shown got the last frame's rectangles; the other one, to be
// drawn into next, is brought up to date with just those, but where the
// picture about to be drawn overwrites them anyway: a full-screen window
// would otherwise copy the whole screen for every picture.
void drm_output::swapped()
{
    const buffer_t& front = buffers_[back_ ^ 1];
    for (const output_rect_t& r : flipped_) {
        const output_rect_t in = intersect(r, covered_);
        if (!covering_ || in.w <= 0 || in.h <= 0) {
            copy_rect(front, buffers_[back_], r);
            continue;
        }
        deferred_.push_back(in);
        // The rest: the bands above and below the covered part, and beside it.
        const long long right = in.x + in.w, bottom = in.y + in.h;
        copy_rect(front, buffers_[back_], {r.x, r.y, r.w, in.y - r.y});
        copy_rect(front, buffers_[back_], {r.x, bottom, r.w, r.y + r.h - bottom});
        copy_rect(front, buffers_[back_], {r.x, in.y, in.x - r.x, in.h});
        copy_rect(front, buffers_[back_], {right, in.y, r.x + r.w - right, in.h});
    }
    flipped_.clear();
}

// What the covering picture did not draw after all is copied now.
void drm_output::catch_up()
{
    for (const output_rect_t& r : deferred_)
        copy_rect(buffers_[back_ ^ 1], buffers_[back_], r);
    deferred_.clear();
    covering_ = false;
}

void drm_output::will_cover(const output_rect_t& r)
{
    std::lock_guard hold(mutex_);
    covered_ = r;
    covering_ = true;
}

void drm_output::cover_done()
{
    std::lock_guard hold(mutex_);
    catch_up();
}

void drm_output::copy_rect(const buffer_t& from, buffer_t& to, const output_rect_t& r)
{
    const fbuffer_t& s = to.surface;
    const output_rect_t in = intersect(r, {0, 0, s.vinfo.xres, s.vinfo.yres});
    if (in.w <= 0 || in.h <= 0)
        return;
    const size_t line = s.finfo.line_length, bpp = s.bytes_per_pixel;
    for (long long y = in.y; y < in.y + in.h; ++y)
        memcpy(to.surface.screen + y * line + in.x * bpp, from.surface.screen + y * line + in.x * bpp, in.w * bpp);
}

// Switching away from the terminal asks the process to let go of the card
// first: the kernel waits for VT_RELDISP, and for the acknowledgement when
// the terminal comes back.
void drm_output::watch_vt()
{
    tty_ = ::open("/dev/tty0", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty_ < 0)
        tty_ = ::open("/dev/tty0", O_WRONLY | O_CLOEXEC | O_NOCTTY);
    struct sigaction sa = {};
    sa.sa_handler = on_vt_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGRTMIN + 1, &sa, nullptr);
    sigaction(SIGRTMIN + 2, &sa, nullptr);
    const vt_mode process = {VT_PROCESS, 0, static_cast<short>(SIGRTMIN + 1), static_cast<short>(SIGRTMIN + 2), 0};
    if (tty_ >= 0 && ioctl(tty_, VT_SETMODE, &process) != 0) {
        close(tty_);
        tty_ = -1;
    }
    if (tty_ < 0)
        fprintf(stderr, "%s: terminal switches not followed (/dev/tty0: %s)\n", card_.c_str(), strerror(errno));
}

// With mutex_ held. Away, pictures are still drawn into the back buffer but
// nothing is flipped; back, the mode is set again on the back buffer, which
// holds everything drawn, and the other one is brought up to date whole.
void drm_output::follow_vt()
{
    if (vt_release.exchange(0) != 0 && active_) {
        settle();
        drmDropMaster(fd_);
        active_ = false;
        ioctl(tty_, VT_RELDISP, 1);
    }
    if (vt_acquire.exchange(0) != 0 && !active_) {
        catch_up();
        ioctl(tty_, VT_RELDISP, VT_ACKACQ);
        if (drmSetMaster(fd_) != 0
            || drmModeSetCrtc(fd_, crtc_id_, buffers_[back_].fb_id, 0, 0, &connector_id_, 1, &mode_) != 0) {
            // Tried again at the next call (another client may hold it).
            if (!flip_warned_)
                fprintf(stderr, "%s: cannot take the screen back: %s\n", card_.c_str(), strerror(errno));
            flip_warned_ = true;
            vt_acquire = 1;
            return;
        }
        active_ = true;
        back_ ^= 1;
        damage_.clear();
        flipped_.assign(1, output_rect_t{0, 0, mode_.hdisplay, mode_.vdisplay});
        settle();
    }
}

fbuffer_t* drm_output::surface()
{
    std::lock_guard hold(mutex_);
    follow_vt();
    settle();
    return &buffers_[back_].surface;
}

void drm_output::changed(const output_rect_t* rects, int count)
{
    std::lock_guard hold(mutex_);
    const auto inside = [](const output_rect_t& a, const output_rect_t& b) {
        return a.x >= b.x && a.y >= b.y && a.x + a.w <= b.x + b.w && a.y + a.h <= b.y + b.h;
    };
    for (int i = 0; i < count; ++i) {
        const output_rect_t& r = rects[i];
        if (r.w <= 0 || r.h <= 0)
            continue;
        // Drawn over: no longer owed a copy.
        std::erase_if(deferred_, [&](const output_rect_t& d) { return inside(d, r); });
        // A rectangle inside one already listed adds nothing; one holding
        // others replaces them.
        if (std::any_of(damage_.begin(), damage_.end(), [&](const output_rect_t& d) { return inside(r, d); }))
            continue;
        std::erase_if(damage_, [&](const output_rect_t& d) { return inside(d, r); });
        damage_.push_back(r);
    }
    // Many rectangles (a long time away from the terminal, windows that
    // move): one copy of the whole screen costs less than their list.
    if (damage_.size() > MAX_DAMAGE_RECTS)
        damage_.assign(1, output_rect_t{0, 0, mode_.hdisplay, mode_.vdisplay});
}

void drm_output::present()
{
    std::lock_guard hold(mutex_);
    follow_vt();
    catch_up();  // never show a buffer that still owes a copy
    if (damage_.empty() || !active_)
        return;
    settle();
    // At most one flip per frame period, also on drivers that signal a
    // flip done at once instead of at vblank.
    const auto period = std::chrono::microseconds(1000000 / std::max(1u, mode_.vrefresh));
    if (const auto next = last_flip_ + period; clock_type::now() < next && !memory_)
        std::this_thread::sleep_until(next);
    if (memory_) {
        flip_pending_ = false;
    } else if (drmModePageFlip(fd_, crtc_id_, buffers_[back_].fb_id, DRM_MODE_PAGE_FLIP_EVENT, this) == 0) {
        flip_pending_ = true;
    } else if (drmModeSetCrtc(fd_, crtc_id_, buffers_[back_].fb_id, 0, 0, &connector_id_, 1, &mode_) != 0) {
        // Not shown (no longer master): the rectangles stay for the next try.
        return;
    }
    last_flip_ = clock_type::now();
    ++flips_;
    back_ ^= 1;
    flipped_.swap(damage_);
    damage_.clear();
}

std::string drm_output::describe() const
{
    return " output=drm " + std::to_string(mode_.hdisplay) + "x" + std::to_string(mode_.vdisplay) + "@"
           + std::to_string(mode_.vrefresh) + " flips=" + std::to_string(flips_.load());
}

void drm_output::open_memory(int width, int height)
{
    mode_.hdisplay = static_cast<uint16_t>(width);
    mode_.vdisplay = static_cast<uint16_t>(height);
    mode_.vrefresh = 60;
    memory_ = true;
    std::string why;
    for (buffer_t& b : buffers_) {
        b.size = static_cast<size_t>(width) * height * 4;
        b.map = static_cast<uint8_t*>(calloc(b.size, 1));
        const bool described = b.map != nullptr && describe_buffer(&b, XRGB8888, width * 4, &why);
        assert(described);
        (void)described;
    }
}

}  // namespace

std::unique_ptr<output_t> output_open_drm_memory(int width, int height)
{
    auto out = std::make_unique<drm_output>();
    out->open_memory(width, height);
    return out;
}

std::unique_ptr<output_t> output_open_drm(const drm_request_t& request, std::string* why)
{
    auto out = std::make_unique<drm_output>();
    if (!out->open(request, why))
        return nullptr;
    return out;
}
