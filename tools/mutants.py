#!/usr/bin/env python3
"""Mutation check: does each known fault still fail a test?

Each mutant below is one fault put into src/ (a snippet replaced), the test
programs it needs rebuilt, and the ctest regex of the tests expected to kill
it. One mutant at a time: applied, built, its tests run with a time bound,
the file put back (also on Ctrl-C or an error). Killed means a test failed
(the first failure ends the run) or ran past 60 s; survived means every
selected test passed; ERROR means the mutant did not build or matched no test.

    tools/mutants.py [--build DIR] [--only NAME,...] [--list] [--out FILE]

Run it on a built tree (make test or cmake --build build first).
"""
import argparse
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The test programs, by what they exercise.
CONSOLE = "console_test transcript_test service_test"
E2E = "transcript_test sources_test stats_test service_test"

# (name, file, original, mutated, targets, ctest regex)
MUTANTS = [
    # console
    ("prompt-char", "console.cpp", 'fprintf(s->out, "%d>", res);', 'fprintf(s->out, "%d<", res);',
     CONSOLE, r"(Console|Transcript|Script|Control\.)"),
    ("line-max-off-by-one", "console.cpp", "s->pos > CONSOLE_LINE_MAX - 2", "s->pos > CONSOLE_LINE_MAX - 3",
     CONSOLE, r"(Console|Transcript|Script|Control\.)"),
    ("backspace", "console.cpp", "if (s->pos > 0)\n            --s->pos;", "if (s->pos > 0)\n            (void)0;",
     CONSOLE, r"(Console|Transcript|Script|Control\.)"),
    ("invalid-char-format", "console.cpp", '"<invalid_char=0x%2x>\\n"', '"<invalid_char=0x%02x>\\n"',
     CONSOLE, r"(Console|Transcript|Script|Control\.)"),
    ("flood-told-per-char", "console.cpp", "if (!s->tell_overflow_once || !s->overflow_told)", "if (true)",
     CONSOLE, r"(Console|Transcript|Script|Control\.)"),
    # commands
    ("password-shown-in-list", "commands.cpp", "url_redacted(s->inputfile).c_str(), s->settings.page", "s->inputfile, s->settings.page",
     E2E, r"(Transcript|SourceFlags|Stats)"),
    ("list-column", "commands.cpp", '"%16s %16s %s page=', '"%16s %15s %s page=',
     E2E, r"(Transcript|SourceFlags|Stats)"),
    ("reconnect-range", "play_args.cpp", "set.reconnect > 3600", "set.reconnect > 3601",
     E2E, r"(Transcript|SourceFlags)"),
    ("fd2-accepted", "play_args.cpp", "return fd >= 0 && fd <= 2;", "return fd >= 0 && fd <= 1;",
     E2E, r"(Transcript|SourceFlags)"),
    ("play-echo-wh-swapped", "commands.cpp", "a.settings.w, a.settings.h", "a.settings.h, a.settings.w",
     E2E, r"(Transcript|SourceFlags|Script)"),
    # collections
    ("list-item-dropped", "collections.cpp", "l->tail->next = i;  // the list's own head when it was empty\n    l->tail = i;",
     "l->tail->next = i;  // the list's own head when it was empty", "collections_test console_test",
     r"(List|Console\.)"),
    # watchdog, reader
    ("deadline-off-by-one", "watchdog.cpp", "unblock_time <= now", "unblock_time < now",
     "reader_test", r"Watchdog\."),
    ("watchdog-no-interrupt", "watchdog.cpp", "        thread_interrupt(&stream->reader);", "        (void)0;",
     "reader_test", r"(Watchdog|Reader)\."),
    ("callback-ignores-deadline", "watchdog.cpp",
     "if (deadline_expired(stream->unblock_time.load(), current_time_in_millis())) {", "if (false) {",
     "reader_test", r"(Watchdog|Reader)\."),
    ("no-forced-reconnect", "stream.cpp", "stream->force_reconnect = 1;", "(void)0;",
     "reader_test stats_test sources_test", r"(Reader\.|StatsCommand|FfmpegMonitor)"),
    ("reconnect-delay-skipped", "reader.cpp", "std::max(s->settings.reconnect, 0) * 1000LL;",
     "std::max(s->settings.reconnect, 0) * 0LL;", "reader_test sources_test", r"(Reader|SourceFlags)\."),
    ("state-names-swapped", "velmor.h", '"CONNECT_ERR", "CONNECTED",', '"CONNECTED", "CONNECT_ERR",',
     E2E, r"(Transcript|SourceFlags|Stats)"),
    # render
    ("wrong-error-icon", "status_icon.cpp",
     "icon_init_xpm(&icons->images[I_ERROR], edit_delete);\n    icon_init_xpm(&icons->images[I_DELAY], emblem_urgent);",
     "icon_init_xpm(&icons->images[I_ERROR], emblem_urgent);\n    icon_init_xpm(&icons->images[I_DELAY], edit_delete);",
     "render_test", r"Render\."),
    ("right-clip-off-by-one", "geometry.cpp", "screen = {0, 0, fb->vinfo.xres, fb->vinfo.yres};",
     "screen = {0, 0, fb->vinfo.xres - 1, fb->vinfo.yres};", "render_test geometry_test", r"(Render|Geometry)\."),
    ("bottom-clip-off-by-one", "geometry.cpp", "screen = {0, 0, fb->vinfo.xres, fb->vinfo.yres};",
     "screen = {0, 0, fb->vinfo.xres, fb->vinfo.yres - 1};", "render_test geometry_test", r"(Render|Geometry)\."),
    ("nozoom-centre", "geometry.cpp", "*dst += (*dstlen - *srclen) / 2;", "*dst += (*dstlen - *srclen + 1) / 2;",
     "render_test geometry_test", r"(Render|Geometry)\."),
    ("replaced-not-counted", "frame_pool.cpp",
     "    if (replaced)\n        stream->pictures_replaced.fetch_add(1, std::memory_order_relaxed);",
     "    (void)replaced;", "render_test stats_test", r"(Pool|InProcess)\."),
    # fbuffer
    ("bgr565-layout", "fbuffer.cpp", "{16, {0, 5}, {5, 6}, {11, 5}, AV_PIX_FMT_BGR565}",
     "{16, {0, 5}, {5, 6}, {11, 5}, AV_PIX_FMT_RGB565}", "fbuffer_test render_test stats_test",
     r"(Fb|Render\.|InProcess)"),
    ("32bit-channel-swap", "fbuffer.cpp", "{32, {16, 8}, {8, 8}, {0, 8}, AV_PIX_FMT_NE(ARGB, BGRA)}",
     "{32, {16, 8}, {8, 8}, {0, 8}, AV_PIX_FMT_NE(ABGR, RGBA)}", "fbuffer_test render_test stats_test",
     r"(Fb|Render\.|InProcess)"),
    # icon, jpeg, sigsegv
    ("icon-alpha", "icon.cpp", "const uint32_t a = s >> 24;", "const uint32_t a = 255;",
     "icon_test render_test", r"(Icon|Render\.)"),
    ("no-jpeg-reduction", "jpeg.cpp", "while (div < 8 &&", "while (div < 1 &&", "jpeg_test", r"Jpeg\."),
    ("trace-cut-at-4", "sigsegv.cpp", "constexpr int max_frames = 64;", "constexpr int max_frames = 4;",
     "sigsegv_test", r"Sigsegv"),
    # service, threads, snapshot
    ("no-first-prompt-for-session", "service.cpp", '    fprintf(c->out, "%d>", 0);\n', "",
     "service_test transcript_test", r"(Control|Transcript)"),
    ("interrupt-without-signal", "threads.cpp", "        pthread_kill(th, SIGUSR1);", "        (void)th;",
     "threads_test", r"Threads\."),
    ("timeout-code", "threads.cpp", "interrupted = res != ETIMEDOUT;", "interrupted = true;",
     "threads_test", r"Threads\."),
    ("snapshot-errno", "snapshot.cpp", "*reason = strerror(n < 0 ? errno : EIO);", "*reason = strerror(EIO);",
     "stats_test", r"SnapshotTarget"),
    ("socket-mode-0666", "service.cpp", "umask(0117)", "umask(0111)", "service_test", r"Control\."),
    # survivors of the last check: faults no test is known to catch
    ("delay-icon-2000ms-edge", "status_icon.cpp", "now - last > DELAY_ICON_AFTER_MS", "now - last >= DELAY_ICON_AFTER_MS",
     "render_test", r"Render\."),
    ("pool-size", "render.cpp", "2 * registered + 1", "2 * registered", "render_test stats_test", r"(Render|Pool|InProcess)"),
    ("stats-kbps", "stats.cpp", "* 8 / 1000", "* 8 / 1024", "stats_test", r"(Stats|InProcess)"),
    ("dropped-not-counted", "reader.cpp",
     "        av_frame_unref(r.scratch.get());\n        s->pictures_dropped.fetch_add(1, std::memory_order_relaxed);",
     "        av_frame_unref(r.scratch.get());", "stats_test reader_test", r"(Stats|InProcess|Reader)"),
    # each mend of the reliability round, taken back
    ("ffmpeg-monitor-across-close", "shared.cpp",
     "void ffmpeg_deleter::operator()(AVFormatContext* p) const\n{\n",
     "void ffmpeg_deleter::operator()(AVFormatContext* p) const\n{\n    ffmpeg_guard ff;\n",
     "sources_test", r"FfmpegMonitor"),
    ("wall-clock", "shared.cpp", "clock_gettime(CLOCK_MONOTONIC, &ts);", "clock_gettime(CLOCK_REALTIME, &ts);",
     "clock_step_test", r"ClockStep\."),
    ("snapshot-fifo-blocks", "snapshot.cpp", "O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK", "O_WRONLY | O_NOCTTY | O_CLOEXEC",
     "stats_test", r"SnapshotTarget\."),
    ("probe-blocks", "service.cpp", "SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);\n        int err = EAGAIN;",
     "SOCK_STREAM | SOCK_CLOEXEC, 0);\n        int err = EAGAIN;", "service_test", r"ControlSocket\."),
    ("closed-stdio-left-closed", "velmor.cpp", "if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {", "if (false) {",
     "service_test", r"ControlSocket\."),
    ("no-thread-ends-program", "threads.cpp",
     "thread_starter, t); err != 0)\n        return err;",
     "thread_starter, t); err != 0) {\n        printf(\"thread_start: can't create thread!\\n\");\n        exit(1);\n    }",
     "service_test", r"OsThreads\."),
    ("threads-17-accepted", "play_args.cpp", "threads > max_decoder_threads", "threads > max_decoder_threads + 1",
     "sources_test", r"SourceFlags\.BadInput"),
    ("script-not-regular-taken", "service.cpp", "if (!S_ISREG(st.st_mode) || st.st_size > MAX_SCRIPT_BYTES) {",
     "if (st.st_size > MAX_SCRIPT_BYTES) {", "service_test", r"(Options|Script)\."),
    ("hardware-decoder-retried", "reader.cpp", "if (r.framescount == 0 && (err == AVERROR(ENOSYS)",
     "if (false && r.framescount == 0 && (err == AVERROR(ENOSYS)", "sources_test", r"Hopeless"),
    ("failed-snapshot-unlinks", "snapshot.cpp", "    const bool ok = write_all(fd, png, reason);\n    close(fd);\n",
     "    const bool ok = write_all(fd, png, reason);\n    close(fd);\n    if (!ok)\n        unlink(target);\n",
     "stats_test", r"SnapshotTarget\."),
    ("password-with-slash-shown", "shared.cpp", "if (at >= word_end)\n            continue;",
     "if (at >= word_end || u.find_first_of(\"/?#\", colon) < at)\n            continue;",
     "stats_test sources_test", r"(StatsLine|SourceFlags\.Passwords)"),
    ("pipe-x-accepted", "play_args.cpp", "*end != '\\0' ? 0 : fd;", "*end != '\\0' ? -1 : fd;",
     "sources_test", r"(SourceFlags\.BadInput|Transcript)"),
    ("chmod-by-path", "service.cpp", "    umask(old_mask);\n", "    umask(old_mask);\n    chmod(path, 0660);\n",
     "service_test", r"ControlSocket\."),
    ("words-dropped", "console.cpp",
     'console_printf("Error: more than %d words after the command!\\n", CONSOLE_MAX_ARGS);\n            return 0;',
     "break;", "sources_test console_test", r"(SourceFlags\.BadInput|Console\.)"),
    ("unknown-option-key-taken", "play_args.cpp", "if (av_opt_find(&known,", "if (false && av_opt_find(&known,",
     "sources_test", r"SourceFlags\.BadInput"),
    ("os-thread-names", "threads.cpp", "    pthread_setname_np(pthread_self(), shown);", "    (void)shown;",
     "service_test", r"OsThreads\."),
    # faults that the thread, pool, device, image, reader and source tests
    # guard without a table mutant of their own
    ("wait-ignores-timeout", "threads.cpp",
     "res = pthread_cond_timedwait(&self->wait_cv, &mon->lock, &ts);\n                if (res != ETIMEDOUT)\n                    res = 0;",
     "pthread_cond_wait(&self->wait_cv, &mon->lock);", "threads_test", r"Threads\."),
    ("notify-all-wakes-one", "threads.cpp", "void monitor_notify_all(monitor_t* mon)\n{\n",
     "void monitor_notify_all(monitor_t* mon)\n{\n    return monitor_notify(mon);\n", "threads_test", r"Threads\."),
    ("interrupt-wakes-no-waiter", "threads.cpp", "        pthread_cond_signal(&thread->wait_cv);\n", "",
     "threads_test", r"Threads\."),
    ("finished-thread-interrupted", "threads.cpp", "if (s == CREATING || s == FINISHED)\n            return;\n        thread->interrupted",
     "if (s == CREATING)\n            return;\n        thread->interrupted", "threads_test", r"Threads\."),
    ("pool-count-kept-on-give-back", "frame_pool.cpp", "    s->frames_in_progress.fetch_sub(1);\n", "",
     "render_test", r"Pool\."),
    ("pool-wait-ignores-abort", "frame_pool.cpp",
     "while (stream->frames_in_progress.load() != 0 && pool->abort.load() == 0)",
     "while (stream->frames_in_progress.load() != 0)", "render_test", r"Pool\."),
    ("pool-abort-wakes-nobody", "frame_pool.cpp", "    pool->abort = 1;\n    monitor_notify_all(&pool->mon);",
     "    pool->abort = 1;", "render_test", r"(Pool|RenderStop)\."),
    ("fb-palette-accepted", "fbuffer.cpp", "if (f.visual != FB_VISUAL_TRUECOLOR && f.visual != FB_VISUAL_DIRECTCOLOR) {",
     "if (false) {", "fbuffer_test", r"FbOpen\."),
    ("fb-memory-unchecked", "fbuffer.cpp", "|| end > uint64_t(fb->fb_size)) {",
     "|| end > uint64_t(fb->fb_size) + (1u << 20)) {", "fbuffer_test", r"FbOpen\."),
    ("fb-fixed-info-unchecked", "fbuffer.cpp",
     "    if (ioctl(fb->fbdev, FBIOGET_FSCREENINFO, &fb->finfo) < 0)\n        return fb_fail(fb, \"Unable to retrieve fixed screen info\");",
     "    (void)ioctl(fb->fbdev, FBIOGET_FSCREENINFO, &fb->finfo);", "fbuffer_test", r"FbOpen\."),
    ("xpm-colour-kind-unchecked", "icon.cpp", "        assert(xpm[c][pos] == 'c');", "", "icon_test", r"IconXpm"),
    ("xpm-unknown-key-skipped", "icon.cpp", "            assert(c != ((void *)0));",
     "            if (c == nullptr)\n                continue;", "icon_test", r"IconXpm"),
    ("no-reconnect-after-eof", "reader.cpp",
     "    if (r.s->settings.reconnect <= 0 && r.s->force_reconnect == 0)\n        return step_e::finish;",
     "    return step_e::finish;", "reader_test", r"Reader\."),
    ("input-options-ignored", "reader.cpp", "options_dictionary(s->settings.input_options)", "options_dictionary({})",
     "sources_test", r"Rtsp\."),
    ("watchdog-never-fires", "watchdog.cpp", "return unblock_time != 0 && unblock_time <= now;",
     "return unblock_time != 0 && unblock_time <= now && false;",
     "faults_test reader_test", r"(Faults|Reader)\."),
    ("reader-keeps-source-while-waiting", "reader.cpp",
     "    // A source that takes one client must not have its slot held meanwhile.\n    close_input(r);", "",
     "sources_test faults_test", r"(SourceFlags\.Lost|Faults\.|Endurance)"),
    ("alt-stack-per-call", "sigsegv.cpp", "if (sigaltstack(nullptr, &cur) == 0 && !(cur.ss_flags & SS_DISABLE))\n        return;",
     "(void)cur;", "sigsegv_test", r"Sigsegv"),
    # cut1
    ("chroma-planes-swapped", "scaler.cpp", "std::copy(pic->data, pic->data + 4, data);",
     "std::copy(pic->data, pic->data + 4, data);\n    std::swap(data[1], data[2]);", "render_test", r"Render\."),
    ("sighup-without-script-ignored", "service.cpp", "while (sig == SIGHUP && service_request_reload())",
     "while (sig == SIGHUP && (service_request_reload() || true))", "service_test", r"Ending"),
    ("icon-copy-not-widened", "icon.cpp", "& px.c[k].mask) << px.c[k].widen) << (16 - 8 * k);",
     "& px.c[k].mask)) << (16 - 8 * k);", "icon_test", r"Icon"),
    ("icon-opaque-draw-inexact", "icon.cpp", "const uint32_t na = 256 - a;", "const uint32_t na = 255 - a;",
     "icon_test", r"Icon"),
]


