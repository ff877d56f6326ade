#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "threads.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct RegisterMainThread : testing::Environment {
    void SetUp() override { threads_init(); }
};
testing::Environment* const env = testing::AddGlobalTestEnvironment(new RegisterMainThread);

// Polls until pred holds, giving up after `ms`.
template <class Pred>
bool eventually(Pred pred, int ms = 5000)
{
    auto end = steady_clock::now() + milliseconds(ms);
    while (!pred()) {
        if (steady_clock::now() > end)
            return false;
        usleep(200);
    }
    return true;
}

long elapsed_ms(steady_clock::time_point t0)
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0).count();
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
        thread_start(&t, body, this);
    }
    static void* body(void* arg)
    {
        auto* r = static_cast<Runner*>(arg);
        r->result = r->fn();
        return nullptr;
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

// Sends standard output to /dev/null while alive: the stress tests interrupt
// thousands of times and every signal prints a line.
struct QuietStdout {
    int saved;
    QuietStdout()
    {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
    ~QuietStdout()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
};

const char kPassOn[] = "monitor_wait0: TODO! current code is not correct!\n";

}  // namespace

TEST(Threads, MainThreadIsRegisteredOnce)
{
    thread_t* self = thread_self();
    threads_init();
    ASSERT_EQ(self, thread_self());
    EXPECT_STREQ("main_thread", self->name);
    EXPECT_EQ(RUNNING, self->state.load());
    EXPECT_NE(nullptr, self->thread_item.next);
}

TEST(Monitor, WaitGivesUpEveryLevelAndRestoresDepth)
{
    monitor_t m;
    monitor_init(&m);
    monitor_lock(&m);
    monitor_lock(&m);
    monitor_lock(&m);
    EXPECT_EQ(2, m.count);

    std::atomic<int> rounds{0};
    Runner other("other");
    other.start([&] {
        for (int i = 0; i < 3; i++) {
            monitor_lock(&m);
            EXPECT_EQ(1, monitor_try_lock(&m));
            rounds++;
            monitor_unlock(&m);
            monitor_unlock(&m);
        }
        monitor_lock(&m);
        monitor_notify(&m);
        monitor_unlock(&m);
        return 0;
    });
    // While we own m the other thread blocks on its mutex.
    EXPECT_TRUE(eventually([&] { return other.t.state == BLOCKED && other.t.blocked_mon == &m; }));
    EXPECT_EQ(0, monitor_wait(&m));
    EXPECT_EQ(3, rounds);
    EXPECT_EQ(thread_self(), m.owner.load());
    EXPECT_EQ(2, m.count);
    monitor_unlock(&m);
    monitor_unlock(&m);
    EXPECT_EQ(thread_self(), m.owner.load());
    monitor_unlock(&m);
    EXPECT_EQ(nullptr, m.owner.load());
    ASSERT_TRUE(other.done());

    // try_lock of a monitor held elsewhere fails at once and blocks nothing.
    monitor_lock(&m);
    Runner probe("probe");
    probe.start([&] { return monitor_try_lock(&m) * 10 + (thread_self()->state == RUNNING); });
    ASSERT_TRUE(probe.done());
    EXPECT_EQ(1, probe.result);
    monitor_unlock(&m);
    monitor_done(&m);
}

TEST(Monitor, NotifyWakesWaitersInArrivalOrder)
{
    monitor_t m;
    monitor_init(&m);
    std::vector<int> order;  // guarded by m
    Runner w1("w1"), w2("w2"), w3("w3");
    Runner* w[] = {&w1, &w2, &w3};
    for (int i = 0; i < 3; i++) {
        w[i]->start([&, i] {
            monitor_lock(&m);
            int r = monitor_wait(&m);
            order.push_back(i + 1);
            monitor_unlock(&m);
            return r;
        });
        ASSERT_TRUE(queued(&m, i + 1));
    }
    monitor_lock(&m);
    monitor_notify(&m);
    monitor_unlock(&m);
    ASSERT_TRUE(w1.done());
    EXPECT_EQ(0, w1.result);
    EXPECT_TRUE(queued(&m, 2));
    EXPECT_EQ(-1, w2.result);
    EXPECT_EQ(-1, w3.result);

    monitor_lock(&m);
    monitor_notify_all(&m);
    EXPECT_EQ(0, queue_length(&m));
    monitor_unlock(&m);
    ASSERT_TRUE(w2.done() && w3.done());
    EXPECT_EQ(0, w2.result);
    EXPECT_EQ(0, w3.result);
    ASSERT_EQ(3u, order.size());
    EXPECT_EQ(1, order[0]);
    monitor_done(&m);
}

TEST(Monitor, TimeLimits)
{
    monitor_t m;
    monitor_init(&m);
    monitor_lock(&m);
    monitor_lock(&m);
    monitor_notify(&m);  // nobody waits: not remembered
    auto t0 = steady_clock::now();
    EXPECT_EQ(ETIMEDOUT, monitor_wait_timeout(&m, 60));
    long took = elapsed_ms(t0);
    EXPECT_GE(took, 50);
    EXPECT_LT(took, 3000);
    EXPECT_TRUE(list_is_empty(&m.wait_list));
    EXPECT_EQ(thread_self(), m.owner.load());
    EXPECT_EQ(1, m.count);
    monitor_unlock(&m);
    monitor_unlock(&m);

    // 0 ms means no limit.
    Runner w("untimed");
    w.start([&] { return lock_and_wait(&m, 0); });
    ASSERT_TRUE(queued(&m, 1));
    EXPECT_EQ(WAITING, w.t.state.load());
    monitor_lock(&m);
    monitor_notify(&m);
    monitor_unlock(&m);
    ASSERT_TRUE(w.done());
    EXPECT_EQ(0, w.result);

    struct timespec ts;
    getTimeoutRelative(&ts, 1000000000000000LL, 0);
    EXPECT_EQ(2147483647, ts.tv_sec);
    getTimeoutRelative(&ts, 1999, 0);
    EXPECT_NEAR(static_cast<double>(time(nullptr) + 2), static_cast<double>(ts.tv_sec), 1.0);
    EXPECT_LT(ts.tv_nsec, 1000000000L);
    monitor_done(&m);
}

TEST(Interrupt, PendingInterruptEndsNextWaitOrSleepAtOnce)
{
    monitor_t m;
    monitor_init(&m);
    thread_t* self = thread_self();

    testing::internal::CaptureStdout();
    thread_interrupt(self);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("thread_signal: 'main_thread' got #10\n")) << out;
    EXPECT_EQ(1, thread_is_interrupted(self));
    EXPECT_EQ(1, thread_is_interrupted(self));
    auto t0 = steady_clock::now();
    EXPECT_EQ(EINTR, lock_and_wait(&m, 10000));
    EXPECT_EQ(0, thread_is_interrupted(self));

    thread_interrupt(self);
    EXPECT_EQ(EINTR, lock_and_wait(&m));
    thread_interrupt(self);
    thread_sleep(10000);
    EXPECT_EQ(0, thread_is_interrupted(self));
    EXPECT_LT(elapsed_ms(t0), 3000);

    thread_interrupt(self);
    EXPECT_EQ(1, thread_interrupted(self));
    EXPECT_EQ(0, thread_interrupted(self));
    monitor_done(&m);
}

