"""The camera wall against its peers: N live H.264 streams over UDP (MPEG-TS
from one ffmpeg sender a stream, on 127.0.0.1) into a wall of tiles, in turn
into velmor, one GStreamer process with a compositor, one ffmpeg program a
stream, and the floor: the same live streams read and decoded as velmor
decodes them, and nothing drawn (and its decoder on the clip in memory).
CPU is read from /proc for each process tree over the same span, each of
them run in mirrored rounds; every process's output is drained as it comes."""
import os
import re
import socket
import subprocess
import threading
import time

import bench

SECS = int(os.environ.get("BENCH_WALL_H264_SECONDS", "20"))
ROUNDS = int(os.environ.get("BENCH_WALL_H264_ROUNDS", "2"))
RATE = 25
# label, clip, streams, columns, tile width and height
WALLS = (("16 x H.264 640x360 into 4x4 200x150 tiles", "wall", 16, 4, 200, 150),
         ("4 x H.264 1280x720 into 2x2 960x540 tiles", "h264", 4, 2, 960, 540))
# A 720p keyframe is several hundred kB: none is lost on the way. Given that
# much, velmor's reader (and the floor) read the socket without FFmpeg's ring.
UDP_BUFFER = 4 << 20


def udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def tree_cpu(roots):
    """CPU seconds of the processes roots and all their descendants."""
    parent, times = {}, {}
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open(f"/proc/{d}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parent[int(d)] = int(fields[1])
        times[int(d)] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    total = 0.0
    for pid, t in times.items():
        p = pid
        while p > 1 and p not in roots:
            p = parent.get(p, 0)
        if p in roots:
            total += t
    return total


class Drained:
    """A process whose output (stdout and stderr together) is read line by
    line as it comes, each line handed to on_line with its arrival time."""

    def __init__(self, args, on_line=None):
        self.p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.on_line = on_line
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.p.stdout:
            if self.on_line is not None:
                self.on_line(time.monotonic(), line.decode(errors="replace"))

    def close(self):
        bench.stop_process(self.p)
        self.thread.join(5)


class Counter:
    """Pictures of each stream as lines arrive: (time, stream, count so far)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.events = []

    def add(self, t, key, total=None):
        with self.lock:
            self.events.append((t, key, total))

    def rates(self, keys, t0, t1):
        """Pictures a second of each key between t0 and t1."""
        with self.lock:
            ev = list(self.events)
        out = []
        for k in keys:
            mine = [(t, n) for t, key, n in ev if key == k]
            if mine and mine[0][1] is not None:  # running totals: the first and last inside the span
                inside = [(t, n) for t, n in mine if t0 <= t <= t1]
                out.append((inside[-1][1] - inside[0][1]) / (inside[-1][0] - inside[0][0])
                           if len(inside) >= 2 and inside[-1][0] > inside[0][0] else 0.0)
            else:  # one line a picture
                out.append(sum(1 for t, _ in mine if t0 <= t <= t1) / (t1 - t0))
        return out

    def started(self, keys):
        with self.lock:
            seen = {e[1] for e in self.events}
        return all(k in seen for k in keys)


def measure(roots, ready, rates=None, warm=3.0):
    """Waits (30 s at most) until ready(), then a little more, and measures
    CPU % of the process trees over SECS; rates(t0, t1) gives the streams'
    pictures a second."""
    end = time.monotonic() + 30
    while time.monotonic() < end and not ready():
        time.sleep(0.2)
    if not ready():
        return None, None
    time.sleep(warm)
    c0, t0 = tree_cpu(roots), time.monotonic()
    time.sleep(SECS)
    c1, t1 = tree_cpu(roots), time.monotonic()
    return 100 * (c1 - c0) / (t1 - t0), (rates(t0, t1) if rates else None)


def run_velmor(ports, cols, w, h):
    """The program on its memory surface (800x600: the 16-tile wall), its
    per-stream rates from `stats` (fps_out, its last seconds) at the end."""
    prog = bench.Program()
    n = len(ports)
    try:
        for k, port in enumerate(ports):
            prog.command(f"play -n s{k} -p {k % cols * w} {k // cols * h} -s {w} {h} "
                         f"udp://127.0.0.1:{port}?buffer_size={UDP_BUFFER}")
        fps = {}

        def sample():
            _, text = prog.command("stats")
            for line in text.splitlines():
                m = re.match(r"name=(s\d+) .*fps_out=(\S+)", line)
                if m:
                    fps[m[1]] = float(m[2]) if m[2] != "-" else 0.0
            return [fps.get(f"s{k}", 0.0) for k in range(n)]

        cpu, _ = measure({prog.p.pid}, lambda: min(sample()) > 0)
        return cpu, (sample() if cpu is not None else None)
    finally:
        prog.close()


def run_velmor_bench(ports, w, h):
    """The same reader and render threads in velmor_bench on a memory
    surface as large as the tiles need (the program's own is 800x600)."""
    urls = [f"udp://127.0.0.1:{p}?buffer_size={UDP_BUFFER}" for p in ports]
    v = bench.vbench("live", str(SECS), str(w), str(h), *urls, timeout=SECS + 90)
    rates = [float(x) for x in v.get("rates", "").split(",") if x]
    return bench.num(v, "cpu"), rates or None


def gst_pipeline(ports, cols, w, h, counted):
    rows = (len(ports) + cols - 1) // cols
    # Counted, its reports come a line at a time (stdbuf), not in bursts.
    args = (["stdbuf", "-oL", "gst-launch-1.0", "-v"] if counted else ["gst-launch-1.0", "-q"])
    args += ["compositor", "name=mix", "background=black"]
    for k in range(len(ports)):
        args += [f"sink_{k}::xpos={k % cols * w}", f"sink_{k}::ypos={k // cols * h}", f"sink_{k}::width={w}",
                 f"sink_{k}::height={h}",
                 f"sink_{k}::converter-config=video-converter-config,resampler-method=nearest"]
    args += ["!", f"video/x-raw,width={cols * w},height={rows * h},framerate={RATE}/1", "!", "videoconvert", "!",
             "video/x-raw,format=RGB16", "!", "fakesink", "sync=false"]
    for k, port in enumerate(ports):
        args += ["udpsrc", f"port={port}", "address=127.0.0.1", f"buffer-size={UDP_BUFFER}",
                 "caps=video/mpegts,systemstream=true", "!", "tsdemux", "!", "h264parse", "!", "avdec_h264", "!"]
        if counted:
            args += ["identity", f"name=s{k}", "silent=false", "!"]
        args += ["queue", "!", f"mix.sink_{k}"]
    return args


def run_gst(ports, cols, w, h, counted):
    """One gst-launch-1.0; counted: an identity after each decoder reports
    every picture (what that costs shows beside the plain run)."""
    count = Counter()
    keys = [f"s{k}" for k in range(len(ports))]
    rx = re.compile(r"GstIdentity:(s\d+): last-message")

    def on_line(t, line):
        m = rx.search(line)
        if m:
            count.add(t, m[1])
        elif "ERROR" in line:
            bench.log("    gst: " + line.strip())

    g = Drained(gst_pipeline(ports, cols, w, h, counted), on_line)
    try:
        if counted:
            return measure({g.p.pid}, lambda: count.started(keys), lambda t0, t1: count.rates(keys, t0, t1))
        start = time.monotonic()
        return measure({g.p.pid}, lambda: time.monotonic() - start > 4)
    finally:
        g.close()


def run_ffmpeg(ports, w, h):
    """One ffmpeg a stream: decode, scale to the tile (point), RGB565, to
    null; its progress on stdout, read as it comes."""
    count = Counter()
    keys = list(range(len(ports)))
    procs = []
    for k, port in enumerate(ports):
        def on_line(t, line, k=k):
            m = re.match(r"frame=(\d+)", line)
            if m:
                count.add(t, k, int(m[1]))
        procs.append(Drained(bench.FFMPEG + ["-loglevel", "error", "-threads", "1", "-i",
                                             f"udp://127.0.0.1:{port}?buffer_size={UDP_BUFFER}", "-vf",
                                             f"scale={w}:{h}:flags=neighbor", "-pix_fmt", "rgb565le", "-f", "null",
                                             "-", "-progress", "pipe:1", "-stats_period", "0.5"], on_line))
    try:
        return measure({d.p.pid for d in procs}, lambda: count.started(keys),
                       lambda t0, t1: count.rates(keys, t0, t1))
    finally:
        for d in procs:
            d.close()


def tile_decoding(path, w, h):
    """velmor_bench tile: CPU ms a picture with and without the loop filter,
    and how far the pictures differ at the tile's size."""
    r = subprocess.run([bench.VBENCH, "tile", str(w), str(h), path], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, timeout=600)
    found = {}
    for line in r.stdout.decode(errors="replace").splitlines():
        if line.startswith("RESULT "):
            d = dict(kv.split("=", 1) for kv in line[7:].split())
            found[d.get("scaler", "cpu")] = d
    return found


def run_rounds(ports, cols, w, h):
    """Each of velmor, its peers and the floor, ROUNDS times, in mirrored
    order (velmor, GStreamer, ffmpeg, floor, then back): this machine's speed
    drifts by a quarter over minutes, and a fixed order charges that drift to
    whichever runs last. Per key: mean CPU, the lowest rate of each stream
    over the runs, and each run's CPU (the same shape as the counted run's,
    whose list is empty)."""
    def velmor():
        if cols * w <= 800 and ((len(ports) + cols - 1) // cols) * h <= 600:
            return run_velmor(ports, cols, w, h)
        return run_velmor_bench(ports, w, h)

    def floor():
        v = bench.vbench("decode", str(SECS), str(w), str(h),
                         *[f"udp://127.0.0.1:{p}?buffer_size={UDP_BUFFER}" for p in ports], timeout=SECS + 90)
        return bench.num(v, "cpu"), [float(x) for x in v.get("rates", "").split(",") if x] or None

    runners = {"velmor": velmor, "gst": lambda: run_gst(ports, cols, w, h, counted=False),
               "ffmpeg": lambda: run_ffmpeg(ports, w, h), "floor": floor}
    runs = {k: [] for k in runners}
    for r in range(ROUNDS):
        for key in (list(runners) if r % 2 == 0 else list(runners)[::-1]):
            runs[key].append(runners[key]())
    out = {}
    for key, got in runs.items():
        cpus = [c for c, _ in got]
        rates = [x for _, x in got]
        mean = None if None in cpus else sum(cpus) / len(cpus)
        lowest = [min(col) for col in zip(*rates)] if None not in rates else None
        out[key] = (mean, lowest, cpus)
    return out


def fmt_rates(rates):
    return " ".join(f"{r:.1f}" for r in rates) if rates else "-"


def bench_wall_h264():
    for label, clip_name, n, cols, w, h in WALLS:
        path, _ = bench.clip(clip_name)
        bench.log(f"\n== Camera wall: {label}, live at {RATE}/s over UDP (MPEG-TS), CPU over {SECS} s "
                  f"(load average {os.getloadavg()[0]:.2f})")
        tile = tile_decoding(path, w, h)
        cpu = tile.get("cpu", {})
        full_ms, tile_ms = bench.num(cpu, "full_ms"), bench.num(cpu, "tile_ms")
        if full_ms and tile_ms:
            bench.log(f"  decoding for the tile, clip in memory: {full_ms:.3f} ms a picture with the loop filter, "
                      f"{tile_ms:.3f} ms as velmor decodes for this window ({100 * (tile_ms / full_ms - 1):+.0f}%)")
        for scaler in ("point", "bilinear", "area"):
            d = tile.get(scaler)
            if d:
                worst = max(float(d["mad_r"]), float(d["mad_g"]), float(d["mad_b"]))
                bench.log(f"    at {w}x{h} ({scaler}), against full decoding: mean absolute difference per channel "
                          f"R {d['mad_r']} G {d['mad_g']} B {d['mad_b']} (target < 2: "
                          f"{'yes' if worst < 2 else 'NO'}); worst picture {d['worst_picture']}")
        ports = [udp_port() for _ in range(n)]
        senders = []
        for p in ports:
            senders.append(subprocess.Popen(bench.FFMPEG + ["-loglevel", "quiet", "-re", "-stream_loop", "-1", "-i",
                                                            path, "-c", "copy", "-f", "mpegts",
                                                            f"udp://127.0.0.1:{p}?pkt_size=1316"],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            # Cameras' keyframes (every 2 s) do not all come at once: the
            # senders start spread over that time.
            time.sleep(2.0 / n)
        try:
            results = run_rounds(ports, cols, w, h)
            results["gst-counted"] = (*run_gst(ports, cols, w, h, counted=True), [])
        finally:
            for s in senders:
                bench.stop_process(s)
        in_memory = tile_ms * RATE * n / 10 if tile_ms else None
        floor = results["floor"][0]
        names = {"velmor": "velmor", "gst": "GStreamer compositor, one process",
                 "gst-counted": "  the same, each picture counted", "ffmpeg": f"{n} ffmpeg programs",
                 "floor": "decoding alone (velmor's, live)"}
        bench.log(f"  {'':<36} {'CPU %':>7}  {'slowest':>7}  pictures/s drawn, each stream")
        for key, name in names.items():
            c, rates, runs = results[key]
            each = " ".join("-" if x is None else f"{x:.1f}" for x in runs)
            bench.log(f"  {name:<36} {('-' if c is None else f'{c:.1f}'):>7}  "
                      f"{(f'{min(rates):.1f}' if rates else '-'):>7}  {fmt_rates(rates)}" + (f"  (runs: {each})" if each else ""))
        bench.log(f"  {'  decoding alone, clip in memory':<36} {('-' if in_memory is None else f'{in_memory:.1f}'):>7}"
                  f"  ({tile_ms or 0:.3f} ms a picture x {RATE * n}/s)")
        v, vrates, _ = results["velmor"]

        def check(what, value, target, lower=True):
            met = "n/a" if value is None else ("yes" if (value <= target if lower else value >= target) else "NO")
            bench.log(f"  {what:<52} {('-' if value is None else f'{value:.2f}'):>6}  target "
                      f"{'≤' if lower else '≥'} {target:g}  met {met}")

        ratio = lambda a, b: a / b if (a is not None and b) else None
        check("velmor CPU / GStreamer's", ratio(v, results["gst"][0]), 0.65)
        check("velmor CPU / ffmpeg's", ratio(v, results["ffmpeg"][0]), 0.75)
        check("velmor's slowest stream, pictures/s", min(vrates) if vrates else None, 24.5, lower=False)
        check("velmor CPU / decoding alone", ratio(v, floor), 1.15)
