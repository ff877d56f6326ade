// `play` lines refused at once, with the message that says why, and nothing
// started: the console's own input as a source, out-of-bounds options, lines
// too long for the console.
#include <gtest/gtest.h>

#include <string>

#include "player.h"

namespace {

std::string repeat(const std::string& s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

TEST(RefusedPlay, SaysWhyAndStartsNothing)
{
    const std::string url = "Error: stream url ";
    const std::pair<std::string, std::string> refused[] = {
        // FFmpeg's pipe protocol reads standard input for anything but a number.
        {"play pipe:x", url}, {"play pipe:00", url}, {"play pipe:+0", url}, {"play pipe:0x1", url},
        {"play cache:pipe:x", url}, {"play async:pipe:00", url}, {"play concat:/dev/stdin", url},
        {"play concat:/dev/null|pipe:2", url},
        // Decoder threads: FFmpeg would make as many as asked.
        {"play -d threads=17 /dev/null", "Error: decoder option 'threads=17' is not auto or 0 to 16 threads!\n"},
        {"play -d threads=1e6 /dev/null", "Error: decoder option 'threads=1e6' is not auto or 0 to 16 threads!\n"},
        // Keys that no demuxer, protocol or decoder knows.
        {"play -o rtsp_transprt=tcp /dev/null", "Error: no FFmpeg input has an option 'rtsp_transprt'!\n"},
        {"play -d thread=2 /dev/null", "Error: no FFmpeg decoder has an option 'thread'!\n"},
        // Every word counts: a flag is named, and a line is never cut short.
        {"play -x 5 /dev/null", "Error: unknown parameter '-x'!\n"},
        {"play" + repeat(" -z", 80) + " /dev/null", "Error: more than 80 words after the command!\n"},
    };
    Player pl;
    for (const auto& [line, error] : refused) {
        const std::string got = pl.run(line, '0');
        EXPECT_EQ(error, got.substr(0, error.size())) << line << "\n" << got;
    }
    EXPECT_EQ("", pl.run("list", '1'));
    // All the options that play documents fit on one line.
    const std::string all = pl.run("play -n all -f mjpeg" + repeat(" -o probesize=32", 16) + repeat(" -d threads=1", 16) +
                                   " /nonexistent", '1');
    EXPECT_NE(std::string::npos, all.find(repeat("cmd_play: Codec option : 'threads=1'\n", 16))) << all;
    pl.run("stop all", '1');
}

}  // namespace
