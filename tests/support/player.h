// The built player driven through pipes, with the command answers kept
// apart from what the reader, render and thread layers print meanwhile.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "until.h"
#include "process.h"

// `all` without the lines that the reader, render and thread layers print at any moment.
inline std::string foreground(const std::string& all)
{
    static const char* const background[] = {"reader_thread: ", "thread_starter: ", "thread_cleanup: ",
                                             "thread_signal: ", "stream_check: ", "stream_decode_interrupt_cb: ",
                                             "render_"};
    std::string out;
    size_t at = 0;
    for (size_t nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = all.substr(at, nl + 1 - at);
        if (std::none_of(std::begin(background), std::end(background), [&](auto p) { return line.rfind(p, 0) == 0; }))
            out += line;
    }
    return out + all.substr(at);
}

class Player {
public:
    // FFmpeg's own log goes to errors(), apart from the console. `argv` may
    // run the player under another program or with options.
    explicit Player(const std::vector<std::string>& argv = {VELMOR_BINARY}) : p(argv, true)
    {
        EXPECT_TRUE(p.wait_for("0>")) << p.output();
    }
    // A failed test shows the end of that log too: a sanitizer's report, or
    // why a player ended early, is only there.
    ~Player()
    {
        const std::string& err = p.errors();
        if (testing::Test::HasFailure() && !err.empty())
            fprintf(stderr, "player's errors (end):\n%s\n",
                    err.substr(err.size() - std::min<size_t>(err.size(), 8192)).c_str());
    }

    // Runs a line; checks its prompt and returns what the command printed.
    std::string run(const std::string& line, char want)
    {
        char res = 0;
        all = p.command(line, &res);
        EXPECT_EQ(want, res) << line << "\n" << all;
        return foreground(all);
    }

    // Waits for text printed after everything seen so far, the last line's
    // run included.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout)
    {
        const size_t at = all.find(text);
        all.erase(0, at == std::string::npos ? std::string::npos : at + text.size());
        return at != std::string::npos || p.wait_for(text, timeout);
    }

    // Runs `list` until its answer holds every one of `lines` (states change
    // just after the messages that announce them); returns the last answer.
    std::string list_until(const std::vector<std::string>& lines,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::string out;
        until([&] {
            out = run("list", '1');
            return std::all_of(lines.begin(), lines.end(), [&](auto& l) { return out.find(l) != std::string::npos; });
        }, timeout, std::chrono::milliseconds(20));
        return out;
    }

    Child p;
    std::string all;  // what the last line's run printed, not yet waited for
};

inline sockaddr_un unix_address(const std::string& path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

// A player started a moment ago may not listen yet: tried for up to 10 s.
inline int connect_to(const std::string& path)
{
    const sockaddr_un addr = unix_address(path);
    int fd = -1;
    EXPECT_TRUE(until([&] {
        if (fd >= 0)
            close(fd);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }, std::chrono::seconds(10), std::chrono::milliseconds(20))) << path;
    return fd;
}

// One client of the control socket, past its first prompt, talking as velmorctl does.
struct Session : Child {
    explicit Session(const std::string& path) : Child(connect_to(path))
    {
        EXPECT_TRUE(wait_for("0>", std::chrono::seconds(10)));
    }
    std::string run(const std::string& line, char want)
    {
        char res = 0;
        const std::string out = command(line, &res, std::chrono::seconds(10));
        EXPECT_EQ(want, res) << line << "\n" << out;
        return out;
    }
};

// The player with a control socket in a fresh folder.
struct Served {
    TempDir dir;
    std::string sock = dir.file("control");
    Child p{{VELMOR_BINARY, "--control", sock}, true};
    Served() { EXPECT_TRUE(p.wait_for("0>")) << p.output() << p.errors(); }
};
