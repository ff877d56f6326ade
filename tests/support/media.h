// Test media and local sources: clips made with FFmpeg (cached next to the
// built program), free ports on 127.0.0.1, the servers of tests/servers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "shared.h"

// A clip made once by `ffmpeg -v error -y <args> <file>` in the build tree;
// safe when several test programs ask for it at once.
std::string make_clip(const std::string& file_name, const std::string& ffmpeg_args);

// 10 s of testsrc2, 320 x 240, 25 pictures per second (250 pictures).
std::string clip_mjpeg();    // raw MJPEG
std::string clip_h264_ts();  // H.264 with an MP2 audio track in MPEG-TS
std::string clip_audio();    // WAV, no video

// One picture (a whole JPEG or PNG file, say) decoded by FFmpeg's decoder; null on failure.
picture_ptr decode_picture(AVCodecID codec, const std::vector<uint8_t>& data);

// How the reader's failure messages end for FFmpeg's error code e.
inline std::string err(int e) { return "err=" + std::to_string(e) + "\n"; }

// A port on 127.0.0.1 that nobody listens on right now.
int free_port();

// Sockets in /proc/net/tcp in state ("0A" listening, "01" established)
// whose local end (or remote end) is 127.0.0.1:port.
int tcp_sockets(int port, const char* state, bool remote_end);

// An `ffmpeg` process that serves a clip to one client; returned once it
// listens on port.
std::unique_ptr<Child> serve_with_ffmpeg(const std::string& input_args, const std::string& output_args,
                                         int port);

// tests/servers/<script> with args, once it has printed "PORT <port>".
std::unique_ptr<Child> start_test_server(const std::string& script, const std::vector<std::string>& args,
                                         int* port);

// One of tests/servers/misbehave.py's servers.
class PyServer {
public:
    // port 0: any free one; rate: pictures per second of the endless modes.
    PyServer(const std::string& mode, const std::string& jpeg_source, int pictures, int port = 0,
             int rate = 200);
    int port() const { return port_; }
    // Sends a control line ("mode good", "close") and waits for its answer.
    bool control(const std::string& line);

private:
    int port_ = 0;  // before child_, which sets it
    std::unique_ptr<Child> child_;
};
