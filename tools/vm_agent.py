# Runs in a test machine (tools/arm64/test's, tools/system's), one per virtio
# serial port: reads a request (one JSON line: id, argv, cwd, env, and
# optionally input, base64 for standard input), runs it, and sends back frames of
# type byte + 4-byte big-endian length + payload: 'a' the request id, 'o' and
# 'e' standard output and error, 'x' the exit status. A host that goes away
# (vm-run killed by a test timeout) kills what it started.
import base64
import json
import os
import select
import signal
import struct
import subprocess
import sys
import time


def send(fd, kind, data):
    frame = kind + struct.pack(">I", len(data)) + data
    while frame:
        frame = frame[os.write(fd, frame):]


def read_request(fd):
    buf = b""
    while b"\n" not in buf:
        # The port reports POLLHUP, not readiness, while no host is connected.
        if select.select([fd], [], [], 0.1)[0]:
            data = os.read(fd, 65536)
            if not data:
                time.sleep(0.05)
            buf += data
    return json.loads(buf[: buf.index(b"\n")])


def run(fd, req):
    send(fd, b"a", req["id"].encode())
    data = base64.b64decode(req["input"]) if req.get("input") is not None else None
    child = subprocess.Popen(req["argv"], cwd=req["cwd"], env=req["env"],
                             stdin=subprocess.DEVNULL if data is None else subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    if data is not None:
        try:
            child.stdin.write(data)
        except BrokenPipeError:
            pass
        child.stdin.close()
    streams = {child.stdout.fileno(): b"o", child.stderr.fileno(): b"e"}
    poller = select.poll()
    for s in streams:
        poller.register(s, select.POLLIN)
    poller.register(fd, 0)  # POLLHUP only
    exited_at = None
    while streams:
        for s, ev in poller.poll(200):
            if s == fd:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                return
            data = os.read(s, 65536)
            if data:
                send(fd, streams[s], data)
            else:
                poller.unregister(s)
                del streams[s]
        # Output held open by something the program left behind must not
        # keep its status from the host for ever.
        if exited_at is None and child.poll() is not None:
            exited_at = time.monotonic()
        if exited_at is not None and time.monotonic() - exited_at > 2:
            break
    status = child.wait()
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    send(fd, b"x", str(128 - status if status < 0 else status).encode())


def main():
    fd = os.open(sys.argv[1], os.O_RDWR)
    while True:
        req = read_request(fd)
        try:
            run(fd, req)
        except OSError as e:
            try:
                send(fd, b"e", ("vm agent: %s\n" % e).encode())
                send(fd, b"x", b"127")
            except OSError:
                pass


main()