TEST(Interrupt, EndsWaitsAndSleeps)
{
    monitor_t m;
    monitor_init(&m);
    Runner w("waiter");
    w.start([&] { return lock_and_wait(&m) * 10 + thread_is_interrupted(thread_self()); });
    ASSERT_TRUE(queued(&m, 1));
    thread_interrupt(&w.t);
    ASSERT_TRUE(w.done());
    EXPECT_EQ(EINTR * 10, w.result);

    // The interrupter owns the monitor: no deadlock, the waiter returns once
    // it gets the monitor back.
    w.start([&] { return lock_and_wait(&m, 100000); });
    ASSERT_TRUE(queued(&m, 1));
    monitor_lock(&m);
    thread_interrupt(&w.t);
    EXPECT_EQ(-1, w.result);
    monitor_unlock(&m);
    ASSERT_TRUE(w.done());
    EXPECT_EQ(EINTR, w.result);

    w.start([&] {
        thread_sleep(100000);
        return thread_is_interrupted(thread_self());
    });
    ASSERT_TRUE(eventually([&] { return w.t.state == TIMED_WAITING; }));
    thread_interrupt(&w.t);
    ASSERT_TRUE(w.done());
    EXPECT_EQ(0, w.result);
    monitor_done(&m);
}

TEST(Interrupt, BreaksBlockingRead)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const int kFailedWithEintr = 1000;
    Runner r("reader");
    r.start([&] {
        char c;
        ssize_t n = read(fds[0], &c, 1);
        return n < 0 && errno == EINTR ? kFailedWithEintr : static_cast<int>(n);
    });
    // The reader may not be inside read() yet when a signal lands: repeat.
    testing::internal::CaptureStdout();
    auto t0 = steady_clock::now();
    while (r.result == -1 && elapsed_ms(t0) < 5000) {
        thread_interrupt(&r.t);
        r.done(20);
    }
    std::string out = testing::internal::GetCapturedStdout();
    if (r.result == -1 && write(fds[1], "x", 1) != 1)
        ADD_FAILURE() << "cannot release the reader";
    ASSERT_TRUE(r.done());
    EXPECT_EQ(kFailedWithEintr, r.result);
    EXPECT_NE(std::string::npos, out.find("thread_signal: 'reader' got #10\n"));
    close(fds[0]);
    close(fds[1]);
}

