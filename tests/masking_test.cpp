// Passwords in URLs, whatever characters they hold, never show: not in
// play's echo, `list`, FFmpeg's failures or an error naming a stream.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "media.h"
#include "player.h"
#include "velmor.h"

namespace {

using namespace std::chrono_literals;

TEST(Masking, EverythingFromTheUsersColonToTheAuthoritysLastAt)
{
    for (auto [in, out] : {std::pair{"http://cam:top/secret@h/x", "http://cam:***@h/x"},
                           {"rtsp://u:a?b#c@h:554/x?q=1@2", "rtsp://u:***@h:554/x?q=1@2"},
                           {"async:http://u:p/w@h/x 'http://v:q?r@i/'", "async:http://u:***@h/x 'http://v:***@i/'"},
                           {"http://h/x?a=b:c@d", "http://h/x?a=b:c@d"},
                           {"http://u:pw@h", "http://u:***@h"}})
        EXPECT_EQ(out, url_redacted(in)) << in;
}

TEST(Masking, PasswordsWithSlashQueryOrHashNeverShow)
{
    Player pl;
    const std::string port = std::to_string(free_port());
    int played = 0;
    for (const char* pw : {"top/se-cret", "a?se-cret", "a#se-cret"}) {
        const std::string url = std::string("tcp://cam:") + pw + "@127.0.0.1:" + port + "/" + std::to_string(played);
        pl.run("play -r 60 -f mjpeg " + url, '1');
        ASSERT_TRUE(pl.p.wait_seen("cannot open input file", 10s, ++played)) << pl.p.output();
        pl.run("play -f mjpeg " + url, '0');  // a duplicate name
        pl.run("stop rtsp://cam:" + std::string(pw) + "@elsewhere/x", '0');
    }
    pl.run("list", '1');
    pl.run("stopall", '1');
    pl.p.send("exit\n");
    EXPECT_EQ(0, pl.p.wait_exit(10s));
    EXPECT_EQ(std::string::npos, pl.p.output().find("se-cret")) << pl.p.output();
    EXPECT_EQ(std::string::npos, pl.p.errors().find("se-cret")) << pl.p.errors();
}

}  // namespace
