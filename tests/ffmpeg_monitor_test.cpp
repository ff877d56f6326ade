// The global FFmpeg monitor held for long (by a slow close, say) holds up
// no stream's pictures, and no input's close waits for it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "in_process.h"
#include "media.h"
#include "reader.h"
#include "render.h"

namespace {

using namespace std::chrono_literals;


std::atomic<int> holding{0};  // 1 while the holder owns the monitor, 2 to let go

void* hold_ffmpeg_monitor(void*)
{
    ffmpeg_guard ff;
    holding = 1;
    for (int i = 0; i < 3000 && holding == 1; ++i)
        thread_sleep(10);
    return nullptr;
}

class FfmpegMonitor : public testing::Test {};

TEST_F(FfmpegMonitor, HeldElsewhereStopsNoPictureAndNoClose)
{
    PyServer cam("good", clip_mjpeg(), 0, 0, 50);
    fb0 = fb_open_fake(320, 240);
    render_start();
    stream_settings_t set;
    set.format = av_find_input_format("mjpeg");
    stream_t* s = stream_new("cam", ("tcp://127.0.0.1:" + std::to_string(cam.port())).c_str(), set);
    ASSERT_EQ(0, stream_start(s));
    for (int i = 0; i < 500 && s->pictures_drawn < 5; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(s->pictures_drawn.load(), 5);

    thread_t holder;
    thread_init(&holder, "holder");
    thread_start(&holder, hold_ffmpeg_monitor, nullptr);
    while (holding == 0)
        std::this_thread::sleep_for(1ms);
    // Pictures go on (50 a second), and the reader's input closes on a
    // forced reconnect.
    const long before = s->pictures_drawn;
    for (int i = 0; i < 300 && s->pictures_drawn < before + 25; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_GE(s->pictures_drawn.load(), before + 25);
    const long connects = s->connects;
    stream_force_reconnect(s);
    for (int i = 0; i < 300 && s->connects == connects; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_GT(s->connects.load(), connects);
    holding = 2;
    thread_done(&holder);

    stream_stop(s);
    stream_free(s);
    render_stop();
    fb_close(fb0);
    fb0 = nullptr;
}

}  // namespace
