#include "journal.h"

#include "outbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

volatile sig_atomic_t journal_active = 0;

namespace {

thread_local int ffmpeg_level = -1;

// One prefixing writer: the descriptor it writes to and the line not yet
// ended. stdio calls it under the stream's lock; a lock of its own as well,
// one that ThreadSanitizer sees.
struct writer_t {
    int fd;
    bool is_stderr;
    std::string partial;
    std::mutex lock;
};

writer_t out_writer{1, false, {}, {}};
writer_t err_writer{2, true, {}, {}};

ssize_t writer_write(void* cookie, const char* buf, size_t size)
{
    writer_t* w = static_cast<writer_t*>(cookie);
    std::lock_guard<std::mutex> hold(w->lock);
    w->partial.append(buf, size);
    size_t at = 0;
    for (size_t nl; (nl = w->partial.find('\n', at)) != std::string::npos; at = nl + 1) {
        // The console's prompts mean nothing in the journal.
        while (!w->is_stderr && nl - at >= 2 && (w->partial[at] == '0' || w->partial[at] == '1') &&
               w->partial[at + 1] == '>')
            at += 2;
        const int prio = journal_priority(w->partial.data() + at, nl - at, w->is_stderr, ffmpeg_level);
        char prefix[4] = {'<', static_cast<char>('0' + prio), '>', '\0'};
        std::string line(prefix, 3);
        line.append(w->partial, at, nl + 1 - at);
        outbox_write(w->fd, line.data(), line.size());
    }
    w->partial.erase(0, at);
    return static_cast<ssize_t>(size);
}

// Whether descriptor fd is the stream "DEVICE:INODE" of $JOURNAL_STREAM.
bool is_journal(int fd)
{
    const char* js = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    return js != nullptr && sscanf(js, "%llu:%llu", &dev, &ino) == 2 && fstat(fd, &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

bool contains_any(std::string_view s, std::initializer_list<std::string_view> words)
{
    for (std::string_view w : words)
        if (s.find(w) != std::string_view::npos)
            return true;
    return false;
}

FILE* prefixing(writer_t* w)
{
    FILE* f = fopencookie(w, "w", cookie_io_functions_t{nullptr, writer_write, nullptr, nullptr});
    if (f != nullptr)
        setvbuf(f, nullptr, _IOLBF, 0);
    return f;
}

}  // namespace

journal_ffmpeg_level::journal_ffmpeg_level(int level)
{
    ffmpeg_level = level;
}

journal_ffmpeg_level::~journal_ffmpeg_level()
{
    ffmpeg_level = -1;
}

int journal_priority(const char* line, size_t size, bool from_stderr, int level)
{
    enum { ERR = 3, INFO = 6, DEBUG = 7 };
    if (level >= 0)
        return level <= 16 /* AV_LOG_ERROR */ ? ERR : DEBUG;
    if (from_stderr)
        return ERR;
    std::string_view s(line, size);
    // Answers: figures, not news.
    if (s.substr(0, 5) == "name=" || s.substr(0, 12) == "render busy=")
        return DEBUG;
    // A script's failing line: "FILE:LINE: message".
    const size_t colon = s.find(':');
    if (colon != std::string_view::npos && colon > 0 && colon + 1 < s.size() && isdigit(static_cast<unsigned char>(s[colon + 1])) &&
        s.find(' ') > colon) {
        size_t i = colon + 1;
        while (i < s.size() && isdigit(static_cast<unsigned char>(s[i])))
            ++i;
        if (s.substr(i, 2) == ": ")
            return ERR;
    }
    if (s.substr(0, 5) == "Error" ||
        contains_any(s, {"cannot ", "Cannot ", "Unable ", "unsupported ", "could not ", "stream ended", "TODO!"}))
        return ERR;
    if (contains_any(s, {"got stream w=", "maybe EOF reached", "block timeout is expired",
                         "bytes read without a picture", "try to reconnect", "lines dropped"}))
        return INFO;
    return DEBUG;
}

unsigned journal_setup(void)
{
    unsigned any = 0;
    if (is_journal(1)) {
        if (FILE* f = prefixing(&out_writer)) {
            fflush(stdout);
            stdout = f;
            journal_active = 1;
            any |= 1;
        }
    }
    if (is_journal(2)) {
        if (FILE* f = prefixing(&err_writer)) {
            fflush(stderr);
            stderr = f;
            any |= 2;
        }
    }
    return any;
}