// Interrupts aimed at the moment a wait begins, before the waiter is queued
// and asleep: each must still end that wait.
TEST(Interrupt, InterruptAtWaitEntryIsNeverLost)
{
    monitor_t m;
    monitor_init(&m);
    const int kRounds = 2000;
    std::atomic<int> rounds{0}, not_interrupted{0};
    Runner w("entry");
    QuietStdout quiet;
    w.start([&] {
        for (int i = 0; i < kRounds; i++) {
            if (lock_and_wait(&m) != EINTR)
                not_interrupted++;
            rounds = i + 1;
        }
        return 0;
    });
    int lost = 0;
    auto t0 = steady_clock::now();
    for (int i = 0; i < kRounds && lost == 0 && elapsed_ms(t0) < 20000; i++) {
        while (w.t.wait_mon.load() == nullptr && elapsed_ms(t0) < 20000)
            thread_yield();
        thread_interrupt(&w.t);
        if (!eventually([&] { return rounds > i; }, 2000)) {
            lost++;
            while (!eventually([&] { return rounds > i; }, 10))
                thread_interrupt(&w.t);
        }
    }
    ASSERT_TRUE(w.done(20000));
    EXPECT_EQ(0, lost);
    EXPECT_EQ(0, not_interrupted);
    EXPECT_EQ(kRounds, rounds);
    monitor_done(&m);
}

TEST(Interrupt, IgnoredBeforeStartAndAfterFinish)
{
    Runner r("idle");
    testing::internal::CaptureStdout();
    thread_interrupt(&r.t);
    EXPECT_EQ(0, thread_is_interrupted(&r.t));
    r.start([] { return 0; });
    thread_join(&r.t);
    EXPECT_EQ(FINISHED, r.t.state.load());
    thread_interrupt(&r.t);
    EXPECT_EQ(0, thread_is_interrupted(&r.t));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string::npos, out.find("got #")) << out;
}

TEST(Interrupt, NotificationToInterruptedWaiterPassesOn)
{
    monitor_t m;
    monitor_init(&m);
    Runner w1("w1"), w2("w2");
    w1.start([&] { return lock_and_wait(&m); });
    ASSERT_TRUE(queued(&m, 1));
    w2.start([&] { return lock_and_wait(&m); });
    ASSERT_TRUE(queued(&m, 2));

    testing::internal::CaptureStdout();
    monitor_lock(&m);
    thread_interrupt(&w1.t);  // w1 is flagged but cannot run: we own m
    monitor_notify(&m);       // ...and now also notified
    monitor_unlock(&m);
    bool both = w1.done() && w2.done();
    std::string out = testing::internal::GetCapturedStdout();
    if (!both)
        thread_interrupt(&w2.t);
    ASSERT_TRUE(both);
    EXPECT_EQ(EINTR, w1.result);
    EXPECT_EQ(0, w2.result);
    EXPECT_NE(std::string::npos, out.find(kPassOn)) << out;
    monitor_done(&m);
}

