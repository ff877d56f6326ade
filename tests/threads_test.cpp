#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>

#include "until.h"
#include "threads.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class Pred>
bool eventually(Pred pred, int ms = 5000)
{
    return until(pred, std::chrono::milliseconds(ms), std::chrono::microseconds(200));
}

// A registered thread running a function; `result` is -1 while it runs.
struct Runner {
    thread_t t;
    std::function<int()> fn;
    std::atomic<int> result{0};
    explicit Runner(const char* name) { thread_init(&t, name); }
    ~Runner() { thread_done(&t); }
    void start(std::function<int()> f)
    {
        thread_join(&t);  // an earlier run may still be finishing
        fn = std::move(f), result = -1;
        thread_start(&t, [](void* r) -> void* { return static_cast<Runner*>(r)->run(); }, this);
    }
    void* run() { return result = fn(), nullptr; }
    bool done(int ms = 5000) { return eventually([&] { return result != -1; }, ms); }
};

int lock_and_wait(monitor_t* m, long ms = 0)
{
    monitor_lock(m);
    int r = monitor_wait_timeout(m, ms);
    return monitor_unlock(m), r;
}

// The line an interrupt prints in the interrupted thread.
std::string signal_line(const std::string& name)
{
    return "thread_signal: '" + name + "' got #" + std::to_string(SIGUSR1) + "\n";
}

void notify(monitor_t* m, bool all = false)
{
    monitor_lock(m);
    all ? monitor_notify_all(m) : monitor_notify(m);
    monitor_unlock(m);
}

// A monitor and three threads for each case, the main thread registered;
// standard output (a line per interrupt) captured, shown if the case fails.
struct Threads : testing::Test {
    monitor_t m;
    Runner a{"a"}, b{"b"}, c{"c"};
    std::string out;
    Threads() { threads_init(), monitor_init(&m), testing::internal::CaptureStdout(); }
    // A failed case may leave a runner stuck in a wait or a read: free it
    // (m may be owned for good by a finished thread).
    ~Threads() override
    {
        eventually([&] {
            for (Runner* r : {&a, &b, &c})
                thread_interrupt(&r->t);
            if (monitor_try_lock(&m))
                monitor_notify_all(&m), monitor_unlock(&m);
            return a.result != -1 && b.result != -1 && c.result != -1;
        }, 10000);
        out += testing::internal::GetCapturedStdout();
        if (HasFailure())
            fputs(out.c_str(), stdout);
    }
    // What the case has printed so far.
    const std::string& printed()
    {
        out += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return out;
    }
    // Starts r waiting in m; returns once it sleeps in m's queue (owning m
    // proves that it let go).
    bool queued(Runner& r)
    {
        r.start([&] { return lock_and_wait(&m); });
        bool waiting = eventually([&] { return r.t.state == WAITING; });
        return monitor_lock(&m), monitor_unlock(&m), waiting;
    }
};
using ThreadsDeathTest = Threads;

}  // namespace

// A wait gives up every level of a nested lock and takes them all back.
TEST_F(Threads, WaitRestoresTheDepthAndTimesOut)
{
    for (int i = 0; i < 3; i++)
        monitor_lock(&m);
    a.start([&] { return notify(&m), 0; });
    EXPECT_EQ(0, monitor_wait(&m));
    EXPECT_EQ(2, m.count);
    monitor_notify(&m);  // nobody waits: not remembered
    auto t0 = Clock::now();
    EXPECT_EQ(ETIMEDOUT, monitor_wait_timeout(&m, 60));
    EXPECT_GE(Clock::now() - t0, 50ms);
    EXPECT_EQ(2, m.count);
    b.start([&] { return monitor_try_lock(&m) * 10 + (b.t.state == RUNNING); });
    bool answered = b.done(2000);
    for (int i = 0; i < 3; i++)
        monitor_unlock(&m);
    EXPECT_TRUE(answered);
    EXPECT_EQ(1, b.result);  // refused at once, its state untouched
    EXPECT_EQ(nullptr, m.owner.load());
}

TEST_F(Threads, NotifyWakesWaitersInArrivalOrder)
{
    for (Runner* r : {&a, &b, &c})
        ASSERT_TRUE(queued(*r));
    notify(&m);
    EXPECT_TRUE(a.done());
    monitor_lock(&m);
    EXPECT_TRUE(m.wait_list.head == &b.t.wait_item && m.wait_list.tail == &c.t.wait_item);
    monitor_unlock(&m);
    notify(&m, true);
    EXPECT_TRUE(b.done(1000) && c.done(1000));
    EXPECT_EQ(0, a.result + b.result + c.result);
}

