"""The test machines' QEMU, in one place for make test-fb (tests/fb/run.py),
make test-arm64 (tools/arm64/test, vm-run, tests/arm64/screen.py) and make
test-system (tools/system/machine.py):

- Machine: QEMU started with its monitor (QMP) on a socket, the serial line
  on pipes (read line by line) or in a file, and virtio serial ports for
  the agent (tools/vm_agent.py) that runs commands in the machine;
- Qmp: QEMU's monitor protocol, screendump read back as RGB;
- agent_run: one command through an agent port;
- differences and settle: a screenshot compared pixel by pixel with an
  expected picture;
- text_over_black: what a console draws once a player has ended;
- debian_kernel, debian_modules, cpio and initramfs: Debian's kernel image
  and some of its modules, and initramfs archives.

    python3 tools/qemu_screen.py QEMU [--qmp PATH] [--serial FILE]
        [--agent PATH]... -- ARG...
runs QEMU as Machine does, in the foreground (for shell scripts).
"""
import base64
import glob
import json
import os
import queue
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import uuid


def qemu_argv(qemu, args, qmp=None, serial=None, agents=()):
    """QEMU's command line: no window, no reboot, no human monitor; QMP on
    the socket `qmp`; the serial line on standard input and output, or in
    the file `serial`; one virtio serial port "velmor.agent.N" per socket
    path of `agents` (the agent's host end, connected at any time)."""
    argv = [qemu, "-display", "none", "-no-reboot", "-monitor", "none",
            "-serial", "file:" + serial if serial else "stdio"]
    if qmp:
        argv += ["-qmp", "unix:%s,server=on,wait=off" % qmp]
    if agents:
        argv += ["-device", "virtio-serial-pci" if "x86" in qemu else "virtio-serial-device"]
    for i, path in enumerate(agents):
        argv += ["-chardev", "socket,id=agent%d,path=%s,server=on,wait=off" % (i, path),
                 "-device", "virtserialport,chardev=agent%d,name=velmor.agent.%d" % (i, i)]
    return argv + list(args)


def remove(*paths):
    for p in paths:
        if p and os.path.lexists(p):
            os.unlink(p)


