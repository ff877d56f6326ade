// The FFmpeg monitor and network layer, once per suite, for tests that run
// the reader and the renderer in their own process.
#pragma once

#include <gtest/gtest.h>

#include "velmor.h"

class InProcessSuite : public testing::Test {
protected:
    static void SetUpTestSuite() { monitor_init(&ffmpeg_mon); avformat_network_init(); }
    static void TearDownTestSuite() { avformat_network_deinit(); monitor_done(&ffmpeg_mon); }
};
