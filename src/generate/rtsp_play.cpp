#include "generate/rtsp_play.h"

#include "generate/play_pipeline.h"
#include "generate/served_target.h"

#include <gst/rtsp-server/rtsp-server.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace skelv {

namespace {

bool parse_rtsp_target(const std::string& target, ServedAddress* address)
{
    return parse_served_address(target, "rtsp://", address) && plain_text(address->path, "_-");
}

// A UDP port on 127.0.0.1 that nothing holds now, for the play to send to and the server's
// media to read.
int free_loopback_port(std::string* error)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool found = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (fd >= 0)
        close(fd);
    if (!found)
        *error = "cannot find a free UDP port on 127.0.0.1 for the RTSP server";
    return found ? ntohs(address.sin_port) : 0;
}

GstRTSPFilterResult drop_client(GstRTSPServer*, GstRTSPClient*, gpointer)
{
    return GST_RTSP_FILTER_REMOVE;
}

} // namespace

// The RTSP server and the main loop it runs in, on a thread of its own.
class RtspServer {
public:
    RtspServer()
        : context_(g_main_context_new())
        , loop_(g_main_loop_new(context_, FALSE))
        , server_(gst_rtsp_server_new())
    {
    }

    ~RtspServer()
    {
        gst_rtsp_server_client_filter(server_, drop_client, nullptr);
        if (thread_.joinable()) {
            g_main_loop_quit(loop_);
            thread_.join();
        }
        if (source_ != 0)
            g_source_destroy(g_main_context_find_source_by_id(context_, source_));
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    // Serves `launch` at /`mount` on HOST:PORT (every IPv4 address when HOST is empty).
    bool start(const ServedAddress& address, const std::string& launch, std::string* error)
    {
        const std::string host = address.host.empty() ? "0.0.0.0" : address.host;
        const std::string service = std::to_string(address.port);
        g_object_set(server_, "address", host.c_str(), "service", service.c_str(), nullptr);
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, launch.c_str());
        // One media for every client: they all see the one live stream.
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        gst_rtsp_mount_points_add_factory(mounts, ("/" + address.path).c_str(), factory);
        g_object_unref(mounts);
        source_ = gst_rtsp_server_attach(server_, context_);
        if (source_ == 0) {
            *error = "cannot serve RTSP on " + host + " port " + service;
            return false;
        }
        thread_ = std::thread([this] { g_main_loop_run(loop_); });
        return true;
    }

private:
    GMainContext* context_;
    GMainLoop* loop_;
    GstRTSPServer* server_;
    guint source_ = 0;
    std::thread thread_;
};

RtspPlay::RtspPlay() = default;
RtspPlay::~RtspPlay() = default;

bool RtspPlay::is_target(const std::string& target)
{
    ServedAddress address;
    return parse_rtsp_target(target, &address);
}

bool RtspPlay::open(
    const std::string& target, const ClipParams& params, int quality, std::string* description, std::string* error)
{
    ServedAddress address;
    parse_rtsp_target(target, &address);
    const int port = free_loopback_port(error);
    if (port == 0)
        return false;
    const std::string loopback = "127.0.0.1 port=" + std::to_string(port);
    server_ = std::make_unique<RtspServer>();
    // The media reads from the port only once a client plays, and what waited there meanwhile
    // comes in a burst: its RTP timestamps come from the stream's PCRs (tsparse, smoothed over
    // half a second), not from when it came, so that the clients' clocks follow the sender's
    // from the start.
    if (!server_->start(address,
            "( udpsrc address=" + loopback + " caps=\"video/mpegts,systemstream=(boolean)true,packetsize=(int)188\" ! "
            "tsparse set-timestamps=true smoothing-latency=500000 ! rtpmp2tpay name=pay0 )",
            error))
        return false;
    *description = mpegts_description("udpsink host=" + loopback + " " + kLateCountedSync, params, quality);
    return true;
}

} // namespace skelv
