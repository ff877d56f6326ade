#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fbuffer.h"

// Screen records are filled by name; the fields not named are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace testing::internal;

// A stand-in device: a regular file, really mapped, whose screen information
// this executable answers; the console terminals are /dev/null (or an error)
// with their mode requests recorded, so that no test switches the console.
namespace standin {
dev_t dev;
ino_t ino;
bool active = false;
int fail_var_errno = 0;  // non-zero: FBIOGET_VSCREENINFO fails with it
int fail_tty_errno = 0;  // non-zero: opening a terminal fails with it
int tty_fd = -1;
std::vector<std::pair<std::string, long>> tty_modes;  // (path opened, mode), in order
std::string tty_path;
struct fb_fix_screeninfo fix;
struct fb_var_screeninfo var;
}  // namespace standin

extern "C" int open(const char* path, int flags, ...) noexcept
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    using open_fn = int (*)(const char*, int, ...);
    static open_fn real = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    if (standin::active && (strcmp(path, "/dev/tty0") == 0 || strcmp(path, "/dev/tty") == 0)) {
        if (standin::fail_tty_errno != 0) {
            errno = standin::fail_tty_errno;
            return -1;
        }
        standin::tty_path = path;
        return standin::tty_fd = real("/dev/null", O_RDWR | O_CLOEXEC);
    }
    return real(path, flags, mode);
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    struct stat st;
    if (fd == standin::tty_fd && request == KDSETMODE) {
        standin::tty_modes.emplace_back(standin::tty_path, reinterpret_cast<long>(arg));
        return 0;
    }
    if (standin::active && fstat(fd, &st) == 0 && st.st_dev == standin::dev && st.st_ino == standin::ino) {
        if (request == FBIOGET_FSCREENINFO) {
            memcpy(arg, &standin::fix, sizeof standin::fix);
            return 0;
        }
        if (request == FBIOGET_VSCREENINFO && standin::fail_var_errno == 0) {
            memcpy(arg, &standin::var, sizeof standin::var);
            return 0;
        }
        errno = standin::fail_var_errno ? standin::fail_var_errno : ENOTTY;
        return -1;
    }
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static ioctl_fn real = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace {

long open_descriptors()
{
    auto dir = std::filesystem::directory_iterator("/proc/self/fd");
    return std::distance(begin(dir), end(dir));
}

class FbOpen : public ::testing::Test {
protected:
    char path[64] = "/tmp/velmor-fb-XXXXXX";
    long fds_before = 0;
    std::string out, err;

    void SetUp() override
    {
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        // Not black: opening clears the visible area.
        std::vector<uint8_t> fill(8192, 0xEE);
        struct stat st;
        ASSERT_TRUE(write(fd, fill.data(), fill.size()) == 8192 && fstat(fd, &st) == 0 && close(fd) == 0);
        standin::dev = st.st_dev, standin::ino = st.st_ino;
        standin::fail_var_errno = standin::fail_tty_errno = 0;
        standin::tty_modes.clear();
        // smem_start 2048 bytes into its page, the id filling its field, 24 x
        // 16 pixels panned to (3, 16) of 32 x 48.
        standin::fix = {.smem_start = 0x12345800, .smem_len = 64 * 48, .type = FB_TYPE_PACKED_PIXELS,
                        .visual = FB_VISUAL_TRUECOLOR, .line_length = 64};
        memcpy(standin::fix.id, "0123456789ABCDEF", 16);
        standin::var = {.xres = 24, .yres = 16, .xres_virtual = 32, .yres_virtual = 48, .xoffset = 3,
                        .yoffset = 16, .bits_per_pixel = 16, .red = {11, 5, 0}, .green = {5, 6, 0},
                        .blue = {0, 5, 0}};
        fds_before = open_descriptors();
    }
    void TearDown() override
    {
        fb_restore_console();
        standin::active = false, standin::tty_fd = -1;
        unlink(path);
        EXPECT_EQ(fds_before, open_descriptors()) << "a descriptor was left open";
    }

    fbuffer_t* open_captured(const char* p)
    {
        CaptureStdout();
        CaptureStderr();
        fbuffer_t* fb = fb_open(p);
        err = GetCapturedStderr();
        out = GetCapturedStdout();
        return fb;
    }

    std::string description_head()
    {
        return std::string("FRamebuffer device : ") + path + "\n"
               "Framebuffer ID     : 0123456789ABCDEF\n"
               "Framebuffer type   : packed pixels\n"
               "Bytes per scanline : 64\n"
               "Visual type        : truecolor\n";
    }
};

}  // namespace

