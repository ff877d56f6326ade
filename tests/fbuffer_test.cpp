#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fbuffer.h"

// Screen records are filled by name; the fields not named are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace testing::internal;

// This machine has no framebuffer. A stand-in device is a regular file whose
// screen-information requests this executable answers itself; opening and
// mapping the file are real. Every other descriptor gets the real ioctl.
namespace standin {
dev_t dev;
ino_t ino;
bool active = false;
int fail_var_errno = 0;  // non-zero: FBIOGET_VSCREENINFO fails with it
struct fb_fix_screeninfo fix;
struct fb_var_screeninfo var;
}  // namespace standin

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    struct stat st;
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

// The permissions of the mapping that starts at `addr`, as /proc shows them.
std::string mapping_permissions(const void* addr)
{
    char want[32];
    snprintf(want, sizeof want, "%lx-", reinterpret_cast<unsigned long>(addr));
    std::ifstream maps("/proc/self/maps");
    for (std::string l; std::getline(maps, l);)
        if (l.starts_with(want))
            return l.substr(l.find(' ') + 1, 4);
    return "";
}

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
        ASSERT_EQ(0, ftruncate(fd, 8192));
        struct stat st;
        fstat(fd, &st);
        close(fd);
        standin::dev = st.st_dev;
        standin::ino = st.st_ino;
        standin::fail_var_errno = 0;
        // smem_start lies 2048 bytes into its page; the id fills its field.
        standin::fix = {.smem_start = 0x12345800, .smem_len = 64 * 16, .type = FB_TYPE_PACKED_PIXELS,
                        .visual = FB_VISUAL_TRUECOLOR, .line_length = 64};
        memcpy(standin::fix.id, "0123456789ABCDEF", 16);
        standin::var = {.xres = 32, .yres = 16, .xres_virtual = 32, .yres_virtual = 48, .xoffset = 3,
                        .yoffset = 16, .bits_per_pixel = 16, .red = {11, 5, 0}, .green = {5, 6, 0},
                        .blue = {0, 5, 0}};
        fds_before = open_descriptors();
    }
    void TearDown() override
    {
        standin::active = false;
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

    std::string description_head(const std::string& type = "packed pixels", const std::string& visual = "truecolor")
    {
        return std::string("FRamebuffer device : ") + path + "\n"
               "Framebuffer ID     : 0123456789ABCDEF\n"
               "Framebuffer type   : " + type + "\n"
               "Bytes per scanline : 64\n"
               "Visual type        : " + visual + "\n";
    }
};

}  // namespace

TEST_F(FbOpen, FailuresPrintTheirMessageAndCloseTheDevice)
{
    EXPECT_EQ(nullptr, open_captured("/nonexistent/velmor-fb0"));
    EXPECT_EQ("Error opening /nonexistent/velmor-fb0.\n", err);
    EXPECT_EQ("", out);

    EXPECT_EQ(nullptr, open_captured("/dev/null"));
    EXPECT_EQ(std::string("Unable to retrieve fixed screen info: ") + strerror(ENOTTY) + "\n", err);
    EXPECT_EQ("", out);

    standin::active = true;
    standin::fail_var_errno = EINVAL;
    EXPECT_EQ(nullptr, open_captured(path));
    EXPECT_EQ(std::string("Unable to retrieve variable screen info: ") + strerror(EINVAL) + "\n", err);
    EXPECT_EQ(description_head(), out);

    // Nothing to map: a page-aligned empty memory.
    standin::fail_var_errno = 0;
    standin::fix.smem_start = 0x12345000;
    standin::fix.smem_len = 0;
    EXPECT_EQ(nullptr, open_captured(path));
    EXPECT_EQ(std::string("Unable to mmap framebuffer: ") + strerror(EINVAL) + "\n", err);
    EXPECT_NE(std::string::npos, out.find("Blue channel       : 5 bits at offset 0\n"));
    EXPECT_EQ(std::string::npos, out.find("mmap-ed"));
}

TEST_F(FbOpen, DeviceIsDescribedAndMappedReadWrite)
{
    standin::active = true;
    fbuffer_t* fb = open_captured(path);
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ("", err);
    EXPECT_EQ(description_head() +
                  "Bits per pixel     : 16\n"
                  "Resolution         : 32x16 (virtual 32x48)\n"
                  "Scrolling offset   : (3,16)\n"
                  "Red channel        : 5 bits at offset 11\n"
                  "Green channel      : 6 bits at offset 5\n"
                  "Blue channel       : 5 bits at offset 0\n"
                  "Framebuffer " + path + " is mmap-ed successfuly!\n",
              out);
    EXPECT_EQ(1024 + 2048, fb->fb_size);  // the mapping starts at the page boundary
    EXPECT_EQ(64u, fb->finfo.line_length);
    EXPECT_EQ(32u, fb->vinfo.xres);

    // Shared, writable and readable back (icons save the area under them).
    EXPECT_EQ("rw-s", mapping_permissions(fb->fb));
    fb->fb[0] = 0xA5;
    fb->fb[fb->fb_size - 1] = 0x5A;
    EXPECT_EQ(0xA5, fb->fb[0]);
    fb_close(fb);
    int fd = open(path, O_RDONLY);
    unsigned char first = 0, last = 0;
    EXPECT_EQ(1, pread(fd, &first, 1, 0));
    EXPECT_EQ(1, pread(fd, &last, 1, 3071));
    close(fd);
    EXPECT_EQ(0xA5, first);
    EXPECT_EQ(0x5A, last);

    struct fb_fix_screeninfo f = {.smem_start = 0xE0001FFF, .smem_len = 960000};
    EXPECT_EQ(960000 + 4095, fb_map_length(&f));

    const char* types[] = {"packed pixels", "planar (non-interleaved)", "planar (interleaved)",
                           "text (not a framebuffer)", "planar (EGA/VGA)", "no idea what this is"};
    const char* visuals[] = {"other (mono perhaps)", "other (mono perhaps)", "truecolor", "pseudocolor",
                             "directcolor", "fixed pseudocolor", "other (mono perhaps)"};
    for (unsigned n = 0; n < 7; ++n) {
        standin::fix.type = standin::fix.visual = n;
        fb_close(open_captured(path));
        EXPECT_EQ(0u, out.find(description_head(types[n < 5 ? n : 5], visuals[n]))) << n;
    }
}

TEST(FbFake, DescribesABlackRgb565Surface)
{
    CaptureStdout();
    fbuffer_t* fb = fb_open_fake(800, 600);
    EXPECT_EQ("", GetCapturedStdout());
    ASSERT_NE(nullptr, fb);
    const fb_var_screeninfo& v = fb->vinfo;
    EXPECT_EQ((std::vector<long>{-1, 960000, 1600, 16, 800, 600, 11, 5, 5, 6, 0, 5}),
              (std::vector<long>{fb->fbdev, fb->fb_size, fb->finfo.line_length, v.bits_per_pixel, v.xres, v.yres,
                                 v.red.offset, v.red.length, v.green.offset, v.green.length, v.blue.offset,
                                 v.blue.length}));
    EXPECT_EQ(fb->fb + fb->fb_size, std::find_if(fb->fb, fb->fb + fb->fb_size, [](uint8_t b) { return b != 0; }));
    fb->fb[fb->fb_size - 1] = 0xFF;  // the whole block is ours (AddressSanitizer checks)
    fb_close(fb);
    fb_close(nullptr);
}
