"""A small RTSP server for the benchmarks: serves an H.264 Annex-B file at 25
pictures a second over RTP (UDP or interleaved in the RTSP connection) to
each client from its first picture on. Binds 127.0.0.1 only. The ffmpeg
program cannot take this part: its rtsp muxer only pushes to a server."""
import base64
import re
import socket
import struct
import threading
import time

MTU_PAYLOAD = 1400


def nal_units(data):
    """The NAL units of an Annex-B stream, without their start codes."""
    starts = [m.end() for m in re.finditer(b"\x00\x00\x01", data)]
    units = []
    for i, s in enumerate(starts):
        end = starts[i + 1] - 3 if i + 1 < len(starts) else len(data)
        while end > s and data[end - 1] == 0:  # the zero of a four-byte start code
            end -= 1
        units.append(data[s:end])
    return units


def access_units(units):
    """Groups NAL units into pictures: everything up to and including a slice
    (one slice per picture, as x264 writes by default)."""
    pictures, pending = [], []
    for u in units:
        if not u:
            continue
        pending.append(u)
        if u[0] & 0x1F in (1, 5):
            pictures.append(pending)
            pending = []
    return pictures


_parsed = {}


class RtspServer:
    def __init__(self, path, fps=25):
        if path not in _parsed:
            with open(path, "rb") as f:
                units = nal_units(f.read())
            _parsed[path] = (units, access_units(units))
        units, self.pictures = _parsed[path]
        sps = next(u for u in units if u and u[0] & 0x1F == 7)
        pps = next(u for u in units if u and u[0] & 0x1F == 8)
        self.fmtp = ("packetization-mode=1;profile-level-id=%s;sprop-parameter-sets=%s,%s"
                     % (sps[1:4].hex(), base64.b64encode(sps).decode(), base64.b64encode(pps).decode()))
        self.period = 1.0 / fps
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.url = f"rtsp://127.0.0.1:{self.port}/live"
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed = True
        self.sock.close()

    def _accept(self):
        while not self.closed:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._session, args=(c,), daemon=True).start()

    def _session(self, c):
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        buf = b""
        send = None  # how RTP packets go out once set up
        playing = threading.Event()
        stop = threading.Event()
        lock = threading.Lock()
        try:
            while not self.closed:
                while b"\r\n\r\n" not in buf:
                    chunk = c.recv(65536)
                    if not chunk:
                        return
                    buf += chunk
                head, buf = buf.split(b"\r\n\r\n", 1)
                lines = head.decode(errors="replace").split("\r\n")
                method = lines[0].split(" ")[0]
                hdr = {}
                for line in lines[1:]:
                    k, _, v = line.partition(":")
                    hdr[k.strip().lower()] = v.strip()
                length = int(hdr.get("content-length", "0"))
                while len(buf) < length:
                    buf += c.recv(65536)
                buf = buf[length:]
                cseq = hdr.get("cseq", "0")
                extra, body = "", ""
                if method == "OPTIONS":
                    extra = "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n"
                elif method == "DESCRIBE":
                    body = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=bench\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                            f"a=fmtp:96 {self.fmtp}\r\na=control:track1\r\n")
                    extra = f"Content-Base: {self.url}/\r\nContent-Type: application/sdp\r\n"
                elif method == "SETUP":
                    tr = hdr.get("transport", "")
                    m = re.search(r"client_port=(\d+)", tr)
                    if "TCP" in tr.split(";")[0]:
                        def send(pkt, c=c):
                            with lock:
                                c.sendall(b"$\x00" + struct.pack(">H", len(pkt)) + pkt)
                        extra = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                    elif m:
                        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                        u.bind(("127.0.0.1", 0))
                        dest = ("127.0.0.1", int(m.group(1)))

                        def send(pkt, u=u, dest=dest):
                            u.sendto(pkt, dest)
                        sp = u.getsockname()[1]
                        extra = (f"Transport: RTP/AVP;unicast;client_port={m.group(1)}-{int(m.group(1)) + 1};"
                                 f"server_port={sp}-{sp + 1}\r\n")
                    else:
                        self._reply(c, lock, cseq, "461 Unsupported Transport")
                        continue
                    extra += "Session: 4242;timeout=60\r\n"
                elif method == "PLAY":
                    extra = "Session: 4242\r\nRange: npt=0.000-\r\n"
                    playing.set()
                elif method == "TEARDOWN":
                    self._reply(c, lock, cseq, "200 OK")
                    return
                self._reply(c, lock, cseq, "200 OK", extra, body)
                if method == "PLAY":
                    threading.Thread(target=self._stream, args=(send, stop), daemon=True).start()
        except OSError:
            pass
        finally:
            stop.set()
            c.close()

    @staticmethod
    def _reply(c, lock, cseq, status, extra="", body=""):
        msg = f"RTSP/1.0 {status}\r\nCSeq: {cseq}\r\n{extra}Content-Length: {len(body.encode())}\r\n\r\n{body}"
        with lock:
            c.sendall(msg.encode())

    def _stream(self, send, stop):
        seq, ssrc = 0, 0x5EEDBEEF
        t0 = time.monotonic()
        try:
            for n, picture in enumerate(self.pictures):
                if stop.is_set() or self.closed:
                    return
                delay = t0 + n * self.period - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                ts = (n * 3600) & 0xFFFFFFFF
                packets = []
                for u in picture:
                    if len(u) <= MTU_PAYLOAD:
                        packets.append(u)
                        continue
                    fu_ind = (u[0] & 0xE0) | 28
                    rest = u[1:]
                    first = True
                    while rest:
                        part, rest = rest[:MTU_PAYLOAD], rest[MTU_PAYLOAD:]
                        fu_hdr = (u[0] & 0x1F) | (0x80 if first else 0) | (0x40 if not rest else 0)
                        packets.append(bytes([fu_ind, fu_hdr]) + part)
                        first = False
                for i, payload in enumerate(packets):
                    marker = 0x80 if i == len(packets) - 1 else 0
                    send(struct.pack(">BBHII", 0x80, marker | 96, seq & 0xFFFF, ts, ssrc) + payload)
                    seq += 1
        except OSError:
            pass
