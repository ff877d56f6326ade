#include "threads.h"
#include "journal.h"
#include "outbox.h"

#include "sigsegv.h"

#include <sched.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cassert>
#include <ctime>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Registry mutex: guards threads_list, every record's `th`, and the moves into
// and out of CREATING and into FINISHED. Statically initialised and never
// destroyed, so a thread still ending while the process exits finds it intact.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cv = PTHREAD_COND_INITIALIZER;  // broadcast on RUNNING at start and on FINISHED
list_t threads_list;
pthread_key_t self_key = static_cast<pthread_key_t>(-1);
thread_t main_thread;
monitor_t sleep_mon;  // never notified: thread_sleep is a timed wait in it

// Holds the registry mutex for its scope.
struct registry_lock {
    registry_lock() { pthread_mutex_lock(&lock); }
    ~registry_lock() { pthread_mutex_unlock(&lock); }
    registry_lock(const registry_lock&) = delete;
    registry_lock& operator=(const registry_lock&) = delete;
};

[[noreturn]] void fatal(const char* func, const char* msg)
{
    printf("%s: %s\n", func, msg);
    exit(1);
}

bool key_ready()
{
    return self_key != static_cast<pthread_key_t>(-1);
}

// Without its record a thread can lock no monitor: no way on.
void set_self(thread_t* t, const char* func)
{
    if (pthread_setspecific(self_key, t) != 0)
        fatal(func, "pthread_setspecific() failed!");
}

// Appends text to a fixed buffer, truncating; safe inside a signal handler.
void put(char* buf, size_t size, size_t* len, const char* s)
{
    while (*s != '\0' && *len < size)
        buf[(*len)++] = *s++;
}

void put_int(char* buf, size_t size, size_t* len, int v)
{
    char digits[12];
    int n = 0;
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0)
        digits[n++] = '-';
    while (n > 0 && *len < size)
        buf[(*len)++] = digits[--n];
}

// Runs in the interrupted thread. stdio may be locked by the very code the
// signal interrupted, so the line is built here and handed on without a lock.
void thread_signal(int sig)
{
    int saved_errno = errno;
    thread_t* t = key_ready() ? static_cast<thread_t*>(pthread_getspecific(self_key)) : nullptr;
    // Between the end of the body and FINISHED the record is no longer ours.
    const char* name = t != nullptr && t->name != nullptr ? t->name : "(no thread record)";
    char buf[256];
    size_t len = 0;
    const size_t room = sizeof buf - 1;  // the newline always fits
    if (journal_active != 0)
        put(buf, room, &len, "<7>");  // the journal's debug priority (journal.h)
    put(buf, room, &len, "thread_signal: '");
    put(buf, room, &len, name);
    put(buf, room, &len, "' got #");
    put_int(buf, room, &len, sig);
    buf[len++] = '\n';
    outbox_signal_line(buf, len);
    errno = saved_errno;
}

// Without the handler the first interrupt would kill the process.
void initialise_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = thread_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: an interrupted system call must fail with EINTR
    if (sigaction(SIGUSR1, &sa, nullptr) != 0)
        fatal("initialise_signals", "sigaction() failed!");
}

// A record that no system thread runs yet.
void record_init(thread_t* t, char* name, const char* func)
{
    t->th = 0;
    t->state = CREATING;
    t->name = name;
    t->interrupted = 0;
    // Timed waits measure the monotonic clock, which a step of the wall
    // clock does not move.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const int err = pthread_cond_init(&t->wait_cv, &attr);
    pthread_condattr_destroy(&attr);
    if (err != 0)
        fatal(func, "pthread_cond_init() failed!");
    t->wait_mon = nullptr;
    list_item_init(&t->thread_item);
    list_item_init(&t->wait_item);
}

void finish(thread_t* t)
{
    registry_lock g;
    t->state = FINISHED;
    list_remove(&threads_list, &t->thread_item);
    pthread_cond_broadcast(&cv);
}

void thread_cleanup(void* arg)
{
    assert(arg != nullptr);
    thread_t* t = static_cast<thread_t*>(arg);
    printf("%s: for thread '%s'!\n", "thread_cleanup", t->name);
    finish(t);
    printf("%s: thread '%s' exited\n", "thread_cleanup", t->name);
}

