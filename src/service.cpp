#include "service.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <systemd/sd-daemon.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "console.h"
#include "outbox.h"
#include "fbuffer.h"
#include "commands.h"
#include "render.h"

namespace {

enum {
    MAX_SESSIONS = 32,
    // Answers a client leaves unread past this: it is dropped, not served.
    MAX_PENDING = 1 << 20,
    READ_CHUNK = 4096,  // per client and wake-up, so no client starves the others
    PROBE_TRIES = 30,  // 100 ms apart: how long an old socket's owner may keep its backlog full
    MAX_SCRIPT_BYTES = 1 << 20,  // a script larger than this is refused
};

struct client_t {
    int fd = -1;
    FILE* out = nullptr;  // writes into `pending`
    console_session_t session{};
    std::string pending;  // answers not yet sent
    bool closing = false;  // the client has stopped sending
};

const char* script_path = nullptr;
std::vector<std::string> script_lines;
// The streams that the script's play lines started, by line.
std::vector<std::pair<std::string, std::string>> script_streams;
std::atomic<int> reload_requested{0};
std::string control_path;
int listen_fd = -1;
std::vector<std::unique_ptr<client_t>> clients;
int wake_pipe[2] = {-1, -1};
// Set by the quit-signal thread (or a handler: a lock-free atomic is safe there).
std::atomic<int> quit_requested{0};

ssize_t client_write(void* cookie, const char* buf, size_t size)
{
    static_cast<client_t*>(cookie)->pending.append(buf, size);
    return static_cast<ssize_t>(size);
}

void client_close(client_t* c)
{
    if (c->out != nullptr)
        fclose(c->out);
    if (c->fd >= 0)
        close(c->fd);
    c->out = nullptr;
    c->fd = -1;
}

void client_flush(client_t* c)
{
    while (!c->pending.empty()) {
        const ssize_t n = send(c->fd, c->pending.data(), c->pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c->pending.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The client is gone: what it would have read goes nowhere.
        c->pending.clear();
        c->closing = true;
        return;
    }
}

void client_accept(void)
{
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (clients.size() >= MAX_SESSIONS) {
        static const char busy[] = "Error: too many sessions!\n";
        (void)!send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        close(fd);
        return;
    }
    auto c = std::make_unique<client_t>();
    c->fd = fd;
    c->out = fopencookie(c.get(), "w", cookie_io_functions_t{nullptr, client_write, nullptr, nullptr});
    if (c->out == nullptr) {
        close(fd);
        return;
    }
    setvbuf(c->out, nullptr, _IONBF, 0);
    console_session_init(&c->session, c->out);
    fprintf(c->out, "%d>", 0);
    client_flush(c.get());
    clients.push_back(std::move(c));
}

// Feeds what the client sent to its session; false when a command ends the
// program.
bool client_read(client_t* c)
{
    char buf[READ_CHUNK];
    const ssize_t n = read(c->fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (n <= 0) {
        // A line cut short by the disconnection is dropped with the session.
        c->closing = true;
        return true;
    }
    for (ssize_t i = 0; i < n; ++i)
        if (console_session_putch(&c->session, static_cast<unsigned char>(buf[i])) == -1)
            return false;
    return true;
}

// Feeds standard input to its session: false on `exit`. Its end ends only
// the session: the control socket's clients go on.
bool stdin_read(bool* open)
{
    char buf[READ_CHUNK];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0) {
        *open = false;
        return true;
    }
    for (ssize_t i = 0; i < n; ++i)
        if (console_putch(static_cast<unsigned char>(buf[i])) == -1)
            return false;
    return true;
}

long long monotonic_ms(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// systemd's watchdog (WatchdogSec=): its period in ms, 0 when none.
long long watchdog_ms = 0;

// Tells systemd that the program lives: only from the main loop, and only
// while the render thread has passed its loop within half the period.
void watchdog_pet(void)
{
    static long long last = 0;
    const long long now = monotonic_ms();
    if (watchdog_ms <= 0 || now - last < watchdog_ms / 4)
        return;
    const long long render = render_last_pass_ms();
    if (render == 0 || now - render > watchdog_ms / 2)
        return;
    sd_notify(0, "WATCHDOG=1");
    last = now;
}

void reload_script(void);

// Standard input, the listening socket and every session, until `exit`, a
// quit request, or (without a control socket) the end of standard input.
void poll_loop(void)
{
    bool stdin_open = true;
    std::vector<pollfd> fds;
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0)
        watchdog_ms = static_cast<long long>(usec / 1000);
    while (quit_requested == 0) {
        watchdog_pet();
        if (reload_requested.exchange(0) != 0)
            reload_script();
        if (!stdin_open && listen_fd < 0)
            return;
        fds.clear();
        fds.push_back({wake_pipe[0], POLLIN, 0});
        // While the answers on standard output are not read, its input waits.
        const bool backlogged = outbox_backlogged();
        fds.push_back({stdin_open && !backlogged ? 0 : -1, POLLIN, 0});
        fds.push_back({listen_fd, POLLIN, 0});
        for (const auto& c : clients)
            fds.push_back({c->fd, static_cast<short>((c->closing ? 0 : POLLIN) | (c->pending.empty() ? 0 : POLLOUT)), 0});
        const int wait_ms = backlogged ? 100 : watchdog_ms > 0 ? static_cast<int>(watchdog_ms / 4) : -1;
        if (poll(fds.data(), fds.size(), wait_ms) < 0) {
            if (errno == EINTR)
                continue;
            perror("velmor: poll");
            return;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents != 0 && !stdin_read(&stdin_open))
            return;
        if (fds[2].revents != 0)
            client_accept();
        for (size_t i = 0; i + 3 < fds.size(); ++i) {
            client_t* c = clients[i].get();
            if ((fds[i + 3].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c->closing && !client_read(c)) {
                client_flush(c);
                return;
            }
            client_flush(c);
            if (c->pending.size() > MAX_PENDING) {
                c->closing = true;
                c->pending.clear();
            }
        }
        for (size_t i = clients.size(); i-- > 0;) {
            if (clients[i]->closing && clients[i]->pending.empty()) {
                client_close(clients[i].get());
                clients.erase(clients.begin() + static_cast<long>(i));
            }
        }
    }
}

// A listening socket at `path`: an old socket nobody answers on is replaced;
// anything else already there is refused.
bool make_control_socket(const char* path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "velmor: control socket path '%s' is too long\n", path);
        return false;
    }
    strcpy(addr.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("velmor: socket");
        return false;
    }
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "velmor: '%s' exists and is not a socket\n", path);
            close(fd);
            return false;
        }
        // Without blocking: a hung player with a full backlog would keep a
        // blocking connect waiting for ever. EAGAIN is that full backlog.
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int err = EAGAIN;
        for (int i = 0; probe >= 0 && err == EAGAIN && i < PROBE_TRIES; ++i) {
            if (i > 0)
                usleep(100000);
            err = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
        }
        if (probe >= 0)
            close(probe);
        if (probe >= 0 && err == EAGAIN) {
            fprintf(stderr, "velmor: the player on '%s' accepts no connection: gave up after %d s\n", path,
                    PROBE_TRIES / 10);
            close(fd);
            return false;
        }
        const bool alive = probe >= 0 && err == 0;
        if (alive) {
            fprintf(stderr, "velmor: another player listens on '%s'\n", path);
            close(fd);
            return false;
        }
        unlink(path);
    }
    // The socket never exists with wider rights than 0660.
    const mode_t old_mask = umask(0117);
    const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    umask(old_mask);
    if (bound != 0 || listen(fd, 16) != 0) {
        fprintf(stderr, "velmor: cannot listen on '%s': %s\n", path, strerror(errno));
        close(fd);
        return false;
    }
    listen_fd = fd;
    control_path = path;
    return true;
}

