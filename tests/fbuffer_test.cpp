#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fbuffer.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

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
    FILE* f = fopen("/proc/self/maps", "r");
    char line[512];
    std::string perms;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, want, strlen(want)) == 0)
            perms = std::string(strchr(line, ' ') + 1, 4);
    fclose(f);
    return perms;
}

int open_descriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class FbOpen : public ::testing::Test {
protected:
    char path[64] = "/tmp/velmor-fb-XXXXXX";
    int fds_before = 0;

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
        standin::fix = {};
        standin::var = {};
        memcpy(standin::fix.id, "0123456789ABCDEF", 16);  // full: no terminator
        standin::fix.smem_start = 0x12345800;               // 2048 bytes into its page
        standin::fix.smem_len = 64 * 16;
        standin::fix.line_length = 64;
        standin::fix.type = FB_TYPE_PACKED_PIXELS;
        standin::fix.visual = FB_VISUAL_TRUECOLOR;
        standin::var.xres = 32;
        standin::var.yres = 16;
        standin::var.xres_virtual = 32;
        standin::var.yres_virtual = 48;
        standin::var.xoffset = 3;
        standin::var.yoffset = 16;
        standin::var.bits_per_pixel = 16;
        standin::var.red = {11, 5, 0};
        standin::var.green = {5, 6, 0};
        standin::var.blue = {0, 5, 0};
        fds_before = open_descriptors();
    }
    void TearDown() override
    {
        standin::active = false;
        unlink(path);
        EXPECT_EQ(fds_before, open_descriptors()) << "a descriptor was left open";
    }

    // fb_open with standard output and standard error captured.
    fbuffer_t* open_captured(const char* p, std::string* out, std::string* err)
    {
        CaptureStdout();
        CaptureStderr();
        fbuffer_t* fb = fb_open(p);
        *err = GetCapturedStderr();
        *out = GetCapturedStdout();
        return fb;
    }

    std::string description_head(const std::string& type, const std::string& visual)
    {
        return std::string("FRamebuffer device : ") + path + "\n"
               "Framebuffer ID     : 0123456789ABCDEF\n"
               "Framebuffer type   : " + type + "\n"
               "Bytes per scanline : 64\n"
               "Visual type        : " + visual + "\n";
    }
};

}  // namespace

TEST_F(FbOpen, MissingPathPrintsOnlyTheError)
{
    std::string out, err;
    EXPECT_EQ(nullptr, open_captured("/nonexistent/velmor-fb0", &out, &err));
    EXPECT_EQ("Error opening /nonexistent/velmor-fb0.\n", err);
    EXPECT_EQ("", out);
}

TEST_F(FbOpen, NotAFramebufferFailsAtTheFixedInformation)
{
    std::string expected = std::string("Unable to retrieve fixed screen info: ") + strerror(ENOTTY) + "\n";
    for (const char* p : {"/dev/null", static_cast<const char*>(path)}) {
        SCOPED_TRACE(p);
        std::string out, err;
        EXPECT_EQ(nullptr, open_captured(p, &out, &err));
        EXPECT_EQ(expected, err);
        EXPECT_EQ("", out);
    }
}

TEST_F(FbOpen, DeviceIsDescribedAndMappedReadWrite)
{
    standin::active = true;
    std::string out, err;
    fbuffer_t* fb = open_captured(path, &out, &err);
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ("", err);
    EXPECT_EQ(description_head("packed pixels", "truecolor") +
                  "Bits per pixel     : 16\n"
                  "Resolution         : 32x16 (virtual 32x48)\n"
                  "Scrolling offset   : (3,16)\n"
                  "Red channel        : 5 bits at offset 11\n"
                  "Green channel      : 6 bits at offset 5\n"
                  "Blue channel       : 5 bits at offset 0\n"
                  "Framebuffer " + path + " is mmap-ed successfuly!\n",
              out);
    EXPECT_GE(fb->fbdev, 0);
    EXPECT_EQ(1024 + 2048, fb->fb_size);
    EXPECT_EQ(64u, fb->finfo.line_length);
    EXPECT_EQ(32u, fb->vinfo.xres);

    // Shared, writable and readable back: the bytes reach the file.
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
}

