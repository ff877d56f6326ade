// Everything the program prints on standard output and error goes through
// one ordered queue that a writer thread of its own empties: a reader of the
// output that stops reading (a busy controller, a paused terminal) then
// holds up no stream, no renderer and no console. Lines of the main thread
// (the console's answers and prompts) are always kept, in their order;
// other threads' lines (diagnostics) are dropped and counted while the queue
// is full, and once it has drained one line says how many were lost.
// Before outbox_start everything is written at once, as stdio does.
#pragma once

#include <cstddef>

// Puts queueing writers in place of stdout and stderr (except those already
// replaced: `journal_mask` bit 0 stdout, bit 1 stderr) and starts the writer
// thread; whatever is queued at exit is written then, for a bounded time.
// The calling thread's lines are kept. Before any other thread starts.
void outbox_start(unsigned journal_mask);
// Queues bytes for descriptor `fd` (1 or 2), kept or droppable by the
// calling thread. What stdio's writers call.
void outbox_write(int fd, const char* text, size_t size);
// One diagnostic line for standard output from a signal handler: no lock,
// no allocation.
void outbox_signal_line(const char* text, size_t size);
// Whether the kept lines waiting are so many that the console should read
// no more input until they are written.
bool outbox_backlogged(void);
// Waits while outbox_backlogged, until outbox_release.
void outbox_wait_room(void);
// Ends every wait for room: the program is ending.
void outbox_release(void);