// Reads a script line by line into *lines: a regular file only (a FIFO or a
// device could block or never end), of at most MAX_SCRIPT_BYTES, lines of
// at most CONSOLE_LINE_MAX - 1 characters; false after a message.
bool read_script(const char* path, std::vector<std::string>* lines)
{
    // Without blocking: a FIFO with no writer would hold the open.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "velmor: cannot read script '%s': %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > MAX_SCRIPT_BYTES) {
        fprintf(stderr, S_ISREG(st.st_mode) ? "velmor: script '%s' is larger than %d bytes\n"
                                            : "velmor: script '%s' is not a regular file\n",
                path, MAX_SCRIPT_BYTES);
        close(fd);
        return false;
    }
    FILE* in = fdopen(fd, "r");
    if (in == nullptr) {
        fprintf(stderr, "velmor: cannot read script '%s': %s\n", path, strerror(errno));
        close(fd);
        return false;
    }
    lines->clear();
    char buf[CONSOLE_LINE_MAX + 2];  // the longest line, CR, LF and NUL
    size_t total = 0;
    bool ok = true;
    while (ok && fgets(buf, sizeof buf, in) != nullptr) {
        size_t n = strlen(buf);
        total += n;
        const bool whole = n > 0 && buf[n - 1] == '\n';
        if (whole)
            buf[--n] = '\0';
        if (n > 0 && buf[n - 1] == '\r')
            buf[--n] = '\0';
        if (total > MAX_SCRIPT_BYTES) {
            fprintf(stderr, "velmor: script '%s' is larger than %d bytes\n", path, MAX_SCRIPT_BYTES);
            ok = false;
        } else if (n >= CONSOLE_LINE_MAX || (!whole && !feof(in))) {
            fprintf(stderr, "%s:%zu: line longer than %d characters\n", path, lines->size() + 1,
                    CONSOLE_LINE_MAX - 1);
            ok = false;
        } else {
            lines->emplace_back(buf, n);
        }
    }
    if (ok && ferror(in)) {
        fprintf(stderr, "velmor: cannot read script '%s': %s\n", path, strerror(errno));
        ok = false;
    }
    fclose(in);
    return ok;
}

