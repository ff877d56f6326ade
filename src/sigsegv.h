// Crash reporter: a memory fault anywhere in the process is written to syslog
// (signal information, registers, frame-pointer stack trace) and ends the
// process with status 255. The handler is installed by a static constructor
// of sigsegv.cpp before main runs; nothing has to call it.
#pragma once

// Only the program (and its crash test) links sigsegv.cpp, so the thread
// hook is weak: a caller tests it for null before calling, and in a build
// without the crash reporter it is null.
extern "C" {
// Gives the calling thread an alternate signal stack of its own, so that a
// fault caused by a stack overflow can still be reported. A thread calls it on
// itself, first thing; a thread that already has one keeps it. The stack is
// released when the thread ends.
void sigsegv_thread_init(void) __attribute__((weak));
}
