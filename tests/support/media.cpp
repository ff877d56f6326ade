#include "media.h"
#include "until.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

std::string make_clip(const std::string& file_name, const std::string& ffmpeg_args)
{
    const std::string dir = VELMOR_BUILD_DIR "/test-media", path = dir + "/" + file_name;
    if (access(path.c_str(), R_OK) == 0)
        return path;
    // Made under a private name and renamed into place: no reader sees half a clip.
    const std::string tmp = path + ".tmp" + std::to_string(getpid()) + file_name.substr(file_name.rfind('.'));
    if (run_shell("mkdir -p '" + dir + "' && ffmpeg -nostdin -v error -y " + ffmpeg_args + " '" + tmp + "'") != 0 ||
        rename(tmp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot make clip " + file_name);
    return path;
}

std::string clip_mjpeg()
{
    return make_clip("testsrc-320x240.mjpeg",
                     "-f lavfi -i testsrc2=size=320x240:rate=25 -t 10 -c:v mjpeg -q:v 8 -f mjpeg");
}

std::string clip_h264_ts()
{
    return make_clip("testsrc-320x240-h264.ts",
                     "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=8000 "
                     "-t 10 -c:v libx264 -preset ultrafast -g 25 -c:a mp2 -f mpegts");
}

std::string clip_audio()
{
    return make_clip("sine.wav", "-f lavfi -i sine=frequency=440:sample_rate=8000 -t 1 -c:a pcm_s16le");
}

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot find a free port");
    close(fd);
    return ntohs(a.sin_port);
}

int tcp_sockets(int port, const char* state, bool remote_end)
{
    char want[16];
    snprintf(want, sizeof want, ":%04X", port);
    std::ifstream f("/proc/net/tcp");
    int n = 0;
    for (std::string sl, local, remote, st, rest; f >> sl >> local >> remote >> st && std::getline(f, rest);)
        n += st == state && (remote_end ? remote : local).ends_with(want);
    return n;
}

std::unique_ptr<Child> serve_with_ffmpeg(const std::string& input_args, const std::string& output_args,
                                         int port)
{
    const std::string cmd = "exec ffmpeg -nostdin -v error " + input_args + " " + output_args;
    auto child = std::make_unique<Child>(std::vector<std::string>{"/bin/sh", "-c", cmd});
    // Read from /proc, so no connection is spent on the check.
    if (until([&] { return tcp_sockets(port, "0A", false) > 0; }))  // LISTEN
        return child;
    throw std::runtime_error("ffmpeg does not listen: " + cmd);
}

std::unique_ptr<Child> start_test_server(const std::string& script, const std::vector<std::string>& args,
                                         int* port)
{
    std::vector<std::string> argv{"/usr/bin/python3", "-u", std::string(VELMOR_TEST_DIR) + "/servers/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = std::make_unique<Child>(argv);
    if (!child->wait_for("PORT ", std::chrono::seconds(20)) || !child->wait_for("\n", std::chrono::seconds(2)))
        throw std::runtime_error(script + " did not start: " + child->output());
    *port = std::stoi(child->output().substr(child->output().find("PORT ") + 5));
    return child;
}

PyServer::PyServer(const std::string& mode, const std::string& jpeg_source, int pictures, int port, int rate)
    : child_(start_test_server("misbehave.py", {mode, jpeg_source, std::to_string(pictures), std::to_string(port),
                                                std::to_string(rate)},
                               &port_))
{
}

bool PyServer::control(const std::string& line)
{
    return child_->send(line + "\n") && child_->wait_for("OK " + line + "\n", std::chrono::seconds(10));
}

picture_ptr decode_picture(AVCodecID codec_id, const std::vector<uint8_t>& data)
{
    const AVCodec* codec = avcodec_find_decoder(codec_id);
    decoder_ptr ctx(avcodec_alloc_context3(codec));
    packet_ptr pkt(av_packet_alloc());
    picture_ptr pic(av_frame_alloc());
    if (avcodec_open2(ctx.get(), codec, nullptr) != 0 || av_new_packet(pkt.get(), static_cast<int>(data.size())) != 0)
        return nullptr;
    std::copy(data.begin(), data.end(), pkt->data);
    if (avcodec_send_packet(ctx.get(), pkt.get()) != 0 || avcodec_receive_frame(ctx.get(), pic.get()) != 0)
        return nullptr;
    return pic;
}