bool is_comment(const std::string& line)
{
    const size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos || line[first] == '#';
}

// Runs one line of the script as a console session of its own, whose
// answers go to standard output; a failing line's answer comes as
// "FILE:LINE: text" lines. A `play` line's stream is remembered for reload.
// The handler's result (-1: exit).
int run_script_line(size_t number, const std::string& line)
{
    if (is_comment(line))
        return 1;
    char* answer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&answer, &size);
    if (out == nullptr) {
        perror("velmor: open_memstream");
        return 0;
    }
    console_session_t session;
    console_session_init(&session, out);
    int res = 0;
    for (char ch : line + "\n")
        res = console_session_putch(&session, static_cast<unsigned char>(ch));
    fclose(out);
    std::string text(answer, size);
    free(answer);
    if (res == 1 && line.compare(line.find_first_not_of(" \t"), 5, "play ") == 0)
        script_streams.emplace_back(line, velmor_last_played());
    if (res != 0) {
        fputs(text.c_str(), stdout);
    } else {
        // The prompt "0>" ends the answer.
        text.erase(text.size() - std::min<size_t>(2, text.size()));
        size_t told = 0;
        for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
            nl = std::min(text.find('\n', at), text.size());
            const std::string part = text.substr(at, nl - at);
            if (part.find_first_not_of(' ') != std::string::npos && ++told)
                printf("%s:%zu: %s\n", script_path, number, part.c_str());
        }
        if (told == 0)
            printf("%s:%zu: failed\n", script_path, number);
        printf("0>");
    }
    fflush(stdout);
    return res;
}

// SIGHUP with a script: reads it again. Lines the last run had are not run
// again (their streams play on untouched); streams of play lines that are
// gone or changed are stopped first; then every new line runs.
void reload_script(void)
{
    sd_notify(0, "RELOADING=1");
    std::vector<std::string> lines;
    if (!read_script(script_path, &lines)) {
        fprintf(stderr, "velmor: reload: the streams play on as they were\n");
        sd_notify(0, "READY=1");
        return;
    }
    const std::set<std::string> now(lines.begin(), lines.end());
    const std::set<std::string> old(script_lines.begin(), script_lines.end());
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& [line, name] : script_streams) {
        if (now.count(line) != 0) {
            kept.emplace_back(line, name);
        } else {
            printf("velmor: reload: stopping '%s'\n", name.c_str());
            console_exec(("stop " + name).c_str());
        }
    }
    script_streams = kept;
    printf("velmor: reload: %s\n", script_path);
    for (size_t i = 0; i < lines.size(); ++i)
        if (old.count(lines[i]) == 0 && run_script_line(i + 1, lines[i]) == -1)
            service_request_quit();
    script_lines = lines;
    sd_notify(0, "READY=1");
}

}  // namespace

