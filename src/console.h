// Line console: command registry, line assembly from single characters,
// tokenizer, result prompts and the input loop.
#pragma once

#include <cstdio>

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
    // Arguments after the command word: play's flags with 16 -o and 16 -d
    // options each and the URL.
    CONSOLE_MAX_ARGS = 80,
};

// One console user: the line being typed and where its commands' answers go.
// Standard input's session writes to standard output; other sessions (the
// control socket's clients) bring their own stream.
struct console_session {
    char line[CONSOLE_LINE_MAX];
    int pos;
    FILE* out;
    int overflow_told;  // a too long line is reported once, not per character
    int tell_overflow_once;
};
typedef struct console_session console_session_t;

void console_init(void);
void console_done(void);
void console_register_command(console_cmd_t* cmd);
void console_register_commands(console_cmd_t* cmds);
int console_exec(const char* cmdline);
int console_putch(int ch);

// Sets up a session that writes to `out` (its first prompt is the caller's).
void console_session_init(console_session_t* s, FILE* out);
// console_putch for one session: commands run with their answers going to
// the session's stream.
int console_session_putch(console_session_t* s, int ch);
// printf into the stream of the session whose command is running (standard
// output outside any): what command handlers print.
int console_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints the first prompt, then feeds standard input to console_putch until
// end of input or a handler asks to stop.
void console_loop(void);