void* thread_starter(void* arg)
{
    assert(arg != nullptr);
    assert(key_ready());
    thread_t* t = static_cast<thread_t*>(arg);
    set_self(t, "thread_starter");
    // top -H, ps -L and gdb show the registry's name (cut to the 15 bytes
    // the kernel keeps).
    char shown[16];
    snprintf(shown, sizeof shown, "%s", t->name);
    pthread_setname_np(pthread_self(), shown);
    // A stack overflow leaves no stack for the crash report: give every
    // thread an alternate one (only when the crash reporter is linked in).
    if (sigsegv_thread_init != nullptr)
        sigsegv_thread_init();
    printf("%s: start thread '%s'\n", "thread_starter", t->name);

    {
        registry_lock g;
        // Published by the thread itself, under the registry mutex, before it
        // counts as alive: interrupters read `th` only while it is alive.
        t->th = pthread_self();
        t->state = RUNNING;
        list_append(&threads_list, &t->thread_item);
        pthread_cond_broadcast(&cv);
    }

    void* res = nullptr;
    pthread_cleanup_push(thread_cleanup, t);
    res = t->run(t->run_arg);
    pthread_cleanup_pop(0);

    set_self(nullptr, "thread_starter");
    finish(t);
    printf("%s: thread '%s' exited\n", "thread_starter", t->name);
    return res;
}

// Joins the record's system thread if one was started and not yet joined,
// so that no started thread is left unreclaimed and nobody frees a record
// that its system thread can still read.
void* reclaim(thread_t* t, const char* func)
{
    pthread_t h;
    {
        registry_lock g;
        h = t->th;
    }
    if (h == 0)
        return nullptr;
    void* res = nullptr;
    if (pthread_join(h, &res) != 0)
        fatal(func, "pthread_join() failed!");
    registry_lock g;
    t->th = 0;
    return res;
}

void check_owner(monitor_t* m, const char* func)
{
    thread_t* self = thread_self();
    if (self == nullptr || m->owner.load() != self)
        fatal(func, "monitor not owned by this thread!");
}

}  // namespace

// ---------------------------------------------------------------- monitors

void monitor_init(monitor_t* m)
{
    assert(m != nullptr);
    int err = pthread_mutex_init(&m->lock, nullptr);
    if (err != 0) {
        printf("%s: Unable to initialize mutex for monitor! err=%d\n", "monitor_init", err);
        exit(1);
    }
    m->count = 0;
    m->owner.store(nullptr);
    list_init(&m->wait_list);
}

void monitor_done(monitor_t* m)
{
    assert(m != nullptr);
    assert(m->owner.load() == nullptr);
    assert(list_is_empty(&m->wait_list));
    pthread_mutex_destroy(&m->lock);
}

// Nests when the caller owns the monitor already.
static bool monitor_reenter(monitor_t* m, thread_t* self)
{
    if (m->owner.load(std::memory_order_relaxed) != self)
        return false;
    m->count++;
    return true;
}

// With the mutex freshly acquired.
static void monitor_take(monitor_t* m, thread_t* self)
{
    assert(m->owner.load() == nullptr && m->count == 0);
    m->owner.store(self);
}

void monitor_lock(monitor_t* m)
{
    assert(m != nullptr);
    thread_t* self = thread_self();
    assert(self != nullptr);
    if (monitor_reenter(m, self))
        return;
    if (pthread_mutex_trylock(&m->lock) != 0) {
        self->state = BLOCKED;
        if (pthread_mutex_lock(&m->lock) != 0)
            fatal("monitor_lock", "pthread_mutex_lock() failed!");
        self->state = RUNNING;
    }
    monitor_take(m, self);
}

int monitor_try_lock(monitor_t* m)
{
    assert(m != nullptr);
    thread_t* self = thread_self();
    assert(self != nullptr);
    if (monitor_reenter(m, self))
        return 1;
    if (pthread_mutex_trylock(&m->lock) != 0)
        return 0;
    monitor_take(m, self);
    return 1;
}

void monitor_unlock(monitor_t* m)
{
    assert(m != nullptr);
    check_owner(m, "monitor_unlock");
    if (m->count != 0) {
        m->count--;
        return;
    }
    m->owner.store(nullptr);
    pthread_mutex_unlock(&m->lock);
}

// Takes the oldest waiter off the queue and wakes it; with the mutex held.
static thread_t* monitor_wait_set_signal_next(monitor_t* mon)
{
    list_item_t* item = list_remove_first(&mon->wait_list);
    if (item == nullptr)
        return nullptr;
    thread_t* t = list_entry(item, thread_t, wait_item);
    pthread_cond_signal(&t->wait_cv);
    return t;
}