bool service_prepare(const service_options_t* o)
{
    script_lines.clear();
    script_path = o->script;
    if (o->script != nullptr && !read_script(o->script, &script_lines))
        return false;
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("velmor: pipe");
        return false;
    }
    return o->control == nullptr || make_control_socket(o->control);
}

void service_run(void)
{
    console_init();
    script_streams.clear();
    for (size_t i = 0; i < script_lines.size(); ++i)
        if (run_script_line(i + 1, script_lines[i]) == -1)
            return;
    if (listen_fd < 0 && script_path == nullptr) {
        // Without a control socket or a script to reload, the input loop is
        // the console's own.
        console_loop();
        return;
    }
    printf("%d>", 0);
    fflush(stdout);
    // systemd (Type=notify): the socket listens and the script has run.
    sd_notify(0, "READY=1");
    poll_loop();
}

void service_done(void)
{
    for (auto& c : clients) {
        client_flush(c.get());
        client_close(c.get());
    }
    clients.clear();
    if (listen_fd >= 0) {
        close(listen_fd);
        unlink(control_path.c_str());
    }
    listen_fd = -1;
    // The wake-up pipe stays: a quit signal may still be on its way to it.
}

bool service_request_reload(void)
{
    if (script_path == nullptr)
        return false;
    reload_requested = 1;
    if (wake_pipe[1] >= 0) {
        const int saved = errno;
        (void)!write(wake_pipe[1], "r", 1);
        errno = saved;
    }
    return true;
}

void service_request_quit(void)
{
    quit_requested = 1;
    if (wake_pipe[1] >= 0) {
        const int saved = errno;
        (void)!write(wake_pipe[1], "q", 1);
        errno = saved;
    }
}

// SIGTERM, SIGINT and SIGHUP (without --script: with one, SIGHUP reloads
// it) end the program as `exit` does: standard input is put at its end and the main thread woken from its read, so that the
// input loop ends and the usual shut-down runs. A second one during the
// shut-down ends the program at once, the console back in text mode first.
// The signals are blocked in every thread and taken by a thread of their own
// (not in the thread registry, which would announce it), since a signal
// handler may not run at once: ThreadSanitizer defers handlers until the
// thread enters one of its interceptors, which a read inside stdio never
// does.
namespace {

pthread_t main_thread_id;
int input_end = -1;  // the read end of a pipe whose write end is closed
sigset_t quit_signals;

// Only makes the main thread's read return with EINTR.
void wake(int) {}

void* quit_watch(void*)
{
    for (bool first = true;; first = false) {
        int sig = 0;
        while (sigwait(&quit_signals, &sig) != 0) {
        }
        // With a script, SIGHUP reads it again instead (systemctl reload).
        while (sig == SIGHUP && service_request_reload())
            while (sigwait(&quit_signals, &sig) != 0) {
            }
        if (!first) {
            fb_restore_console();
            _exit(128 + sig);
        }
        dup2(input_end, 0);
        outbox_release();
        // With a control socket the end of input ends nothing: say so.
        service_request_quit();
        pthread_kill(main_thread_id, SIGWINCH);
    }
    return nullptr;
}

}  // namespace

void service_install_quit_signals(void)
{
    int p[2];
    if (pipe(p) != 0)
        return;
    close(p[1]);
    input_end = p[0];
    main_thread_id = pthread_self();
    struct sigaction sa = {};
    sa.sa_handler = wake;  // no SA_RESTART: the read must end
    sigemptyset(&sa.sa_mask);
    sigaction(SIGWINCH, &sa, nullptr);
    sigemptyset(&quit_signals);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&quit_signals, sig);
    // Before any other thread starts: they all inherit the mask.
    pthread_sigmask(SIG_BLOCK, &quit_signals, nullptr);
    pthread_t t;
    if (pthread_create(&t, nullptr, quit_watch, nullptr) == 0)
        pthread_detach(t);
}
