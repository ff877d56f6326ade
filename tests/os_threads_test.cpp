// The player's threads as the operating system sees them.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "player.h"

namespace {

using namespace std::chrono_literals;

std::set<std::string> thread_names(pid_t pid)
{
    std::set<std::string> names;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(tasks.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name;
            if (e->d_name[0] != '.' && std::getline(std::ifstream(tasks + "/" + e->d_name + "/comm"), name))
                names.insert(name);
        }
        closedir(d);
    }
    return names;
}

TEST(OsThreads, AreNamedAsInTheRegistry)
{
    Player pl;
    pl.run("play -n a-rather-long-stream-name /nonexistent", '1');
    ASSERT_TRUE(pl.p.wait_seen("start thread 'a-rather-long-stream-name'", 10s));
    const std::set<std::string> names = thread_names(pl.p.pid());
    EXPECT_EQ(1u, names.count("render")) << testing::PrintToString(names);
    EXPECT_EQ(1u, names.count("a-rather-long-s")) << testing::PrintToString(names);
    pl.run("stopall", '1');
}

// Under a task limit one more play fails alone: the player and its other
// streams go on. The player runs as a user of its own, since root ignores
// RLIMIT_NPROC, with room for the tasks it has with one stream.
TEST(OsThreads, APlayWithoutAThreadFailsAlone)
{
    const std::vector<std::string> as_user = {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups",
                                              "/usr/bin/prlimit"};
    char res = 0;
    std::string limit;
    {
        Child p({as_user[0], as_user[1], as_user[2], as_user[3], VELMOR_BINARY}, true);
        ASSERT_TRUE(p.wait_for("0>"));
        p.command("play -n a /nonexistent", &res);
        limit = std::to_string(usage_of(p.pid()).first);
        p.send("exit\n");
        EXPECT_EQ(0, p.wait_exit(10s));
    }
    std::vector<std::string> argv = as_user;
    argv.insert(argv.end(), {"--nproc=" + limit + ":" + limit, VELMOR_BINARY});
    Child p(argv, true);
    ASSERT_TRUE(p.wait_for("0>"));
    p.command("play -n a /nonexistent", &res);
    EXPECT_EQ('1', res);
    const std::string out = p.command("play -n b /nonexistent", &res);
    EXPECT_EQ('0', res);
    EXPECT_NE(std::string::npos, out.find("Error: cannot start stream 'b': Resource temporarily unavailable!\n")) << out;
    EXPECT_NE(std::string::npos, p.command("list", &res).find(" a ")) << p.output();
    EXPECT_EQ('1', res);
    p.command("stop a", &res);
    p.command("play -n b /nonexistent", &res);  // room again
    EXPECT_EQ('1', res);
    p.send("exit\n");
    EXPECT_EQ(0, p.wait_exit(10s));
}

}  // namespace
