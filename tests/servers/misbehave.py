#!/usr/bin/env python3
"""Video sources that misbehave, on 127.0.0.1 only.

usage: misbehave.py MODE JPEG_SOURCE PICTURES [PORT [RATE]]

MODE is one of
  silent      accept connections and never send a byte
  stall       send PICTURES pictures as raw MJPEG, then send nothing more
  garbage     answer HTTP with a multipart MJPEG stream: PICTURES pictures,
              then parts full of bytes that decode to nothing, for ever
  good        raw MJPEG pictures for ever
  httpgood    answer HTTP with a multipart MJPEG stream of pictures for ever
  random      PICTURES pictures as raw MJPEG, then random bytes for ever
  truncated   PICTURES pictures as raw MJPEG, then pictures cut short (each
              one ends somewhere in its entropy-coded data) for ever
  corrupt     PICTURES pictures as raw MJPEG, then pictures whose
              entropy-coded data has random bytes written over it, for ever
  longlength  HTTP multipart: PICTURES pictures, then parts whose
              Content-Length promises 1000 bytes more than they hold
  shortlength HTTP multipart: PICTURES pictures, then parts whose
              Content-Length is half of what they hold
  cut         PICTURES pictures and half a picture, then a clean close
  reset       PICTURES pictures and half a picture, then a reset (RST)
  unauthorized answer HTTP with "401 Unauthorized" and close
  useragent   httpgood for a client whose User-Agent is "velmor-cam", "403
              Forbidden" for any other
  bytes       the first PICTURES kilobytes of the source file, then nothing
  httpbytes   the same as the body of an HTTP answer

JPEG_SOURCE is a raw MJPEG file (concatenated JPEG pictures), or - for none.
PORT is the port to listen on (0 or absent: any free one). RATE is pictures
per second for the modes that send for ever (default 200).

Prints "PORT <n>" once it listens. Commands on standard input, each
answered with "OK <command>":
  mode NAME   serve new connections with mode NAME from now on
  close       close every connection now open
"""
import random
import socket
import struct
import sys
import threading
import time


def pictures_of(path):
    data = open(path, "rb").read()
    parts = data.split(b"\xff\xd8")
    return [b"\xff\xd8" + p for p in parts if p]


def scan_start(pic):
    """Offset of the entropy-coded data: just after the SOS segment."""
    at = pic.find(b"\xff\xda")
    if at < 0:
        return len(pic) // 2
    return at + 2 + struct.unpack(">H", pic[at + 2:at + 4])[0]