void monitor_notify(monitor_t* mon)
{
    assert(mon != nullptr);
    check_owner(mon, "monitor_notify");
    monitor_wait_set_signal_next(mon);
}

void monitor_notify_all(monitor_t* mon)
{
    assert(mon != nullptr);
    check_owner(mon, "monitor_notify_all");
    while (monitor_wait_set_signal_next(mon) != nullptr) {
    }
}

// An absolute deadline on the monotonic clock, the one every wait_cv
// measures.
static void deadline_after(struct timespec* ts, long long millis, long long nanos)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long sec = static_cast<long long>(now.tv_sec) + millis / 1000 + nanos / 1000000000LL;
    long long ns = nanos % 1000000000LL;
    ns += static_cast<long long>(now.tv_nsec) + (millis % 1000) * 1000000;
    sec += ns / 1000000000LL;
    ns %= 1000000000LL;
    if (sec > 0x7fffffffLL)
        sec = 0x7fffffffLL;
    ts->tv_sec = static_cast<time_t>(sec);
    ts->tv_nsec = static_cast<long>(ns);
}

// The wait behind both public ones.
static int monitor_wait0(monitor_t* mon, thread_t* self, long long ms, int interruptible)
{
    assert(mon != nullptr);
    assert(self != nullptr);
    assert(ms >= 0);
    if (mon->owner.load() != self)
        fatal("monitor_wait0", "monitor not owned by this thread!");

    // Give the monitor up but keep the mutex until asleep.
    int depth = mon->count;
    mon->owner.store(nullptr);
    mon->count = 0;
    // Published before `interrupted` is first read; thread_interrupt sets
    // `interrupted` before it reads `wait_mon`. With both sequentially
    // consistent, either this wait sees the interrupt or the interrupter sees
    // the wait and wakes it through the mutex hand-shake.
    self->wait_mon.store(mon);

    struct timespec ts = {};
    if (ms > 0) {
        deadline_after(&ts, ms, 0);
        self->state = TIMED_WAITING;
    } else {
        self->state = WAITING;
    }

    auto interrupt_pending = [&] { return interruptible != 0 && self->interrupted.load() != 0; };
    bool interrupted = false;
    int res = 0;
    if (interrupt_pending()) {
        // Never queued, so no notification can be ours to pass on.
        interrupted = true;
    } else {
        list_append(&mon->wait_list, &self->wait_item);
        // The flag itself is re-tested, with the mutex held, before every
        // sleep: an interrupt landing at any moment after the test above
        // ends the wait.
        while (!interrupt_pending() && res != ETIMEDOUT && self->wait_item.next != nullptr) {
            if (ms > 0) {
                res = pthread_cond_timedwait(&self->wait_cv, &mon->lock, &ts);
                if (res != ETIMEDOUT)
                    res = 0;
            } else {
                pthread_cond_wait(&self->wait_cv, &mon->lock);
            }
        }
        bool queued = self->wait_item.next != nullptr;
        if (res == ETIMEDOUT || interrupt_pending()) {
            interrupted = res != ETIMEDOUT;
            if (queued) {
                list_remove(&mon->wait_list, &self->wait_item);
            } else if (!list_is_empty(&mon->wait_list)) {
                // A notifier took us off the queue as the wait was ending for
                // another reason: hand its notification to the next waiter.
                monitor_wait_set_signal_next(mon);
            }
        } else {
            assert(!queued);
        }
    }

    self->state = RUNNING;
    self->wait_mon.store(nullptr);
    mon->count = depth;
    mon->owner.store(self);
    if (interrupted) {
        self->interrupted.store(0);
        res = EINTR;
    }
    return res;
}

int monitor_wait(monitor_t* m)
{
    return monitor_wait0(m, thread_self(), 0, 1);
}

int monitor_wait_timeout(monitor_t* m, long millis)
{
    return monitor_wait0(m, thread_self(), static_cast<long long>(millis), 1);
}

// ----------------------------------------------------------------- threads

void threads_init(void)
{
    if (threads_list.head != nullptr)
        return;
    list_init(&threads_list);
    if (pthread_key_create(&self_key, nullptr) != 0)
        fatal("threads_init", "pthread_key_create() failed!");
    monitor_init(&sleep_mon);

    thread_t* t = &main_thread;
    record_init(t, const_cast<char*>("main_thread"), "threads_init");
    t->th = pthread_self();
    t->state = RUNNING;
    set_self(t, "threads_init");
    {
        registry_lock g;
        list_append(&threads_list, &t->thread_item);
    }
    initialise_signals();
}

