// Process set-up shared by the fuzzers: the program's global state as
// velmor_main makes it, a memory surface, and no way out to the network.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>

#include "reader.h"
#include "velmor.h"

extern "C" {
#include <libavutil/log.h>
}

inline void fuzz_process_init()
{
    // Streams named by the input may be URLs: give them a network of their
    // own with nothing in it, so that every connect fails at once. Fuzzed
    // input must never reach a real address, so without one we do not run.
    if (unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET): no private network for fuzzed URLs");
        _exit(1);
    }
    // The messages of the modules are of no use here; crash reports go to
    // standard error.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    }
    av_log_set_level(AV_LOG_QUIET);
    threads_init();
    velmor_start(fb_open_fake(800, 600));
}
