#include "outbox.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Diagnostics are dropped while this much waits (on top of what the pipe
// itself holds): a stalled reader costs a bounded amount of memory.
constexpr size_t diagnostics_max = 64 << 10;
// Kept lines past this stop the console's input instead, as a control
// session that does not read is closed at the same size.
constexpr size_t kept_max = 1 << 20;
// At exit: give up once the reader has taken nothing for this long, or
// after the whole time (SIGTERM must end the program within 2 s).
constexpr auto exit_stall = 400ms;
constexpr auto exit_most = 1200ms;

struct chunk_t {
    int fd;
    bool kept;
    std::string text;
};

struct box_t {
    std::mutex lock;
    std::condition_variable changed;  // queued, written, released
    std::deque<chunk_t> queue;
    size_t bytes = 0;
    std::atomic<size_t> kept_bytes{0};
    long dropped = 0;     // lines lost since the last notice
    bool writing = false;  // a chunk taken from the queue is being written
    bool released = false;
    clock_type::time_point written_at;
};

// Made once and never freed: the writer thread may still run while the
// process exits.
box_t* box = nullptr;
thread_local bool keeps_lines = false;

// Signal handlers' lines: a ring of slots claimed with atomics alone
// (sequence numbers as in Vyukov's bounded queue), moved into the queue by
// whoever takes the lock next.
struct slot_t {
    std::atomic<unsigned> seq;
    unsigned short size;
    char text[254];
};
constexpr unsigned ring_slots = 32;
slot_t ring[ring_slots];
std::atomic<unsigned> ring_put{0};
unsigned ring_take = 0;  // under box->lock
std::atomic<long> ring_dropped{0};

void write_all(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;  // a reader that is gone: nothing sensible to do
        p += w;
        n -= static_cast<size_t>(w);
    }
}

long lines_in(const char* text, size_t size)
{
    long n = 0;
    for (size_t i = 0; i < size; ++i)
        n += text[i] == '\n';
    return n > 0 ? n : 1;
}

// Under box->lock.
void queue_chunk(int fd, bool kept, const char* text, size_t size)
{
    if (!kept && box->bytes + size > diagnostics_max) {
        box->dropped += lines_in(text, size);
        return;
    }
    box->queue.push_back({fd, kept, std::string(text, size)});
    box->bytes += size;
    if (kept)
        box->kept_bytes += size;
    box->changed.notify_all();
}

// Under box->lock.
void take_signal_lines(void)
{
    for (;;) {
        slot_t& s = ring[ring_take % ring_slots];
        if (s.seq.load(std::memory_order_acquire) != ring_take + 1)
            break;
        queue_chunk(1, false, s.text, s.size);
        s.seq.store(ring_take + ring_slots, std::memory_order_release);
        ++ring_take;
    }
    box->dropped += ring_dropped.exchange(0);
}

void* drain(void*)
{
    keeps_lines = true;
    std::unique_lock<std::mutex> g(box->lock);
    for (;;) {
        take_signal_lines();
        if (box->dropped > 0 && box->bytes <= diagnostics_max / 2) {
            const long n = box->dropped;
            box->dropped = 0;
            box->writing = true;
            g.unlock();
            // Through stdio: the journal's writer gives it its priority.
            fprintf(stdout, "%ld lines dropped\n", n);
            fflush(stdout);
            g.lock();
            box->writing = false;
            continue;
        }
        if (box->queue.empty()) {
            box->changed.wait_for(g, 100ms);  // signal handlers cannot wake it
            continue;
        }
        chunk_t c = std::move(box->queue.front());
        box->queue.pop_front();
        box->writing = true;
        g.unlock();
        write_all(c.fd, c.text.data(), c.text.size());
        g.lock();
        box->writing = false;
        box->bytes -= c.text.size();
        if (c.kept)
            box->kept_bytes -= c.text.size();
        box->written_at = clock_type::now();
        box->changed.notify_all();
    }
    return nullptr;
}

void flush_at_exit(void)
{
    fflush(stdout);
    fflush(stderr);
    std::unique_lock<std::mutex> g(box->lock);
    const auto start = clock_type::now();
    box->written_at = start;
    while (!box->queue.empty() || box->writing || box->dropped > 0) {
        const auto now = clock_type::now();
        if (now - box->written_at > exit_stall || now - start > exit_most)
            return;
        box->changed.wait_for(g, 50ms);
    }
}

ssize_t queueing_write(void* cookie, const char* buf, size_t size)
{
    outbox_write(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buf, size);
    return static_cast<ssize_t>(size);
}

FILE* queueing(int fd)
{
    FILE* f = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w",
                          cookie_io_functions_t{nullptr, queueing_write, nullptr, nullptr});
    if (f != nullptr)
        setvbuf(f, nullptr, _IOLBF, 0);
    return f;
}

}  // namespace

void outbox_start(unsigned journal_mask)
{
    if (box != nullptr)
        return;
    for (unsigned i = 0; i < ring_slots; ++i)
        ring[i].seq.store(i, std::memory_order_relaxed);
    keeps_lines = true;
    fflush(stdout);
    fflush(stderr);
    if ((journal_mask & 1) == 0)
        if (FILE* f = queueing(1))
            stdout = f;
    if ((journal_mask & 2) == 0)
        if (FILE* f = queueing(2))
            stderr = f;
    box = new box_t;
    // No process-wide signal is the writer's to take: they stay with the
    // threads that wait for them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t;
    const int err = pthread_create(&t, nullptr, drain, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        delete box;  // without the writer, written at once as before
        box = nullptr;
        return;
    }
    pthread_detach(t);
    atexit(flush_at_exit);
}

void outbox_write(int fd, const char* text, size_t size)
{
    if (box == nullptr) {
        write_all(fd, text, size);
        return;
    }
    std::lock_guard<std::mutex> g(box->lock);
    take_signal_lines();
    queue_chunk(fd, keeps_lines, text, size);
}

void outbox_signal_line(const char* text, size_t size)
{
    if (box == nullptr) {
        write_all(STDOUT_FILENO, text, size);
        return;
    }
    unsigned pos = ring_put.load(std::memory_order_relaxed);
    for (;;) {
        const unsigned seq = ring[pos % ring_slots].seq.load(std::memory_order_acquire);
        const int lag = static_cast<int>(seq - pos);
        if (lag < 0) {
            ring_dropped.fetch_add(1);  // full
            return;
        }
        if (lag == 0 && ring_put.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed))
            break;
        if (lag > 0)
            pos = ring_put.load(std::memory_order_relaxed);
    }
    slot_t& s = ring[pos % ring_slots];
    s.size = static_cast<unsigned short>(std::min(size, sizeof s.text));
    memcpy(s.text, text, s.size);
    s.seq.store(pos + 1, std::memory_order_release);
}

bool outbox_backlogged(void)
{
    return box != nullptr && box->kept_bytes.load() > kept_max;
}

void outbox_wait_room(void)
{
    if (box == nullptr)
        return;
    std::unique_lock<std::mutex> g(box->lock);
    box->changed.wait(g, [] { return box->kept_bytes.load() <= kept_max || box->released; });
}

void outbox_release(void)
{
    if (box == nullptr)
        return;
    std::lock_guard<std::mutex> g(box->lock);
    box->released = true;
    box->changed.notify_all();
}