// A pending interrupt ends the next wait at once. A thread never started, or
// finished, has nothing to interrupt: a restart must not begin with an old
// interrupt pending.
TEST_F(Threads, PendingInterruptEndsTheNextWaitAndOnlyLiveThreadsTakeOne)
{
    thread_t* self = thread_self();
    thread_interrupt(self);
    EXPECT_EQ(1, thread_is_interrupted(self));  // looks without clearing
    EXPECT_EQ(EINTR, lock_and_wait(&m, 10000));
    EXPECT_EQ(0, thread_is_interrupted(self));  // the wait took it
    thread_interrupt(self);
    EXPECT_EQ(1, thread_interrupted(self));
    EXPECT_EQ(0, thread_interrupted(self));
    EXPECT_EQ(signal_line("main_thread") + signal_line("main_thread"), printed());
    thread_interrupt(&b.t);
    a.start([] { return 0; });
    thread_join(&a.t);
    thread_interrupt(&a.t);
    EXPECT_EQ(0, thread_is_interrupted(&a.t) + thread_is_interrupted(&b.t));
}

// Interrupts aimed at the moment a wait begins, before the waiter is queued
// and asleep: each must still end that wait.
TEST_F(Threads, InterruptAtWaitEntryIsNeverLost)
{
    std::atomic<int> rounds{0}, not_interrupted{0};
    std::atomic<bool> quit{false};
    a.start([&] {
        for (; rounds < 2000 && !quit; rounds++)
            not_interrupted += lock_and_wait(&m) != EINTR;
        return 0;
    });
    int lost = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < 2000 && lost == 0 && a.result == -1 && Clock::now() - t0 < 20s; i++) {
        eventually([&] { return a.t.state == WAITING || a.result != -1; });
        thread_interrupt(&a.t);
        lost += !eventually([&] { return rounds > i; }, 2000);
    }
    quit = true;  // and free a waiter that lost its interrupt
    ASSERT_TRUE(eventually([&] { return notify(&m, true), a.result != -1; }, 10000));
    EXPECT_EQ(0, lost);
    EXPECT_EQ(0, not_interrupted);
}

// A waiter both interrupted and notified hands the notification on.
TEST_F(Threads, InterruptedWaiterPassesItsNotificationOn)
{
    ASSERT_TRUE(queued(a) && queued(b));
    monitor_lock(&m);
    thread_interrupt(&a.t);  // a is flagged but cannot run: we own m
    monitor_notify(&m);
    monitor_unlock(&m);
    ASSERT_TRUE(a.done() && b.done());
    EXPECT_EQ(EINTR, a.result);
    EXPECT_EQ(0, b.result);
}

// An interrupt ends a sleep early and breaks a blocking system call (SIGUSR1
// without restart): stopping a stalled stream depends on both.
TEST_F(Threads, InterruptEndsSleepsAndBlockingReads)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    char ch;
    a.start([&] { return read(fds[0], &ch, 1) < 0 && errno == EINTR ? 1 : 0; });
    b.start([&] { return thread_sleep(20000), 1; });
    // The reader may not be inside read() yet when a signal lands: repeat.
    EXPECT_TRUE(eventually([&] {
        thread_interrupt(&a.t), thread_interrupt(&b.t), usleep(10000);
        return a.result != -1 && b.result != -1;
    }));
    if (a.result == -1)
        (void)!write(fds[1], "x", 1);  // free the reader before tearing down
    ASSERT_TRUE(a.done() && b.done(30000));
    EXPECT_EQ(1, a.result);
    EXPECT_NE(std::string::npos, printed().find(signal_line("a")));
    close(fds[0]), close(fds[1]);
}

// Finished threads are reclaimed whether joined or restarted without a join
// (each leaked one keeps its stack mapped), while another thread interrupts
// the record in every state.
TEST_F(Threads, StartJoinCyclesReclaimEverything)
{
    auto vm_mb = [] {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        return pages * sysconf(_SC_PAGESIZE) >> 20;
    };
    long before = vm_mb();
    std::atomic<bool> stop{false};
    a.start([&] {
        for (; !stop; thread_yield())
            thread_interrupt(&c.t);
        return 0;
    });
    for (int i = 0; i < 300; i++) {
        thread_start(&c.t, [](void*) -> void* { return thread_sleep(0), nullptr; }, nullptr);
        if (i % 3 == 0)
            thread_join(&c.t);
        else  // restarted unjoined
            eventually([&] { return c.t.state == FINISHED; });
    }
    EXPECT_LT(vm_mb() - before, 256);
    stop = true;
    ASSERT_TRUE(a.done());
}

TEST_F(ThreadsDeathTest, MonitorMisuseEndsTheProcess)
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
            EXPECT_EXIT((dup2(2, 1), fn(&m)), testing::ExitedWithCode(1), name + ": monitor not owned by this thread!\n");
    }
}
