// Sources on 127.0.0.1 that misbehave in every way we know of, against the
// built program: it keeps answering, shows the right states, comes back by
// itself once the source is good again, stops promptly and leaks nothing.
#include <dirent.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media.h"
#include "player.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Threads and open descriptors of a process.
struct Usage {
    int threads = -1;
    int fds = -1;
    bool operator==(const Usage&) const = default;
};

Usage usage_of(pid_t pid)
{
    Usage u;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            u.threads = std::stoi(line.substr(8));
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        u.fds = 0;
        while (dirent* e = readdir(d))
            u.fds += e->d_name[0] != '.';
        closedir(d);
    }
    return u;
}

std::ostream& operator<<(std::ostream& o, const Usage& u)
{
    return o << u.threads << " threads, " << u.fds << " descriptors";
}

// Threads end a little after they say so: wait until the figures settle.
Usage usage_back_to(pid_t pid, const Usage& want)
{
    Usage u = usage_of(pid);
    for (int i = 0; i < 200 && !(u == want); ++i) {
        std::this_thread::sleep_for(10ms);
        u = usage_of(pid);
    }
    return u;
}

int count_of(const std::string& text, const std::string& what, size_t from = 0)
{
    int n = 0;
    for (size_t at = text.find(what, from); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The player with a liveness probe: every wait pings it and keeps the
// longest answer time.
struct Probed {
    Player pl;
    long long ping_max_ms = 0;

    void ping()
    {
        auto t = Clock::now();
        EXPECT_EQ("pong(alive)\n", pl.run("ping alive", '1'));
        ping_max_ms = std::max(ping_max_ms, ms_since(t));
    }
    // Pings every 50 ms until `text` is in the output `count` times from
    // offset `from` on.
    bool wait_pinging(const std::string& text, std::chrono::milliseconds timeout, int count = 1, size_t from = 0)
    {
        auto deadline = Clock::now() + timeout;
        for (int i = 0; i < 10000; ++i) {
            if (count_of(pl.p.output(), text, from) >= count)
                return true;
            if (Clock::now() > deadline)
                return false;
            ping();
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    long long timed(const std::string& line)
    {
        auto t = Clock::now();
        pl.run(line, '1');
        return ms_since(t);
    }
    std::string state_line(const std::string& name, const std::string& state, const std::string& url)
    {
        char buf[512];
        snprintf(buf, sizeof buf, "%16s %16s %s\n", name.c_str(), state.c_str(), url.c_str());
        return buf;
    }
};

struct Fault {
    const char* mode;     // how the source misbehaves; "" = nobody listens
    const char* scheme;   // "tcp" raw MJPEG, "http" multipart MJPEG
    const char* sign;     // what each stream prints once the fault is seen
    const char* state;    // what `list` shows meanwhile; null: no lasting state
    bool plays_on;        // damaged pictures are still pictures
};

std::ostream& operator<<(std::ostream& o, const Fault& f)
{
    return o << (f.mode[0] != '\0' ? f.mode : "refused");
}

class Faults : public testing::TestWithParam<Fault> {};

// Two streams meet the fault. One is stopped in the middle of it; the
// source then turns good and the other must come back by itself.
TEST_P(Faults, ProgramLivesThroughAndRecovers)
{
    const Fault& f = GetParam();
    const bool http = std::string(f.scheme) == "http";
    const bool refused = f.mode[0] == '\0';
    const int pictures = 20;
    std::unique_ptr<PyServer> server;
    int port = free_port();
    if (!refused) {
        server = std::make_unique<PyServer>(f.mode, clip_mjpeg(), pictures);
        port = server->port();
    }
    const std::string url = std::string(f.scheme) + "://127.0.0.1:" + std::to_string(port) + (http ? "/" : "");
    const std::string format = http ? "-f mpjpeg " : "-f mjpeg ";

    Probed pr;
    const pid_t pid = pr.pl.p.pid();
    const Usage idle = usage_of(pid);
    ASSERT_GT(idle.threads, 0);

    pr.pl.run("play -n a -p 0 0 -s 160 120 " + format + url, '1');
    pr.pl.run("play -n b -p 160 0 -s 160 120 " + format + url, '1');
    ASSERT_TRUE(pr.wait_pinging(f.sign, 20s, 2)) << pr.pl.p.output();
    // Each stream on its own: their faults need not come at the same time.
    for (const char* name : {"a", "b"}) {
        if (f.state == nullptr)
            break;
        const std::string line = pr.state_line(name, f.state, url);
        EXPECT_NE(std::string::npos, pr.pl.list_until({line}, 20s).find(line)) << line;
    }

    const long long stop_in_fault = pr.timed("stop b");
    EXPECT_LT(stop_in_fault, 2000);

    // The source is good again.
    const size_t mark = pr.pl.p.output().size();
    const auto healed = Clock::now();
    if (refused)
        server = std::make_unique<PyServer>("good", clip_mjpeg(), 0, port);
    else
        ASSERT_TRUE(server->control(http ? "mode httpgood" : "mode good"));
    long long reconnect_ms = 0;
    if (!f.plays_on) {
        ASSERT_TRUE(pr.wait_pinging("reader_thread: av_open_input_file() returns 0!\n", 20s, 1, mark))
            << pr.pl.p.output().substr(mark);
        reconnect_ms = ms_since(healed);
    }
    // A new run of 250 pictures, all of them after the source was healed.
    const std::string counted = "reader_thread: readed ";
    const int before = count_of(pr.pl.p.output(), counted);
    ASSERT_TRUE(pr.wait_pinging(counted, 20s, before + 2)) << pr.pl.p.output().substr(mark);
    EXPECT_NE(std::string::npos, pr.pl.list_until({pr.state_line("a", "CONNECTED", url)}).find(" a "));

    const long long stop_playing = pr.timed("stop a");
    EXPECT_LT(stop_playing, 2000);
    EXPECT_EQ(idle, usage_back_to(pid, idle));
    EXPECT_LT(pr.ping_max_ms, 1000);
    printf("figures %s: stop in fault %lld ms, reconnect %lld ms, stop playing %lld ms, slowest ping %lld ms\n",
           refused ? "refused" : f.mode, stop_in_fault, reconnect_ms, stop_playing, pr.ping_max_ms);

    pr.pl.p.send("exit\n");
    EXPECT_EQ(0, pr.pl.p.wait_exit(20s)) << pr.pl.p.output();
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Faults,
    testing::Values(
        // Accepts, never sends: the open is given up at its deadline. When
        // the watchdog's interrupt ended it, the wait after it ends at once;
        // either way the next attempt, which hangs too, is RECONNECTING.
        Fault{"silent", "tcp", "cannot open input file", "RECONNECTING", false},
        // Some pictures, then nothing: the read is given up at its deadline.
        // When the watchdog's interrupt ended it, the wait after it ends at
        // once and the source accepts again at once: no state lasts.
        Fault{"stall", "tcp", "reader_thread: try to reconnect!\n", nullptr, false},
        // Random bytes hold no picture boundary: the read never completes.
        Fault{"random", "tcp", "maybe EOF reached! err=-110\n", "RECONNECTING", false},
        // Damaged pictures are concealed and shown.
        Fault{"truncated", "tcp", "reader_thread: readed 250 frames\n", "CONNECTED", true},
        Fault{"corrupt", "tcp", "reader_thread: readed 250 frames\n", "CONNECTED", true},
        // A part that is not what its header says ends the stream.
        Fault{"longlength", "http", "maybe EOF reached! err=-1094995529\n", "RECONNECTING", false},
        Fault{"shortlength", "http", "maybe EOF reached! err=-1094995529\n", "RECONNECTING", false},
        // Closed in the middle of a picture, cleanly and by a reset.
        Fault{"cut", "tcp", "maybe EOF reached! err=-541478725\n", "RECONNECTING", false},
        Fault{"reset", "tcp", "maybe EOF reached! err=-104\n", "RECONNECTING", false},
        // Nobody listens, then a good source appears on the port.
        Fault{"", "tcp", "err=-111\n", "CONNECT_ERR", false},
        Fault{"unauthorized", "http", "err=-825242872\n", "CONNECT_ERR", false},
        // The connect hangs until the watchdog or FFmpeg's own connect
        // timeout, both 5 s, ends it; the next attempt hangs as well.
        Fault{"backlog", "tcp", "cannot open input file", "RECONNECTING", false}),
    [](const testing::TestParamInfo<Fault>& info) {
        return std::string(info.param.mode[0] != '\0' ? info.param.mode : "refused");
    });

// Many short lives of a network stream, stopped in every phase: while it
// connects, just after it opened, and while pictures flow.
TEST(Endurance, PlayStopCyclesLeaveNothingBehind)
{
#if defined(__SANITIZE_ADDRESS__)
    const int cycles = 200;  // the full run belongs to the leak-checking build
#else
    const int cycles = 60;
#endif
    PyServer server("good", clip_mjpeg(), 0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(server.port());
    Probed pr;
    const pid_t pid = pr.pl.p.pid();
    const Usage idle = usage_of(pid);
    long long stop_max = 0, stop_sum = 0;
    auto start = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        const size_t mark = pr.pl.p.output().size();
        pr.pl.run("play -n cycled -f mjpeg " + url, '1');
        if (i % 3 == 1) {
            ASSERT_TRUE(pr.wait_pinging("av_open_input_file() returns", 10s, 1, mark)) << i;
        } else if (i % 3 == 2) {
            ASSERT_TRUE(pr.wait_pinging("got stream w=320, h=240", 10s, 1, mark)) << i;
        }
        const long long ms = pr.timed("stop cycled");
        stop_max = std::max(stop_max, ms);
        stop_sum += ms;
        ASSERT_NE(std::string::npos, pr.pl.p.output().find("thread 'cycled' exited", mark)) << i;
    }
    const Usage after = usage_back_to(pid, idle);
    EXPECT_EQ(idle, after);
    EXPECT_LT(stop_max, 2000);
    printf("figures: %d cycles in %lld ms; before %d threads %d fds, after %d threads %d fds; stop mean %lld ms, "
           "max %lld ms\n",
           cycles, ms_since(start), idle.threads, idle.fds, after.threads, after.fds, stop_sum / cycles, stop_max);
    pr.pl.p.send("exit\n");
    // Under the leak checker a leak makes the exit status non-zero.
    EXPECT_EQ(0, pr.pl.p.wait_exit(30s)) << pr.pl.p.output().substr(pr.pl.p.output().size() > 4000 ? pr.pl.p.output().size() - 4000 : 0);
}

}  // namespace
