// Thread layer: reentrant monitors with FIFO waits, named threads with a
// registry, interruption (which also breaks blocking system calls through
// SIGUSR1), sleep and join.
#pragma once

#include <pthread.h>

#include <atomic>

#include "collections.h"

struct thread;
typedef struct thread thread_t;

// Locking has one rule: every lock of the program is a monitor, but the
// thread layer's own registry mutex and the std::mutex of the two layers
// below it that it prints through, where a monitor would make a cycle: the
// journal's, then the outbox's, innermost of all. A flag shared between
// threads is an atomic read without one. A monitor guards what its owner
// says and is held for short work, never across a blocking read or a
// picture's scaling. A thread that holds two takes them in one order: a
// frame pool's monitor or the renderer's streams_mon (never both at once),
// then the FFmpeg monitor; the stats and snapshot monitors are innermost of
// the monitors and take no other.
//
// Reentrant lock with its own wait queue. `owner` is read by other threads
// (interrupters, nested-lock tests), so it is atomic; `count` and `wait_list`
// belong to whoever holds `lock`.
struct monitor {
    pthread_mutex_t lock;              // default attributes, held by the owner and by waiters not asleep
    int count;                         // re-entries beyond the first
    std::atomic<thread_t*> owner;      // null when unowned, including inside the owner's wait
    list_t wait_list;                  // waiting threads, oldest first, linked through wait_item
};
typedef struct monitor monitor_t;

// STARTED and SUSPENDED are never entered: kept so that the states keep
// their numbers.
enum thread_state {
    CREATING = 0,
    STARTED = 1,
    RUNNING = 2,
    WAITING = 3,
    TIMED_WAITING = 4,
    BLOCKED = 5,
    SUSPENDED = 6,
    FINISHED = 7,
};
typedef enum thread_state thread_state_e;

// Fields that other threads read without a lock are atomic.
struct thread {
    pthread_t th;                          // the system thread; 0 when there is none to reclaim
    std::atomic<thread_state_e> state;
    char* name;                            // private copy; the main thread's is a constant
    std::atomic<char> interrupted;         // the pending interrupt
    pthread_cond_t wait_cv;                // used only by monitor waits, with the monitor's mutex
    std::atomic<monitor_t*> wait_mon;      // monitor being waited in, else null
    list_item_t thread_item;               // link in the registry
    list_item_t wait_item;                 // link in a monitor's wait queue
    void* (*run)(void*);
    void* run_arg;
};

// Monitors. Waits return 0 (notified), 110 (ETIMEDOUT) or 4 (EINTR).
void monitor_init(monitor_t* m);
void monitor_done(monitor_t* m);
void monitor_lock(monitor_t* m);
int monitor_try_lock(monitor_t* m);
void monitor_unlock(monitor_t* m);
int monitor_wait(monitor_t* m);
int monitor_wait_timeout(monitor_t* m, long millis);  // 0 ms: no time limit
void monitor_notify(monitor_t* mon);
void monitor_notify_all(monitor_t* mon);

// Threads.
void threads_init(void);
thread_t* thread_self(void);
void thread_init(thread_t* t, const char* name);
void thread_done(thread_t* t);
// 0, or the error number when no system thread could be made.
int thread_start(thread_t* t, void* (*run)(void*), void* arg);
int thread_is_alive(thread_t* thread);
void* thread_join(thread_t* t);
void thread_sleep(long ms);
void thread_yield(void);
int thread_interrupted(thread_t* thread);
int thread_is_interrupted(thread_t* thread);
void thread_interrupt(thread_t* thread);
