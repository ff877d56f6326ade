#!/usr/bin/env python3
"""Video sources that misbehave, on 127.0.0.1 only.

usage: misbehave.py MODE JPEG_SOURCE PICTURES

MODE is one of
  silent   accept connections and never send a byte
  stall    send PICTURES pictures as raw MJPEG, then send nothing more
  garbage  answer HTTP with a multipart MJPEG stream: PICTURES pictures, then
           parts full of bytes that decode to nothing, for ever
JPEG_SOURCE is a raw MJPEG file (concatenated JPEG pictures). Every
connection is served the same way, one after the other. Prints "PORT <n>"
once it listens.
"""
import random
import socket
import sys
import threading
import time


def pictures_of(path):
    data = open(path, "rb").read()
    parts = data.split(b"\xff\xd8")
    return [b"\xff\xd8" + p for p in parts if p]


def serve_silent(conn, pictures, count):
    while conn.recv(4096):
        pass


def serve_stall(conn, pictures, count):
    for i in range(count):
        conn.sendall(pictures[i % len(pictures)])
    while conn.recv(4096):
        pass


def serve_garbage(conn, pictures, count):
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            return
        request += chunk
    conn.sendall(b"HTTP/1.0 200 OK\r\n"
                 b"Content-Type: multipart/x-mixed-replace;boundary=frame\r\n\r\n")

    def part(body):
        conn.sendall(b"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n"
                     % len(body) + body + b"\r\n")

    for i in range(count):
        part(pictures[i % len(pictures)])
    rnd = random.Random(1)
    while True:
        part(bytes(rnd.randrange(256) for _ in range(2000)))
        time.sleep(0.02)


def main():
    mode, source, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    serve = {"silent": serve_silent, "stall": serve_stall, "garbage": serve_garbage}[mode]
    pictures = pictures_of(source) if source != "-" else []
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    print("PORT %d" % srv.getsockname()[1], flush=True)

    def run(conn):
        try:
            serve(conn, pictures, count)
        except OSError:
            pass
        finally:
            conn.close()

    while True:
        conn, _ = srv.accept()
        threading.Thread(target=run, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
