#!/usr/bin/env python3
"""The player on a real kernel DRM driver: boots Debian's kernel under QEMU
with bochs-display (the bochs module), plays the clips and windows of
test-fb with --output drm, and checks in one boot:
- QEMU's screenshot equals the picture tests/fb/expect.cpp paints, pixel for
  pixel, and the native window's colours are right;
- flips are counted, at most one per refresh period;
- `snapshot` equals the screenshot;
- while it holds DRM master, a second player with --output auto falls back
  to the framebuffer device with one line, and --output drm exits 1;
- switched to another terminal, it stops flipping and the console shows;
  switched back, it shows the windows again;
- SIGTERM, and a crash, give the console back (its text shows again).

    run.py BUILD_DIR    (make test-drm; cached in BUILD_DIR/drm-test)
"""
import base64
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "fb"))
import qemu_screen  # noqa: E402
from qemu_screen import Machine, cpio, read_ppm  # noqa: E402
import run as fb  # noqa: E402  test-fb's clips and checks

WIDTH, HEIGHT = fb.WIDTH, fb.HEIGHT
MODULES = ["bochs"]
FLIP_SLACK = 2


def log(*a):
    print("test-drm:", *a, flush=True)


def initramfs(build, clip_dir, modules, out):
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
    add("/bin/busybox", read(fb.shutil.which("busybox")))
    add("/bin/velmor", read(velmor))
    add("/bin/fb_expect", read(os.path.join(build, "tests", "fb_expect")))
    for line in subprocess.run(["ldd", velmor], capture_output=True, text=True, check=True).stdout.splitlines():
        words = line.split()
        lib = words[2] if "=>" in words and len(words) > 2 and words[2].startswith("/") else words[0]
        if lib.startswith("/"):
            add(lib, read(os.path.realpath(lib)))
    for c in sorted(os.listdir(clip_dir)):
        add("/clips/" + c, read(os.path.join(clip_dir, c)), 0o100644)
    for name, data in modules:
        add("/modules/%s.ko" % name, data, 0o100644)
    add("/modules/order", "\n".join(n for n, _ in modules).encode() + b"\n", 0o100644)
    add("/commands", read(os.path.join(HERE, "..", "fb", "commands")), 0o100644)
    add("/init", read(os.path.join(HERE, "init")))
    cpio(entries, out)


def stats(m):
    """(uptime, flips, refresh rate, the line) from a `stats` order."""
    m.send("stats")
    line = m.wait_for("FBTEST STATS", 30) or ""
    found = re.search(r"STATS ([0-9.]+) .* output=drm (\d+)x(\d+)@(\d+) flips=(\d+)", line)
    if not found:
        return None, None, None, line
    return float(found[1]), int(found[5]), int(found[4]), line


