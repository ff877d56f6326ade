#!/usr/bin/env python3
"""test-fb's clips and windows with --output drm on Debian's bochs and
virtio_gpu drivers under QEMU. run.py BUILD_DIR (make test-drm)."""
import base64
import concurrent.futures
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "fb"))
import qemu_screen  # noqa: E402
from qemu_screen import read_ppm  # noqa: E402
import run as fb  # noqa: E402  test-fb's clips and checks

WIDTH, HEIGHT = fb.WIDTH, fb.HEIGHT
FLIP_SLACK = 2  # flips of the refresh periods a sample cuts
STATS_LATE_S = 0.2  # the machine reads its clock after polling for the prompt, every 0.1 s


def stats(m):
    """(uptime, flips, refresh rate) from a `stats` order, Nones without."""
    m.send("stats")
    found = re.search(r"STATS ([0-9.]+) .* output=drm \d+x\d+@(\d+) flips=(\d+)", m.wait_for("FBTEST STATS", 30) or "")
    return (float(found[1]), int(found[3]), int(found[2])) if found else (None, None, None)


def snapshot(m, cache):
    """The player's snapshot, sent back as base64 PNG, as a screenshot."""
    m.send("snapshot")
    m.wait_for("FBTEST SNAPEND", 120)
    png, ppm = os.path.join(cache, "snapshot.png"), os.path.join(cache, "snapshot.ppm")
    with open(png, "wb") as f:
        f.write(base64.b64decode("".join(l[11:] for l in m.transcript if l.startswith("FBTEST B64 "))))
    fb.sh(["ffmpeg", "-v", "error", "-y", "-i", png, "-c:v", "ppm", "-pix_fmt", "rgb24", ppm])
    return read_ppm(ppm)


def boot(build, cache, vmlinuz, initrd, clip_dir, device, t0):
    """The failures on a machine with `device`: all checks on bochs-display."""
    tag = device.split("-")[0]
    b = fb.Boot(fb.machine(cache, vmlinuz, initrd, tag, "console=ttyS0",
                           ("-vga", "none", "-device", "%s,xres=%d,yres=%d" % (device, WIDTH, HEIGHT))),
                "test-drm", tag, cache, t0)
    m, check = b.m, b.check
    try:
        if not b.start(lambda flags: fb.expect(build, cache, clip_dir, "bgra", flags)):
            return b.failures
        up1, flips1, hz = stats(m)
        b.screen(32)
        shot = b.shot
        if tag == "bochs":
            check(qemu_screen.differences(snapshot(m, cache), shot, 32)[0] == 0, "snapshot equals the screenshot")
        up2, flips2, _ = stats(m)
        bound = (up2 - b.started) * hz + FLIP_SLACK if up1 and up2 else 0
        check(bound and 0 < flips1 < flips2 <= bound and flips2 - flips1 <= (up2 - up1 + STATS_LATE_S) * hz + FLIP_SLACK,
              "flips at %s Hz: %s after %s s, %s after %s s (at most %.0f)" % (hz, flips1, up1, flips2, up2, bound))
        if tag == "bochs":  # another terminal: no flip; back: the windows again
            m.send("away")
            m.wait_for("FBTEST AWAY", 30)
            away, _ = qemu_screen.settle(m, b.path + ".away.ppm", lambda s: qemu_screen.differences(s, shot, 32)[0] == 0)
            flips3, flips4 = stats(m)[1], stats(m)[1]
            m.send("back")
            m.wait_for("FBTEST BACK", 30)
            _, bad_back, _ = fb.settle(m, b.path + ".back.ppm", b.expected, 32)
            flips5 = stats(m)[1]
            changed = qemu_screen.differences(away, shot, 32)[0]
            check(changed > 0 and flips3 == flips4 and bad_back == 0 and (flips5 or 0) > flips4,
                  "terminal switch: away %d pixels changed, flips %s then %s; back %d pixels differ, flips %s" % (
                      changed, flips3, flips4, bad_back, flips5))
        b.end("term", 0)
        if tag == "bochs":  # again: a second player while this one holds master, then a crash
            m.send("again")
            if b.ready():
                b.screen(32, ".again")
                m.send("second")
                second = m.wait_for("FBTEST SECOND", 120) or ""
                check(re.search(r"auto=0 lines=1 drm=1 .*cannot use DRM: /dev/dri/card0: another program is DRM master",
                                second), "second player: " + second)
                b.end("segv", 255)
        b.close()
    finally:
        m.close()
    return b.failures


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    cache = os.path.join(build, "drm-test")
    os.makedirs(cache, exist_ok=True)
    t0 = time.monotonic()
    vmlinuz = qemu_screen.debian_kernel(cache)
    modules = qemu_screen.debian_modules(cache, vmlinuz, ["bochs", "virtio_pci", "virtio_gpu"])
    clip_dir = fb.clips(cache)
    initrd = os.path.join(cache, "initrd.cpio")
    fb.initramfs(build, clip_dir, initrd, [("/modules/%s.ko" % n, data) for n, data in modules]
                 + [("/modules/order", "\n".join(n for n, _ in modules).encode())])
    # Two machines at once, one emulated processor each.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        failures = sum(pool.map(lambda d: boot(build, cache, vmlinuz, initrd, clip_dir, d, t0),
                                ["bochs-display", "virtio-gpu-pci"]), [])
    print("test-drm: total %.1f s\n%d failed" % (time.monotonic() - t0, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
