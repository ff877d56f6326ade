#include <gtest/gtest.h>

#include "console.h"

namespace {

// Prints the word as typed and each argument in brackets.
int cmd_record(const char* name, int argc, const char** argv)
{
    printf("%s", name);
    for (int i = 0; i < argc; i++)
        printf(" [%s]", argv[i]);
    return printf("\n"), 1;
}
int cmd_seven(const char*, int, const char**) { return 7; }
int cmd_quit(const char*, int, const char**) { return -1; }

console_cmd_t test_cmds[] = {
    {"record", cmd_record, "Records its arguments.", "Records.\nLong text.\n", {}},
    {"averyveryverylongname", cmd_seven, "Returns seven.", nullptr, {}},
    {"quit", cmd_quit, "Asks to stop.", nullptr, {}},
    {"record", cmd_seven, "Shadowed by the first record.", nullptr, {}},
    {nullptr, nullptr, nullptr, nullptr, {}},
};

// Every case starts with `help` and the table above registered.
struct Console : testing::Test {
    int res = 0;  // what console_putch returned for the last character
    Console() { console_register_commands(test_cmds); }
    ~Console() override { console_done(); }
    // Types every byte of `input`; returns what was printed.
    std::string type(const std::string& input)
    {
        testing::internal::CaptureStdout();
        for (unsigned char c : input)
            res = console_putch(c);
        return testing::internal::GetCapturedStdout();
    }
};
using ConsoleDeathTest = Console;

// What the console prints for what is typed, line after line.
TEST_F(Console, LinesAndWhatTheyPrint)
{
    const std::string x504(CONSOLE_LINE_MAX - 1 - 7, 'x');  // what fits after "record "
    std::string words = "record";  // more words than count: the line is refused
    for (int k = 0; k < CONSOLE_MAX_ARGS + 4; k++)
        words += " w" + std::to_string(k);
    const std::pair<std::string, std::string> lines[] = {
        {"record a b\n", "record [a] [b]\n1>"},  // the first of two same names
        {"   record    a      b   \n", "record [a] [b]\n1>"},
        {words + "\n", "Error: more than " + std::to_string(CONSOLE_MAX_ARGS) + " words after the command!\n0>"},
        {"averyveryverylongname\n", "7>"},  // any result is the prompt
        {"RECORD a\n", "No such command.\n0>"},
        {"\n     \n\r", "0>0>0>"},
        {"record x\r\n", "record [x]\n1>0>"},  // CR LF: the line, then an empty one
        {"\b\b\brecorx\bd ab\b\n", "record [a]\n1>"},
        {"rec\tord\x1b\xff\x80\n", "<invalid_char=0x 9>\n<invalid_char=0x1b>\n<invalid_char=0xff>\n<invalid_char=0x80>\nrecord\n1>"},
        {std::string("record a\0b\x7f\n", 12), "record [ab\x7f]\n1>"},  // NUL is ignored, DEL kept
        {"record " + x504 + "yz\n", "<line_buffer_full>\n<line_buffer_full>\nrecord [" + x504 + "]\n1>"},
        {"record q\n", "record [q]\n1>"},  // the next line starts empty
        {"help\n", "commands are:\n----------------------------\n      help\tPrints command help.\n"
                   "    record\tRecords its arguments.\naveryveryv\tReturns seven.\n      quit\tAsks to stop.\n"
                   "    record\tShadowed by the first record.\n----------------------------\n"
                   "Type 'help <command>' for more details.\n1>"},
        {"help record\n", "Records.\nLong text.\n\n1>"},
        {"help averyveryverylongname extra\n", "Returns seven.\n1>"},
        {"help nosuch\n", "No such command.\n1>"},
        {"quit\n", ""},  // a handler's -1 ends the input: no prompt
    };
    for (const auto& [in, out] : lines)
        EXPECT_EQ(out, type(in)) << in;
    EXPECT_EQ(-1, res);
    EXPECT_EQ(-1, console_putch(-1));
}

TEST_F(Console, ExecRunsACopyCutLikeALine)
{
    const char line[] = "record\tone\vtwo\fthree";  // whitespace that cannot be typed
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, console_exec(line));
    EXPECT_EQ(1, console_exec(("record " + std::string(1000, 'a')).c_str()));
    EXPECT_EQ(0, console_exec(nullptr) + console_exec(""));
    EXPECT_EQ("record [one] [two] [three]\nrecord [" + std::string(CONSOLE_LINE_MAX - 1 - 7, 'a') + "]\n",
              testing::internal::GetCapturedStdout());
    EXPECT_STREQ("record\tone\vtwo\fthree", line);
}

TEST_F(Console, DoneForgetsTheCommandsAndTheTypedLine)
{
    type("record half");
    console_done();
    EXPECT_EQ("Prints command help.\n1>", type("help help\n"));  // help is back, on a fresh line
    EXPECT_EQ("No such command.\n0>", type("record\n"));
    console_register_commands(test_cmds);  // the records are free again
    EXPECT_EQ("record\n1>", type("record\n"));
}

TEST_F(ConsoleDeathTest, ARecordRegistersOnce)
{
    EXPECT_DEATH(console_register_command(&test_cmds[0]), "");
}

}  // namespace
