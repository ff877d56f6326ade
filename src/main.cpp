#include <cstdio>

#include "console.h"

int main()
{
    // A controlling process reads us through a pipe: every line must reach it
    // at once, never wait behind the next prompt.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    console_init();
    console_loop();
    console_done();
    return 0;
}