def run(cmd, cwd, timeout):
    """(exit status, output); -1 when the time bound ended it."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return -1, out


def failed_tests(out):
    return [l.split("-", 1)[1].strip().split(" ")[0] for l in out.splitlines()
            if l.strip()[:1].isdigit() and " - " in l and "(" in l]


def check(m, build, jobs, timeout, log):
    name, file, old, new, targets, regex = m
    path = os.path.join(ROOT, "src", file)
    with open(path) as f:
        original = f.read()
    if original.count(old) != 1:
        return "ERROR", f"snippet found {original.count(old)} times in {file}"
    try:
        with open(path, "w") as f:
            f.write(original.replace(old, new))
        rc, out = run(["cmake", "--build", build, "-j", str(jobs), "--target", *targets.split()], ROOT, 900)
        log.write(f"=== {name}: build\n{out[-3000:]}\n")
        if rc != 0:
            return "ERROR", "build failed"
        # The first failure is enough: a killed mutant needs no more of its tests.
        rc, out = run(["ctest", "-R", regex, "-j", str(jobs), "--timeout", "60", "--stop-on-failure"], build,
                      timeout)
        log.write(f"=== {name}: ctest -R '{regex}'\n{out}\n")
        if "No tests were found" in out:
            return "ERROR", "no test matches " + regex
        if rc == 0:
            return "survived", ""
        return "killed", "timed out" if rc == -1 else " ".join(failed_tests(out))
    finally:
        with open(path, "w") as f:
            f.write(original)
        # Built back unmutated, so that a stopped run leaves nothing wrong behind.
        os.utime(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--only", default="", help="comma-separated mutant names")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=600, help="seconds for one mutant's tests")
    ap.add_argument("--out", default="mutants.log", help="build and test output, in the build tree")
    a = ap.parse_args()
    chosen = [m for m in MUTANTS if not a.only or m[0] in a.only.split(",")]
    if a.list:
        for m in chosen:
            print(f"{m[0]:32} {m[1]:16} {m[5]}")
        return 0
    build = os.path.abspath(a.build)
    counts = {}
    with open(os.path.join(build, a.out), "w") as log:
        for m in chosen:
            t0 = time.monotonic()
            verdict, why = check(m, build, a.jobs, a.timeout, log)
            log.flush()
            counts[verdict] = counts.get(verdict, 0) + 1
            print(f"{m[0]:32} {verdict:9} {time.monotonic() - t0:5.0f}s {why}", flush=True)
    # The tree as it was, built again.
    run(["cmake", "--build", build, "-j", str(a.jobs)], ROOT, 1800)
    print(" ".join(f"{k}={v}" for k, v in sorted(counts.items())))
    return 1 if counts.get("ERROR") else 0


if __name__ == "__main__":
    sys.exit(main())
