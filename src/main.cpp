#include <csignal>
#include <cstdio>

#include "journal.h"
#include "outbox.h"
#include "threads.h"
#include "velmor.h"

int main(int argc, char** argv)
{
    // A controlling process reads us through a pipe: every line must reach it
    // at once, never wait behind the next prompt.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Under systemd each line gets its priority for the journal; whatever
    // the output, a reader that stops reading holds up nothing.
    outbox_start(journal_setup());
    // A reader of our output that goes away is no reason to die.
    signal(SIGPIPE, SIG_IGN);
    threads_init();
    return velmor_main(argc, argv);
}
