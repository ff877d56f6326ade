"""The machine of make test-system: Debian 12 as users run it, booted with
systemd under QEMU x86_64 (TCG where there is no KVM) with a framebuffer
(the standard VGA, whose DRM driver bochs offers /dev/fb0 and /dev/dri/card0).

Its root file system is made from Debian's packages by mmdebstrap: systemd,
udev, Debian's kernel and initramfs, ffmpeg (the media sources, served
inside on 127.0.0.1), python3 (the agent, tools/vm_agent.py, which runs the
host's commands), and every package that the .deb under test depends on, so
that `apt-get install ./velmor_*.deb` needs no network (the machine has
none). It is made once into an ext4 image, with the kernel and initramfs
beside it, in CACHE (build-deb/system-test), and made again only when the
package list changes; each boot writes to a throw-away snapshot of it.
"""
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from qemu_screen import Machine, settle  # noqa: E402

PACKAGES = ["systemd-sysv", "udev", "kmod", "procps", "linux-image-amd64", "python3", "ffmpeg"]
HERE = os.path.dirname(os.path.abspath(__file__))
# Debian's initramfs with the few modules that mount the root file system
# (a virtio disk, ext4): made twice while the packages install, and unpacked
# at each boot, all of them would take minutes under emulation.
INITRAMFS_HOOK = """#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
for m in virtio_pci virtio_blk crc32c_generic ext4; do force_load $m; done
"""
AGENT_UNIT = """[Unit]
Description=velmor test agent: runs the host's commands (tools/vm_agent.py)
[Service]
ExecStart=/bin/sh -c 'until ls /sys/class/virtio-ports/*/name >/dev/null 2>&1; do sleep 0.1; done; \
for p in /sys/class/virtio-ports/*; do python3 -u /usr/local/lib/velmor-test/vm_agent.py /dev/$${p##*/} & done; \
echo "velmor-vm: ready $(cut -d" " -f1 /proc/uptime) s" > /dev/ttyS0; wait'
[Install]
WantedBy=multi-user.target
"""


STARTED = time.monotonic()


def log(*a):
    print("test-system: [%5.1f s]" % (time.monotonic() - STARTED), *a, flush=True)


def depends(deb):
    """The names of the packages that `deb` depends on (first of each choice)."""
    field = subprocess.run(["dpkg-deb", "--field", deb, "Depends"], capture_output=True, text=True,
                           check=True).stdout
    return sorted({d.split("|")[0].split("(")[0].strip() for d in field.split(",") if d.strip()})


