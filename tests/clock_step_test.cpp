// The wall clock stepped by an hour each way (NTP on a board without a
// real-time clock) while streams play: deadlines, waits and rates do not see
// it. libfaketime moves the wall clock only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "media.h"
#include "until.h"

namespace {

using namespace std::chrono_literals;

long pictures_drawn(Child& p)
{
    char res = 0;
    const std::string out = p.command("stats", &res);
    const size_t at = out.find(" pictures=");
    return at == std::string::npos ? -1 : std::atol(out.c_str() + at + 10);
}

TEST(ClockStep, NeitherWayFiresAWatchdogOrStopsThePictures)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "libfaketime's interceptors and ThreadSanitizer's hang the readers together";
#endif
    PyServer cam("good", clip_mjpeg(), 0, 0, 25);
    TempDir dir;
    const std::string stamp = dir.file("offset");
    std::ofstream(stamp) << "+0\n";
    Child p({"/bin/sh", "-c",
             // ASan wants to come first, and takes a preloaded library after it.
             "LD_PRELOAD=$(echo /usr/lib/*/faketime/libfaketimeMT.so.1) FAKETIME_DONT_FAKE_MONOTONIC=1 "
             "ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 "
             "FAKETIME_NO_CACHE=1 FAKETIME_TIMESTAMP_FILE=" + stamp + " exec " VELMOR_BINARY},
            true);
    ASSERT_TRUE(p.wait_for("0>"));
    for (int i = 0; i < 4; ++i)
        p.command("play -n s" + std::to_string(i) + " -f mjpeg tcp://127.0.0.1:" + std::to_string(cam.port()));
    ASSERT_TRUE(p.wait_seen("got stream w=", 20s, 4)) << p.output();
    for (const char* offset : {"+3600", "-3600"}) {
        std::ofstream(stamp) << offset << "\n";
        const size_t from = p.output().size();
        // 4 streams at 25 a second: 100 pictures a second.
        const long before = pictures_drawn(p);
        EXPECT_TRUE(until([&] { return pictures_drawn(p) >= before + 150; }, 5s)) << offset;
        const std::string after = p.output().substr(from);
        for (const char* bad : {"block timeout", "try to reconnect", "draw icon", "fps_out=0.0"})
            EXPECT_EQ(std::string::npos, after.find(bad)) << offset << " " << bad << "\n" << after;
    }
    p.send("exit\n");
    EXPECT_EQ(0, p.wait_exit(10s));
}

}  // namespace
