#!/usr/bin/env python3
"""The player on real kernel framebuffers: boots Debian's kernel under QEMU
with vesafb at 16, 24 and 32 bits per pixel, plays the clips of
tests/fb/commands from an initramfs into /dev/fb0, and compares QEMU's
screenshot pixel by pixel with the picture that tests/fb/expect.cpp paints
on a memory surface of the same layout. A last run leaves the kernel console
bound to the framebuffer and writing, and ends the player with SIGTERM, then
a second one with SIGSEGV (its crash report): the screen must hold the
windows and black only, and the console's text must come back each time.

    run.py BUILD_DIR [RUN]    (make test-fb; RUN: the runs whose name holds it)

Kernel and clips are cached in BUILD_DIR/fb-test; the screenshots and expected
pictures of the last run are left there.
"""
import concurrent.futures
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import qemu_screen  # noqa: E402
from qemu_screen import Machine, differences, read_ppm, text_over_black  # noqa: E402
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


def initramfs(build, clip_dir, out, files=()):
    """The player and fb_expect, the clips, the command file and the init
    script, with `files` (path, bytes)."""
    def read(p):
        with open(p, "rb") as f:
            return f.read()
    files = [("/clips/" + c, read(os.path.join(clip_dir, c)), 0o100644) for c in sorted(os.listdir(clip_dir))] + [
        (p, d, 0o100644) for p, d in files] + [("/commands", read(os.path.join(HERE, "commands")), 0o100644),
                                               ("/init", read(os.path.join(HERE, "init")), 0o100755)]
    qemu_screen.initramfs(out, [("/bin/velmor", os.path.join(build, "velmor")),
                                ("/bin/fb_expect", os.path.join(build, "tests", "fb_expect"))], files)


def machine(cache, vmlinuz, initrd, tag, append, display=("-vga", "std")):
    """QEMU with the serial line on pipes and the monitor (QMP) on a socket."""
    return Machine("qemu-system-x86_64", ["-machine", "pc", "-cpu", "max", "-m", "1024", "-smp", "1", *display,
                                          "-net", "none", "-kernel", vmlinuz, "-initrd", initrd,
                                          "-append", "quiet panic=-1 " + append], cache, tag)


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


EXPECTED, EXPECTED_LOCK = {}, threading.Lock()


def expect(build, cache, clip_dir, layout, flags, portrait=False):
    """The picture that fb_expect paints for the commands on a surface of
    `layout` with the CPU flags of the test machine, made once a run;
    portrait: the upright screen of --rotate 90."""
    key = (layout, flags, portrait)
    with EXPECTED_LOCK:
        if key not in EXPECTED:
            path = os.path.join(cache, "expect-%s-%s%s.ppm" % (layout, flags, "-portrait" * portrait))
            sh([os.path.join(build, "tests", "fb_expect"), flags, layout,
                *map(str, (HEIGHT, WIDTH) if portrait else (WIDTH, HEIGHT)),
                os.path.join(HERE, "commands"), clip_dir, path], stdout=subprocess.DEVNULL)
            EXPECTED[key] = read_ppm(path)
        return EXPECTED[key]


def turned(picture):  # 90 degrees clockwise
    w, h, px = picture
    return h, w, b"".join(px[3 * ((h - 1 - x) * w + y):3 * ((h - 1 - x) * w + y) + 3]
                          for y in range(w) for x in range(h))


