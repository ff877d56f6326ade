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
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from qemu_screen import Machine  # noqa: E402

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


def log(*a):
    print("test-system:", *a, flush=True)


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
