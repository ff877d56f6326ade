#!/usr/bin/env python3
"""Speed, latency and memory of velmor against the ffmpeg program doing the
same work on the same clips, in the same run.

The machine is shared and noisy: every figure is the median of several runs,
and the ratio within one run is what counts. Clips are made once with
FFmpeg's encoders from lavfi test sources with motion and kept in
BUILD/bench-clips. Servers run on 127.0.0.1 only.

usage: bench.py [BUILD_DIR]
BENCH_REPEATS (default 3) and BENCH_ONLY (a comma list of sections) narrow a run.
"""
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

from rtsp_server import RtspServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.path.join(ROOT, sys.argv[1] if len(sys.argv) > 1 else "build"))
VELMOR = os.path.join(BUILD, "velmor")
VBENCH = os.path.join(BUILD, "bench", "velmor_bench")
RBENCH = os.path.join(BUILD, "bench", "render_bench")
CLIPS = os.path.join(BUILD, "bench-clips")
REPEATS = int(os.environ.get("BENCH_REPEATS", "3"))
# Sections to run, comma separated (throughput,cpu,first,stop,rss,wall,lag; wall-h264 is
# the H.264 part of wall alone); all by default.
ONLY = [x for x in os.environ.get("BENCH_ONLY", "").split(",") if x]
WIN_W, WIN_H = 400, 300
SCALE = ["-vf", f"scale={WIN_W}:{WIN_H}:flags=neighbor", "-pix_fmt", "rgb565le", "-f", "null", "-"]
FFMPEG = ["ffmpeg", "-hide_banner", "-nostdin"]

# name: (frames, lavfi source, encoder arguments, container)
CLIP_RECIPES = {
    # A camera-like picture: moving test pattern with sensor noise.
    "mjpeg": (1500, "testsrc2=size=640x480:rate=25,noise=alls=12:allf=t",
              ["-c:v", "mjpeg", "-q:v", "4"], "mjpeg"),
    # A camera-like MJPEG picture without the noise: what a fixed camera sends.
    "cam": (1500, "testsrc2=size=640x480:rate=25", ["-c:v", "mjpeg", "-q:v", "5"], "mjpeg"),
    # A camera-like H.264 stream: no B-pictures, a keyframe every 2 s.
    "h264": (1000, "testsrc2=size=1280x720:rate=25,noise=alls=6:allf=t",
             ["-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-bf", "0", "-pix_fmt", "yuv420p"],
             "mpegts"),
    # The camera wall's H.264: the same at 640x360, 30 s.
    "wall": (750, "testsrc2=size=640x360:rate=25,noise=alls=6:allf=t",
             ["-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-bf", "0", "-pix_fmt", "yuv420p"],
             "mpegts"),
}
CLIP_EXT = {"mjpeg": "mjpeg", "mpegts": "ts"}


def log(*a):
    print(*a, flush=True)


def clip(name):
    frames, src, enc, fmt = CLIP_RECIPES[name]
    path = os.path.join(CLIPS, f"{name}-{frames}.{CLIP_EXT[fmt]}")
    if not os.path.exists(path):
        os.makedirs(CLIPS, exist_ok=True)
        log(f"making clip {os.path.basename(path)} ...")
        tmp = path + ".part"
        subprocess.run(FFMPEG + ["-loglevel", "error", "-y", "-f", "lavfi", "-i", src, "-frames:v", str(frames)]
                       + enc + ["-f", fmt, tmp], check=True)
        os.rename(tmp, path)
    return path, frames


def short_clip():
    """The first two seconds of the MJPEG clip: a file that ends soon."""
    path = os.path.join(CLIPS, "mjpeg-short.mjpeg")
    if not os.path.exists(path):
        src, _ = clip("mjpeg")
        subprocess.run(FFMPEG + ["-loglevel", "error", "-y", "-i", src, "-frames:v", "50", "-c", "copy",
                                 "-f", "mjpeg", path + ".part"], check=True)
        os.rename(path + ".part", path)
    return path


def annexb_clip():
    """The H.264 clip as a bare Annex-B stream, for the RTSP server."""
    src, frames = clip("h264")
    path = os.path.join(CLIPS, f"h264-{frames}.h264")
    if not os.path.exists(path):
        subprocess.run(FFMPEG + ["-loglevel", "error", "-y", "-i", src, "-c", "copy", "-f", "h264",
                                 path + ".part"], check=True)
        os.rename(path + ".part", path)
    return path