thread_t* thread_self(void)
{
    if (!key_ready())
        return nullptr;
    return static_cast<thread_t*>(pthread_getspecific(self_key));
}

void thread_init(thread_t* t, const char* name)
{
    assert(t != nullptr);
    assert(name != nullptr && name[0] != '\0');
    char* copy = strdup(name);
    if (copy == nullptr)
        fatal("thread_init", "out of memory!");
    record_init(t, copy, "thread_init");
}

void thread_done(thread_t* t)
{
    assert(t != nullptr);
    thread_join(t);
    free(t->name);
    t->name = nullptr;
    pthread_cond_destroy(&t->wait_cv);
}

int thread_start(thread_t* t, void* (*run)(void*), void* arg)
{
    assert(t != nullptr);
    assert(run != nullptr);
    assert(t->state == CREATING || t->state == FINISHED);
    // A finished run that nobody joined still holds a system thread.
    reclaim(t, "thread_start");

    {
        registry_lock g;
        t->state = CREATING;
        t->run = run;
        t->run_arg = arg;
    }

    // A task limit (TasksMax, pids.max) is the caller's failure, not the
    // program's: the record stays startable.
    pthread_t handle;
    if (const int err = pthread_create(&handle, nullptr, thread_starter, t); err != 0)
        return err;

    registry_lock g;
    while (t->state == CREATING)
        pthread_cond_wait(&cv, &lock);
    assert(pthread_equal(t->th, handle));
    return 0;
}

int thread_is_alive(thread_t* thread)
{
    assert(thread != nullptr);
    thread_state_e s = thread->state;
    return s != CREATING && s != FINISHED ? 1 : 0;
}

void* thread_join(thread_t* t)
{
    assert(t != nullptr);
    assert(t != thread_self());
    bool alive = thread_is_alive(t) != 0;
    void* res = reclaim(t, "thread_join");
    // A run found already finished yields null, whatever its body returned.
    return alive ? res : nullptr;
}

void thread_sleep(long ms)
{
    thread_t* self = thread_self();
    assert(ms >= 0);
    assert(self != nullptr);
    if (ms == 0)
        ms = 1;
    monitor_lock(&sleep_mon);
    monitor_wait_timeout(&sleep_mon, ms);
    monitor_unlock(&sleep_mon);
}

void thread_yield(void)
{
    sched_yield();
}

int thread_interrupted(thread_t* thread)
{
    assert(thread != nullptr);
    return thread->interrupted.exchange(0) != 0 ? 1 : 0;
}

int thread_is_interrupted(thread_t* thread)
{
    assert(thread != nullptr);
    return thread->interrupted.load() != 0 ? 1 : 0;
}

void thread_interrupt(thread_t* thread)
{
    assert(thread != nullptr);
    pthread_t th;
    {
        registry_lock g;
        thread_state_e s = thread->state;
        if (s == CREATING || s == FINISHED)
            return;
        thread->interrupted.store(1);
        th = thread->th;
    }

    // Wake a monitor wait. The waiter re-tests `interrupted` with the mutex
    // held before each sleep, so the signal only has to reach a waiter that is
    // asleep or about to be: get the mutex, or see that someone owns the
    // monitor (the waiter has then released the mutex inside its condition
    // wait, or finished waiting). The mutex is held without an owner only in
    // short transitions, which this loop waits out.
    monitor_t* m = thread->wait_mon.load();
    if (m != nullptr) {
        bool got = false;
        for (;;) {
            got = pthread_mutex_trylock(&m->lock) == 0;
            if (got || m->owner.load() != nullptr)
                break;
            sched_yield();
        }
        pthread_cond_signal(&thread->wait_cv);
        if (got)
            pthread_mutex_unlock(&m->lock);
    }

    // Break a blocking system call. Only while the thread has not finished:
    // after that its handle may already be joined and reused. A thread past
    // its body may be gone already; pthread_kill's ESRCH then breaks nothing.
    registry_lock g;
    thread_state_e s = thread->state;
    if (s != CREATING && s != FINISHED && pthread_equal(thread->th, th))
        pthread_kill(th, SIGUSR1);
}
