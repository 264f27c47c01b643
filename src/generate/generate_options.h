// Command line of skelv-generate.
#pragma once

#include "generate/clip_design.h"
#include "generate/codecs.h"

#include <string>
#include <vector>

namespace skelv {

struct GenerateOptions {
    std::string output; ///< clip path; its extension names the container. With --play: the target
    bool play = false;  ///< play the signal live instead of writing a clip
    std::string pipeline;                 ///< with --play: launch description with elements video and audio
    std::string sidecar = "play.ndjson";  ///< with --play: the sender's timeline
    double play_seconds = 0;              ///< with --play: how long; 0 until stopped
    std::string clock;                    ///< with --play: net://[HOST]:PORT to serve the clock on
    double locator_every_minutes = 0;     ///< with --play: header and locator again this often; 0 at the start only
    std::string send_sidecar;             ///< with --play: "HOST:PORT" to send the sidecar's lines to as well
    ClipParams clip;
    std::string video_codec; ///< empty: the container's default
    std::string audio_codec; ///< empty: the container's default
    int quality = 85;        ///< video quality, 1 (worst) to 100 (best)
    bool help = false;
};

// Parses the arguments after the program name. False with a reason for a malformed or
// missing value, an unknown option or a missing output path (unless help was asked for).
bool generate_options_parse(const std::vector<std::string>& args, GenerateOptions* options, std::string* error);

// Picks the container from the output's extension and the codecs, and drops the streams
// the options or the container leave out. False with a reason for unknown names.
bool generate_options_encoding(GenerateOptions* options, Encoding* encoding, std::string* error);

std::string generate_help_text();

} // namespace skelv
