// A play served over RTSP by the generator itself: the play sends its MPEG-TS of H.264 and MP2
// to a loopback UDP port, and an RTSP server re-serves that one stream (RTP, MP2T payload,
// timestamped from its PCRs) at the mount point to every client, for as long as the play runs. The media is shared, so a
// client that comes later joins the same timeline: the frame counter never starts over, and
// picture and sound keep the offset their MPEG-TS timestamps give them.
#pragma once

#include "generate/clip_design.h"

#include <memory>
#include <string>

namespace skelv {

class RtspServer;

class RtspPlay {
public:
    RtspPlay();
    ~RtspPlay();
    RtspPlay(const RtspPlay&) = delete;
    RtspPlay& operator=(const RtspPlay&) = delete;

    // A TARGET of the form rtsp://[HOST]:PORT/NAME, NAME of letters, digits, - and _.
    static bool is_target(const std::string& target);
    // Starts serving and gives the launch description that feeds the server; false with a
    // reason when it cannot. `target` is one.
    bool open(const std::string& target, const ClipParams& params, int quality, std::string* description,
        std::string* error);

private:
    std::unique_ptr<RtspServer> server_;
};

} // namespace skelv
