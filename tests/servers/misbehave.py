#!/usr/bin/env python3
"""Video sources that misbehave, on 127.0.0.1 only.

usage: misbehave.py MODE JPEG_SOURCE PICTURES [PORT [RATE]]

MODE names a serve_* method below (http*, garbage, *length and unauthorized
answer HTTP requests with multipart MJPEG, the rest send raw
MJPEG). JPEG_SOURCE: a raw MJPEG file, or - for none; PORT 0 or absent: any
free one; RATE: pictures per second of the endless modes (default 200).
Prints "PORT <n>" once it listens. Standard input takes "mode NAME" (for new
connections) and "close" (shuts every open one), answered "OK <line>".
"""
import contextlib
import random
import socket
import struct
import sys
import threading
import time


def scan_start(pic):
    """Offset of the entropy-coded data: just after the SOS segment."""
    at = pic.find(b"\xff\xda")
    return len(pic) // 2 if at < 0 else at + 2 + struct.unpack(">H", pic[at + 2:at + 4])[0]


def noise(rnd, n):
    return bytes(rnd.randrange(256) for _ in range(n))


class Server:
    def __init__(self, mode, raw, count, rate):
        self.mode, self.raw, self.count, self.period = mode, raw, count, 1.0 / rate
        self.pictures = [b"\xff\xd8" + p for p in raw.split(b"\xff\xd8") if p] or [b""]
        self.conns, self.lock = set(), threading.Lock()

    def pic(self, i):
        return self.pictures[i % len(self.pictures)]

    def first(self, send):
        for i in range(self.count):
            send(self.pic(i))

    def forever(self, send, make, period=None):
        for i in range(1 << 62):
            send(make(i))
            time.sleep(period or self.period)

    def request(self, conn):
        req = b""
        while b"\r\n\r\n" not in req:
            chunk = conn.recv(4096)
            if not chunk:
                raise OSError("closed before the request's end")
            req += chunk

    def parts(self, conn):
        """Answers the request with a multipart header; returns the part sender."""
        self.request(conn)
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=frame\r\n\r\n")
        return lambda body, length=None: conn.sendall(
            b"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n"
            % (len(body) if length is None else length) + body + b"\r\n")

    def serve_silent(self, conn):
        while conn.recv(4096):
            pass

    def serve_stall(self, conn):
        self.first(conn.sendall)
        self.serve_silent(conn)

    def serve_garbage(self, conn):
        part, rnd = self.parts(conn), random.Random(1)
        self.first(part)
        self.forever(part, lambda i: noise(rnd, 2000), 0.02)

    def serve_good(self, conn):
        self.forever(conn.sendall, self.pic)

    def serve_httpgood(self, conn):
        self.forever(self.parts(conn), self.pic)

    def serve_random(self, conn):
        self.first(conn.sendall)
        rnd = random.Random(2)
        self.forever(conn.sendall, lambda i: noise(rnd, 4000))

    def serve_truncated(self, conn):
        self.first(conn.sendall)
        rnd = random.Random(3)
        self.forever(conn.sendall, lambda i: self.pic(i)[:rnd.randrange(scan_start(self.pic(i)), len(self.pic(i)) - 2)])

    def serve_corrupt(self, conn):
        self.first(conn.sendall)
        rnd = random.Random(4)

        def corrupted(i):
            pic = bytearray(self.pic(i))
            start = scan_start(pic)
            for _ in range(20):
                pic[rnd.randrange(start, len(pic) - 2)] = rnd.randrange(255)  # never a marker byte
            return bytes(pic)
        self.forever(conn.sendall, corrupted)

    def wrong_length(self, conn, wrong):
        part = self.parts(conn)
        self.first(part)
        self.forever(lambda pic: part(pic, wrong(len(pic))), self.pic)

    def serve_longlength(self, conn):
        self.wrong_length(conn, lambda n: n + 1000)

    def serve_shortlength(self, conn):
        self.wrong_length(conn, lambda n: n // 2)

    def serve_cut(self, conn):
        self.first(conn.sendall)
        conn.sendall(self.pic(self.count)[:len(self.pic(self.count)) // 2])
        time.sleep(0.1)

    def serve_reset(self, conn):
        self.serve_cut(conn)
        # Linger 0: close sends RST instead of FIN.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def serve_bytes(self, conn):
        conn.sendall(self.raw[:self.count * 1024])
        self.serve_silent(conn)

    def serve_httpbytes(self, conn):
        self.request(conn)
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
        self.serve_bytes(conn)

    def serve_unauthorized(self, conn):
        self.request(conn)
        conn.sendall(b"HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"camera\"\r\n"
                     b"Content-Length: 0\r\n\r\n")

    def run(self, conn):
        with self.lock:
            self.conns.add(conn)
        with contextlib.suppress(OSError):
            getattr(self, "serve_" + self.mode)(conn)
        with self.lock:
            self.conns.discard(conn)
        conn.close()

    def command(self, words):
        if len(words) == 2 and words[0] == "mode" and hasattr(self, "serve_" + words[1]):
            self.mode = words[1]
            return True
        if words == ["close"]:
            with self.lock:
                for c in self.conns:
                    with contextlib.suppress(OSError):
                        c.shutdown(socket.SHUT_RDWR)
            return True
        return False


def main():
    mode, source, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    rate = float(sys.argv[5]) if len(sys.argv) > 5 else 200.0
    server = Server(mode, open(source, "rb").read() if source != "-" else b"", count, rate)
    if not hasattr(server, "serve_" + mode):
        sys.exit("unknown mode " + mode)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(8)
    print("PORT %d" % srv.getsockname()[1], flush=True)

    def accept_loop():
        while True:
            threading.Thread(target=server.run, args=(srv.accept()[0],), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    for line in sys.stdin:
        print(("OK " if server.command(line.split()) else "BAD ") + line.strip(), flush=True)


if __name__ == "__main__":
    main()
