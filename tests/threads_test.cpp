#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "threads.h"

namespace {

using std::chrono::steady_clock;

long elapsed_ms(steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - t0).count();
}

template <class Pred>
bool eventually(Pred pred, int ms = 5000)
{
    for (auto t0 = steady_clock::now(); !pred(); usleep(200))
        if (elapsed_ms(t0) > ms)
            return false;
    return true;
}

// A registered thread running a function; `result` is -1 until it returns.
struct Runner {
    thread_t t;
    std::function<int()> fn;
    std::atomic<int> result{-1};
    explicit Runner(const char* name) { thread_init(&t, name); }
    ~Runner() { thread_done(&t); }
    void start(std::function<int()> f)
    {
        thread_join(&t);  // an earlier run may still be finishing
        fn = std::move(f);
        result = -1;
        thread_start(&t, [](void* arg) -> void* {
            auto* r = static_cast<Runner*>(arg);
            r->result = r->fn();
            return nullptr;
        }, this);
    }
    bool done(int ms = 5000) { return eventually([&] { return result != -1; }, ms); }
};

int queue_length(monitor_t* m)
{
    int n = 0;
    for (list_item_t* i = list_first(&m->wait_list); i != nullptr; i = list_next(&m->wait_list, i))
        n++;
    return n;
}

// True once `n` threads sleep in m's queue (owning m proves they let go of it).
bool queued(monitor_t* m, int n)
{
    return eventually([&] {
        monitor_lock(m);
        int q = queue_length(m);
        monitor_unlock(m);
        return q == n;
    });
}

int lock_and_wait(monitor_t* m, long ms = 0)
{
    monitor_lock(m);
    int r = monitor_wait_timeout(m, ms);
    monitor_unlock(m);
    return r;
}

void notify_all_of(monitor_t* m)
{
    monitor_lock(m);
    monitor_notify_all(m);
    monitor_unlock(m);
}

void notify(monitor_t* m)
{
    monitor_lock(m);
    monitor_notify(m);
    monitor_unlock(m);
}

// Standard output to /dev/null while alive: every interrupt prints a line.
struct QuietStdout {
    int saved = (fflush(stdout), dup(STDOUT_FILENO));
    int devnull = open("/dev/null", O_WRONLY);
    QuietStdout() { dup2(devnull, STDOUT_FILENO); }
    ~QuietStdout() { fflush(stdout), dup2(saved, STDOUT_FILENO), close(saved), close(devnull); }
};

bool has(const std::string& text, const char* needle) { return text.find(needle) != std::string::npos; }

long vm_size_kb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0)
            return std::stol(line.substr(7));
    return -1;
}

// A monitor and two threads for each test.
struct Threads : testing::Test {
    monitor_t m;
    Runner a{"a"}, b{"b"};
    Threads()
    {
        threads_init();  // registers the main thread once
        monitor_init(&m);
    }
};
using ThreadsDeathTest = Threads;

}  // namespace

// A wait gives up every level of a nested lock and restores the depth.
TEST_F(Threads, WaitRestoresDepthAndTimesOut)
{
    for (int i = 0; i < 3; i++)
        monitor_lock(&m);
    a.start([&] { return notify(&m), 0; });
    EXPECT_EQ(0, monitor_wait(&m));
    EXPECT_EQ(2, m.count);
    ASSERT_TRUE(a.done());
    monitor_notify(&m);  // nobody waits: not remembered
    auto t0 = steady_clock::now();
    EXPECT_EQ(110, monitor_wait_timeout(&m, 60));
    EXPECT_GE(elapsed_ms(t0), 50);
    EXPECT_EQ(2, m.count);
    for (int i = 0; i < 3; i++)
        monitor_unlock(&m);
    EXPECT_EQ(nullptr, m.owner.load());
}

TEST_F(Threads, NotifyWakesWaitersInArrivalOrder)
{
    Runner c("c");
    Runner* w[] = {&a, &b, &c};
    for (int i = 0; i < 3; i++) {
        w[i]->start([&] { return lock_and_wait(&m); });
        ASSERT_TRUE(queued(&m, i + 1));
    }
    notify(&m);
    EXPECT_TRUE(a.done());
    EXPECT_TRUE(queued(&m, 2) && b.result == -1 && c.result == -1);
    auto notify_all = [&] { monitor_lock(&m), monitor_notify_all(&m), monitor_unlock(&m); };
    notify_all();
    bool all = a.done(1000) && b.done(1000) && c.done(1000);
    if (!all)  // release the stuck ones before tearing down
        eventually([&] { return notify_all(), a.result != -1 && b.result != -1 && c.result != -1; });
    EXPECT_TRUE(all);
    EXPECT_EQ(0, a.result + b.result + c.result);
}