TEST_F(FbOpen, TypeAndVisualNames)
{
    standin::active = true;
    const char* types[] = {"packed pixels", "planar (non-interleaved)", "planar (interleaved)",
                           "text (not a framebuffer)", "planar (EGA/VGA)", "no idea what this is"};
    const char* visuals[] = {"other (mono perhaps)", "other (mono perhaps)", "truecolor",
                             "pseudocolor", "directcolor", "fixed pseudocolor",
                             "other (mono perhaps)"};
    for (unsigned n = 0; n < 7; ++n) {
        SCOPED_TRACE(n);
        standin::fix.type = n;
        standin::fix.visual = n;
        std::string out, err;
        fb_close(open_captured(path, &out, &err));
        EXPECT_EQ(0u, out.find(description_head(types[n < 5 ? n : 5], visuals[n])));
    }
}

TEST_F(FbOpen, LaterFailuresCloseTheDeviceAfterTheFixedDescription)
{
    standin::active = true;
    standin::fail_var_errno = EINVAL;
    std::string out, err;
    EXPECT_EQ(nullptr, open_captured(path, &out, &err));
    EXPECT_EQ(std::string("Unable to retrieve variable screen info: ") + strerror(EINVAL) + "\n", err);
    EXPECT_EQ(description_head("packed pixels", "truecolor"), out);

    // Nothing to map: a page-aligned empty memory.
    standin::fail_var_errno = 0;
    standin::fix.smem_start = 0x12345000;
    standin::fix.smem_len = 0;
    EXPECT_EQ(nullptr, open_captured(path, &out, &err));
    EXPECT_EQ(std::string("Unable to mmap framebuffer: ") + strerror(EINVAL) + "\n", err);
    EXPECT_NE(std::string::npos, out.find("Blue channel       : 5 bits at offset 0\n"));
    EXPECT_EQ(std::string::npos, out.find("mmap-ed"));
}

TEST(FbMapLength, AddsTheOffsetWithinThePage)
{
    struct fb_fix_screeninfo f = {};
    f.smem_len = 800 * 600 * 2;
    f.smem_start = 0xE0000000;
    EXPECT_EQ(960000, fb_map_length(&f));
    f.smem_start = 0xE0000800;
    EXPECT_EQ(960000 + 2048, fb_map_length(&f));
    f.smem_start = 0xE0001FFF;
    EXPECT_EQ(960000 + 4095, fb_map_length(&f));
}

TEST(FbFake, DescribesABlackRgb565Surface)
{
    CaptureStdout();
    fbuffer_t* fb = fb_open_fake(800, 600);
    EXPECT_EQ("", GetCapturedStdout());
    ASSERT_NE(nullptr, fb);
    EXPECT_EQ(-1, fb->fbdev);
    EXPECT_EQ(960000, fb->fb_size);
    EXPECT_EQ(0u, fb->finfo.type);
    EXPECT_EQ(2u, fb->finfo.visual);
    EXPECT_EQ(1600u, fb->finfo.line_length);
    EXPECT_EQ(0u, fb->finfo.smem_len);
    EXPECT_EQ('\0', fb->finfo.id[0]);
    EXPECT_EQ(16u, fb->vinfo.bits_per_pixel);
    EXPECT_EQ(800u, fb->vinfo.xres);
    EXPECT_EQ(800u, fb->vinfo.xres_virtual);
    EXPECT_EQ(600u, fb->vinfo.yres);
    EXPECT_EQ(600u, fb->vinfo.yres_virtual);
    EXPECT_EQ(0u, fb->vinfo.xoffset + fb->vinfo.yoffset);
    EXPECT_EQ(11u, fb->vinfo.red.offset);
    EXPECT_EQ(5u, fb->vinfo.red.length);
    EXPECT_EQ(5u, fb->vinfo.green.offset);
    EXPECT_EQ(6u, fb->vinfo.green.length);
    EXPECT_EQ(0u, fb->vinfo.blue.offset);
    EXPECT_EQ(5u, fb->vinfo.blue.length);
    EXPECT_EQ(0u, fb->vinfo.transp.length);
    int nonzero = 0;
    for (int n = 0; n < fb->fb_size; ++n)
        nonzero += fb->fb[n] != 0;
    EXPECT_EQ(0, nonzero);
    // The whole block is ours to write (AddressSanitizer checks the bounds).
    fb->fb[fb->fb_size - 1] = 0xFF;
    fb_close(fb);
    fb_close(nullptr);
}