// An interrupt pending on entry never queues, so it has no notification to
// hand on: the other waiter must stay asleep.
TEST(Interrupt, PendingInterruptInventsNoNotification)
{
    monitor_t m;
    monitor_init(&m);
    std::atomic<int> phase{0};
    Runner a("a"), b("b");
    a.start([&] {
        int first = lock_and_wait(&m);
        phase = 1;
        eventually([&] { return phase == 2; });
        return first * 1000 + lock_and_wait(&m);
    });
    ASSERT_TRUE(queued(&m, 1));
    thread_interrupt(&a.t);
    ASSERT_TRUE(eventually([&] { return phase == 1; }));
    b.start([&] { return lock_and_wait(&m); });
    ASSERT_TRUE(queued(&m, 1));
    thread_interrupt(&a.t);
    phase = 2;
    ASSERT_TRUE(a.done());
    EXPECT_EQ(EINTR * 1000 + EINTR, a.result);
    EXPECT_TRUE(queued(&m, 1));
    EXPECT_EQ(-1, b.result);
    monitor_lock(&m);
    monitor_notify(&m);
    monitor_unlock(&m);
    ASSERT_TRUE(b.done());
    EXPECT_EQ(0, b.result);
    monitor_done(&m);
}

TEST(Threads, StartJoinAndFinish)
{
    thread_t t;
    thread_init(&t, "worker");
    EXPECT_EQ(nullptr, thread_join(&t));  // never started

    // The body returns only once its joiner sleeps (in pthread_join), so the
    // join meets a live thread and must deliver the body's result.
    static int token;
    static std::atomic<pid_t> joiner{0};
    static thread_t* body_self;
    thread_start(&t, [](void*) -> void* {
        body_self = thread_self();
        eventually([] {
            pid_t tid = joiner;
            if (tid == 0)
                return false;
            std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            size_t paren = text.rfind(')');
            return paren != std::string::npos && text.compare(paren, 3, ") S") == 0;
        }, 10000);
        return &token;
    }, nullptr);
    EXPECT_EQ(1, thread_is_alive(&t));
    EXPECT_NE(nullptr, t.thread_item.next);
    Runner j("joiner");
    j.start([&] {
        joiner = gettid();
        return thread_join(&t) == &token ? 1 : 0;
    });
    ASSERT_TRUE(j.done(15000));
    EXPECT_EQ(1, j.result);
    EXPECT_EQ(&t, body_self);
    EXPECT_EQ(FINISHED, t.state.load());
    EXPECT_EQ(nullptr, t.thread_item.next);

    // A body that ends its thread early still leaves the record finished.
    testing::internal::CaptureStdout();
    thread_start(&t, [](void*) -> void* { pthread_exit(&token); }, nullptr);
    EXPECT_TRUE(eventually([&] { return t.state == FINISHED; }));
    thread_join(&t);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("thread_cleanup: for thread 'worker'!\n")) << out;
    EXPECT_NE(std::string::npos, out.find("thread_cleanup: thread 'worker' exited\n")) << out;
    EXPECT_EQ(nullptr, t.thread_item.next);

    // A restart keeps a pending interrupt.
    thread_start(&t, [](void*) -> void* {
        while (!thread_is_interrupted(thread_self()))
            thread_yield();
        return nullptr;
    }, nullptr);
    thread_interrupt(&t);
    EXPECT_TRUE(eventually([&] { return t.state == FINISHED; }));
    EXPECT_EQ(nullptr, thread_join(&t));  // found finished
    EXPECT_EQ(1, thread_is_interrupted(&t));
    static std::atomic<int> seen{-1};
    thread_start(&t, [](void*) -> void* {
        seen = thread_interrupted(thread_self());
        return nullptr;
    }, nullptr);
    EXPECT_TRUE(eventually([&] { return t.state == FINISHED; }));
    EXPECT_EQ(1, seen);
    thread_done(&t);
}

long vm_size_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0)
            return std::stol(line.substr(7));
    return -1;
}