TEST_F(Threads, PendingInterruptEndsNextWaitAtOnce)
{
    thread_t* self = thread_self();
    testing::internal::CaptureStdout();
    thread_interrupt(self);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "thread_signal: 'main_thread' got #10\n")) << out;
    auto t0 = steady_clock::now();
    EXPECT_EQ(EINTR, lock_and_wait(&m, 10000));
    EXPECT_EQ(0, thread_is_interrupted(self));
    EXPECT_LT(elapsed_ms(t0), 3000);
}

// Interrupts aimed at the moment a wait begins, before the waiter is queued
// and asleep: each must still end that wait.
TEST_F(Threads, InterruptAtWaitEntryIsNeverLost)
{
    const int kRounds = 2000;
    std::atomic<int> rounds{0}, not_interrupted{0};
    std::atomic<bool> quit{false};
    QuietStdout quiet;
    a.start([&] {
        for (; rounds < kRounds && !quit; rounds++)
            not_interrupted += lock_and_wait(&m) != EINTR;
        return 0;
    });
    int lost = 0;
    auto t0 = steady_clock::now();
    for (int i = 0; i < kRounds && lost == 0 && elapsed_ms(t0) < 20000; i++) {
        while (a.t.wait_mon.load() == nullptr && elapsed_ms(t0) < 20000)
            thread_yield();
        thread_interrupt(&a.t);
        lost += !eventually([&] { return rounds > i; }, 2000);
    }
    quit = true;  // and free a waiter that lost its interrupt
    for (t0 = steady_clock::now(); a.result == -1 && elapsed_ms(t0) < 10000; a.done(10))
        thread_interrupt(&a.t);
    ASSERT_NE(-1, a.result);
    EXPECT_EQ(0, lost);
    EXPECT_EQ(0, not_interrupted);
}

// A waiter both interrupted and notified hands the notification on.
TEST_F(Threads, InterruptedWaiterPassesItsNotificationOn)
{
    a.start([&] { return lock_and_wait(&m); });
    ASSERT_TRUE(queued(&m, 1));
    b.start([&] { return lock_and_wait(&m); });
    ASSERT_TRUE(queued(&m, 2));
    testing::internal::CaptureStdout();
    monitor_lock(&m);
    thread_interrupt(&a.t);  // a is flagged but cannot run: we own m
    monitor_notify(&m);
    monitor_unlock(&m);
    bool both = a.done() && b.done();
    testing::internal::GetCapturedStdout();
    if (!both)
        thread_interrupt(&b.t);
    ASSERT_TRUE(both);
    EXPECT_EQ(EINTR, a.result);
    EXPECT_EQ(0, b.result);
}

// Finished threads are reclaimed whether joined or restarted without a join
// (each leaked one keeps its stack mapped), while another thread interrupts
// the record throughout.
TEST_F(Threads, StartJoinCyclesReclaimEverything)
{
    QuietStdout quiet;
    long before = vm_size_kb();
    thread_t t;
    thread_init(&t, "cycled");
    std::atomic<bool> stop{false};
    a.start([&] {
        for (; !stop; thread_yield())
            thread_interrupt(&t);
        return 0;
    });
    for (int i = 0; i < 300; i++) {
        thread_start(&t, [](void*) -> void* { return thread_sleep(0), nullptr; }, nullptr);
        if (i % 3 == 0)
            thread_join(&t);
        else
            eventually([&] { return t.state == FINISHED; });
    }
    long growth_mb = (vm_size_kb() - before) / 1024;
    stop = true;
    ASSERT_TRUE(a.done());
    thread_done(&t);
    EXPECT_LT(growth_mb, 256);
}

