// Stream data played through the reader and the renderer in this process.
// The input is a window followed by the bytes of a file:
//   byte 0        input format: even "mjpeg", odd "h264"
//   byte 1        bit 0: no-zoom
//   bytes 2..17   x, y, w, h: 32-bit little-endian signed
//   the rest      the file
#include <sys/mman.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"

namespace {

constexpr size_t header = 18;

int32_t int_at(const uint8_t* p)
{
    uint32_t v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    int32_t r;
    memcpy(&r, &v, sizeof r);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_process_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < header)
        return 0;
    int fd = memfd_create("stream", 0);
    assert(fd >= 0);
    const uint8_t* file = data + header;
    size_t left = size - header;
    while (left > 0) {
        ssize_t n = write(fd, file, left);
        assert(n > 0);
        file += n;
        left -= static_cast<size_t>(n);
    }
    char url[64];
    snprintf(url, sizeof url, "file:/proc/self/fd/%d", fd);

    stream_settings_t settings;
    settings.format = av_find_input_format(data[0] % 2 == 0 ? "mjpeg" : "h264");
    settings.nozoom = data[1] & 1;
    settings.x = int_at(data + 2);
    settings.y = int_at(data + 6);
    settings.w = int_at(data + 10);
    settings.h = int_at(data + 14);
    settings.reconnect = 0;  // the reader ends at the end of the file
    stream_t* s = stream_new("fuzz", url, settings);
    stream_start(s);
    // A file of a few kilobytes plays in milliseconds; a reader still
    // busy after 20 s is hung.
    for (int i = 0; thread_is_alive(&s->reader) != 0; ++i) {
        if (i == 20000) {
            fprintf(stderr, "reader still running after 20 s\n");
            abort();
        }
        usleep(1000);
    }
    stream_stop(s);
    stream_free(s);
    close(fd);
    return 0;
}
