// Under systemd, with standard output and error connected to the journal
// ($JOURNAL_STREAM names that stream), every line the program writes there
// carries the syslog priority that journald reads from a "<N>" prefix:
// errors err (3), a stream's connect and lose messages info (6), the rest
// debug (7). Anywhere else the output stays as it is, byte for byte.
#pragma once

#include <csignal>
#include <cstddef>

// Set once stdout is the journal's: for writers that bypass stdio (a signal
// handler), which put the prefix themselves.
extern volatile sig_atomic_t journal_active;

// Puts prefixing writers in place of stdout and of stderr, each when it is
// the journal's stream (they write through the outbox); which ones were:
// bit 0 stdout, bit 1 stderr. Before anything prints.
unsigned journal_setup(void);

// The priority of one line (without its newline): stdout's by what it says,
// stderr's err, or FFmpeg's by its level when `ffmpeg_level` >= 0.
int journal_priority(const char* line, size_t size, bool from_stderr, int ffmpeg_level);

// FFmpeg's level of the message that the calling thread is writing, for the
// duration of a log callback.
struct journal_ffmpeg_level {
    explicit journal_ffmpeg_level(int level);
    ~journal_ffmpeg_level();
    journal_ffmpeg_level(const journal_ffmpeg_level&) = delete;
    journal_ffmpeg_level& operator=(const journal_ffmpeg_level&) = delete;
};
