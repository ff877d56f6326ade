#!/usr/bin/env python3
"""The player on real kernel framebuffers: boots Debian's kernel under QEMU
with vesafb at 16, 24 and 32 bits per pixel, plays the clips of
tests/fb/commands from an initramfs into /dev/fb0, and compares QEMU's
screenshot pixel by pixel with the picture that tests/fb/expect.cpp paints
on a memory surface of the same layout. A last run leaves the kernel console
bound to the framebuffer and writing, and ends the player with SIGTERM, then
a second one with SIGSEGV (its crash report): the screen must hold the
windows and black only, and the console's text must come back each time.
16 bpp plays again with --rotate 90: the 600 x 800 picture turned clockwise.

    run.py BUILD_DIR [RUN]    (make test-fb; RUN: the runs whose name holds it)

Kernel and clips are cached in BUILD_DIR/fb-test; the screenshots and expected
pictures of the last run are left there.
"""
import concurrent.futures
import os
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import qemu_screen  # noqa: E402
from qemu_screen import Machine, cpio, differences, read_ppm  # noqa: E402
WIDTH, HEIGHT = 800, 600

# (name, kernel mode, depth, device layout as libswscale names it, console)
RUNS = [
    ("16 bpp", "0x314", 16, "rgb565le", "unbound"),
    ("24 bpp", "0x315", 24, "bgr24", "unbound"),
    ("32 bpp", "0x343", 32, "bgra", "unbound"),
    ("32 bpp, console bound", "0x343", 32, "bgra", "bound"),
]

# Known colours of the clip quad.mkv (160 x 120 in four quadrants), checked
# in the native window at (48, 40): a channel order mixed up the same way in
# the expected picture and on the device would still show here.
QUADRANTS = [((88, 70), "red"), ((168, 70), "green"), ((88, 130), "blue"), ((168, 130), "white")]
PICTURES = 10000  # outlasts a run (at the end of a clip its icon would show)
# The clips of tests/fb/commands, as ffmpeg's lavfi sources.
SOURCES = {
    "quad": "color=white:s=160x120,drawbox=x=0:y=0:w=80:h=60:c=red:t=fill,"
            "drawbox=x=80:y=0:w=80:h=60:c=lime:t=fill,drawbox=x=0:y=60:w=80:h=60:c=blue:t=fill",
    "bars": "smptebars=s=160x120",
    "wide": "testsrc2=s=320x120,loop=loop=-1:size=1",
}


def log(*a):
    print("test-fb:", *a, flush=True)


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def clips(cache):
    """Still pictures as long lossless H.264 clips: every picture decodes to
    the same bits, on any machine."""
    d = os.path.join(cache, "clips")
    os.makedirs(d, exist_ok=True)
    for name, source in SOURCES.items():
        out = os.path.join(d, name + ".mkv")
        if not os.path.exists(out):
            sh(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-frames:v", str(PICTURES),
                "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", "-g", str(PICTURES), "-pix_fmt", "yuv420p",
                out + ".tmp.mkv"])
            os.rename(out + ".tmp.mkv", out)
    return d


def initramfs(build, clip_dir, out, init=os.path.join(HERE, "init"), extra=()):
    """busybox, the built program with every shared library it loads, the
    clips, the command file, the init script and `extra` files (path,
    bytes)."""
    entries, dirs = [], set()
    def add(path, data, mode=0o100755):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts)):
            d = "/".join(parts[:i])
            if d not in dirs:
                dirs.add(d)
                entries.append((d, 0o40755, b""))
        entries.append((path.strip("/"), mode, data))
    def read(p):
        with open(p, "rb") as f:
            return f.read()
    velmor = os.path.join(build, "velmor")
    add("/bin/busybox", read(shutil.which("busybox")))
    add("/bin/velmor", read(velmor))
    add("/bin/fb_expect", read(os.path.join(build, "tests", "fb_expect")))
    for line in subprocess.run(["ldd", velmor], capture_output=True, text=True, check=True).stdout.splitlines():
        words = line.split()
        lib = words[2] if "=>" in words and len(words) > 2 and words[2].startswith("/") else words[0]
        if lib.startswith("/"):
            add(lib, read(os.path.realpath(lib)))
    for c in sorted(os.listdir(clip_dir)):
        add("/clips/" + c, read(os.path.join(clip_dir, c)), 0o100644)
    for path, data in extra:
        add(path, data, 0o100644)
    add("/commands", read(os.path.join(HERE, "commands")), 0o100644)
    add("/init", read(init))
    cpio(entries, out)