def snapshot(m, cache):
    """The player's snapshot (PNG sent back in base64), as a screenshot."""
    m.send("snapshot")
    chunks = []
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        line = m.wait_for("FBTEST ", 60)
        if line is None or line == "FBTEST SNAPEND":
            break
        if line.startswith("FBTEST B64 "):
            chunks.append(line[len("FBTEST B64 "):])
    png, ppm = os.path.join(cache, "snapshot.png"), os.path.join(cache, "snapshot.ppm")
    with open(png, "wb") as f:
        f.write(base64.b64decode("".join(chunks)))
    done = subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", png, "-f", "image2", "-c:v", "ppm",
                           "-pix_fmt", "rgb24", ppm])
    return read_ppm(ppm) if done.returncode == 0 else None


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    cache = os.path.join(build, "drm-test")
    os.makedirs(cache, exist_ok=True)
    t0 = time.monotonic()
    vmlinuz = qemu_screen.debian_kernel(cache)
    modules = qemu_screen.debian_modules(cache, vmlinuz, MODULES)
    clip_dir = fb.clips(cache)
    initrd = os.path.join(cache, "initrd.cpio")
    initramfs(build, clip_dir, modules, initrd)
    m = Machine("qemu-system-x86_64", ["-machine", "pc", "-cpu", "max", "-m", "1024", "-smp", "1", "-vga", "none",
                                       "-device", "bochs-display,xres=%d,yres=%d" % (WIDTH, HEIGHT),
                                       "-net", "none", "-kernel", vmlinuz, "-initrd", initrd,
                                       "-append", "quiet panic=-1 console=ttyS0"], cache, "bochs")
    shot_path = os.path.join(cache, "shot-bochs.ppm")
    failures = []
    def check(ok, what):
        log("%s %s (at %.0f s)" % ("PASS" if ok else "FAIL", what, time.monotonic() - t0))
        if not ok:
            failures.append(what)
    try:
        flags = m.wait_for("FBTEST ", 300)
        if flags is None or not flags.startswith("FBTEST CPUFLAGS 0x"):
            check(False, "boot: %s\n%s" % (flags, "\n".join(m.transcript[-40:])))
            return 1
        expect = os.path.join(cache, "expect.ppm")
        fb.sh([os.path.join(build, "tests", "fb_expect"), flags.split()[-1], "bgra", str(WIDTH), str(HEIGHT),
               os.path.join(HERE, "..", "fb", "commands"), clip_dir, expect], stdout=subprocess.DEVNULL)
        expected = read_ppm(expect)
        ready = m.wait_for("FBTEST ", 300) or ""
        if not ready.startswith("FBTEST READY"):
            check(False, "ready: %s\n%s" % (ready, "\n".join(m.transcript[-60:])))
            return 1
        started = float(ready.split()[-1])
        up1, flips1, hz, line = stats(m)
        shot, bad, first = fb.settle(m, shot_path, expected, 32)
        w, h, _ = shot
        wrong = fb.wrong_quadrants(shot)
        check(bad == 0 and not wrong, "screenshot %dx%d: %d of %d pixels as expected%s%s" % (
            w, h, w * h - bad, w * h, "; %d differ, %s" % (bad, first) if bad else "",
            "; wrong colours: " + ", ".join(wrong) if wrong else ""))
        snap = snapshot(m, cache)
        same = snap is not None and qemu_screen.differences(snap, shot, 32)[0] == 0
        check(same, "snapshot equals the screenshot" + ("" if snap else " (no snapshot)"))
        up2, flips2, _, line2 = stats(m)
        if None in (up1, up2):
            check(False, "stats: %r, %r" % (line, line2))
        else:
            bound = (up2 - started) * hz + FLIP_SLACK
            check(0 < flips1 < flips2 <= bound and flips2 - flips1 <= (up2 - up1) * hz + FLIP_SLACK,
                  "flips at %d Hz: %d after %.1f s, %d after %.1f s (at most %.0f)" % (
                      hz, flips1, up1 - started, flips2, up2 - started, bound))
        m.send("away")
        m.wait_for("FBTEST AWAY", 30)
        away, _ = qemu_screen.settle(m, shot_path + ".away.ppm", lambda s: qemu_screen.differences(s, shot, 32)[0] == 0,
                                     30)
        _, flips3, _, _ = stats(m)
        _, flips4, _, _ = stats(m)
        m.send("back")
        m.wait_for("FBTEST BACK", 30)
        _, bad_back, _ = fb.settle(m, shot_path + ".back.ppm", expected, 32)
        _, flips5, _, _ = stats(m)
        check(qemu_screen.differences(away, shot, 32)[0] > 0 and flips3 == flips4 and bad_back == 0
              and flips5 is not None and flips5 > flips4,
              "terminal switch: away %d pixels changed, flips %s then %s; back %d pixels differ, flips %s" % (
                  qemu_screen.differences(away, shot, 32)[0], flips3, flips4, bad_back, flips5))
        m.send("term")
        exited = m.wait_for("FBTEST EXITED", 30)
        text = fb.console_text(m, shot_path + ".after-term.ppm", shot, expected)
        check(exited == "FBTEST EXITED 0" and text > 0, "SIGTERM: %s, then %d pixels of console text" % (exited, text))
        # Again, for a second player while this one holds master, then a
        # crash (the second player gives the console back itself).
        m.send("again")
        again = m.wait_for("FBTEST READY", 300)
        _, bad_again, _ = fb.settle(m, shot_path + ".again.ppm", expected, 32)
        m.send("second")
        second = m.wait_for("FBTEST SECOND", 120) or ""
        check(again is not None and bad_again == 0 and re.search(
            r"auto=0 lines=1 drm=1 .*cannot use DRM: /dev/dri/card0: another program is DRM master", second),
            "second player: " + second)
        m.send("segv")
        exited = m.wait_for("FBTEST EXITED", 30)
        text = fb.console_text(m, shot_path + ".after-segv.ppm", shot, expected)
        check(exited == "FBTEST EXITED 255" and text > 0, "SIGSEGV: %s, then %d pixels of console text" % (exited, text))
        if failures:
            m.send("log")
            time.sleep(1)
            print("\n".join(l for l in m.transcript if l.startswith("FBTEST LOG")))
        m.send("off")
        m.proc.wait(timeout=30)
    finally:
        m.close()
        log("total %.1f s" % (time.monotonic() - t0))
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