class Machine:
    """A QEMU machine whose serial line is read line by line (`lines`, and
    all of it in `transcript`), with QMP (`qmp`) and agent ports."""

    def __init__(self, qemu, args, folder, tag, agents=0):
        self.qmp_path = os.path.join(folder, "qmp-%s.sock" % tag)
        self.agent_paths = [os.path.join(folder, "agent-%s.%d.sock" % (tag, i)) for i in range(agents)]
        remove(self.qmp_path, *self.agent_paths)
        self.proc = subprocess.Popen(qemu_argv(qemu, args, self.qmp_path, None, self.agent_paths),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines = queue.Queue()
        self.transcript = []
        threading.Thread(target=self._read, daemon=True).start()
        self.qmp = Qmp(self.qmp_path)

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.transcript.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def wait_for(self, prefix, timeout):
        """The first serial line that starts with `prefix`, or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            if line is None:
                return None
            if line.startswith(prefix):
                return line

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def screendump(self, path):
        return self.qmp.screendump(path)

    def run(self, argv, input=None, timeout=120, port=0):
        """(exit status, stdout, stderr) of argv run by the agent on `port`."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.agent_paths[port])
            s.settimeout(timeout)
            out, err = [], []
            status = agent_run(s, argv, "/", {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"},
                               out.append, err.append, input)
            return status, b"".join(out).decode(errors="replace"), b"".join(err).decode(errors="replace")

    def close(self):
        self.qmp.close()
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        remove(self.qmp_path, *self.agent_paths)


def agent_run(sock, argv, cwd, env, on_out, on_err, input=None):
    """Runs argv through a connected agent port (tools/vm_agent.py): output
    and errors to the callbacks, as bytes; returns the exit status (125 when
    the agent went away)."""
    rid = uuid.uuid4().hex
    request = {"id": rid, "argv": argv, "cwd": cwd, "env": env}
    if input is not None:
        request["input"] = base64.b64encode(input).decode()
    sock.sendall(json.dumps(request).encode() + b"\n")

    def read_exact(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise EOFError("the test machine closed the connection")
            data += chunk
        return data
    # Frames before our own 'a' are the tail of a run whose host was killed.
    ours = False
    while True:
        kind = read_exact(1)
        data = read_exact(struct.unpack(">I", read_exact(4))[0])
        if kind == b"a":
            ours = data.decode() == rid
        elif not ours:
            continue
        elif kind == b"o":
            on_out(data)
        elif kind == b"e":
            on_err(data)
        elif kind == b"x":
            return int(data)


class Qmp:
    """QEMU's monitor protocol on the Unix socket of -qmp unix:PATH,server=on."""

    def __init__(self, path):
        self.path, self.sock = path, None

    def execute(self, command, **arguments):
        if self.sock is None:
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.settimeout(30)
            self.sock.connect(self.path)
            self.input = self.sock.makefile("r")
            json.loads(self.input.readline())  # greeting
            self.execute("qmp_capabilities")
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode())
        while True:
            answer = json.loads(self.input.readline())
            if "return" in answer or "error" in answer:
                return answer

    def screendump(self, path):
        """The screen as (width, height, RGB bytes), left in `path` (PPM)."""
        answer = self.execute("screendump", filename=path)
        if "error" in answer:
            raise RuntimeError(answer)
        return read_ppm(path)

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    assert fields[0] == b"P6" and fields[3] == b"255", path
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[at + 1:at + 1 + 3 * w * h]


def differences(shot, want, depth):
    """Pixels that differ in the bits the device holds (5-6-5 at 16 bpp), and
    the first of them with the largest difference of a channel, as text."""
    (w, h, a), (w2, h2, b) = shot, want
    if (w, h) != (w2, h2):
        return w * h, "size %dx%d, expected %dx%d" % (w, h, w2, h2)
    masks = (0xF8, 0xFC, 0xF8) if depth == 16 else (0xFF, 0xFF, 0xFF)
    mask = int.from_bytes(bytes(masks) * (w * h), "big")
    if int.from_bytes(a, "big") & mask == int.from_bytes(b, "big") & mask:
        return 0, None
    bad, first, worst = 0, None, 0
    for i in range(w * h):
        p, q = a[3 * i:3 * i + 3], b[3 * i:3 * i + 3]
        if p != q and any((p[c] ^ q[c]) & masks[c] for c in range(3)):
            bad += 1
            worst = max([worst] + [abs((p[c] & masks[c]) - (q[c] & masks[c])) for c in range(3)])
            if first is None:
                first = "first at (%d,%d): %s, expected %s" % (i % w, i // w, tuple(p), tuple(q))
    return bad, "%s; largest channel difference %d" % (first, worst)


def settle(screen, path, judge, timeout=60):
    """Screenshots (through screen.screendump) until judge(shot) says there
    is nothing wrong (a false value), or timeout seconds have passed; the
    last shot and judge's last word."""
    deadline = time.monotonic() + timeout
    while True:
        shot = screen.screendump(path)
        wrong = judge(shot)
        if not wrong or time.monotonic() > deadline:
            return shot, wrong
        time.sleep(0.5)


def text_over_black(screen, path, shot, expected, timeout=10):
    """Pixels changed since `shot` where the expected picture is black (the
    console's text once the player has ended), waiting at most timeout
    seconds for some."""
    deadline = time.monotonic() + timeout
    while True:
        w, h, after = screen.screendump(path)
        text = sum(1 for i in range(w * h) if after[3 * i:3 * i + 3] != shot[2][3 * i:3 * i + 3]
                   and expected[2][3 * i:3 * i + 3] == b"\0\0\0")
        if text > 0 or time.monotonic() > deadline:
            return text
        time.sleep(0.2)


def debian_kernel(cache):
    """Debian's current 6.1 kernel image (linux-image-amd64), unpacked once
    into `cache`."""
    found = glob.glob(os.path.join(cache, "vmlinuz-*"))
    if found:
        return found[0]

    def package():
        out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True, text=True).stdout
        names = [l.split()[-1] for l in out.splitlines() if "Depends: linux-image-6.1" in l]
        return names[0] if names else None
    tmp = os.path.join(cache, "kernel")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)

    def download():
        name = package()
        return name is not None and subprocess.run(
            ["apt-get", "download", "-qq", "-o", "APT::Sandbox::User=root", name], cwd=tmp).returncode == 0
    # Package lists that are missing or older than the archive: once more
    # after an update.
    if not download():
        subprocess.run(["apt-get", "update", "-qq"], check=True)
        if not download():
            raise RuntimeError("cannot download the kernel package")
    deb = glob.glob(os.path.join(tmp, "*.deb"))[0]
    subprocess.run(["dpkg-deb", "-x", deb, os.path.join(tmp, "x")], check=True)
    image = glob.glob(os.path.join(tmp, "x", "boot", "vmlinuz-*"))[0]
    shutil.copy(image, cache)
    shutil.rmtree(tmp)
    return os.path.join(cache, os.path.basename(image))


def debian_modules(cache, vmlinuz, names):
    """The kernel modules `names` of the package that `vmlinuz` came from,
    with those they depend on, in loading order: [(name, bytes)]. Kept in
    `cache`/modules once read from the package."""
    folder = os.path.join(cache, "modules")
    if not os.path.isdir(folder):
        tmp = os.path.join(cache, "modules.tmp")
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        package = "linux-image-" + os.path.basename(vmlinuz)[len("vmlinuz-"):]
        subprocess.run(["apt-get", "download", "-qq", "-o", "APT::Sandbox::User=root", package], cwd=tmp, check=True)
        deb = glob.glob(os.path.join(tmp, "*.deb"))[0]
        subprocess.run(["dpkg-deb", "-x", deb, os.path.join(tmp, "x")], check=True)
        os.makedirs(os.path.join(tmp, "ko"))
        # The display drivers and the virtio transport, not the 300 MB of all.
        for part in ("gpu", "virtio"):
            for p in glob.glob(os.path.join(tmp, "x", "lib", "modules", "*", "kernel", "drivers", part, "**", "*.ko"),
                               recursive=True):
                shutil.move(p, os.path.join(tmp, "ko", os.path.basename(p).replace("-", "_")))
        os.rename(os.path.join(tmp, "ko"), folder)
        shutil.rmtree(tmp)
    order = []
    def walk(name):
        with open(os.path.join(folder, name + ".ko"), "rb") as f:
            data = f.read()
        at = data.find(b"\0depends=")
        deps = data[at + 9:data.index(b"\0", at + 9)].decode() if at >= 0 else ""
        for dep in deps.split(","):
            if dep:
                walk(dep.replace("-", "_"))
        if name not in [n for n, _ in order]:
            order.append((name, data))
    for name in names:
        walk(name)
    return order


def cpio(entries, out):
    """A newc archive of (path, mode, bytes) entries."""
    with open(out, "wb") as f:
        for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
            n = name.encode() + b"\0"
            fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(n), 0)
            h = b"070701" + b"".join(b"%08X" % v for v in fields)
            f.write(h + n + b"\0" * (-(len(h) + len(n)) % 4))
            f.write(data + b"\0" * (-len(data) % 4))