TEST_F(FbOpen, FailuresPrintTheirMessageAndCloseTheDevice)
{
    EXPECT_EQ(nullptr, open_captured("/nonexistent/velmor-fb0"));
    EXPECT_EQ(std::string("|Error opening /nonexistent/velmor-fb0: ") + strerror(ENOENT) + ".\n", out + "|" + err);
    EXPECT_EQ(nullptr, open_captured("/dev/null"));
    EXPECT_EQ(std::string("|Unable to retrieve fixed screen info: ") + strerror(ENOTTY) + "\n", out + "|" + err);

    standin::active = true;
    standin::fail_var_errno = EINVAL;
    EXPECT_EQ(nullptr, open_captured(path));
    EXPECT_EQ(description_head() + "|Unable to retrieve variable screen info: " + strerror(EINVAL) + "\n",
              out + "|" + err);

    // Nothing to map: a page-aligned empty memory.
    standin::fail_var_errno = 0;
    standin::fix.smem_start = 0x12345000;
    standin::fix.smem_len = 0;
    EXPECT_EQ(nullptr, open_captured(path));
    EXPECT_EQ(std::string("Unable to mmap framebuffer: ") + strerror(EINVAL) + "\n", err);
    EXPECT_NE(std::string::npos, out.find("Blue channel       : 5 bits at offset 0\n"));
    EXPECT_EQ(std::string::npos, out.find("mmap-ed"));
}

TEST_F(FbOpen, DeviceIsDescribedMappedClearedAndOwnsTheConsole)
{
    standin::active = true;
    fbuffer_t* fb = open_captured(path);
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ("", err);
    EXPECT_EQ(description_head() +
                  "Bits per pixel     : 16\n"
                  "Resolution         : 24x16 (virtual 32x48)\n"
                  "Scrolling offset   : (3,16)\n"
                  "Red channel        : 5 bits at offset 11\n"
                  "Green channel      : 6 bits at offset 5\n"
                  "Blue channel       : 5 bits at offset 0\n"
                  "Framebuffer " + path + " is mmap-ed successfuly!\n",
              out);
    EXPECT_EQ(3072 + 2048, fb->fb_size);  // the mapping starts at the page boundary
    // Exactly the visible area, 16 lines and 3 pixels into the screen memory, is cleared.
    const long first = 2048 + 16 * 64 + 3 * 2;
    EXPECT_EQ(fb->fb + first, fb->screen);
    for (long off = 0; off < fb->fb_size; ++off) {
        long row = (off - first) / 64, col = (off - first) % 64;
        bool visible = off >= first && row < 16 && col < 24 * 2;
        ASSERT_EQ(visible ? 0x00 : 0xEE, fb->fb[off]) << off;
    }
    // Graphics mode until closed, text mode once however many ways out ask.
    using modes = std::vector<std::pair<std::string, long>>;
    EXPECT_EQ((modes{{"/dev/tty0", KD_GRAPHICS}}), standin::tty_modes);

    // Shared: the device gets what is written.
    fb->fb[0] = 0xA5, fb->fb[fb->fb_size - 1] = 0x5A;
    fb_restore_console();
    fb_close(fb);
    fb_restore_console();
    EXPECT_EQ((modes{{"/dev/tty0", KD_GRAPHICS}, {"/dev/tty0", KD_TEXT}}), standin::tty_modes);
    unsigned char ends[2] = {};
    int fd = open(path, O_RDONLY);
    EXPECT_TRUE(pread(fd, ends, 1, 0) == 1 && pread(fd, ends + 1, 1, 5119) == 1 && ends[0] == 0xA5 && ends[1] == 0x5A);
    close(fd);

    // Without a terminal to switch: one message, and the device all the same.
    standin::fail_tty_errno = EACCES;
    fb = open_captured(path);
    EXPECT_NE(nullptr, fb);
    EXPECT_EQ(std::string("Cannot switch /dev/tty0 to graphics mode (") + strerror(EACCES)
                  + "): console text may show over the windows\n",
              err);
    fb_close(fb);

    struct fb_fix_screeninfo f = {.smem_start = 0xE0001FFF, .smem_len = 960000};
    EXPECT_EQ(960000 + 4095, fb_map_length(&f));
}