TEST_F(ThreadsDeathTest, MisuseEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (bool owned_elsewhere : {false, true}) {
        if (owned_elsewhere) {  // m stays owned by a finished thread
            a.start([&] { return monitor_lock(&m), 0; });
            ASSERT_TRUE(a.done());
            thread_join(&a.t);  // a finished but unjoined thread is a leak to TSan
        }
        // These errors go to standard output: route it to the checked stream.
        const std::pair<void (*)(monitor_t*), std::string> misuse[] = {
            {monitor_unlock, "monitor_unlock"}, {[](monitor_t* x) { monitor_wait(x); }, "monitor_wait0"},
            {monitor_notify, "monitor_notify"}, {monitor_notify_all, "monitor_notify_all"}};
        for (auto& [fn, name] : misuse)
            EXPECT_EXIT((dup2(2, 1), fn(&m)), testing::ExitedWithCode(1),
                        name + ": monitor not owned by this thread!\n");
    }
}

// Interruption must also break a blocking system call (SIGUSR1, no restart):
// a stalled reader depends on it.
TEST_F(Threads, InterruptBreaksABlockingRead)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    a.start([&] {
        char c;
        ssize_t n = read(fds[0], &c, 1);
        return n < 0 && errno == EINTR ? 1000 : static_cast<int>(n);
    });
    // The reader may not be inside read() yet when a signal lands: repeat.
    testing::internal::CaptureStdout();
    for (auto t0 = steady_clock::now(); a.result == -1 && elapsed_ms(t0) < 5000; a.done(20))
        thread_interrupt(&a.t);
    std::string out = testing::internal::GetCapturedStdout();
    if (a.result == -1 && write(fds[1], "x", 1) != 1)
        ADD_FAILURE() << "cannot release the reader";
    ASSERT_TRUE(a.done());
    EXPECT_EQ(1000, a.result);
    EXPECT_TRUE(has(out, "thread_signal: 'a' got #10\n")) << out;
    close(fds[0]);
    close(fds[1]);
}

// Many threads locking (nested), waiting (timed and untimed), notifying,
// interrupting and sleeping at random for a second: every wait returns one of
// 0/110/4 at its old depth, and one interrupt per worker ends the run (no
// lost interrupt, no deadlock). Mostly here for ThreadSanitizer.
TEST_F(Threads, RandomMixKeepsInvariants)
{
    QuietStdout quiet;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, waits{0};
    std::vector<std::unique_ptr<Runner>> w;
    for (int i = 0; i < 6; i++)
        w.push_back(std::make_unique<Runner>("worker"));
    for (int i = 0; i < 6; i++) {
        w[i]->start([&, i] {
            std::minstd_rand rng(i);
            for (; !stop; thread_yield()) {
                int op = rng() % 10;  // 0-3 wait, 4-5 notify, 6-7 interrupt, 8 sleep
                int depth = op < 6 ? 1 + rng() % 3 : 0;
                for (int d = 0; d < depth; d++)
                    monitor_lock(&m);
                if (op < 4) {
                    int r = op < 2 ? monitor_wait(&m) : monitor_wait_timeout(&m, 1 + rng() % 5);
                    ++waits;
                    bad += (r != 0 && r != EINTR && !(op >= 2 && r == ETIMEDOUT)) ||
                           m.owner.load() != thread_self() || m.count != depth - 1;
                } else if (op < 6) {
                    op == 5 ? monitor_notify_all(&m) : monitor_notify(&m);
                } else if (op < 8) {
                    thread_interrupt(&w[rng() % 6]->t);
                } else if (op == 8) {
                    thread_sleep(rng() % 3);
                }
                for (int d = 0; d < depth; d++)
                    monitor_unlock(&m);
            }
            return 0;
        });
    }
    std::minstd_rand rng(7);
    for (auto t0 = steady_clock::now(); elapsed_ms(t0) < 1000; usleep(500))
        thread_interrupt(&w[rng() % 6]->t);  // all may sit in untimed waits
    stop = true;
    for (int i = 0; i < 6; i++)
        thread_interrupt(&w[i]->t);
    auto all_done = [&] { return std::all_of(w.begin(), w.end(), [](auto& r) { return r->result != -1; }); };
    bool ended = eventually(all_done, 10000);
    if (!ended)  // release the stuck ones before tearing down
        eventually([&] { notify_all_of(&m); return all_done(); }, 10000);
    EXPECT_TRUE(ended) << "a worker still waits: an interrupt was lost";
    EXPECT_EQ(0, bad);
    EXPECT_GT(waits, 100);
    w.clear();
}
