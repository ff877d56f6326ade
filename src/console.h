// Line console: command registry, line assembly from single characters,
// tokenizer, result prompts and the input loop.
#pragma once

#include "collections.h"

typedef int (*console_cmd_handler)(const char* name, int argc, const char** argv);

struct console_cmd {
    const char* name;         // command word, matched exactly
    console_cmd_handler cmd;  // 1 success, 0 failure, -1 ends the input loop
    const char* help;         // one-line description for the command list
    const char* doc;          // long description for `help <cmd>`, or null
    list_item_t dlink;        // link in the registry
};
typedef struct console_cmd console_cmd_t;

enum {
    CONSOLE_LINE_MAX = 512,  // line buffer size: 511 characters and the NUL
    CONSOLE_MAX_ARGS = 16,   // arguments after the command word
};

void console_init(void);
void console_done(void);
void console_register_command(console_cmd_t* cmd);
void console_register_commands(console_cmd_t* cmds);
int console_exec(const char* cmdline);
int console_putch(int ch);

// Prints the first prompt, then feeds standard input to console_putch until
// end of input or a handler asks to stop.
void console_loop(void);
