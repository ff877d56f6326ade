// Bytes typed into the console: line assembly, the tokenizer and every
// command handler, with real streams started and stopped by the input.
#include <cstddef>
#include <cstdint>

#include "common.h"
#include "console.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_process_init();  // the commands are registered there
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    bool ended = false;
    for (size_t i = 0; i < size && !ended; ++i)
        ended = console_putch(data[i]) == -1;
    // Whatever line is left half typed, then the streams the input played:
    // each input starts from an empty line and no streams.
    if (!ended)
        console_putch('\n');
    console_exec("stopall");
    return 0;
}
