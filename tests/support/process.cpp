#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

using Clock = std::chrono::steady_clock;

Child::Child(const std::vector<std::string>& argv, bool separate_stderr)
{
    int in[2], out[2], err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (separate_stderr && pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // A child that dies early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The program gets SIGPIPE as it would anywhere else.
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(separate_stderr ? err[1] : out[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_fd_ = out[0];
    if (separate_stderr) {
        close(err[1]);
        err_fd_ = err[0];
    }
}

Child::~Child()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0)
        close(in_);
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

bool Child::send(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void Child::close_input()
{
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

void Child::close_output()
{
    if (out_fd_ >= 0) {
        close(out_fd_);
        out_fd_ = -1;
    }
    eof_ = true;
}

bool Child::pump(std::chrono::milliseconds timeout)
{
    pollfd fds[2];
    int nfds = 0;
    if (!eof_)
        fds[nfds++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0)
        fds[nfds++] = {err_fd_, POLLIN, 0};
    if (nfds == 0)
        return false;
    int r = poll(fds, static_cast<nfds_t>(nfds), static_cast<int>(timeout.count()));
    if (r <= 0)
        return !eof_;
    char buf[65536];
    for (int i = 0; i < nfds; ++i) {
        if (fds[i].revents == 0)
            continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (fds[i].fd == out_fd_) {
            if (n <= 0)
                eof_ = true;
            else
                out_.append(buf, static_cast<size_t>(n));
        } else {
            if (n <= 0) {
                close(err_fd_);
                err_fd_ = -1;
            } else {
                err_.append(buf, static_cast<size_t>(n));
            }
        }
    }
    return !eof_;
}

bool Child::wait_for(const std::string& needle, std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        size_t at = out_.find(needle, pos_);
        if (at != std::string::npos) {
            pos_ = at + needle.size();
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || eof_)
            return false;
        pump(std::min(left, std::chrono::milliseconds(200)));
    }
}

bool Child::wait_seen(const std::string& needle, std::chrono::milliseconds timeout, int count)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int seen = 0;
        for (size_t at = out_.find(needle); at != std::string::npos && seen < count; at = out_.find(needle, at + 1))
            ++seen;
        if (seen >= count)
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || eof_)
            return false;
        pump(std::min(left, std::chrono::milliseconds(200)));
    }
}

std::string Child::command(const std::string& line, char* result, std::chrono::milliseconds timeout)
{
    if (result != nullptr)
        *result = 0;
    size_t start = pos_;
    send(line + "\n");
    auto deadline = Clock::now() + timeout;
    // The prompt is a digit (or minus sign) run followed by '>' at the end of
    // what the program has written so far: it is the last thing a line's
    // execution prints.
    for (;;) {
        for (size_t at = out_.find('>', start); at != std::string::npos; at = out_.find('>', at + 1)) {
            if (at == 0 || (out_[at - 1] != '0' && out_[at - 1] != '1'))
                continue;
            std::string before = out_.substr(start, at - 1 - start);
            if (result != nullptr)
                *result = out_[at - 1];
            pos_ = at + 1;
            return before;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || eof_)
            return out_.substr(start);
        pump(std::min(left, std::chrono::milliseconds(200)));
    }
}

int Child::wait_exit(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            if (WIFEXITED(status))
                status_ = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                status_ = 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            status_ = -1;
            break;
        }
        // Keep draining output so the child never blocks on a full pipe.
        if (!eof_ || err_fd_ >= 0)
            pump(std::chrono::milliseconds(20));
        else
            usleep(5000);
    }
    while (!eof_ && pump(std::chrono::milliseconds(100))) {
    }
    return status_;
}

int run_shell(const std::string& cmd)
{
    int st = system(cmd.c_str());
    if (st == -1 || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/velmor-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    run_shell("rm -rf '" + path_ + "'");
}

// Threads and open descriptors of a process.
std::pair<int, int> usage_of(pid_t pid)
{
    std::pair<int, int> u{-1, 0};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            u.first = std::stoi(line.substr(8));
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = readdir(d))
            u.second += e->d_name[0] != '.';
        closedir(d);
    }
    return u;
}