def initramfs(out, programs, files):
    """A newc archive for a test machine: busybox, `programs` (path there,
    path here) with every shared library they load, and `files` (path there,
    bytes, mode)."""
    entries, seen = [], set()
    def add(path, data, mode):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in seen:
                seen.add(d)
                entries.append((d, mode if i == len(parts) else 0o40755, data if i == len(parts) else b""))
    def read(p):
        with open(p, "rb") as f:
            return f.read()
    add("/bin/busybox", read(shutil.which("busybox")), 0o100755)
    for there, here in programs:
        add(there, read(here), 0o100755)
        for line in subprocess.run(["ldd", here], capture_output=True, text=True, check=True).stdout.splitlines():
            words = line.split()
            lib = words[2] if "=>" in words and len(words) > 2 and words[2].startswith("/") else words[0]
            if lib.startswith("/"):
                add(lib, read(os.path.realpath(lib)), 0o100755)
    for path, data, mode in files:
        add(path, data, mode)
    cpio(entries, out)


def main(argv):
    """The command line of the module: QEMU in the foreground."""
    if "--" not in argv or len(argv) < 2:
        sys.exit(__doc__)
    qemu, opts, args = argv[1], argv[2:argv.index("--")], argv[argv.index("--") + 1:]
    qmp, serial, agents = None, None, []
    while opts:
        name, value, opts = opts[0], opts[1], opts[2:]
        if name == "--qmp":
            qmp = value
        elif name == "--serial":
            serial = value
        elif name == "--agent":
            agents.append(value)
        else:
            sys.exit("qemu_screen.py: unknown option " + name)
    remove(qmp, *agents)
    argv = qemu_argv(qemu, args, qmp, serial, agents)
    os.execvp(argv[0], argv)


if __name__ == "__main__":
    main(sys.argv)
