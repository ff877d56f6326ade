#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velmor.h"

namespace {

const bool threads_ready = (threads_init(), true);

// A stream record with just what the watchdog needs.
struct WatchedStream {
    WatchedStream()
    {
        s = new stream_t{};
        monitor_init(&s->lock);
        s->name = strdup("cam1");
        thread_init(&s->reader, "cam1");
    }
    ~WatchedStream()
    {
        thread_done(&s->reader);
        monitor_done(&s->lock);
        free(s->name);
        delete s;
    }
    stream_t* s;
};

// Stands in for a blocked reader: counts the interrupts it receives, each
// ending one wait, until told to stop.
std::atomic<int> interrupts_seen;
std::atomic<int> reader_stop;
monitor_t idle_mon;

void* counting_reader(void*)
{
    monitor_lock(&idle_mon);
    while (reader_stop.load() == 0) {
        if (monitor_wait_timeout(&idle_mon, 20) == 4)
            interrupts_seen.fetch_add(1);
    }
    monitor_unlock(&idle_mon);
    return nullptr;
}

bool wait_until(const std::atomic<int>& v, int want)
{
    for (int i = 0; i < 500 && v.load() < want; ++i)
        thread_sleep(10);
    return v.load() >= want;
}

TEST(StreamState, Names)
{
    WatchedStream w;
    const char* expected[] = {"CREATING", "CONNECTING", "CONNECT_ERR", "CONNECTED", "RECONNECTING", "STOPPED"};
    for (int st = 0; st < 6; ++st) {
        w.s->state = static_cast<stream_state_e>(st);
        EXPECT_STREQ(expected[st], stream_get_state_name(w.s));
    }
    w.s->state = static_cast<stream_state_e>(6);
    EXPECT_STREQ("UNKNOWN", stream_get_state_name(w.s));
    w.s->state = static_cast<stream_state_e>(-1);
    EXPECT_STREQ("UNKNOWN", stream_get_state_name(w.s));
}

TEST(Watchdog, CheckInterruptsTheReaderOnlyOnceTheDeadlineIsReached)
{
    WatchedStream w;
    monitor_init(&idle_mon);
    interrupts_seen = 0;
    reader_stop = 0;
    thread_start(&w.s->reader, counting_reader, w.s);

    const long long now = 1'000'000;
    testing::internal::CaptureStdout();
    stream_check(w.s, now);  // nothing armed
    w.s->unblock_time = now + 1;
    stream_check(w.s, now);  // one millisecond early
    std::string quiet = testing::internal::GetCapturedStdout();
    EXPECT_EQ("", quiet);

    w.s->unblock_time = now;
    testing::internal::CaptureStdout();
    stream_check(w.s, now);
    ASSERT_TRUE(wait_until(interrupts_seen, 1));
    stream_check(w.s, now + 500);  // still armed: a second pass interrupts again
    ASSERT_TRUE(wait_until(interrupts_seen, 2));
    std::string out = testing::internal::GetCapturedStdout();
    const std::string line = "stream_check: block timeout is expired! interrupt stream reader 'cam1'!\n";
    // The signal handler's own lines come in between; count ours.
    size_t count = 0;
    for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
        ++count;
    EXPECT_EQ(2u, count) << out;
    EXPECT_EQ(now, w.s->unblock_time);  // left armed

    reader_stop = 1;
    thread_join(&w.s->reader);
    monitor_done(&idle_mon);
}

TEST(Watchdog, CallbackAnswersAnExpiredDeadlineOnce)
{
    WatchedStream w;
    set_block_timeout(w.s, 1);
    long long armed = w.s->unblock_time;
    while (current_time_in_millis() < armed) {
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(0, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(0, decode_interrupt_cb(w.s));
    EXPECT_EQ("stream_decode_interrupt_cb: block timeout is expired! interrupt stream reader 'cam1'!\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, w.s->unblock_time);
}

TEST(Watchdog, CallbackAnswersFlagsAtEveryPoll)
{
    WatchedStream w;
    set_block_timeout(w.s, 60'000);  // armed but far away
    EXPECT_EQ(0, stream_decode_interrupt_cb(w.s));
    w.s->terminate = 1;
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(1, decode_interrupt_cb(w.s));
    w.s->terminate = 0;
    w.s->force_reconnect = 1;
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    EXPECT_EQ(1, stream_decode_interrupt_cb(w.s));
    w.s->force_reconnect = 0;
    clear_block_timeout(w.s);
    EXPECT_EQ(0, w.s->unblock_time);
    EXPECT_EQ(0, stream_decode_interrupt_cb(w.s));
}

TEST(Watchdog, ArmingUsesTheClock)
{
    WatchedStream w;
    long long before = current_time_in_millis();
    set_block_timeout(w.s, 5000);
    long long after = current_time_in_millis();
    EXPECT_GE(w.s->unblock_time, before + 5000);
    EXPECT_LE(w.s->unblock_time, after + 5000);
}

TEST(WatchdogDeathTest, NonPositiveTimeoutEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    WatchedStream w;
    EXPECT_DEATH(set_block_timeout(w.s, 0), "timeout_millis > 0");
    EXPECT_DEATH(set_block_timeout(w.s, -5), "timeout_millis > 0");
    EXPECT_DEATH(stream_check(nullptr, 0), "stream != nullptr");
}

}  // namespace
