// Where a snapshot goes: what the target is decides how it is written, and
// nothing but the target may change, whether the write works or not.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "in_process.h"
#include "process.h"
#include "render.h"
#include "snapshot.h"

namespace {

class SnapshotTarget : public testing::Test {
protected:
    void SetUp() override
    {
        fb0 = fb_open_fake(64, 48);
        render_start();
    }
    void TearDown() override
    {
        render_stop();
        fb_close(fb0);
        fb0 = nullptr;
    }
    TempDir dir;
};

std::set<std::string> names_in(const std::string& dir)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2)
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

std::string head_of(const std::string& file)
{
    std::string head(8, '\0');
    std::ifstream(file, std::ios::binary).read(head.data(), 8);
    return head;
}

TEST_F(SnapshotTarget, OnlyTheTargetChangesAndOnlyWhenTheWriteWorks)
{
    // A device that refuses every write (as /dev/full), links to it and to a
    // file, an old picture and a directory.
    ASSERT_EQ(0, mknod(dir.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)));
    ASSERT_EQ(0, symlink("full", dir.file("to-full").c_str()));
    std::ofstream(dir.file("old.png")) << "old";
    ASSERT_EQ(0, symlink("old.png", dir.file("to-old").c_str()));
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
    const std::set<std::string> before = names_in(dir.path());
    const struct {
        const char* target;
        const char* why;  // empty: written
        mode_t type;      // of the target afterwards, not following links
    } cases[] = {
        {"full", "No space left on device", S_IFCHR}, {"to-full", "No space left on device", S_IFLNK},
        {"sub", "Is a directory", S_IFDIR},           {"to-old", "", S_IFLNK},
        {"old.png", "", S_IFREG},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(c.why[0] == '\0', snapshot_write(dir.file(c.target).c_str(), &why)) << c.target;
        EXPECT_EQ(c.why, why) << c.target;
        struct stat st;
        ASSERT_EQ(0, lstat(dir.file(c.target).c_str(), &st)) << c.target;
        EXPECT_EQ(c.type, st.st_mode & S_IFMT) << c.target;
        EXPECT_EQ(before, names_in(dir.path())) << c.target;  // nothing left beside, nothing removed
    }
    EXPECT_EQ("\x89PNG\r\n\x1a\n", head_of(dir.file("old.png")));
}

struct attempt_t {
    std::string file, why;
    std::atomic<int> result{-1};  // -1 while running
};

void* snapshot_body(void* arg)
{
    auto* a = static_cast<attempt_t*>(arg);
    a->result = snapshot_write(a->file.c_str(), &a->why) ? 1 : 0;
    return nullptr;
}

TEST_F(SnapshotTarget, APipeNobodyReadsIsGivenUpOnAtOnceOrAfterTwoSeconds)
{
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (bool reader : {false, true}) {
        // With a reader, the pipe is already full and stays so.
        int rd = -1, wr = -1;
        if (reader) {
            rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            wr = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            const std::string chunk(4096, 'x');
            while (write(wr, chunk.data(), chunk.size()) > 0) {
            }
        }
        attempt_t a;
        a.file = fifo;
        thread_t t;
        thread_init(&t, "snapshot");
        const auto start = std::chrono::steady_clock::now();
        thread_start(&t, snapshot_body, &a);
        for (int i = 0; i < 500 && a.result < 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(0, a.result.load()) << "still writing after 5 s: reader " << reader;
        EXPECT_EQ(reader ? "nothing read it for 2 seconds" : "nobody reads it", a.why);
        EXPECT_LT(took, std::chrono::milliseconds(reader ? 3500 : 1000));
        // A writer still stuck is let go: the pipe is drained until it ends.
        const int drain = rd >= 0 ? rd : open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        char buf[4096];
        for (int i = 0; i < 1000 && a.result < 0; ++i)
            if (read(drain, buf, sizeof buf) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        thread_done(&t);
        for (int fd : {drain, wr})
            if (fd >= 0)
                close(fd);
    }
}

}  // namespace
