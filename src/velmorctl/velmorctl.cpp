// velmorctl: sends one command line to a running player's control socket,
// prints the answer and exits with the result of its prompt.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifndef VELMOR_VERSION
#define VELMOR_VERSION "unknown"
#endif

namespace {

const char default_path[] = "/run/velmor/control";

int usage(FILE* to, int status)
{
    fprintf(to,
            "usage: velmorctl [--control PATH] COMMAND [ARGUMENT...]\n"
            "  sends COMMAND to the player listening on PATH (default %s);\n"
            "  exit status 0 or 1 from the player's answer, 2 when it cannot be reached\n",
            default_path);
    return status;
}

bool write_all(int fd, const std::string& s)
{
    for (size_t at = 0; at < s.size();) {
        const ssize_t n = write(fd, s.data() + at, s.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* path = default_path;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (strcmp(argv[i], "--help") == 0)
            return usage(stdout, 0);
        if (strcmp(argv[i], "--version") == 0) {
            printf("velmorctl %s\n", VELMOR_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--control") != 0 || i + 1 >= argc)
            return usage(stderr, 2);
        path = argv[++i];
    }
    if (i >= argc)
        return usage(stderr, 2);
    std::string line;
    for (; i < argc; ++i) {
        if (strpbrk(argv[i], "\r\n") != nullptr) {
            fprintf(stderr, "velmorctl: one command line only\n");
            return 2;
        }
        if (!line.empty())
            line.push_back(' ');
        line.append(argv[i]);
    }

    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "velmorctl: control socket path '%s' is too long\n", path);
        return 2;
    }
    strcpy(addr.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "velmorctl: cannot connect to '%s': %s\n", path, strerror(errno));
        return 2;
    }
    // One line, then the end of our side: the player answers it, then closes.
    if (!write_all(fd, line + "\n") || shutdown(fd, SHUT_WR) != 0) {
        fprintf(stderr, "velmorctl: cannot send to '%s': %s\n", path, strerror(errno));
        return 2;
    }
    std::string answer;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    // The session's first prompt comes before the answer.
    if (answer.rfind("0>", 0) != 0) {
        fputs(answer.c_str(), stderr);
        fprintf(stderr, "velmorctl: no session on '%s'\n", path);
        return 2;
    }
    answer.erase(0, 2);
    const size_t n = answer.size();
    if (n >= 2 && answer[n - 1] == '>' && (answer[n - 2] == '0' || answer[n - 2] == '1')) {
        fwrite(answer.data(), 1, n - 2, stdout);
        return answer[n - 2] == '1' ? 0 : 1;
    }
    fwrite(answer.data(), 1, n, stdout);
    // `exit` ends the player without a prompt; anything else unanswered failed.
    return line.compare(0, 4, "exit") == 0 && (line.size() == 4 || line[4] == ' ') ? 0 : 1;
}
