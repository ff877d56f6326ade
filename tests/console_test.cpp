#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"
#include "process.h"

namespace {

std::vector<std::string> last_args;
std::string last_name;
int calls;

int cmd_record(const char* name, int argc, const char** argv)
{
    ++calls;
    last_name = name;
    last_args.assign(argv, argv + argc);
    return 1;
}

int cmd_seven(const char*, int, const char**)
{
    return 7;
}

int cmd_quit(const char*, int, const char**)
{
    return -1;
}

console_cmd_t test_cmds[] = {
    {"record", cmd_record, "Records its arguments.", "Records.\nLong text.\n", {}},
    {"averyveryverylongname", cmd_seven, "Returns seven.", nullptr, {}},
    {"quit", cmd_quit, "Asks to stop.", nullptr, {}},
    {"record", cmd_seven, "Shadowed by the first record.", nullptr, {}},
    {nullptr, nullptr, nullptr, nullptr, {}},
};

class ConsoleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { console_register_commands(test_cmds); }
    void SetUp() override
    {
        calls = 0;
        last_args.clear();
        last_name.clear();
    }

    // Feeds every byte of `input` and returns what was printed and the
    // result of the last call.
    static std::string feed(const std::string& input, int* last = nullptr)
    {
        testing::internal::CaptureStdout();
        int res = 0;
        for (unsigned char c : input)
            res = console_putch(c);
        if (last != nullptr)
            *last = res;
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(ConsoleTest, PromptsCarryTheResult)
{
    int res = 0;
    EXPECT_EQ("1>", feed("record\n", &res));
    EXPECT_EQ(1, res);
    EXPECT_EQ("7>", feed("averyveryverylongname\n", &res));
    EXPECT_EQ(7, res);
    EXPECT_EQ("No such command.\n0>", feed("nosuch a b\n", &res));
    EXPECT_EQ(0, res);
    EXPECT_EQ("No such command.\n0>", feed("RECORD\n"));  // case-sensitive
    EXPECT_EQ(1, calls);  // only the first line reached the handler
}

TEST_F(ConsoleTest, HandlerAskingToStopGetsNoPrompt)
{
    int res = 0;
    EXPECT_EQ("", feed("quit\n", &res));
    EXPECT_EQ(-1, res);
    EXPECT_EQ(-1, console_putch(-1));
}

TEST_F(ConsoleTest, BlankLinesAndLineEndings)
{
    EXPECT_EQ("0>", feed("\n"));
    EXPECT_EQ("0>", feed("     \n"));
    EXPECT_EQ("0>", feed("\r"));
    // CR LF: the line, then an empty one.
    EXPECT_EQ("1>0>", feed("record x\r\n"));
    EXPECT_EQ(1, calls);
}

TEST_F(ConsoleTest, TokenizerSplitsOnRunsOfWhitespace)
{
    EXPECT_EQ("1>", feed("   record    a      b   \n"));
    EXPECT_EQ("record", last_name);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), last_args);
    // Whitespace other than blanks separates too (form feed and vertical tab
    // cannot be typed: they are invalid characters, but console_exec sees them).
    EXPECT_EQ(1, console_exec("record\ta\vb\fc"));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), last_args);
}

TEST_F(ConsoleTest, FirstRegisteredOfTwoSameNamesWins)
{
    EXPECT_EQ("1>", feed("record\n"));
    EXPECT_EQ(1, calls);
}

TEST_F(ConsoleTest, WordsBeyondSixteenArgumentsAreIgnored)
{
    std::string line = "record";
    for (int k = 0; k < 40; ++k)
        line += " w" + std::to_string(k);
    EXPECT_EQ("1>", feed(line + "\n"));
    ASSERT_EQ(16u, last_args.size());
    EXPECT_EQ("w0", last_args.front());
    EXPECT_EQ("w15", last_args.back());
}

TEST_F(ConsoleTest, BackspaceEditsTheBuffer)
{
    EXPECT_EQ("1>", feed("\b\b\brecorx\bd\n"));
    EXPECT_EQ(1, calls);
    EXPECT_EQ("1>", feed("record ab\b\n"));
    EXPECT_EQ((std::vector<std::string>{"a"}), last_args);
}