def machine(cache, vmlinuz, initrd, mode, bound, tag):
    """QEMU with the serial line on pipes and the monitor (QMP) on a socket."""
    # Bound, the kernel's messages go to the framebuffer's console only: on
    # the serial line they would cut into the FBTEST lines.
    append = "quiet panic=-1 vga=" + mode + (" fbtest.bound console=tty0" if bound else " console=ttyS0")
    return Machine("qemu-system-x86_64", ["-machine", "pc", "-cpu", "max", "-m", "1024", "-smp", "1", "-vga", "std",
                                          "-net", "none", "-kernel", vmlinuz, "-initrd", initrd, "-append", append],
                   cache, tag)


def colour_ok(pixel, name):
    r, g, b = pixel
    hi, lo = lambda v: v >= 200, lambda v: v <= 60
    return {"red": hi(r) and lo(g) and lo(b), "green": lo(r) and hi(g) and lo(b),
            "blue": lo(r) and lo(g) and hi(b), "white": hi(r) and hi(g) and hi(b)}[name]


def wrong_quadrants(shot):
    """The colours of QUADRANTS that the screenshot does not show."""
    w, _, px = shot
    return [c for (x, y), c in QUADRANTS if not colour_ok(px[3 * (y * w + x):3 * (y * w + x) + 3], c)]


def settle(m, path, expected, depth):
    """The screenshot once it matches the expected picture, or the last one
    after 60 s; with the count of differing pixels and the first of them.
    The host decides when the picture is complete: each window drawn."""
    last = []
    def judge(shot):
        last[:] = differences(shot, expected, depth)
        return last[0]
    shot, _ = qemu_screen.settle(m, path, judge)
    return shot, last[0], last[1]


def console_text(m, path, shot, expected):
    """Pixels that the console draws where the expected picture is black,
    once the player has ended (waiting at most 10 s for them)."""
    deadline = time.monotonic() + 10
    while True:
        w, h, after = m.screendump(path)
        text = sum(1 for i in range(w * h) if after[3 * i:3 * i + 3] != shot[2][3 * i:3 * i + 3]
                   and expected[2][3 * i:3 * i + 3] == b"\0\0\0")
        if text > 0 or time.monotonic() > deadline:
            return text
        time.sleep(0.2)


def turned(picture):  # 90 degrees clockwise
    w, h, px = picture
    return h, w, b"".join(px[3 * ((h - 1 - x) * w + y):3 * ((h - 1 - x) * w + y) + 3]
                          for y in range(w) for x in range(h))