def image(cache, deb):
    """(kernel, initramfs, root image) of the machine, made when missing."""
    packages = sorted(set(PACKAGES + depends(deb)))
    with open(os.path.join(HERE, "..", "vm_agent.py"), "rb") as f:
        agent = f.read()
    key = hashlib.sha256((",".join(packages) + INITRAMFS_HOOK + AGENT_UNIT).encode() + agent).hexdigest()
    stamp, img = os.path.join(cache, "rootfs.stamp"), os.path.join(cache, "rootfs.img")
    kernels = sorted(glob.glob(os.path.join(cache, "vmlinuz-*")))
    if kernels and os.path.exists(img) and os.path.exists(stamp) and open(stamp).read() == key:
        return kernels[-1], kernels[-1].replace("vmlinuz-", "initrd.img-"), img
    log("making the root file system from Debian's packages:", ",".join(packages))
    shutil.rmtree(cache, ignore_errors=True)
    root = os.path.join(cache, "rootfs")
    os.makedirs(cache)
    suite = subprocess.run(["sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME"], capture_output=True,
                           text=True, check=True).stdout.strip()
    hook = os.path.join(cache, "initramfs-hook")
    with open(hook, "w") as f:
        f.write(INITRAMFS_HOOK)
    setup = ('mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks" && '
             'echo MODULES=list > "$1/etc/initramfs-tools/conf.d/velmor-test" && '
             'install -m 755 %s "$1/etc/initramfs-tools/hooks/velmor-test"' % hook)
    subprocess.run(["mmdebstrap", "--quiet", "--variant=minbase", "--include=" + ",".join(packages),
                    "--setup-hook=" + setup, suite, root], check=True, stdout=subprocess.DEVNULL)

    def put(path, text, mode=0o644):
        path = os.path.join(root, path.lstrip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        os.chmod(path, mode)
    put("/etc/fstab", "/dev/vda / ext4 rw 0 1\n")
    put("/etc/hostname", "velmor-test\n")
    put("/etc/hosts", "127.0.0.1 localhost velmor-test\n")
    put("/usr/local/lib/velmor-test/vm_agent.py", agent)
    put("/etc/systemd/system/velmor-test-agent.service", AGENT_UNIT)
    os.symlink("/etc/systemd/system/velmor-test-agent.service",
               os.path.join(root, "etc/systemd/system/multi-user.target.wants/velmor-test-agent.service"))
    boot = os.path.join(root, "boot")
    for f in glob.glob(os.path.join(boot, "vmlinuz-*")) + glob.glob(os.path.join(boot, "initrd.img-*")):
        shutil.copy(f, cache)
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", root, "-L", "root", img + ".tmp", "3G"], check=True)
    os.rename(img + ".tmp", img)
    shutil.rmtree(root)
    with open(stamp, "w") as f:
        f.write(key)
    return image(cache, deb)


def boot(cache, deb, cpus=2, timeout=240):
    """The machine booted, its agent answering; a Machine (close it)."""
    kernel, initrd, img = image(cache, deb)
    accel = ["-accel", "kvm"] if os.access("/dev/kvm", os.W_OK) else ["-accel", "tcg,thread=multi"]
    m = Machine("qemu-system-x86_64", accel + [
        "-machine", "pc", "-cpu", "max", "-smp", str(cpus), "-m", "1536", "-vga", "std", "-nic", "none",
        "-kernel", kernel, "-initrd", initrd,
        # Kernel messages on the screen's console too: the player must keep
        # them off its windows.
        "-append", "root=/dev/vda rootfstype=ext4 rw console=tty0 console=ttyS0 quiet video=1024x768 panic=-1",
        "-drive", "file=%s,format=raw,if=virtio,snapshot=on" % img], cache, "system", agents=1)
    ready = m.wait_for("velmor-vm: ready", timeout)
    if ready is None:
        m.close()
        raise RuntimeError("the machine did not start:\n" + "\n".join(m.transcript[-40:]))
    log(ready)
    return m


def until(what, timeout=30):
    """what() once true, or its last value after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not what() and time.monotonic() < deadline:
        time.sleep(0.5)
    return what()


class System:
    """The booted machine (boot()) and what the checks ask of it."""

    def __init__(self, cache, deb):
        self.cache = cache
        self.m = boot(cache, deb)

    def close(self):
        self.m.close()

    def sh(self, cmd, input=None, timeout=120):
        """(status, stdout, stderr) of a shell command run as root."""
        return self.m.run(["/bin/sh", "-c", cmd], input=input.encode() if isinstance(input, str) else input,
                          timeout=timeout)

    def show(self, *props):
        """Properties of velmor.service, as systemctl show gives them."""
        out = self.sh("systemctl show velmor -p " + " -p ".join(props))[1]
        return dict(line.split("=", 1) for line in out.splitlines())

    def journal(self):
        """(priority, message) of every line the player wrote to the journal."""
        out = self.sh("journalctl -u velmor -o json --no-pager _COMM=velmor")[1]
        return [(int(e["PRIORITY"]), e["MESSAGE"]) for e in map(json.loads, out.splitlines())
                if isinstance(e.get("MESSAGE"), str)]

    def stats(self):
        """velmorctl stats, by stream name: its key=value fields."""
        out = self.sh("velmorctl stats")[1]
        lines = (dict(re.findall(r"(\w+)=(\"[^\"]*\"|\S+)", line)) for line in out.splitlines())
        return {s["name"]: s for s in lines if "name" in s}

    def serve(self, colours, port):
        """ffmpeg serves a picture of each colour (its name) as MJPEG on
        127.0.0.1:port[colour], one client at a time, again after each;
        true once all listen."""
        for c in colours:
            self.sh("systemd-run -q --unit=media-%s -p Restart=always -p RestartSec=200ms ffmpeg -nostdin -v error "
                    "-re -f lavfi -i color=c=%s:s=160x120:r=5 -c:v mjpeg -f mjpeg tcp://127.0.0.1:%d?listen"
                    % (c, c, port[c]))
        return until(lambda: all(":%04X 00000000:0000 0A" % port[c] in self.sh("cat /proc/net/tcp")[1]
                                 for c in colours), 90)

    def screen(self, name, judge, timeout=60):
        """The screenshot once judge(shot) finds nothing wrong, or the last
        one after `timeout` s; with judge's last word."""
        return settle(self.m, os.path.join(self.cache, "shot-%s.ppm" % name), judge, timeout)


def windows_wrong(shot, windows, colours, size, black=True):
    """What is wrong on a screenshot: windows ({name: (x, y)} of `size`)
    whose inner points are not of their colour, and (black) anything but
    black outside them."""
    w, h, px = shot
    (ww, wh) = size
    at = lambda x, y: px[3 * (y * w + x):3 * (y * w + x) + 3]
    bad = ["%s at %s is %s" % (n, (x + dx, y + dy), tuple(at(x + dx, y + dy)))
           for n, (x, y) in windows.items() for dx in range(ww // 5, ww, ww // 5) for dy in range(wh // 5, wh, wh // 5)
           if any(abs(a - b) > 48 for a, b in zip(at(x + dx, y + dy), colours[n]))]
    inside = lambda x, y: any(wx <= x < wx + ww and wy <= y < wy + wh for wx, wy in windows.values())
    text = sum(1 for y in range(0, h, 2) for x in range(0, w, 2) if not inside(x, y) and max(at(x, y)) > 40)
    return bad[:3] + (["%d pixels outside the windows are not black" % text] if black and text else [])
