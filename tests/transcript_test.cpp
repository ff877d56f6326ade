// Console transcripts: each tests/transcripts/*.txt runs over the player's
// standard input and over a control session, and must get the same answers
// over both. A file's lines:
//   # comment          >1 / >0 line sent, and its prompt's result
//   < exact answer line (`<` alone: an empty one)
//   ~ answer line matching an ECMAScript regex
// A command's expected answer lines follow its `>`; they are its own output,
// without the lines the reader and render threads print meanwhile. A last
// `> line` without a result (exit) must end the program with status 0.

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "player.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Step {
    std::string line;
    std::vector<std::string> answer;  // each prefixed with '<' (exact) or '~' (regex)
    char result = 0;                  // '0', '1', or 0: the program ends
    int at = 0;                       // line number of the `>`
};

std::vector<Step> parse(const std::string& path)
{
    std::vector<Step> steps;
    std::ifstream in(path);
    int n = 0;
    for (std::string l; std::getline(in, l);) {
        ++n;
        if (l.empty() || l[0] == '#')
            continue;
        if (l == "<")  // an empty answer line, whatever an editor does to trailing blanks
            l = "< ";
        const bool sent = l[0] == '>';
        const char result = sent && l.size() > 1 && l[1] != ' ' ? l[1] : 0;
        const size_t text_at = result != 0 ? 3 : 2;
        // Only the last line sent may lack a result.
        if (l.size() < text_at || l[text_at - 1] != ' ' || std::string_view("><~").find(l[0]) == std::string_view::npos ||
            (!sent && steps.empty()) || (result != 0 && result != '0' && result != '1') ||
            (!steps.empty() && steps.back().result == 0))
            throw std::runtime_error(path + ":" + std::to_string(n) + ": bad line '" + l + "'");
        if (sent)
            steps.push_back({l.substr(text_at), {}, result, n});
        else
            steps.back().answer.push_back(l[0] + l.substr(text_at));
    }
    return steps;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// Where `got` differs from a step's answer, or "".
std::string mismatch(const Step& s, const std::vector<std::string>& got)
{
    for (size_t i = 0; i < std::max(got.size(), s.answer.size()); ++i) {
        if (i >= got.size())
            return "missing line: " + s.answer[i];
        if (i >= s.answer.size())
            return "extra line: '" + got[i] + "'";
        const std::string& w = s.answer[i];
        const bool ok = w[0] == '<' ? got[i] == w.substr(1) : std::regex_match(got[i], std::regex(w.substr(1)));
        if (!ok)
            return "line " + std::to_string(i + 1) + ": got '" + got[i] + "', want " + w[0] + " " + w.substr(1);
    }
    return "";
}

struct Case {
    fs::path file;
    bool control;  // over a control session, else over standard input
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.file.filename().string(); }

class Transcript : public testing::TestWithParam<Case> {};

TEST_P(Transcript, SameAnswers)
{
    const auto steps = parse(GetParam().file);
    const bool control = GetParam().control;
    // A Player keeps the player's error log for a failure.
    const auto in = control ? nullptr : std::make_unique<Player>();
    const auto served = control ? std::make_unique<Served>() : nullptr;
    const auto session = control ? std::make_unique<Session>(served->sock) : nullptr;
    Child& player = control ? served->p : in->p;
    Child* const ch = control ? session.get() : &player;
    for (const Step& s : steps) {
        const std::string where = GetParam().file.filename().string() + ":" + std::to_string(s.at) + ": " + s.line;
        if (s.result == 0) {
            ch->send(s.line + "\n");
            EXPECT_EQ(0, player.wait_exit(10s)) << where;
            return;
        }
        char res = 0;
        const std::string out = foreground(ch->command(s.line, &res, 10s));
        ASSERT_NE(0, res) << where << ": no prompt\n" << out;  // the lines after it would only time out
        EXPECT_EQ(s.result, res) << where << "\n" << out;
        EXPECT_EQ("", mismatch(s, lines_of(out))) << where << "\n" << out;
    }
    if (control)
        kill(player.pid(), SIGTERM);
    else
        player.close_input();
    EXPECT_EQ(0, player.wait_exit(10s));
}

std::vector<Case> cases()
{
    std::vector<Case> out;
    for (const auto& e : fs::directory_iterator(VELMOR_TEST_DIR "/transcripts"))
        if (e.path().extension() == ".txt")
            for (bool control : {false, true})
                out.push_back({e.path(), control});
    return out;
}

std::string case_name(const testing::TestParamInfo<Case>& info)
{
    std::string n = info.param.file.stem().string() + (info.param.control ? "_control" : "_stdin");
    for (char& c : n)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Console, Transcript, testing::ValuesIn(cases()), case_name);

}  // namespace
