// The record of one analysis run: the two passes and the conclusion fill it step by step,
// the report is written from it alone.
#pragma once

#include "core/layout.h"
#include "core/tone_detector.h"
#include "core/video_structure.h"

#include <cstdint>
#include <string>
#include <vector>

// Factory names of the elements that decode the file, and of those that would make the same
// formats; empty when there is none.
struct StreamElements {
    std::string demuxer, video_decoder, audio_decoder;
    std::string muxer, video_encoder, audio_encoder;
};

// What tells one state of the file from another: a file replaced, grown or cut changes it.
struct FileStamp {
    uint64_t device = 0, inode = 0;
    int64_t size = 0;     ///< bytes
    int64_t mtime_ns = 0; ///< modification time, ns since the epoch
    bool operator==(const FileStamp&) const = default;
};

struct LipsyncSummary {
    int32_t audio_markers = 0; ///< beeps found
    int32_t video_markers = 0; ///< frames whose lip-sync marker is black
    float min_delay = 0;       ///< seconds, beep start minus frame time; 0 without pairs
    float max_delay = 0;       ///< seconds
};

struct AnalysisRun {
    const char* file = nullptr; ///< the path as given on the command line
    FileStamp file_stamp;       ///< the file as the first pass found it

    // First pass: the streams as opened, then the totals after the last sample.
    StreamElements elements;
    int32_t video_width = 0, video_height = 0; ///< frame size of the first pass
    float framerate = 0;                       ///< frames per second; 0 when variable
    int32_t audio_rate = 0;                    ///< Hz, as the loader reports it
    int32_t total_frames = 0;                  ///< video frames of the first pass
    uint64_t video_end = 0, audio_end = 0;     ///< ns, end of each stream's last buffer
    std::vector<MarkerRect> markers;

    // Second pass.
    std::vector<std::string> frame_codes;   ///< one per video frame
    std::vector<uint64_t> frame_times;      ///< running time of each frame, ns; all ones when unset
    uint64_t audio_start_time = 0;          ///< running time of the first audio sample, ns
    std::vector<AudioMarker> audio_markers; ///< beeps

    // Concluded from both passes.
    VideoStructure structure{0, 0, 0, 0, {}, 0}; ///< spans, and one class per marker that has one
    int32_t lipsync_marker = -1;                 ///< index into markers of the last RGB6 marker
    LipsyncSummary lipsync;
    const char* frame_data = nullptr; ///< name of the timeline file once written whole

    std::vector<std::string> warnings; ///< in the order raised
};

// Nanoseconds as seconds, through single precision as every printed time is.
inline float seconds_from_ns(uint64_t ns)
{
    return static_cast<float>(ns) / 1000000000.0f;
}
inline float seconds_from_signed_ns(int64_t ns)
{
    return static_cast<float>(ns) / 1000000000.0f;
}
