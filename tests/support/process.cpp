#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

Child::Child(const std::vector<std::string>& argv, bool separate_stderr)
{
    // Separate errors go to a memory file: nothing to drain, it never fills.
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        (separate_stderr && (err_fd_ = memfd_create("stderr", MFD_CLOEXEC)) < 0))
        throw std::runtime_error("pipe failed");
    // A child that dies early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(separate_stderr ? err_fd_ : out[1], 2);
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
}

Child::Child(int socket_fd) : in_(dup(socket_fd)), out_fd_(socket_fd), reaped_(true)
{
    signal(SIGPIPE, SIG_IGN);
}

Child::~Child()
{
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int* fd : {&in_, &out_fd_, &err_fd_})
        close_fd(*fd);
}

void Child::close_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool Child::send(const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            return false;
        done += static_cast<size_t>(std::max<ssize_t>(n, 0));
    }
    return true;
}

bool Child::pump(milliseconds timeout)
{
    pollfd p = {out_fd_, POLLIN, 0};
    if (eof_ || poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return !eof_;
    char buf[65536];
    const ssize_t n = read(out_fd_, buf, sizeof buf);
    if (n > 0)
        out_.append(buf, static_cast<size_t>(n));
    eof_ = n <= 0;
    return !eof_;
}

const std::string& Child::errors() const
{
    struct stat st = {};
    if (err_fd_ >= 0 && fstat(err_fd_, &st) == 0) {
        err_.resize(static_cast<size_t>(st.st_size));
        err_.resize(static_cast<size_t>(std::max<ssize_t>(pread(err_fd_, err_.data(), err_.size(), 0), 0)));
    }
    return err_;
}

template <class Done>
bool Child::until(Done done, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || eof_)
            return false;
        pump(std::min(left, milliseconds(200)));
    }
    return true;
}

bool Child::wait_for(const std::string& needle, milliseconds timeout)
{
    return until([&] {
        const size_t at = out_.find(needle, pos_);
        if (at != std::string::npos)
            pos_ = at + needle.size();
        return at != std::string::npos;
    }, timeout);
}

bool Child::wait_seen(const std::string& needle, milliseconds timeout, int count)
{
    return until([&] {
        int seen = 0;
        for (size_t at = out_.find(needle); at != std::string::npos && seen < count; at = out_.find(needle, at + 1))
            ++seen;
        return seen >= count;
    }, timeout);
}

std::string Child::command(const std::string& line, char* result, milliseconds timeout)
{
    const size_t start = pos_;
    size_t at = start;
    send(line + "\n");
    // The prompt is the last thing a line's run prints.
    const bool prompt = until([&] {
        for (; (at = out_.find('>', at)) != std::string::npos; ++at)
            if (at > start && (out_[at - 1] == '0' || out_[at - 1] == '1'))
                return true;
        at = out_.size();
        return false;
    }, timeout);
    if (result != nullptr)
        *result = prompt ? out_[at - 1] : 0;
    if (!prompt)
        return out_.substr(start);
    pos_ = at + 1;
    return out_.substr(start, at - 1 - start);
}

int Child::wait_exit(milliseconds timeout, bool drain)
{
    const auto deadline = Clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
            reaped_ = true;
        } else if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
        } else if (!eof_ && drain) {
            pump(milliseconds(20));  // a full pipe would block the child
        } else {
            usleep(5000);
        }
    }
    while (!eof_ && pump(milliseconds(100))) {
    }
    return status_;
}

int run_shell(const std::string& cmd)
{
    const int st = system(cmd.c_str());
    return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
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
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::pair<int, int> usage_of(pid_t pid)
{
    const auto entries = [pid](const char* dir) {
        std::error_code ec;  // a process that is gone has none
        return static_cast<int>(std::distance(fs::directory_iterator("/proc/" + std::to_string(pid) + dir, ec), {}));
    };
    return {entries("/task"), entries("/fd")};
}