class Boot:
    """One machine of the player's tests, its checks printed as they come."""
    def __init__(self, m, name, tag, cache, t0):
        self.m, self.name, self.tag, self.t0, self.failures = m, name, tag, t0, []
        self.path = os.path.join(cache, "shot-%s.ppm" % tag)

    def check(self, ok, what):
        print("%s: %s %s: %s (at %.0f s)" % (self.name, "PASS" if ok else "FAIL", self.tag, what,
                                            time.monotonic() - self.t0), flush=True)
        if not ok:
            self.failures.append(what)
        return ok

    def start(self, expect):
        """Waits for the CPU flags, paints the expected picture with them
        (expect(flags)), waits for the player; False if something failed."""
        flags = self.m.wait_for("FBTEST ", 300) or ""
        if not self.check(flags.startswith("FBTEST CPUFLAGS 0x"), "boot: " + flags):
            return print("\n".join(self.m.transcript[-40:])), False
        self.flags = flags.split()[-1]
        self.expected = expect(self.flags)
        return self.ready()

    def ready(self):
        ready = self.m.wait_for("FBTEST ", 300) or ""
        if not self.check(ready.startswith("FBTEST READY"), "ready: " + ready):
            return print("\n".join(self.m.transcript[-60:])), False
        self.started = float(ready.split()[-1])
        return True

    def screen(self, depth, suffix=""):
        """The screenshot, once it equals the expected picture (60 s at most)."""
        self.shot, bad, first = settle(self.m, self.path + suffix, self.expected, depth)
        w, h, _ = self.shot
        wrong = wrong_quadrants(self.shot)
        self.check(bad == 0 and not wrong, "screenshot%s: %d of %d pixels as expected (%s), wrong colours %s" % (
            suffix, w * h - bad, w * h, first, wrong))

    def end(self, order, status, text=True):
        """`order` ends the player with `status`; then, with `text`, the
        console takes the screen back and draws its text again."""
        self.m.send(order)
        exited = self.m.wait_for("FBTEST EXITED", 30)
        pixels = text_over_black(self.m, self.path + ".after-" + order + ".ppm", self.shot, self.expected) if text else 0
        self.check(exited == "FBTEST EXITED %d" % status and (pixels > 0 or not text),
                   "%s: %s" % (order, exited) + (", then %d pixels of console text" % pixels if text else ""))

    def close(self):
        if self.failures:  # the player's output, in the lines of the `log` order
            self.m.send("log")
            self.m.wait_for("FBTEST NONE", 2)
            print("\n".join(self.m.transcript[-200:]))
        self.m.send("off")
        self.m.proc.wait(timeout=30)


def run(build, cache, vmlinuz, initrd, clip_dir, t0, name, mode, depth, layout, bound):
    """One boot; returns its failures."""
    tag = name.replace(" ", "").replace(",", "-")
    # Bound, the kernel's messages go to the framebuffer's console only: on
    # the serial line they would cut into the FBTEST lines.
    append = "vga=" + mode + (" fbtest.bound console=tty0" if bound == "bound" else " console=ttyS0")
    b = Boot(machine(cache, vmlinuz, initrd, tag, append), "test-fb", tag, cache, t0)
    try:
        if not b.start(lambda flags: expect(build, cache, clip_dir, layout, flags)):
            return b.failures
        b.screen(depth)
        if bound == "bound":
            # SIGTERM ends the player as exit does, and a crash report ends
            # a second one: each time the console takes the screen back.
            b.end("term", 0)
            b.m.send("again")
            if b.ready():
                b.screen(depth, ".again")
                b.end("segv", 255)
        else:
            if name == "16 bpp":
                b.m.send("rotate")
                if b.ready():
                    want = turned(expect(build, cache, clip_dir, layout, b.flags, True))
                    _, bad, first = settle(b.m, b.path + ".rotated", want, depth)
                    b.check(bad == 0, "--rotate 90: %d pixels differ %s" % (bad, first))
            b.end("exit", 0, text=False)
        b.close()
    finally:
        b.m.close()
    return b.failures


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    cache = os.path.join(build, "fb-test")
    os.makedirs(cache, exist_ok=True)
    t0 = time.monotonic()
    vmlinuz = qemu_screen.debian_kernel(cache)
    clip_dir = clips(cache)
    initrd = os.path.join(cache, "initrd.cpio")
    initramfs(build, clip_dir, initrd)
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    # Two machines at a time: each is one emulated processor.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        failures = sum(pool.map(lambda r: run(build, cache, vmlinuz, initrd, clip_dir, t0, *r),
                                [r for r in RUNS if only in r[0]]), [])
    print("test-fb: total %.1f s\n%d failed" % (time.monotonic() - t0, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