// Records are freed right after thread_done (under ASan a late touch by the
// exiting system thread is a use-after-free); restarts without a join must
// still reclaim the earlier system thread (each leaked one keeps its stack
// mapped). Another thread interrupts the record throughout.
TEST(Stress, StartJoinCyclesReclaimEverything)
{
    QuietStdout quiet;
    for (int i = 0; i < 50; i++) {
        auto* t = new thread_t;
        thread_init(t, "short-lived");
        thread_start(t, [](void*) -> void* { return nullptr; }, nullptr);
        if (i % 2 != 0)
            eventually([&] { return t->state == FINISHED; });
        thread_done(t);
        delete t;
    }

    thread_t t;
    thread_init(&t, "cycled");
    std::atomic<bool> stop{false};
    Runner pest("pest");
    pest.start([&] {
        while (!stop) {
            thread_interrupt(&t);
            thread_yield();
        }
        return 0;
    });
    long before = vm_size_kb();
    for (int i = 0; i < 300; i++) {
        thread_start(&t, [](void*) -> void* {
            thread_sleep(0);
            return nullptr;
        }, nullptr);
        if (i % 3 == 0)
            thread_join(&t);
        else
            eventually([&] { return t.state == FINISHED; });
    }
    long growth_mb = (vm_size_kb() - before) / 1024;
    stop = true;
    ASSERT_TRUE(pest.done());
    thread_done(&t);
    EXPECT_LT(growth_mb, 256);
}

namespace {

struct StressShared {
    monitor_t m;
    long notified = 0;  // notifications that found a waiter (guarded by m)
    long woken = 0;     // waits that returned 0 (guarded by m)
    std::atomic<bool> stop{false};
    std::atomic<int> bad_result{0}, bad_owner{0}, spurious{0};
    std::vector<Runner*> workers;

    void notify(bool all)
    {
        int q = queue_length(&m);
        notified += all ? q : (q > 0 ? 1 : 0);
        all ? monitor_notify_all(&m) : monitor_notify(&m);
    }
    void waited(int r, int depth, bool timed)
    {
        if (r != 0 && r != EINTR && !(timed && r == ETIMEDOUT))
            bad_result++;
        if (m.owner.load() != thread_self() || m.count != depth - 1)
            bad_owner++;
        if (r == 0 && ++woken > notified)
            spurious++;
    }
    // Ends the run: one interrupt per worker must be enough for a worker
    // stuck in an untimed wait; notifications help those that wait for one.
    bool finish(bool by_interrupt)
    {
        stop = true;
        if (by_interrupt)
            for (Runner* w : workers)
                thread_interrupt(&w->t);
        return eventually([&] {
            if (!by_interrupt) {
                monitor_lock(&m);
                notify(true);
                monitor_unlock(&m);
            }
            for (Runner* w : workers)
                if (w->result == -1)
                    return false;
            return true;
        }, 10000);
    }
};

}  // namespace

TEST(Stress, UntimedWaitsLoseNoNotification)
{
    StressShared s;
    monitor_init(&s.m);
    std::vector<std::unique_ptr<Runner>> runners;
    for (int i = 0; i < 6; i++) {
        runners.push_back(std::make_unique<Runner>(i < 4 ? "waiter" : "notifier"));
        s.workers.push_back(runners.back().get());
    }
    for (int i = 0; i < 6; i++) {
        s.workers[i]->start([&s, i] {
            std::minstd_rand rng(i);
            while (!s.stop) {
                int depth = 1 + rng() % 3;
                for (int d = 0; d < depth; d++)
                    monitor_lock(&s.m);
                if (i < 4)
                    s.waited(monitor_wait(&s.m), depth, false);
                else
                    s.notify(rng() % 4 == 0);
                for (int d = 0; d < depth; d++)
                    monitor_unlock(&s.m);
                thread_yield();
            }
            return 0;
        });
    }
    usleep(1000 * 1000);  // the run's length, not a synchronisation
    bool ended = s.finish(false);
    ASSERT_TRUE(ended) << "a notified waiter never woke";
    EXPECT_EQ(0, s.bad_result);
    EXPECT_EQ(0, s.bad_owner);
    EXPECT_EQ(0, s.spurious);
    EXPECT_EQ(s.notified, s.woken);
    EXPECT_GT(s.woken, 100);
    runners.clear();
    monitor_done(&s.m);
}

