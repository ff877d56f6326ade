// What one stream, or all together, may hold: pictures far larger than the
// screen, and endless garbage.
#include <fstream>

#include "media.h"
#include "player.h"

namespace {

using namespace std::chrono_literals;

// Sanitizers keep freed memory and shadows: with them only the lines count.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long scale = 1L << 30;
#else
constexpr long scale = 1;
#endif

// Peak resident memory, in KiB.
long peak_kb(const Player& pl)
{
    std::ifstream status("/proc/" + std::to_string(pl.p.pid()) + "/status");
    long kb = -1;
    for (std::string line; std::getline(status, line);)
        kb = line.rfind("VmHWM:", 0) == 0 ? std::stol(line.substr(6)) : kb;
    return kb;
}

TEST(MemoryBounds, HugePicturesAndEndlessGarbageHoldLittle)
{
    PyServer cam("good", make_clip("color-7000x7000.mjpeg", "-f lavfi -i color=c=blue:size=7000x7000 -frames:v 1 "
                                                             "-pix_fmt yuvj420p -c:v mjpeg -f mjpeg"), 0, 0, 5);
    const std::string huge = "-f mjpeg tcp://127.0.0.1:" + std::to_string(cam.port());
    std::vector<std::string> garbage(15, "-f mjpeg -s 100 100 /dev/urandom");
    garbage.push_back("-f mjpeg /dev/zero");  // no marker at all: the parser never finds a picture's start
    struct Case { std::vector<std::string> plays; std::string says; int times; long most_mb; };
    for (const Case& c : {// libjpeg-turbo decodes them reduced; FFmpeg's decoder refuses them: no picture
                          Case{{huge}, "got stream w=7000, h=7000, ", 1, 64},
                          Case{{"-d threads=1 " + huge}, "maybe EOF reached! " + err(AVERROR_INVALIDDATA), 1, 64},
                          Case{garbage, " bytes read without a picture!\n", 16, 200}}) {
        Player pl;
        const long base = peak_kb(pl);
        for (size_t i = 0; i < c.plays.size(); ++i)
            pl.run("play -n s" + std::to_string(i) + " " + c.plays[i], '1');
        EXPECT_TRUE(pl.p.wait_seen(c.says, 30s, c.times)) << c.plays[0];
        EXPECT_LT(peak_kb(pl) - base, c.most_mb * 1024 * scale) << c.plays[0];
    }
}

}  // namespace