// Each layout that can be drawn gets its format; anything else, or a visible
// area outside the memory, is refused with one message, the mapping undone.
TEST_F(FbOpen, PixelLayoutsAndImpossibleDescriptions)
{
    standin::active = true;
    struct Case {
        uint32_t bits, ro, rl, go, gl, bo, bl;
        AVPixelFormat want;
    };
    const Case layouts[] = {
        {16, 11, 5, 5, 6, 0, 5, AV_PIX_FMT_RGB565LE},  {16, 0, 5, 5, 6, 11, 5, AV_PIX_FMT_BGR565LE},
        {16, 10, 5, 5, 5, 0, 5, AV_PIX_FMT_RGB555LE},  {15, 0, 5, 5, 5, 10, 5, AV_PIX_FMT_BGR555LE},
        {24, 16, 8, 8, 8, 0, 8, AV_PIX_FMT_BGR24},     {24, 0, 8, 8, 8, 16, 8, AV_PIX_FMT_RGB24},
        {32, 16, 8, 8, 8, 0, 8, AV_PIX_FMT_BGRA},      {32, 0, 8, 8, 8, 16, 8, AV_PIX_FMT_RGBA},
        {32, 24, 8, 16, 8, 8, 8, AV_PIX_FMT_ABGR},     {32, 8, 8, 16, 8, 24, 8, AV_PIX_FMT_ARGB},
        {16, 11, 5, 5, 5, 0, 5, AV_PIX_FMT_NONE},      {24, 16, 6, 8, 6, 0, 6, AV_PIX_FMT_NONE},
        {4096, 16, 8, 8, 8, 0, 8, AV_PIX_FMT_NONE},    {0, 0, 0, 0, 0, 0, 0, AV_PIX_FMT_NONE},
    };
    standin::var.xoffset = standin::var.yoffset = 0;
    standin::fix.line_length = 128;  // 32 pixels of 4 bytes
    standin::fix.smem_len = 128 * 16;
    for (const Case& k : layouts) {
        standin::var.bits_per_pixel = k.bits;
        standin::var.red = {k.ro, k.rl, 0}, standin::var.green = {k.go, k.gl, 0}, standin::var.blue = {k.bo, k.bl, 0};
        fbuffer_t* fb = open_captured(path);
        SCOPED_TRACE(testing::Message() << k.bits << " bits, red " << k.ro << "/" << k.rl);
        EXPECT_EQ(k.want, fb != nullptr ? fb->format : AV_PIX_FMT_NONE) << err;
        EXPECT_TRUE(fb == nullptr || fb->bytes_per_pixel == static_cast<int>(k.bits + 7) / 8);
        fb_close(fb);
    }
    EXPECT_EQ(std::string("Cannot draw on framebuffer ") + path
                  + ": 0 bits per pixel, red 0 bits at 0, green 0 at 0, blue 0 at 0\n",
              err);

    // Each refusal is one change to a 32-bit layout that can be drawn.
    standin::var.bits_per_pixel = 32;
    standin::var.red = {16, 8, 0}, standin::var.green = {8, 8, 0}, standin::var.blue = {0, 8, 0};
    const fb_fix_screeninfo fix = standin::fix;
    const fb_var_screeninfo var = standin::var;
    standin::tty_modes.clear();
    auto& f = standin::fix;
    auto& v = standin::var;
    const std::pair<std::function<void()>, const char*> refusals[] = {
        {[&] { f.visual = FB_VISUAL_PSEUDOCOLOR; }, "pseudocolor visual (palette or monochrome)"},
        {[&] { f.type = FB_TYPE_PLANES; }, "planar (non-interleaved) pixels"},
        {[&] { v.grayscale = 1; }, "grayscale"},
        {[&] { v.grayscale = 0x56595559; }, "FOURCC YUYV"},
        {[&] { v.xres = 0; }, "empty visible area 0x16"},
        {[&] { v.xres = 33; }, "visible area 33x16 at (0,0) with 128-byte lines does not fit in 4096 bytes of memory"},
        {[&] { v.xres = 32, f.smem_len -= 4; },  // with the page offset of 2048, 4 bytes short
         "visible area 32x16 at (0,0) with 128-byte lines does not fit in 4092 bytes of memory"},
        {[&] { v.yoffset = 0xFFFFFFFFu; },  // no wrap-around into the memory
         "visible area 24x16 at (0,4294967295) with 128-byte lines does not fit in 4096 bytes of memory"},
    };
    for (const auto& [change, reason] : refusals) {
        standin::fix = fix, standin::var = var;
        change();
        EXPECT_EQ(nullptr, open_captured(path));
        EXPECT_EQ(std::string("Cannot draw on framebuffer ") + path + ": " + reason + "\n", err);
    }
    EXPECT_TRUE(standin::tty_modes.empty());  // no refused device took the console
}