def run(cache, vmlinuz, initrd, expect, name, mode, depth, layout, bound):
    """One boot; returns (passed, summary)."""
    t0 = time.monotonic()
    tag = name.replace(" ", "").replace(",", "-")
    m = machine(cache, vmlinuz, initrd, mode, bound == "bound", tag)
    shot_path = os.path.join(cache, "shot-%s.ppm" % tag)
    try:
        flags = m.wait_for("FBTEST ", 300)
        if flags is None or not flags.startswith("FBTEST CPUFLAGS 0x"):
            return False, "no CPU flags: %s\n%s" % (flags, "\n".join(m.transcript[-40:]))
        booted = time.monotonic() - t0
        expected = expect(layout, flags.split()[-1])
        ready = m.wait_for("FBTEST ", 300)
        if ready != "FBTEST READY":
            return False, "no READY: %s\n%s" % (ready, "\n".join(m.transcript[-60:]))
        ready_at = time.monotonic() - t0
        shot, bad, first = settle(m, shot_path, expected, depth)
        w, h, _ = shot
        wrong_colours = wrong_quadrants(shot)
        summary = "booted in %.1f s, ready at %.1f s, matched at %.1f s: %dx%d screenshot, %d of %d pixels as expected" % (
            booted, ready_at, time.monotonic() - t0, w, h, w * h - bad, w * h)
        ok = bad == 0 and not wrong_colours
        if bad:
            summary += "; %d differ, %s" % (bad, first)
        if wrong_colours:
            summary += "; wrong colours in the native window: " + ", ".join(wrong_colours)
        if bound == "bound":
            # SIGTERM ends the player as exit does, and a crash report ends a
            # second one: each time the console takes the screen back and
            # draws its text again.
            m.send("term")
            exited = m.wait_for("FBTEST EXITED", 30)
            text = console_text(m, shot_path + ".after-term.ppm", shot, expected)
            ok = ok and exited == "FBTEST EXITED 0" and text > 0
            summary += "; SIGTERM: %s, then %d pixels of console text" % (exited, text)
            m.send("again")
            again = m.wait_for("FBTEST ", 300)
            shot, bad, first = settle(m, shot_path + ".again.ppm", expected, depth)
            m.send("segv")
            exited = m.wait_for("FBTEST EXITED", 30)
            text = console_text(m, shot_path + ".after-segv.ppm", shot, expected)
            ok = ok and again == "FBTEST READY" and bad == 0 and exited == "FBTEST EXITED 255" and text > 0
            summary += "; again %d pixels differ; SIGSEGV: %s, then %d pixels of console text" % (bad, exited, text)
        else:
            if name == "16 bpp":
                m.send("rotate")
                again = m.wait_for("FBTEST ", 300)
                want = turned(expect(layout, flags.split()[-1], True))
                shot, bad, first = settle(m, shot_path + ".rotated.ppm", want, depth)
                ok = ok and again == "FBTEST READY" and bad == 0
                summary += "; --rotate 90: %d pixels differ%s" % (bad, ", " + first if bad else "")
            m.send("exit")
            exited = m.wait_for("FBTEST EXITED", 30)
            ok = ok and exited == "FBTEST EXITED 0"
            summary += "; exit: %s" % exited
        if not ok:
            m.send("log")
            time.sleep(1)
            summary += "\n" + "\n".join(l for l in m.transcript if l.startswith("FBTEST LOG"))
        m.send("off")
        m.proc.wait(timeout=30)
        return ok, summary + " (%.1f s)" % (time.monotonic() - t0)
    finally:
        m.close()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    cache = os.path.join(build, "fb-test")
    os.makedirs(cache, exist_ok=True)
    t0 = time.monotonic()
    vmlinuz = qemu_screen.debian_kernel(cache)
    clip_dir = clips(cache)
    initrd = os.path.join(cache, "initrd.cpio")
    initramfs(build, clip_dir, initrd)
    expected, lock = {}, threading.Lock()
    def expect(layout, flags, portrait=False):  # portrait: the upright screen of --rotate 90
        key = (layout, flags, portrait)
        with lock:
            if key not in expected:
                path = os.path.join(cache, "expect-%s-%s%s.ppm" % (layout, flags, "-portrait" * portrait))
                sh([os.path.join(build, "tests", "fb_expect"), flags, layout, *map(str, (HEIGHT, WIDTH) if portrait else (WIDTH, HEIGHT)),
                    os.path.join(HERE, "commands"), clip_dir, path], stdout=subprocess.DEVNULL)
                expected[key] = read_ppm(path)
            return expected[key]
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    runs = [r for r in RUNS if only in r[0]]
    # Two machines at a time: each is one emulated processor.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda r: run(cache, vmlinuz, initrd, expect, *r), runs))
    for (name, *_), (ok, summary) in zip(runs, results):
        log("%s %s: %s" % ("PASS" if ok else "FAIL", name, summary))
    passed = sum(ok for ok, _ in results)
    failed = len(results) - passed
    log("total %.1f s" % (time.monotonic() - t0))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
