#include "console.h"

#include "outbox.h"

#include <cassert>
#include <cstdarg>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

static int cmd_help(const char* name, int argc, const char** argv);

static list_t commands;
static console_session_t stdin_session = {{}, 0, nullptr, 0, 0};
// The session whose line is running; null means standard output.
static console_session_t* current;

static console_cmd_t cmd_help_reg[] = {
    {"help", cmd_help, "Prints command help.", nullptr, {}},
    {nullptr, nullptr, nullptr, nullptr, {}},
};

// Records live in static zero-filled tables, so their links start null and a
// second registration of the same record fails the list's precondition.
static void console_append(console_cmd_t* cmd)
{
    list_append(&commands, &cmd->dlink);
}

void console_init(void)
{
    if (commands.head != nullptr)
        return;
    list_init(&commands);
    for (console_cmd_t* c = cmd_help_reg; c->name != nullptr; ++c)
        console_append(c);
}

// Forgets every command (their links are cleared, so the records can be
// registered again) and any partly typed line: console_init starts afresh.
void console_done(void)
{
    if (commands.head != nullptr) {
        while (list_remove_first(&commands) != nullptr) {
        }
    }
    commands.head = commands.tail = nullptr;
    stdin_session.pos = 0;
    stdin_session.overflow_told = 0;
}

void console_register_command(console_cmd_t* cmd)
{
    console_init();
    if (cmd == nullptr)
        return;
    console_append(cmd);
}

void console_register_commands(console_cmd_t* cmds)
{
    console_init();
    if (cmds == nullptr)
        return;
    for (console_cmd_t* c = cmds; c->name != nullptr; ++c)
        console_register_command(c);
}

static console_cmd_t* console_find_command(const char* name)
{
    assert(name != nullptr && name[0] != '\0');
    console_init();
    list_for_each_entry(c, &commands, console_cmd_t, dlink)
        if (strcmp(c->name, name) == 0)
            return c;
    return nullptr;
}

static bool is_space(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

static int console_exec_int(char* cmdline)
{
    if (cmdline == nullptr)
        return 0;

    char* p = cmdline;
    while (*p != '\0' && is_space(*p))
        ++p;
    if (*p == '\0')
        return 0;

    char* word = p;
    while (*p != '\0' && !is_space(*p))
        ++p;
    if (*p != '\0')
        *p++ = '\0';

    // A line with more words than the vector holds is refused whole: a
    // command run without its last words would do something not asked for.
    const char* argv[CONSOLE_MAX_ARGS + 1] = {};
    int argc = 0;
    for (;;) {
        while (*p != '\0' && is_space(*p))
            ++p;
        if (*p == '\0')
            break;
        if (argc == CONSOLE_MAX_ARGS) {
            console_printf("Error: more than %d words after the command!\n", CONSOLE_MAX_ARGS);
            return 0;
        }
        argv[argc++] = p;
        while (*p != '\0' && !is_space(*p))
            ++p;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }

    console_cmd_t* c = console_find_command(word);
    if (c == nullptr) {
        console_printf("No such command.\n");
        return 0;
    }
    return c->cmd(word, argc, argv);
}

int console_exec(const char* cmdline)
{
    if (cmdline == nullptr)
        return 0;
    char buf[CONSOLE_LINE_MAX];
    // Keep at most 511 characters, as line assembly does.
    snprintf(buf, sizeof buf, "%s", cmdline);
    return console_exec_int(buf);
}

int console_putch(int ch)
{
    if (stdin_session.out == nullptr)
        console_session_init(&stdin_session, stdout);
    return console_session_putch(&stdin_session, ch);
}

void console_session_init(console_session_t* s, FILE* out)
{
    assert(s != nullptr && out != nullptr);
    s->pos = 0;
    s->out = out;
    s->overflow_told = 0;
    s->tell_overflow_once = out != stdout;
}

int console_printf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = vfprintf(current != nullptr ? current->out : stdout, fmt, ap);
    va_end(ap);
    return n;
}

int console_session_putch(console_session_t* s, int ch)
{
    console_session_t* const outer = current;
    current = s;
    int res = 0;
    if (ch == -1) {
        res = -1;
    } else if (ch == 0) {
    } else if (ch == 8) {
        if (s->pos > 0)
            --s->pos;
    } else if (ch == 10 || ch == 13) {
        s->line[s->pos] = '\0';
        s->pos = 0;
        s->overflow_told = 0;
        res = console_exec_int(s->line);
        if (res != -1) {
            fprintf(s->out, "%d>", res);
            fflush(s->out);
        }
    } else if (ch >= 32 && ch <= 127) {
        if (s->pos > CONSOLE_LINE_MAX - 2) {
            if (!s->tell_overflow_once || !s->overflow_told)
                fprintf(s->out, "<line_buffer_full>\n");
            s->overflow_told = 1;
        } else {
            s->line[s->pos++] = static_cast<char>(ch);
        }
    } else {
        fprintf(s->out, "<invalid_char=0x%2x>\n", ch);
    }
    current = outer;
    return res;
}

void console_loop(void)
{
    console_init();
    printf("%d>", 0);
    fflush(stdout);
    for (;;) {
        // Answers that nobody reads stop the input, not the program.
        if (outbox_backlogged())
            outbox_wait_room();
        int ch = fgetc(stdin);
        if (ch == EOF) {
            // A signal aimed at this thread is not the end of the input.
            if (ferror(stdin) && errno == EINTR) {
                clearerr(stdin);
                continue;
            }
            break;
        }
        if (console_putch(ch) == -1)
            break;
    }
}

static int cmd_help(const char* /*name*/, int argc, const char** argv)
{
    if (argc >= 1) {
        console_cmd_t* c = console_find_command(argv[0]);
        if (c == nullptr)
            console_printf("No such command.\n");
        else
            console_printf("%s\n", c->doc != nullptr ? c->doc : c->help);
        return 1;
    }
    console_printf("commands are:\n");
    console_printf("----------------------------\n");
    list_for_each_entry(c, &commands, console_cmd_t, dlink)
        console_printf("%10.10s\t%s\n", c->name, c->help);
    console_printf("----------------------------\n");
    console_printf("Type 'help <command>' for more details.\n");
    return 1;
}
