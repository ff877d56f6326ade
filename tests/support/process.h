// A program run with pipes on its standard input and output, driven the way
// a controlling process would; or a connected socket driven the same way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

class Child {
public:
    // Starts argv[0]; stderr goes into the output unless separate_stderr.
    explicit Child(const std::vector<std::string>& argv, bool separate_stderr = false);
    // Takes a connected socket (no process: wait_exit, pid are meaningless).
    explicit Child(int socket_fd);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool send(const std::string& text);
    void close_input() { close_fd(in_); }
    // Closes our end of the child's output: its next write fails.
    void close_output() { close_fd(out_fd_); eof_ = true; }

    // Reads until `needle` appears after the read position and moves past it; false on timeout or end of output.
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Reads until `needle` appears `count` times in the whole output; the read position stays.
    bool wait_seen(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                   int count = 1);
    // Sends a line and waits for the next prompt ("0>" or "1>"); returns what came before it, and its
    // digit in *result (0 on timeout).
    std::string command(const std::string& line, char* result = nullptr,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

    const std::string& output() const { return out_; }
    std::string unread() const { return out_.substr(pos_); }
    const std::string& errors() const;

    // The exit status, 128 + signo for a signal, or -1 on timeout (the child is then killed);
    // its output is read meanwhile only when `drain`.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(30), bool drain = true);
    pid_t pid() const { return pid_; }
    int output_fd() const { return out_fd_; }

private:
    // Reads until done() holds; false on timeout or end of output.
    template <class Done>
    bool until(Done done, std::chrono::milliseconds timeout);
    bool pump(std::chrono::milliseconds timeout);
    static void close_fd(int& fd);

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_;
    mutable std::string err_;
    size_t pos_ = 0;
    bool eof_ = false, reaped_ = false;
    int status_ = -1;
};

// Threads and open descriptors of a process.
std::pair<int, int> usage_of(pid_t pid);

// Runs a shell command to completion; returns its exit status.
int run_shell(const std::string& cmd);

// A fresh temporary directory, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
