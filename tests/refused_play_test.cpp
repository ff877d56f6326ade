// `play` lines refused at once, with the message that says why, and nothing
// started: the console's own input as a source, out-of-bounds options, lines
// too long for the console.
#include <gtest/gtest.h>

#include <string>

#include "player.h"

namespace {

TEST(RefusedPlay, SaysWhyAndStartsNothing)
{
    const std::string url = "Error: stream url ";
    const std::pair<std::string, std::string> refused[] = {
        // FFmpeg's pipe protocol reads standard input for anything but a number.
        {"play pipe:x", url}, {"play pipe:00", url}, {"play pipe:+0", url}, {"play pipe:0x1", url},
        {"play cache:pipe:x", url}, {"play async:pipe:00", url}, {"play concat:/dev/stdin", url},
        {"play concat:/dev/null|pipe:2", url},
    };
    Player pl;
    for (const auto& [line, error] : refused) {
        const std::string got = pl.run(line, '0');
        EXPECT_EQ(error, got.substr(0, error.size())) << line << "\n" << got;
    }
    EXPECT_EQ("", pl.run("list", '1'));
}

}  // namespace
