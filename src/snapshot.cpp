#include "snapshot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "render.h"
#include "velmor.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

// A picture in the render thread's hands for longer than this means it is
// stuck; the snapshot gives up rather than the console.
constexpr long COPY_TIMEOUT_MS = 5000;
// The console waits no longer for a pipe or device to take the picture.
constexpr int WRITE_TIMEOUT_MS = 2000;

// The copy as an RGB24 picture.
bool to_rgb(const surface_copy_t& c, AVFrame* rgb, std::string* reason)
{
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = c.width;
    rgb->height = c.height;
    int err;
    {
        ffmpeg_guard ff;
        err = av_frame_get_buffer(rgb, 0);
    }
    if (err < 0) {
        *reason = av_error_text(err);
        return false;
    }
    SwsContext* sws;
    {
        ffmpeg_guard ff;
        sws = sws_getContext(c.width, c.height, c.format, c.width, c.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr,
                             nullptr, nullptr);
    }
    if (sws == nullptr) {
        *reason = "no converter from the surface's format";
        return false;
    }
    const uint8_t* src[4] = {c.pixels.data()};
    const int stride[4] = {c.stride};
    sws_scale(sws, src, stride, 0, c.height, rgb->data, rgb->linesize);
    ffmpeg_guard ff;
    sws_freeContext(sws);
    return true;
}

bool encode_png(AVFrame* rgb, packet_ptr* png, std::string* reason)
{
    decoder_ptr enc;  // the owner frees encoders as well
    int err = AVERROR_ENCODER_NOT_FOUND;
    {
        ffmpeg_guard ff;
        if (const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG)) {
            enc.reset(avcodec_alloc_context3(codec));
            png->reset(av_packet_alloc());
            if (enc == nullptr || *png == nullptr) {
                err = AVERROR(ENOMEM);
            } else {
                enc->width = rgb->width;
                enc->height = rgb->height;
                enc->pix_fmt = AV_PIX_FMT_RGB24;
                enc->time_base = {1, 1};
                err = avcodec_open2(enc.get(), codec, nullptr);
            }
        }
    }
    if (err >= 0)
        err = avcodec_send_frame(enc.get(), rgb);
    if (err >= 0)
        err = avcodec_receive_packet(enc.get(), png->get());
    if (err < 0) {
        *reason = "cannot encode: " + av_error_text(err);
        return false;
    }
    return true;
}

// Writes the whole picture; a descriptor that takes nothing for
// WRITE_TIMEOUT_MS (a pipe nobody reads) fails it.
bool write_all(int fd, const AVPacket* png, std::string* reason)
{
    for (int done = 0; done < png->size;) {
        const ssize_t n = write(fd, png->data + done, static_cast<size_t>(png->size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            const int ready = poll(&p, 1, WRITE_TIMEOUT_MS);
            if (ready == 0) {
                *reason = "nothing read it for 2 seconds";
                return false;
            }
            if (ready > 0 || errno == EINTR)
                continue;
        }
        if (n <= 0) {
            *reason = strerror(n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<int>(n);
    }
    return true;
}

// A device or a pipe is written into as it is, never replaced or removed.
// Opened without waiting: a pipe without a reader is refused at once.
bool write_special(const char* target, const AVPacket* png, std::string* reason)
{
    const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *reason = errno == ENXIO ? "nobody reads it" : strerror(errno);
        return false;
    }
    const bool ok = write_all(fd, png, reason);
    close(fd);
    return ok;
}

// The picture goes to a new file beside the target, which replaces the
// target only once it is whole: a failed write leaves the target as it was
// and removes nothing but its own file. A symbolic link is followed, so the
// file it names is replaced and the link stays.
bool write_file(const char* file, const AVPacket* png, std::string* reason)
{
    std::string target = file;
    if (char* real = realpath(file, nullptr)) {
        target = real;
        free(real);
    }
    struct stat old;
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return write_special(target.c_str(), png, reason);
    const size_t slash = target.rfind('/');
    std::string temp = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".snapshot-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *reason = strerror(errno);
        return false;
    }
    // The mode a new file gets (mkostemp's is 0600), or the replaced file's.
    mode_t mode;
    if (exists) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = write_all(fd, png, reason);
    if (ok && (fchmod(fd, mode) != 0 || fsync(fd) != 0)) {
        *reason = strerror(errno);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        *reason = strerror(errno);
        ok = false;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        *reason = strerror(errno);
        ok = false;
    }
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

}  // namespace

bool snapshot_write(const char* file, std::string* reason)
{
    surface_copy_t copy;
    if (!render_copy_surface(&copy, COPY_TIMEOUT_MS)) {
        *reason = "the render thread gave no picture of the surface";
        return false;
    }
    picture_ptr rgb;
    {
        ffmpeg_guard ff;
        rgb.reset(av_frame_alloc());
    }
    packet_ptr png;
    if (rgb == nullptr) {
        *reason = strerror(ENOMEM);
        return false;
    }
    return to_rgb(copy, rgb.get(), reason) && encode_png(rgb.get(), &png, reason) && write_file(file, png.get(), reason);
}
