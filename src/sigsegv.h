// Crash reporter: a memory fault anywhere in the process is written to syslog
// (signal information, registers, frame-pointer stack trace) and ends the
// process with status 255. The handler is installed by a static constructor
// of sigsegv.cpp before main runs; nothing has to call it.
#pragma once

#include <csignal>

// Only the program (and its crash test) links sigsegv.cpp, so the thread
// hooks are weak: a caller tests them for null before calling, and in a build
// without the crash reporter they are null.
extern "C" {
// Gives the calling thread an alternate signal stack of its own, so that a
// fault caused by a stack overflow can still be reported. A thread calls it on
// itself, first thing; a thread that already has one keeps it. The stack is
// released when the thread ends.
void sigsegv_thread_init(void) __attribute__((weak));
// Releases the calling thread's alternate stack before the thread ends.
// Optional: the end of the thread releases it too.
void sigsegv_thread_done(void) __attribute__((weak));
}

// Internals, declared for the crash test only; nothing in the program calls
// them.
int check_address(void* ptr);
void signal_segv(int signum, siginfo_t* info, void* ptr);
