#include <cstdio>

#include "console.h"

int main()
{
    console_init();
    console_loop();
    console_done();
    return 0;
}
