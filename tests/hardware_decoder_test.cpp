// A hardware decoder on a machine without its hardware opens, then fails
// every picture: the stream ends with one line instead of reconnecting for
// ever.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "media.h"
#include "player.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using namespace std::chrono_literals;

TEST(HardwareDecoder, ThatDecodesNothingEndsTheStream)
{
    if (avcodec_find_decoder_by_name("h264_qsv") == nullptr)
        GTEST_SKIP() << "FFmpeg here has no h264_qsv";
    Player pl;
    pl.run("play -n qsv -c h264_qsv " + clip_h264_ts(), '1');
    const std::string line = "decoder 'h264_qsv' of stream 'qsv' decodes nothing: Function not implemented: stream ended\n";
    ASSERT_TRUE(pl.p.wait_seen(line, 15s)) << pl.p.output();
    pl.list_until({"qsv          STOPPED "});
    EXPECT_NE(std::string::npos, pl.run("list", '1').find("qsv          STOPPED ")) << pl.p.output();
    EXPECT_EQ(std::string::npos, pl.p.output().find("cannot decode a picture")) << pl.p.output();
    EXPECT_EQ(std::string::npos, pl.p.output().find("try to reconnect")) << pl.p.output();
    pl.run("stopall", '1');
}

}  // namespace
