// The player's threads as the operating system sees them.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>

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

}  // namespace
