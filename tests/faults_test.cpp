// Sources on 127.0.0.1 that misbehave, against the built program: it keeps
// answering, shows the right states, comes back by itself once the source
// is good again, stops promptly and leaks nothing.

#include "media.h"
#include "player.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Threads end a little after they say so: wait until the figures settle.
void expect_usage_back_to(pid_t pid, std::pair<int, int> want)
{
    until([&] { return usage_of(pid) == want; }, 2s);
    EXPECT_EQ(want, usage_of(pid)) << "threads, descriptors";
}

// The player with a liveness probe: every wait pings it, and no answer may
// take long.
struct Probed {
    Player pl;

    // Pings every 50 ms until `text` is in the output `count` times from `from` on.
    bool wait_pinging(const std::string& text, std::chrono::milliseconds timeout, int count = 1, size_t from = 0)
    {
        return until([&] {
            int n = 0;
            for (size_t at = pl.p.output().find(text, from); at != std::string::npos;
                 at = pl.p.output().find(text, at + 1))
                ++n;
            if (n >= count)
                return true;
            EXPECT_LT(timed("ping alive", "pong(alive)\n"), 1000);
            return false;
        }, timeout, 50ms);
    }
    // Milliseconds that `line` took to be answered.
    long long timed(const std::string& line, const std::string& answer = "")
    {
        const auto t = Clock::now();
        EXPECT_EQ(answer, pl.run(line, '1'));
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    }
    std::string state_line(const char* name, const std::string& state, const std::string& url)
    {
        char buf[512];
        snprintf(buf, sizeof buf, "%16s %16s %s page=1 label=\"\"\n", name, state.c_str(), url.c_str());
        return buf;
    }
};

struct Fault {
    const char* mode;    // how the source misbehaves; "refused": nobody listens
    const char* scheme;  // "tcp" raw MJPEG, "http" multipart MJPEG
    std::string sign;    // what each stream prints once the fault is seen
    const char* state;   // what `list` shows meanwhile; null: no lasting state
    bool plays_on;       // damaged pictures are still pictures
};
void PrintTo(const Fault& f, std::ostream* os) { *os << f.mode; }

class Faults : public testing::TestWithParam<Fault> {};

// Two streams meet the fault. One is stopped in the middle of it; the
// source then turns good and the other must come back by itself.
TEST_P(Faults, ProgramLivesThroughAndRecovers)
{
    const Fault& f = GetParam();
    const bool http = std::string(f.scheme) == "http";
    std::unique_ptr<PyServer> server;
    int port = free_port();
    if (std::string(f.mode) != "refused") {
        server = std::make_unique<PyServer>(f.mode, clip_mjpeg(), 20);
        port = server->port();
    }
    const std::string url = std::string(f.scheme) + "://127.0.0.1:" + std::to_string(port) + (http ? "/" : "");
    const std::string format = http ? "-f mpjpeg " : "-f mjpeg ";
    Probed pr;
    const pid_t pid = pr.pl.p.pid();
    const auto idle = usage_of(pid);

    pr.pl.run("play -n a -p 0 0 -s 160 120 " + format + url, '1');
    pr.pl.run("play -n b -p 160 0 -s 160 120 " + format + url, '1');
    ASSERT_TRUE(pr.wait_pinging(f.sign, 20s, 2)) << pr.pl.p.output();
    // Each stream on its own: their faults need not come at the same time.
    for (const char* name : {"a", "b"}) {
        const std::string line = f.state != nullptr ? pr.state_line(name, f.state, url) : "";
        EXPECT_NE(std::string::npos, pr.pl.list_until({line}, 20s).find(line)) << line;
    }
    EXPECT_LT(pr.timed("stop b"), 2000);

    const size_t mark = pr.pl.p.output().size();
    if (server == nullptr)
        server = std::make_unique<PyServer>("good", clip_mjpeg(), 0, port);
    else
        ASSERT_TRUE(server->control(http ? "mode httpgood" : "mode good"));
    ASSERT_TRUE(f.plays_on || pr.wait_pinging("reader_thread: av_open_input_file() returns 0!\n", 20s, 1, mark))
        << pr.pl.p.output().substr(mark);
    // A new run of 250 pictures, all of them after the source was healed.
    ASSERT_TRUE(pr.wait_pinging("reader_thread: readed ", 20s, 2, mark)) << pr.pl.p.output().substr(mark);
    const std::string playing = pr.state_line("a", "CONNECTED", url);
    EXPECT_NE(std::string::npos, pr.pl.list_until({playing}).find(playing));
    EXPECT_LT(pr.timed("stop a"), 2000);
    expect_usage_back_to(pid, idle);
    pr.pl.p.send("exit\n");
    EXPECT_EQ(0, pr.pl.p.wait_exit(20s)) << pr.pl.p.output();
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Faults,
    testing::Values(
        // Accepts, never sends: the open is given up at its deadline (an
        // interrupted open may report success), and the next attempt, which
        // hangs too, is RECONNECTING.
        Fault{"silent", "tcp", "', " + err(AVERROR(ETIMEDOUT)), "RECONNECTING", false},
        // Some pictures, then nothing: the read is given up at its deadline
        // (an interrupted read may report success too); the source accepts
        // again at once, so no state lasts.
        Fault{"stall", "tcp", "reader_thread: try to reconnect!\n", nullptr, false},
        // Damaged pictures are concealed and shown.
        Fault{"corrupt", "tcp", "reader_thread: readed 250 frames\n", "CONNECTED", true},
        // A part that is not what its header says ends the stream.
        Fault{"shortlength", "http", "maybe EOF reached! " + err(AVERROR_INVALIDDATA), "RECONNECTING", false},
        // Closed by a reset in the middle of a picture.
        Fault{"reset", "tcp", "maybe EOF reached! " + err(AVERROR(ECONNRESET)), "RECONNECTING", false},
        // Nobody listens, then a good source appears on the port.
        Fault{"refused", "tcp", err(AVERROR(ECONNREFUSED)), "CONNECT_ERR", false}),
    [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.mode); });

// Many short lives of a network stream, stopped in every phase: while it
// connects, just after it opened, and while pictures flow.
TEST(Endurance, PlayStopCyclesLeaveNothingBehind)
{
#if defined(__SANITIZE_ADDRESS__)
    const int cycles = 200;  // the long run belongs to the leak-checking build
#else
    const int cycles = 60;
#endif
    PyServer server("good", clip_mjpeg(), 0);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(server.port());
    Probed pr;
    const pid_t pid = pr.pl.p.pid();
    const auto idle = usage_of(pid);
    for (int i = 0; i < cycles; ++i) {
        const size_t mark = pr.pl.p.output().size();
        pr.pl.run("play -n cycled -f mjpeg " + url, '1');
        const char* phase = i % 3 == 1 ? "av_open_input_file() returns" : "got stream w=320, h=240";
        ASSERT_TRUE(i % 3 == 0 || pr.wait_pinging(phase, 10s, 1, mark)) << i;
        EXPECT_LT(pr.timed("stop cycled"), 2000);
        ASSERT_NE(std::string::npos, pr.pl.p.output().find("thread 'cycled' exited", mark)) << i;
    }
    expect_usage_back_to(pid, idle);
    pr.pl.p.send("exit\n");
    // Under the leak checker a leak makes the exit status non-zero.
    EXPECT_EQ(0, pr.pl.p.wait_exit(30s)) << pr.pl.p.errors();
}

}  // namespace
