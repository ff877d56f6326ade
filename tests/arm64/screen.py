#!/usr/bin/env python3
"""The arm64 player on a real framebuffer, then on DRM/KMS: the emulated machine of
tools/arm64/test has a virtio GPU whose kernel driver offers a framebuffer
(/dev/display-fb0 there) at 32 bits per pixel. There the player plays the clip quad.mkv of tests/fb into
the two windows that tests/fb/commands gives it; QEMU's screenshot must equal,
pixel by pixel, the picture tests/fb/expect.cpp paints on a memory surface of
the same layout in the same machine (the same FFmpeg, the same processor).

    screen.py BUILD_DIR    (a ctest test of the arm64 build; 77: no display)
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "fb"), os.path.join(HERE, "..", "..", "tools")]
import run as fb  # noqa: E402  tests/fb/run.py
from qemu_screen import Qmp, read_ppm  # noqa: E402

# The clip: one picture, repeated so that it outlasts the check (the
# emulated ffmpeg would take minutes to encode them all).
CLIP = r'''mkdir -p /clips && cd /clips && [ -e quad.mkv ] || {
  ffmpeg -v error -f lavfi -i "$1" -frames:v 1 quad.jpg &&
  ffmpeg -v error -loop 1 -framerate 25 -i quad.jpg -c:v copy -frames:v 30000 quad.mkv; } &&
printf '%s\n' "$2" > /tmp/commands'''
EXPECT = r'''"$1" $("$1" --cpu-flags) bgra 800 600 /tmp/commands /clips /tmp/expect.ppm >&2 && cat /tmp/expect.ppm'''
# The player on the device until the host is done: ready once each stream
# has handed over its first 250 pictures, as in tests/fb/init.
PLAY = r'''rm -f /tmp/in /tmp/done && mkfifo /tmp/in || exit 1
"$1" $2 --scale point < /tmp/in > /tmp/out 2>&1 &
pid=$!
exec 3> /tmp/in && cat /tmp/commands >&3
i=0
until [ "$(grep -c 'readed 250 frames' /tmp/out)" -ge 2 ]; do
  i=$((i + 1)); if [ $i -gt 1200 ] || ! kill -0 $pid; then cat /tmp/out; exit 1; fi; sleep 0.1
done
echo READY
until [ -e /tmp/done ] || [ $i -gt 3600 ]; do i=$((i + 1)); sleep 0.1; done
echo exit >&3; wait $pid; s=$?; echo "EXITED $s"; [ $s = 0 ] || cat /tmp/out >&2'''


def main():
    build = os.path.abspath(sys.argv[1])
    vm = os.path.join(build, "vm")
    if not os.path.exists(os.path.join(vm, "qmp.sock")):
        print("no display: the machine started with ARM64_DISPLAY=0")
        return 77
    os.environ["ARM64_VM"] = vm
    vm_run = [os.path.join(HERE, "..", "..", "tools", "arm64", "vm-run"), "/bin/sh", "-c"]
    t0 = time.monotonic()
    with open(os.path.join(HERE, "..", "fb", "commands")) as f:
        commands = "".join(l for l in f if l.startswith("play") and "/clips/quad.mkv" in l)
    subprocess.run(vm_run + [CLIP, "sh", fb.SOURCES["quad"], commands], check=True, timeout=240)
    want = os.path.join(vm, "screen-expect.ppm")
    with open(want, "wb") as f:
        subprocess.run(vm_run + [EXPECT, "sh", os.path.join(build, "tests", "fb_expect")], stdout=f, check=True,
                       timeout=240)
    expected = read_ppm(want)
    made = time.monotonic() - t0
    print("clip and expected picture in %.1f s" % made)
    failed = 0
    # The same picture through the framebuffer device, then through DRM/KMS
    # (page-flipped dumb buffers) on the same virtio GPU.
    for output in ("--fb /dev/display-fb0", "--output drm --card /dev/dri/card0"):
        player = subprocess.Popen(vm_run + [PLAY, "sh", os.path.join(build, "velmor"), output],
                                  stdout=subprocess.PIPE, text=True)
        qmp = Qmp(os.path.join(vm, "qmp.sock"))
        try:
            ready = player.stdout.readline().strip()
            if ready != "READY":
                print(output, "- the player did not start:", ready, player.stdout.read())
                return 1
            shot, bad, first = fb.settle(qmp, os.path.join(vm, "screen-shot.ppm"), expected, 32)
            wrong = fb.wrong_quadrants(shot)
        finally:
            qmp.close()
            subprocess.run(vm_run + ["touch /tmp/done"], timeout=60)
            exited = player.communicate(timeout=120)[0].strip()
        w, h, _ = shot
        print("%s: screenshot matched at %.1f s: %dx%d, %d of %d pixels as expected%s%s; %s"
              % (output, time.monotonic() - t0, w, h, w * h - bad, w * h,
                 "; %d differ, %s" % (bad, first) if bad else "", "; wrong colours: " + ", ".join(wrong) if wrong else "",
                 exited))
        failed += not (bad == 0 and not wrong and exited == "EXITED 0")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