class Server:
    def __init__(self, mode, pictures, count, rate):
        self.mode = mode
        self.pictures = pictures
        self.count = count
        self.period = 1.0 / rate
        self.conns = set()
        self.lock = threading.Lock()

    # --- helpers -----------------------------------------------------------
    def picture(self, i):
        return self.pictures[i % len(self.pictures)]

    def pace(self):
        time.sleep(self.period)

    def read_request(self, conn):
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(4096)
            if not chunk:
                return False
            request += chunk
        return True

    def multipart_header(self, conn):
        conn.sendall(b"HTTP/1.0 200 OK\r\n"
                     b"Content-Type: multipart/x-mixed-replace;boundary=frame\r\n\r\n")

    def part(self, conn, body, length=None):
        if length is None:
            length = len(body)
        conn.sendall(b"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n"
                     % length + body + b"\r\n")

    def good_pictures(self, conn, count):
        for i in range(count):
            conn.sendall(self.picture(i))

    # --- modes -------------------------------------------------------------
    def serve_silent(self, conn):
        while conn.recv(4096):
            pass

    def serve_stall(self, conn):
        self.good_pictures(conn, self.count)
        self.serve_silent(conn)

    def serve_garbage(self, conn):
        if not self.read_request(conn):
            return
        self.multipart_header(conn)
        for i in range(self.count):
            self.part(conn, self.picture(i))
        rnd = random.Random(1)
        while True:
            self.part(conn, bytes(rnd.randrange(256) for _ in range(2000)))
            time.sleep(0.02)

    def serve_good(self, conn):
        i = 0
        while True:
            conn.sendall(self.picture(i))
            i += 1
            self.pace()

    def serve_httpgood(self, conn):
        if not self.read_request(conn):
            return
        self.multipart_header(conn)
        i = 0
        while True:
            self.part(conn, self.picture(i))
            i += 1
            self.pace()

    def serve_random(self, conn):
        self.good_pictures(conn, self.count)
        rnd = random.Random(2)
        while True:
            conn.sendall(bytes(rnd.randrange(256) for _ in range(4000)))
            self.pace()

    def serve_truncated(self, conn):
        self.good_pictures(conn, self.count)
        rnd = random.Random(3)
        i = 0
        while True:
            pic = self.picture(i)
            start = scan_start(pic)
            conn.sendall(pic[:rnd.randrange(start, len(pic) - 2)])
            i += 1
            self.pace()

    def serve_corrupt(self, conn):
        self.good_pictures(conn, self.count)
        rnd = random.Random(4)
        i = 0
        while True:
            pic = bytearray(self.picture(i))
            start = scan_start(pic)
            for _ in range(20):
                # Never a marker byte, so the picture keeps its end.
                pic[rnd.randrange(start, len(pic) - 2)] = rnd.randrange(255)
            conn.sendall(bytes(pic))
            i += 1
            self.pace()

    def serve_length(self, conn, wrong):
        if not self.read_request(conn):
            return
        self.multipart_header(conn)
        for i in range(self.count):
            self.part(conn, self.picture(i))
        i = 0
        while True:
            pic = self.picture(i)
            self.part(conn, pic, wrong(len(pic)))
            i += 1
            self.pace()

    def serve_longlength(self, conn):
        self.serve_length(conn, lambda n: n + 1000)

    def serve_shortlength(self, conn):
        self.serve_length(conn, lambda n: n // 2)

    def serve_cut(self, conn):
        self.good_pictures(conn, self.count)
        pic = self.picture(self.count)
        conn.sendall(pic[:len(pic) // 2])
        time.sleep(0.1)

    def serve_reset(self, conn):
        self.serve_cut(conn)
        # Linger 0: close sends RST instead of FIN.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def serve_bytes(self, conn):
        conn.sendall(self.raw[:self.count * 1024])
        self.serve_silent(conn)

    def serve_httpbytes(self, conn):
        if not self.read_request(conn):
            return
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
        self.serve_bytes(conn)

    def serve_useragent(self, conn):
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(4096)
            if not chunk:
                return
            request += chunk
        if b"\r\nuser-agent: velmor-cam\r\n" not in request.lower():
            conn.sendall(b"HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
            return
        self.multipart_header(conn)
        for i in range(1 << 30):
            self.part(conn, self.picture(i))
            self.pace()

    def serve_unauthorized(self, conn):
        if not self.read_request(conn):
            return
        conn.sendall(b"HTTP/1.0 401 Unauthorized\r\n"
                     b"WWW-Authenticate: Basic realm=\"camera\"\r\n"
                     b"Content-Length: 0\r\n\r\n")

    # --- connections -------------------------------------------------------
    def run(self, conn):
        with self.lock:
            self.conns.add(conn)
        try:
            getattr(self, "serve_" + self.mode)(conn)
        except OSError:
            pass
        finally:
            with self.lock:
                self.conns.discard(conn)
            try:
                conn.close()
            except OSError:
                pass

    def command(self, line):
        words = line.split()
        if words[:1] == ["mode"] and len(words) == 2:
            if not hasattr(self, "serve_" + words[1]):
                return False
            self.mode = words[1]
            return True
        if words == ["close"]:
            with self.lock:
                conns = list(self.conns)
            for c in conns:
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            return True
        return False


def main():
    mode, source, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    rate = float(sys.argv[5]) if len(sys.argv) > 5 else 200.0
    pictures = pictures_of(source) if source != "-" else [b""]
    server = Server(mode, pictures, count, rate)
    server.raw = open(source, "rb").read() if source != "-" else b""
    if not hasattr(server, "serve_" + mode):
        sys.exit("unknown mode " + mode)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(8)
    port = srv.getsockname()[1]
    print("PORT %d" % port, flush=True)

    def accept_loop():
        while True:
            conn, _ = srv.accept()
            threading.Thread(target=server.run, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    for line in sys.stdin:
        ok = server.command(line)
        print(("OK " if ok else "BAD ") + line.strip(), flush=True)


if __name__ == "__main__":
    main()
