#!/usr/bin/python3
"""A real RTSP server (GStreamer's RTSP server library) on 127.0.0.1 only.

usage: rtsp_server.py [PORT]

Mounts a live 320x240 test picture, 25 per second: /h264 (H.264), /mjpeg
(RTP/JPEG), over UDP or TCP; /tcp (H.264, TCP interleaving only). Prints
"PORT <n>" once it listens; ends at end of input. Needs Debian's python3-gi,
gir1.2-gst-rtsp-server-1.0 and GStreamer's base, good, ugly plugins.
"""
import random
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

SOURCE = ("videotestsrc is-live=true pattern=ball ! "
          "video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! ")
H264 = SOURCE + ("x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
                 "rtph264pay name=pay0 pt=96 config-interval=1")
MJPEG = SOURCE + "jpegenc ! rtpjpegpay name=pay0 pt=26"


def main():
    Gst.init(None)
    port = sys.argv[1] if len(sys.argv) > 1 else "0"
    # RTP/RTCP pairs from a pool (without one the library binds 0.0.0.0),
    # unicast (ttl 0), where other tests are unlikely to be.
    pool = GstRtspServer.RTSPAddressPool()
    base = random.randrange(20000, 60000, 2)
    pool.add_range("127.0.0.1", "127.0.0.1", base, base + 63, 0)
    server = GstRtspServer.RTSPServer(address="127.0.0.1", service=port)
    for mount, launch, transports in (("/h264", H264, None), ("/mjpeg", MJPEG, None),
                                      ("/tcp", H264, GstRtsp.RTSPLowerTrans.TCP)):
        f = GstRtspServer.RTSPMediaFactory(launch="( " + launch + " )", shared=True)
        f.set_address_pool(pool)
        if transports is not None:
            f.set_protocols(transports)
        server.get_mount_points().add_factory(mount, f)
    if server.attach(None) == 0:
        sys.exit("cannot listen on 127.0.0.1:" + port)
    print("PORT %d" % server.get_bound_port(), flush=True)
    loop = GLib.MainLoop()
    threading.Thread(target=lambda: (sys.stdin.read(), GLib.idle_add(loop.quit)), daemon=True).start()
    loop.run()


if __name__ == "__main__":
    main()