TEST(Stress, MixedOperationsKeepInvariants)
{
    StressShared s;
    monitor_init(&s.m);
    std::vector<std::unique_ptr<Runner>> runners;
    for (int i = 0; i < 6; i++) {
        runners.push_back(std::make_unique<Runner>("mixed"));
        s.workers.push_back(runners.back().get());
    }
    std::atomic<long> interrupts_seen{0};
    bool ended;
    {
        QuietStdout quiet;
        for (int i = 0; i < 6; i++) {
            s.workers[i]->start([&s, &interrupts_seen, i] {
                std::minstd_rand rng(100 + i);
                while (!s.stop) {
                    int op = rng() % 10;
                    if (op < 6) {
                        int depth = 1 + rng() % 3;
                        for (int d = 0; d < depth; d++)
                            monitor_lock(&s.m);
                        if (op < 2) {
                            int r = monitor_wait(&s.m);
                            interrupts_seen += r == EINTR;
                            s.waited(r, depth, false);
                        } else if (op < 4) {
                            int r = monitor_wait_timeout(&s.m, 1 + rng() % 5);
                            interrupts_seen += r == EINTR;
                            s.waited(r, depth, true);
                        } else {
                            s.notify(op == 5);
                        }
                        for (int d = 0; d < depth; d++)
                            monitor_unlock(&s.m);
                    } else if (op < 8) {
                        thread_interrupt(&s.workers[rng() % 6]->t);
                    } else if (op == 8) {
                        thread_sleep(rng() % 3);
                    } else {
                        thread_yield();
                    }
                }
                return 0;
            });
        }
        // All workers may sit in untimed waits at once: keep stirring.
        std::minstd_rand rng(7);
        for (auto t0 = steady_clock::now(); elapsed_ms(t0) < 1500;) {
            usleep(500);
            if (rng() % 2 != 0) {
                thread_interrupt(&s.workers[rng() % 6]->t);
            } else {
                monitor_lock(&s.m);
                s.notify(rng() % 2 != 0);
                monitor_unlock(&s.m);
            }
        }
        ended = s.finish(true);
        if (!ended)
            s.finish(false);
    }
    ASSERT_TRUE(ended) << "an interrupt was lost: a worker still waits";
    EXPECT_EQ(0, s.bad_result);
    EXPECT_EQ(0, s.bad_owner);
    EXPECT_EQ(0, s.spurious);
    EXPECT_GT(interrupts_seen, 500);
    EXPECT_GT(s.woken, 500);
    runners.clear();
    monitor_done(&s.m);
}

TEST(ThreadsDeathTest, MisuseEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    monitor_t m;
    monitor_init(&m);
    // The ownership errors are printed on standard output: route it to the
    // stream the death test checks.
    EXPECT_EXIT((dup2(2, 1), monitor_unlock(&m)), testing::ExitedWithCode(1),
                "monitor_unlock: monitor not owned by this thread!");
    EXPECT_EXIT((dup2(2, 1), monitor_wait(&m)), testing::ExitedWithCode(1),
                "monitor_wait0: monitor not owned by this thread!");
    EXPECT_EXIT((dup2(2, 1), monitor_notify(&m)), testing::ExitedWithCode(1),
                "monitor_notify: monitor not owned by this thread!");

    Runner owner("owner");
    owner.start([&] {
        monitor_lock(&m);
        return 0;
    });
    ASSERT_TRUE(owner.done());
    thread_join(&owner.t);  // m stays owned by the finished thread
    EXPECT_EXIT((dup2(2, 1), monitor_notify_all(&m)), testing::ExitedWithCode(1),
                "monitor_notify_all: monitor not owned by this thread!");
    EXPECT_EXIT((dup2(2, 1), monitor_unlock(&m)), testing::ExitedWithCode(1),
                "monitor_unlock: monitor not owned by this thread!");

    monitor_t mine;
    monitor_init(&mine);
    monitor_lock(&mine);
    EXPECT_DEATH(monitor_wait_timeout(&mine, -1), "ms >= 0");
    monitor_unlock(&mine);
    EXPECT_DEATH(thread_sleep(-5), "ms >= 0");
    EXPECT_DEATH(thread_join(thread_self()), "thread_self");
    EXPECT_DEATH(thread_start(thread_self(), [](void*) -> void* { return nullptr; }, nullptr), "FINISHED");
    thread_t t;
    EXPECT_DEATH(thread_init(&t, ""), "name");
}
