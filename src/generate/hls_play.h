// A play served as HLS by the generator itself: hlssink2 cuts the encoded streams into
// one-second MPEG-TS segments under a rolling playlist in a fresh folder, and the folder is
// served over HTTP for as long as the play runs, then removed.
#pragma once

#include "generate/clip_design.h"
#include "generate/folder_server.h"

#include <csignal>
#include <string>

namespace skelv {

class HlsPlay {
public:
    HlsPlay() = default;
    ~HlsPlay();
    HlsPlay(const HlsPlay&) = delete;
    HlsPlay& operator=(const HlsPlay&) = delete;

    // A TARGET of the form http://[HOST]:PORT/NAME.m3u8.
    static bool is_target(const std::string& target);
    // Makes the folder, starts serving it, and gives the launch description that fills it;
    // false with a reason when it cannot. `target` is one.
    bool open(const std::string& target, const ClipParams& params, int quality, std::string* description,
        std::string* error);
    // After a play that ran its time: serves the playlist's last segments a little longer, so
    // that readers behind the live edge reach its end, unless `*stop` is raised.
    void linger(const volatile std::sig_atomic_t* stop) const;

private:
    FolderServer server_;
    std::string folder_;
};

} // namespace skelv