TEST_F(ConsoleTest, LineKeepsAt511Characters)
{
    std::string arg(511 - 7, 'x');  // "record " + arg = 511 characters
    std::string out = feed("record " + arg + "yz\n");
    EXPECT_EQ("<line_buffer_full>\n<line_buffer_full>\n1>", out);
    ASSERT_EQ(1u, last_args.size());
    EXPECT_EQ(arg, last_args[0]);
    // The buffer is reset after the long line.
    EXPECT_EQ("1>", feed("record q\n"));
    EXPECT_EQ((std::vector<std::string>{"q"}), last_args);
}

TEST_F(ConsoleTest, InvalidCharactersAreReportedAndDropped)
{
    EXPECT_EQ("<invalid_char=0x 9>\n<invalid_char=0x1b>\n<invalid_char=0xff>\n"
              "<invalid_char=0x80>\n1>",
              feed("rec\tord\x1b\xff\x80\n"));
    EXPECT_EQ(1, calls);
    // NUL is ignored silently; DEL is stored like a printable character.
    EXPECT_EQ("1>", feed(std::string("record a\0b\x7f\n", 12)));
    EXPECT_EQ((std::vector<std::string>{"ab\x7f"}), last_args);
}

TEST_F(ConsoleTest, ExecCopiesAndCutsLongStrings)
{
    const char* fixed = "record  one two";
    EXPECT_EQ(1, console_exec(fixed));
    EXPECT_STREQ("record  one two", fixed);
    EXPECT_EQ(0, console_exec(nullptr));
    EXPECT_EQ(0, console_exec(""));
    std::string longline = "record " + std::string(1000, 'a');
    EXPECT_EQ(1, console_exec(longline.c_str()));
    ASSERT_EQ(1u, last_args.size());
    EXPECT_EQ(511u - 7u, last_args[0].size());
}

TEST_F(ConsoleTest, HelpListsCommandsInRegistrationOrder)
{
    EXPECT_EQ("commands are:\n"
              "----------------------------\n"
              "      help\tPrints command help.\n"
              "    record\tRecords its arguments.\n"
              "averyveryv\tReturns seven.\n"
              "      quit\tAsks to stop.\n"
              "    record\tShadowed by the first record.\n"
              "----------------------------\n"
              "Type 'help <command>' for more details.\n"
              "1>",
              feed("help\n"));
}

TEST_F(ConsoleTest, HelpForOneCommand)
{
    EXPECT_EQ("Records.\nLong text.\n\n1>", feed("help record\n"));
    EXPECT_EQ("Returns seven.\n1>", feed("help averyveryverylongname extra\n"));
    EXPECT_EQ("Prints command help.\n1>", feed("help help\n"));
    EXPECT_EQ("No such command.\n1>", feed("help nosuch\n"));
}

TEST_F(ConsoleTest, RegisteringTheSameRecordTwiceIsRefused)
{
    EXPECT_DEATH(console_register_command(&test_cmds[0]), "");
}

// The built program, driven through pipes like a controlling process would.
TEST(ConsoleProgram, AnswersLinesThroughPipes)
{
    Child p({VELMOR_BINARY});
    ASSERT_TRUE(p.wait_for("0>")) << p.output();
    char res = 0;
    EXPECT_EQ("No such command.\n", p.command("nosuch", &res));
    EXPECT_EQ('0', res);
    std::string help = p.command("help", &res);
    EXPECT_EQ('1', res);
    EXPECT_NE(std::string::npos, help.find("      help\tPrints command help.\n")) << help;
    // A partial last line at end of input is not executed.
    p.send("nosuch");
    p.close_input();
    EXPECT_EQ(0, p.wait_exit());
    EXPECT_EQ(std::string::npos, p.unread().find("No such command.")) << p.unread();
}

TEST(ConsoleProgram, ExitsAtOnceOnEmptyInput)
{
    Child p({VELMOR_BINARY});
    p.close_input();
    EXPECT_EQ(0, p.wait_exit());
    // Start-up and shut-down messages surround the one prompt.
    std::string out = p.output();
    size_t prompt = out.find("0>");
    ASSERT_NE(std::string::npos, prompt) << out;
    EXPECT_EQ(std::string::npos, out.find('>', prompt + 2)) << out;
}

}  // namespace
