"""The screen of a QEMU machine: QMP's screendump read back as RGB, and a
pixel by pixel comparison with an expected picture. For tests/fb/run.py (the
x86 framebuffers) and tests/arm64/screen.py (the arm64 one)."""
import json
import socket


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
