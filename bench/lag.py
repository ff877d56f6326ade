"""Lag of live H.264 streams that the machine cannot all decode in time:
N streams of 1280x720 at 25 pictures a second, each from its own ffmpeg
server over TCP (backpressure, not loss), played with and without -L.
Prints every stream's lag_ms over time, the largest and the median."""
import os
import re
import statistics
import subprocess
import time

import bench


def serve(path):
    port = bench.free_port()
    p = subprocess.Popen(bench.FFMPEG + ["-loglevel", "quiet", "-re", "-stream_loop", "-1", "-i", path, "-c", "copy",
                                         "-f", "mpegts", f"tcp://127.0.0.1:{port}?listen=1"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not bench.wait_listening(port, p):
        raise RuntimeError("lag server did not start")
    return p, f"tcp://127.0.0.1:{port}"


def run(n, secs, bound, every=5):
    """lag_ms of each stream every `every` s for `secs` s, and the pictures
    each drew in the last period (None: stats had no line for it)."""
    path, _ = bench.clip("h264")
    servers = [serve(path) for _ in range(n)]
    prog = bench.Program()
    curve = []
    try:
        cols = 4
        for k, (_, url) in enumerate(servers):
            w, h = 1280 // cols, 720 // cols
            flags = f"-L {bound} " if bound else ""
            prog.command(f"play -n s{k} {flags}-p {k % cols * w} {k // cols * h} -s {w} {h} {url}")
        start = time.monotonic()
        for step in range(1, secs // every + 1):
            time.sleep(max(0.0, start + step * every - time.monotonic()))
            _, text = prog.command("stats")
            lags, fps = {}, {}
            for line in text.splitlines():
                m = re.match(r"name=(s\d+) .*fps_out=(\S+) .*lag_ms=(\d+)", line)
                if m:
                    lags[m[1]] = int(m[3])
                    fps[m[1]] = float(m[2]) if m[2] != "-" else 0.0
            curve.append((step * every, [lags.get(f"s{k}") for k in range(n)], [fps.get(f"s{k}") for k in range(n)]))
    finally:
        prog.close()
        for p, _ in servers:
            bench.stop_process(p)
    return curve


def bench_lag():
    n = int(os.environ.get("BENCH_LAG_STREAMS", "24"))
    secs = int(os.environ.get("BENCH_LAG_SECONDS", "60"))
    for bound in (0, 1000):
        bench.log(f"\n== Lag: {n} live H.264 1280x720 25/s over TCP, {secs} s, "
                  + (f"-L {bound}" if bound else "no -L"))
        bench.log("  time   largest lag_ms  median lag_ms  slowest fps_out  lag_ms of each stream")
        for t, lags, fps in run(n, secs, bound):
            seen = [x for x in lags if x is not None]
            shown = [x for x in fps if x is not None]
            bench.log(f"  {t:3d} s  {max(seen, default=0):14d}  {statistics.median(seen) if seen else 0:13.0f}"
                      f"  {min(shown, default=0):15.1f}  " + " ".join(str(x) for x in lags))
