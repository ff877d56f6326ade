// Runs a program with pipes on its standard input and output, for tests that
// drive the built player the way a controlling process would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

class Child {
public:
    // Starts argv[0] with stdin and stdout (and stderr, merged into stdout
    // unless separate_stderr) connected to pipes.
    explicit Child(const std::vector<std::string>& argv, bool separate_stderr = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Writes text to the child's standard input.
    bool send(const std::string& text);
    // Closes the child's standard input (end of input).
    void close_input();
    // Closes our end of the child's standard output: its next line fails.
    void close_output();

    // Reads until `needle` appears in the output after the read position;
    // returns true and moves the read position past it, or false on timeout
    // or end of output.
    bool wait_for(const std::string& needle,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Reads until `needle` appears `count` times in the whole output, without
    // moving the read position; false on timeout or end of output.
    bool wait_seen(const std::string& needle,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20), int count = 1);
    // Sends a line and waits for the next prompt; returns what came before
    // the prompt, and the prompt digit in *result ('0' or '1'; 0 on timeout).
    std::string command(const std::string& line, char* result = nullptr,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Everything read so far / from the read position on.
    const std::string& output() const { return out_; }
    std::string unread() const { return out_.substr(pos_); }
    const std::string& errors() const { return err_; }

    // Waits for the child to exit; returns its exit status, or -1 on
    // timeout (the child is then killed) or death by a signal (128 + signo
    // is returned for a signal).
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    pid_t pid() const { return pid_; }

private:
    // Reads what is available within the timeout; false at end of output.
    bool pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    size_t pos_ = 0;
    bool eof_ = false;
    int status_ = -1;
    bool reaped_ = false;
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