def median(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


# ------------------------------------------------------------------ helpers

def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def listening(port):
    """True once something listens on 127.0.0.1:port (without connecting,
    which would use up a one-client server)."""
    want = f":{port:04X}"
    for table in ("/proc/net/tcp",):
        with open(table) as f:
            for line in f.readlines()[1:]:
                parts = line.split()
                if parts[1].endswith(want) and parts[3] == "0A":
                    return True
    return False


def wait_listening(port, proc=None, timeout=10):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if listening(port):
            return True
        if proc is not None and proc.poll() is not None:
            return False
        time.sleep(0.005)
    return False


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return None


def stop_process(p):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(3)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


class Server:
    """The ffmpeg program serving a clip at real time as a one-client server."""

    def __init__(self, kind, path):
        self.port = free_port()
        self.rtsp = None
        if kind == "h264-rtsp":
            self.rtsp = RtspServer(path)
            self.url = self.rtsp.url
            return
        if kind == "mjpeg-tcp":
            out = ["-c", "copy", "-f", "mjpeg", f"tcp://127.0.0.1:{self.port}?listen=1"]
            self.url = f"tcp://127.0.0.1:{self.port}"
        elif kind == "ts-http":
            out = ["-c", "copy", "-f", "mpegts", "-listen", "1", f"http://127.0.0.1:{self.port}/live.ts"]
            self.url = f"http://127.0.0.1:{self.port}/live.ts"
        else:
            raise ValueError(kind)
        self.p = subprocess.Popen(FFMPEG + ["-loglevel", "quiet", "-re", "-i", path] + out,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_listening(self.port, self.p):
            raise RuntimeError(f"server {kind} did not start")

    def close(self):
        if self.rtsp is not None:
            self.rtsp.close()
        else:
            stop_process(self.p)


class Program:
    """The velmor program driven through its console."""

    def __init__(self):
        self.p = subprocess.Popen([VELMOR], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        self.out = b""
        self.times = []  # (end offset of a chunk, when it arrived)
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_for(rb"0>", 0, 10)

    def _read(self):
        fd = self.p.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            t = time.monotonic()
            with self.cond:
                if not chunk:
                    self.times.append((len(self.out), t))
                    self.cond.notify_all()
                    return
                self.out += chunk
                self.times.append((len(self.out), t))
                self.cond.notify_all()

    def send(self, line):
        with self.cond:
            pos = len(self.out)
        t = time.monotonic()
        self.p.stdin.write(line.encode() + b"\n")
        self.p.stdin.flush()
        return pos, t

    def wait_for(self, pattern, start, timeout):
        """Time at which output matching pattern after offset start arrived."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                m = rx.search(self.out, start)
                if m:
                    for off, t in self.times:
                        if off >= m.end():
                            return t
                left = end - time.monotonic()
                if left <= 0 or self.p.poll() is not None:
                    return None
                self.cond.wait(left)

    def command(self, line, timeout=10):
        pos, t0 = self.send(line)
        t1 = self.wait_for(rb"[01]>", pos, timeout)
        with self.cond:
            text = self.out[pos:].decode(errors="replace")
        return (None if t1 is None else t1 - t0), text

    def states(self):
        _, text = self.command("list")
        found = {}
        for line in text.splitlines():
            parts = line.split()
            if len(parts) >= 3:
                found[parts[0]] = parts[1]
        return found

    def wait_state(self, name, want, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.states().get(name) in want:
                return True
            time.sleep(0.05)
        return False

    def close(self):
        try:
            self.send("exit")
            self.p.wait(30)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.p.kill()
            self.p.wait()


def vbench(*args, timeout=120):
    r = subprocess.run([VBENCH, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
    for line in r.stdout.decode(errors="replace").splitlines():
        if line.startswith("RESULT "):
            return dict(kv.split("=", 1) for kv in line[7:].split())
    return {"error": "no result"}


def num(d, key):
    try:
        return float(d[key])
    except (KeyError, ValueError):
        return None


def ffmpeg_rate(path, threads, fmt=None, scale=SCALE):
    """Pictures per second and peak RSS (MiB) of the ffmpeg program."""
    args = FFMPEG + ["-benchmark", "-threads", str(threads)] + (["-f", fmt] if fmt else []) + ["-i", path] + scale
    r = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = r.stderr.decode(errors="replace")
    frames = int(re.findall(r"frame=\s*(\d+)", err)[-1])
    rtime = float(re.search(r"rtime=([\d.]+)s", err).group(1))
    rss = int(re.search(r"maxrss=(\d+)kB", err).group(1)) / 1024
    return frames / rtime, rss


def ffmpeg_cpu_rate(path, scale):
    """Pictures per second and per CPU second of the ffmpeg program, one
    thread: the second holds on a loaded machine."""
    args = FFMPEG + ["-benchmark", "-threads", "1", "-i", path] + scale
    err = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr.decode(errors="replace")
    frames = int(re.findall(r"frame=\s*(\d+)", err)[-1])
    m = re.search(r"utime=([\d.]+)s stime=([\d.]+)s rtime=([\d.]+)s", err)
    return frames / float(m.group(3)), frames / (float(m.group(1)) + float(m.group(2)))


def ffmpeg_rate_parallel(path, n):
    """Aggregate pictures per second of n ffmpeg programs at once."""
    args = FFMPEG + ["-benchmark", "-threads", "1", "-i", path] + SCALE
    t0 = time.monotonic()
    procs = [subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for _ in range(n)]
    total = 0
    for p in procs:
        err = p.communicate()[1].decode(errors="replace")
        total += int(re.findall(r"frame=\s*(\d+)", err)[-1])
    return total / (time.monotonic() - t0)


# ------------------------------------------------------------------ results

ROWS = []
DECODE_CPU_MS = {}  # one decoder thread's CPU per picture, by server kind


def row(figure, ffmpeg, velmor, target, higher_is_better=True, unit="", ratio_target=True, note=""):
    """One printed figure. With ratio_target the target is a ratio to ffmpeg,
    else an absolute bound on velmor's figure."""
    ratio = velmor / ffmpeg if (ffmpeg and velmor is not None) else None
    if target is None:
        met = "-"
    else:
        value = ratio if ratio_target else velmor
        if value is None:
            met = "n/a"
        else:
            met = "yes" if (value >= target if higher_is_better else value <= target) else "NO"
    tgt = "-" if target is None else (("≥ " if higher_is_better else "≤ ") + (f"{target:.2f}x" if ratio_target
                                                                              else f"{target:g}{unit}"))
    ROWS.append((figure, ffmpeg, velmor, ratio, tgt, met, unit, note))
    fmt = lambda v: "-" if v is None else f"{v:.1f}{unit}"
    log(f"  {figure:<52} ffmpeg {fmt(ffmpeg):>11}  velmor {fmt(velmor):>11}  "
        f"ratio {('-' if ratio is None else f'{ratio:.2f}x'):>6}  target {tgt:>9}  met {met}"
        + (f"  ({note})" if note else ""))


# ------------------------------------------------------------------ figures

def bench_throughput():
    log("\n== Pictures per second: files into 400x300 windows (medians of %d runs)" % REPEATS)
    mjpeg, _ = clip("mjpeg")
    h264, _ = clip("h264")
    r = {k: [] for k in ("ff1", "v1d", "v1w", "h1", "hauto", "hvd", "hvw", "ff4", "v4d", "v4w", "rss_m", "rss_h")}
    for _ in range(REPEATS):
        rate, rss = ffmpeg_rate(mjpeg, 1)
        r["ff1"].append(rate)
        r["rss_m"].append(rss)
        v = vbench("throughput", str(WIN_W), str(WIN_H), mjpeg)
        r["v1d"].append(num(v, "decoded"))
        r["v1w"].append(num(v, "drawn"))
        rate, rss = ffmpeg_rate(h264, 1)
        r["h1"].append(rate)
        r["rss_h"].append(rss)
        r["hauto"].append(ffmpeg_rate(h264, 0)[0])
        v = vbench("throughput", str(WIN_W), str(WIN_H), h264)
        r["hvd"].append(num(v, "decoded"))
        r["hvw"].append(num(v, "drawn"))
        r["ff4"].append(ffmpeg_rate_parallel(mjpeg, 4))
        v = vbench("throughput", str(WIN_W), str(WIN_H), mjpeg, mjpeg, mjpeg, mjpeg)
        r["v4d"].append(num(v, "decoded"))
        r["v4w"].append(num(v, "drawn"))
    m = {k: median(v) for k, v in r.items()}
    row("1 x MJPEG 640x480 file, decoded/s (ffmpeg -threads 1)", m["ff1"], m["v1d"], 1.8, unit="/s")
    row("1 x MJPEG 640x480 file, drawn/s (ffmpeg -threads 1)", m["ff1"], m["v1w"], 1.5, unit="/s")
    row("1 x H.264 1280x720 file, decoded/s (ffmpeg -threads 1)", m["h1"], m["hvd"], 1.0, unit="/s")
    row("1 x H.264 1280x720 file, drawn/s (ffmpeg -threads 1)", m["h1"], m["hvw"], 1.0, unit="/s")
    row("1 x H.264 1280x720 file, drawn/s (ffmpeg -threads auto)", m["hauto"], m["hvw"], None, unit="/s",
        note="velmor keeps slice threads")
    row("4 x MJPEG 640x480 files, decoded/s, aggregate (4 ffmpeg)", m["ff4"], m["v4d"], 1.3, unit="/s")
    row("4 x MJPEG 640x480 files, drawn/s, aggregate (4 ffmpeg)", m["ff4"], m["v4w"], 1.3, unit="/s")
    return m


def bench_floors(m):
    """What the decoder and the converter alone cost: the ceilings above."""
    log("\n== Floors: FFmpeg's decoder alone (clip held in memory) and the render thread's converter")
    mjpeg, _ = clip("mjpeg")
    h264, _ = clip("h264")
    dec = {}
    for name, path in (("MJPEG 640x480", mjpeg), ("H.264 1280x720", h264)):
        log(f"  {name} decoder threading (pictures/s, CPU ms per picture, pictures of delay):")
        out = [subprocess.run([VBENCH, "threads", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
               .stdout.decode() for _ in range(REPEATS)]
        per = {}
        for text in out:
            for line in text.splitlines():
                if line.startswith("RESULT config="):
                    d = dict(kv.split("=", 1) for kv in line[7:].split())
                    per.setdefault(d["config"], []).append(d)
        for cfg, ds in per.items():
            rate = median([float(d["rate"]) for d in ds])
            cpu = median([float(d["cpu_ms"]) for d in ds])
            log(f"    {cfg:<11} threads={ds[0]['threads']:<2} {rate:7.1f}/s  {cpu:6.3f} ms CPU  "
                f"delay {ds[0]['delay']} picture(s)")
        dec[name] = (median([float(d["rate"]) for d in per["single"]]),
                     median([float(d["cpu_ms"]) for d in per["single"]]))
        DECODE_CPU_MS["mjpeg-tcp" if name.startswith("MJPEG") else "ts-http"] = dec[name][1]
    rb = subprocess.run([RBENCH], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
    conv = {}
    for line in rb.splitlines():
        if line.startswith("render_bench:"):
            log("  " + line.strip())
        # The ceiling below is for the player's own 16 bpp surface.
        mm = re.match(r"render_bench: rgb565le surface, (\S+)\s+640x480 -> (\d+)x(\d+) window:\s+([\d.]+)", line)
        if mm:
            conv[(mm.group(1), int(mm.group(2)))] = float(mm.group(4))
    drate, dcpu = dec["MJPEG 640x480"]
    scale = conv.get(("yuvj420p", WIN_W))
    log(f"  ceiling, 1 x MJPEG decoded/s = one decoder thread: {drate:.0f}/s = "
        f"{drate / m['ff1']:.2f}x ffmpeg" if m.get("ff1") else "")
    if scale:
        both = 2 / (dcpu / 1e3 + 1 / scale)
        log(f"  ceiling, 4 x MJPEG aggregate = 2 cores / (decode {dcpu:.3f} ms + convert {1e3 / scale:.3f} ms) = "
            f"{both:.0f}/s = {both / m['ff4']:.2f}x ffmpeg" if m.get("ff4") else "")
    hrate, _ = dec["H.264 1280x720"]
    log(f"  ceiling, 1 x H.264 decoded/s = one decoder thread: {hrate:.0f}/s = "
        f"{hrate / m['h1']:.2f}x ffmpeg" if m.get("h1") else "")


def bench_cpu():
    log("\n== CPU per real-time 25 fps stream from 127.0.0.1 (share of one core, %d s windows)" % 6)
    mjpeg, _ = clip("mjpeg")
    h264, _ = clip("h264")
    cases = (("MJPEG 640x480 over TCP", "mjpeg-tcp", mjpeg, "mjpeg", 2.5),
             ("H.264 1280x720 in MPEG-TS over HTTP", "ts-http", h264, None, 11.0))
    for label, kind, path, fmt, target in cases:
        ff, ve = [], []
        for _ in range(REPEATS):
            s1, s2 = Server(kind, path), Server(kind, path)
            prog = Program()
            prog.command(f"play -n live -s {WIN_W} {WIN_H}" + (f" -f {fmt}" if fmt else "") + f" {s1.url}")
            client = subprocess.Popen(FFMPEG + ["-loglevel", "quiet", "-threads", "1"]
                                      + (["-f", fmt] if fmt else []) + ["-i", s2.url] + SCALE,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.5)  # both connected, probed and decoding
            c0, f0, t0 = cpu_seconds(prog.p.pid), cpu_seconds(client.pid), time.monotonic()
            time.sleep(6)
            c1, f1, t1 = cpu_seconds(prog.p.pid), cpu_seconds(client.pid), time.monotonic()
            ok = prog.states().get("live") == "CONNECTED" and client.poll() is None
            ve.append(100 * (c1 - c0) / (t1 - t0) if ok else None)
            ff.append(100 * (f1 - f0) / (t1 - t0) if ok else None)
            stop_process(client)
            prog.close()
            s1.close()
            s2.close()
        row(f"CPU, {label}", median(ff), median(ve), target, higher_is_better=False, unit="%",
            ratio_target=False)
        if DECODE_CPU_MS.get(kind):
            log(f"    floor: its decoder alone at 25 pictures/s takes {DECODE_CPU_MS[kind] * 2.5:.1f}% "
                f"({DECODE_CPU_MS[kind]:.3f} ms a picture, measured above)")


def bench_first_picture():
    log("\n== From `play` to the first picture on the surface (ms; medians of %d runs)" % REPEATS)
    mjpeg, _ = clip("mjpeg")
    h264, _ = clip("h264")
    cases = (("MJPEG over TCP", "mjpeg-tcp", mjpeg, "mjpeg", 30),
             ("H.264 in MPEG-TS over HTTP", "ts-http", h264, None, 150),
             ("H.264 over RTSP (RTP over UDP)", "h264-rtsp", annexb_clip(), None, 600))
    for label, kind, path, fmt, target in cases:
        floor, floor_fps, first = [], [], []
        fa = ["-f", fmt] if fmt else []
        for _ in range(REPEATS):
            for store, args in ((first, ["first"] + fa), (floor, ["open"] + fa),
                                (floor_fps, ["open", "-fpsprobe", "-1"] + fa)):
                if store is floor_fps and fmt == "mjpeg":
                    continue  # never probed
                srv = Server(kind, path)
                store.append(num(vbench(*args, srv.url, timeout=30), "first_ms"))
                srv.close()
        row(f"first picture, {label}", median(floor), median(first), target, higher_is_better=False,
            unit=" ms", ratio_target=False, note="ffmpeg = its libraries: open, probe, first decode")
        if floor_fps:
            log(f"    the same open+first decode with the frame-rate probe left on: {median(floor_fps):.1f} ms")


# Sources that misbehave, for the stop latencies.

class SilentServer:
    """Accepts and never sends."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(c)
            self.serve(c)

    def serve(self, c):
        pass

    def close(self):
        self.sock.close()
        for c in self.conns:
            c.close()


class StallServer(SilentServer):
    """Sends the first pictures of an MJPEG file, then nothing."""

    def __init__(self, path, pictures=10):
        with open(path, "rb") as f:
            data = f.read(4 << 20)
        end = 0
        for _ in range(pictures):
            end = data.index(b"\xff\xd9", end) + 2
        self.data = data[:end]
        super().__init__()

    def serve(self, c):
        c.sendall(self.data)


class NoAcceptServer:
    """Listens with a full accept queue: a new connect never completes."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(0)
        self.port = self.sock.getsockname()[1]
        self.fillers = []
        for _ in range(4):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(c)
        time.sleep(0.2)

    def close(self):
        for c in self.fillers:
            c.close()
        self.sock.close()


def bench_stop():
    log("\n== `stop` latency in every state (ms, from the command to its prompt; median and worst of %d runs)"
        % REPEATS)
    mjpeg, _ = clip("mjpeg")
    h264, _ = clip("h264")
    short = short_clip()
    lat = {}
    for _ in range(REPEATS):
        silent, stall, noaccept = SilentServer(), StallServer(mjpeg), NoAcceptServer()
        live, hlive = Server("mjpeg-tcp", mjpeg), Server("ts-http", h264)
        refused = free_port()
        prog = Program()
        # name, play arguments, states to wait for, extra settle time
        cases = [
            ("file", f"-f mjpeg {mjpeg}", ("CONNECTED",), 0.5),
            ("live-mjpeg", f"-f mjpeg {live.url}", ("CONNECTED",), 0.5),
            ("live-h264", f"{hlive.url}", ("CONNECTED",), 0.5),
            ("silent", f"-f mjpeg tcp://127.0.0.1:{silent.port}", ("CONNECTING",), 0.5),
            ("stalled", f"-f mjpeg tcp://127.0.0.1:{stall.port}", ("CONNECTED",), 1.0),
            ("no-accept", f"-f mjpeg tcp://127.0.0.1:{noaccept.port}", ("CONNECTING",), 0.5),
            ("refused", f"-f mjpeg tcp://127.0.0.1:{refused}", ("CONNECT_ERR",), 0.2),
            ("after-eof", f"-f mjpeg {short}", ("RECONNECTING",), 0.2),
        ]
        # One at a time, each stopped as soon as it has settled in its state.
        for name, args, want, settle in cases:
            prog.command(f"play -n {name} -s 160 120 {args}")
            if not prog.wait_state(name, want):
                log(f"    {name}: never reached {want}: {prog.states().get(name)}")
                lat.setdefault(name, []).append(None)
                prog.command(f"stop {name}", timeout=30)
                continue
            time.sleep(settle)
            state = prog.states().get(name)
            dt, text = prog.command(f"stop {name}", timeout=30)
            ok = dt is not None and "1>" in text
            lat.setdefault(name, []).append((dt * 1e3 if ok else None, state))
        prog.close()
        for s in (silent, stall, noaccept, live, hlive):
            s.close()
    labels = {
        "file": "reading a file at full speed",
        "live-mjpeg": "playing MJPEG over TCP",
        "live-h264": "playing H.264 over HTTP",
        "silent": "source accepts, sends nothing (opening)",
        "stalled": "source stalled after 10 pictures",
        "no-accept": "connect never completes (full queue)",
        "refused": "connection refused, waiting to retry",
        "after-eof": "file ended, waiting to reopen",
    }
    worst_all = []
    for name, vals in lat.items():
        ms = [v[0] for v in vals if v and v[0] is not None]
        states = sorted({v[1] for v in vals if v})
        worst = max(ms) if len(ms) == len(vals) else None
        worst_all.append(worst)
        row(f"stop, {labels[name]} [{'/'.join(states)}]", None, worst, 200, higher_is_better=False,
            unit=" ms", ratio_target=False, note=f"median {median(ms):.1f} ms" if ms else "failed")


def bench_rss():
    log("\n== Peak RSS of the whole program, 4 streams from files into four 400x300 windows (MiB)")
    mjpeg, _ = clip("mjpeg")
    h264, _ = clip("h264")
    for label, path, fmt, target in (("4 x MJPEG 640x480", mjpeg, "mjpeg", 80),
                                     ("4 x H.264 1280x720", h264, None, 130)):
        ve = []
        for _ in range(REPEATS):
            prog = Program()
            for i in range(4):
                prog.command(f"play -n s{i} -p {i % 2 * WIN_W} {i // 2 * WIN_H} -s {WIN_W} {WIN_H}"
                             + (f" -f {fmt}" if fmt else "") + f" {path}")
            time.sleep(3)
            ve.append(peak_rss_mib(prog.p.pid))
            prog.close()
        ff = ffmpeg_rate(path, 1)[1]
        row(f"peak RSS, {label} (ffmpeg: one process, one stream)", ff, median(ve), target,
            higher_is_better=False, unit=" MiB", ratio_target=False)


# ------------------------------------------------------------ camera wall

class LiveServer:
    """Any number of clients on one port of 127.0.0.1, each sent the clip's
    pictures at 25 a second from its first, over and over: one light process
    for a whole wall of live cameras."""

    def __init__(self, path, rate=25):
        data = open(path, "rb").read()
        self.pictures = [b"\xff\xd8" + p if not p.startswith(b"\xff\xd8") else p
                         for p in data.split(b"\xff\xd9\xff\xd8")]
        self.pictures = [p if p.endswith(b"\xff\xd9") else p + b"\xff\xd9" for p in self.pictures]
        self.period = 1.0 / rate
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(128)
        self.url = f"tcp://127.0.0.1:{self.sock.getsockname()[1]}"
        self.stop = threading.Event()
        self.clients = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stop.is_set():
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.clients.append(c)
            threading.Thread(target=self._serve, args=(c,), daemon=True).start()

    def _serve(self, c):
        t = time.monotonic()
        i = 0
        try:
            while not self.stop.is_set() and i < 25 * 600:  # ten minutes at most
                c.sendall(self.pictures[i % len(self.pictures)])
                i += 1
                t += self.period
                time.sleep(max(0.0, t - time.monotonic()))
        except OSError:
            pass
        c.close()

    def close(self):
        self.stop.set()
        self.sock.close()
        for c in self.clients:
            try:
                c.close()
            except OSError:
                pass


def ffmpeg_live(url, n, secs, size):
    """n ffmpeg programs on a live source for secs seconds once all decode:
    their CPU (share of one core) and the slowest one's pictures/s."""
    w, h = size
    progress = [os.path.join(CLIPS, f"progress-{os.getpid()}-{i}.txt") for i in range(n)]
    procs = [subprocess.Popen(FFMPEG + ["-loglevel", "quiet", "-threads", "1", "-f", "mjpeg", "-i", url,
                                        "-vf", f"scale={w}:{h}:flags=neighbor", "-pix_fmt", "rgb565le",
                                        "-f", "null", "-", "-progress", progress[i], "-stats_period", "0.25"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for i in range(n)]

    def frames(path):
        try:
            found = re.findall(r"^frame=(\d+)", open(path).read(), re.M)
            return int(found[-1]) if found else 0
        except OSError:
            return 0

    end = time.monotonic() + 30
    while time.monotonic() < end and min(frames(p) for p in progress) < 25:
        time.sleep(0.1)
    f0 = [frames(p) for p in progress]
    c0, t0 = sum(cpu_seconds(p.pid) for p in procs), time.monotonic()
    time.sleep(secs)
    f1 = [frames(p) for p in progress]
    c1, t1 = sum(cpu_seconds(p.pid) for p in procs), time.monotonic()
    for p in procs:
        stop_process(p)
    for p in progress:
        try:
            os.remove(p)
        except OSError:
            pass
    # Progress is written every quarter second: allow for one report's lag.
    slowest = min((b - a) for a, b in zip(f0, f1)) / (t1 - t0)
    return 100 * (c1 - c0) / (t1 - t0), slowest


def velmor_live(url, n, secs, size):
    v = vbench("live", "-f", "mjpeg", str(secs), str(size[0]), str(size[1]), *([url] * n),
               timeout=secs + 90)
    return num(v, "cpu"), num(v, "slowest")


def bench_wall():
    log("\n== Camera wall: MJPEG 640x480 into small windows (medians of %d runs)" % REPEATS)
    cam, _ = clip("cam")
    noisy, _ = clip("mjpeg")
    for name, path in (("camera-like", cam), ("noisy", noisy)):
        rates = {}
        for _ in range(REPEATS):
            r = subprocess.run([VBENCH, "jpeg", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            for line in r.stdout.decode().splitlines():
                if line.startswith("RESULT decoder="):
                    d = dict(kv.split("=", 1) for kv in line[7:].split())
                    rates.setdefault(d["decoder"], []).append(float(d["rate"]))
        log(f"  decoders alone, {name} clip, pictures per CPU second: "
            + ", ".join(f"{k} {median(v):.0f}" for k, v in rates.items()))
    small = ["-vf", "scale=200:150:flags=neighbor", "-pix_fmt", "rgb565le", "-f", "null", "-"]
    cases = (("camera-like", cam, 200, 150, small, 2.5), ("noisy", noisy, 200, 150, small, 1.6),
             ("camera-like", cam, WIN_W, WIN_H, SCALE, 1.5), ("noisy", noisy, WIN_W, WIN_H, SCALE, 1.25))
    for name, path, w, h, scale, target in cases:
        ff, ve, ffc, vec = [], [], [], []
        for _ in range(REPEATS):
            rate, per_cpu = ffmpeg_cpu_rate(path, scale)
            ff.append(rate)
            ffc.append(per_cpu)
            v = vbench("throughput", str(w), str(h), path)
            ve.append(num(v, "decoded"))
            if num(v, "decoded") and num(v, "cpu"):
                vec.append(num(v, "decoded") / num(v, "cpu"))
        row(f"1 x MJPEG 640x480 file ({name}) into {w}x{h}, decoded/s", median(ff), median(ve), target, unit="/s")
        # On a shared machine the wall clock counts others' work too.
        row(f"  the same, pictures per CPU second", median(ffc), median(vec), target, unit="/s")

    secs = int(os.environ.get("BENCH_WALL_SECONDS", "30"))
    server = LiveServer(cam)
    try:
        vcpu, vslow = velmor_live(server.url, 16, secs, (200, 150))
        fcpu, fslow = ffmpeg_live(server.url, 16, secs, (200, 150))
        row(f"16 live MJPEG 640x480 into 4x4 200x150, CPU % ({secs} s)", fcpu, vcpu, 0.5,
            higher_is_better=False, unit="%",
            note=f"slowest stream: velmor {vslow or 0:.1f}/s, ffmpeg {fslow:.1f}/s")
        most = {}
        for who, run in (("velmor", velmor_live), ("ffmpeg", ffmpeg_live)):
            most[who] = 0
            for n in range(16, 65, 8):
                _, slowest = run(server.url, n, 8, (200, 150))
                log(f"    {who}: {n} live streams, slowest {slowest or 0:.1f} pictures/s")
                if slowest is None or slowest < 24:
                    break
                most[who] = n
        row("most live MJPEG 640x480 streams drawn at >= 24/s (200x150, step 8)", most["ffmpeg"],
            most["velmor"], None)
        ff, ve = [], []
        for _ in range(REPEATS):
            ve.append(velmor_live(server.url, 1, 10, (WIN_W, WIN_H))[0])
            ff.append(ffmpeg_live(server.url, 1, 10, (WIN_W, WIN_H))[0])
        row(f"CPU, 1 live MJPEG 640x480 (camera-like) into {WIN_W}x{WIN_H}", median(ff), median(ve), 2.0,
            higher_is_better=False, unit="%", ratio_target=False)
    finally:
        server.close()


def main():
    for exe in (VELMOR, VBENCH, RBENCH):
        if not os.access(exe, os.X_OK):
            sys.exit(f"bench: {exe} is missing: build first (make bench)")
    t0 = time.monotonic()
    log(f"velmor benchmarks; {os.cpu_count()} cores; load average {os.getloadavg()[0]:.2f}")
    clip("mjpeg")
    clip("h264")
    want = lambda name: not ONLY or name in ONLY
    if want("throughput"):
        bench_floors(bench_throughput())
    if want("cpu"):
        bench_cpu()
    if want("first"):
        bench_first_picture()
    if want("stop"):
        bench_stop()
    if want("rss"):
        bench_rss()
    if want("wall"):
        bench_wall()
    if want("wall") or want("wall-h264"):
        import wall  # the module imports this one
        wall.bench_wall_h264()
    if want("lag"):
        import lag  # the module imports this one
        lag.bench_lag()
    log(f"\nbench: done in {time.monotonic() - t0:.0f} s; load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
