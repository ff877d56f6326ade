#include <cstdio>

#include "threads.h"
#include "velmor.h"

int main(int argc, char** argv)
{
    // A controlling process reads us through a pipe: every line must reach it
    // at once, never wait behind the next prompt.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    threads_init();
    return velmor_main(argc, argv);
}
