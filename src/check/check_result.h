// What skelv-check learns about one recording: the picture's markers and continuity, the
// beeps, the lip-sync events with their figures, and the verdict against a profile.
#pragma once

#include "rules/names.h"
#include "rules/names.h"
#include "rules/profiles.h"
#include "sync/sync_pairing.h"
#include "sync/sync_statistics.h"
#include "sync/sync_verdict.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace skelv {

struct CheckMarker {
    MarkerRole role = MarkerRole::Unknown;
    int bit = -1; ///< frame-counter bit of a FrameId marker (0: half-period of one frame)
    int x = 0, y = 0, width = 0, height = 0; ///< captured pixels
};

// A part of the picture that changes besides the markers, left unread.
struct CheckArea {
    int x = 0, y = 0, width = 0, height = 0; ///< captured pixels
};


struct CheckFrame {
    int64_t time_ns = 0;        ///< running time
    int64_t duration_ns = 0;    ///< until the next captured frame (the last: its own duration)
    FrameKind kind = FrameKind::Unknown;
    int64_t source_frame = -1;  ///< content frame number shown; -1 when not a readable content frame
    int loop = 0;               ///< times the content had started again before this frame
    bool flash = false;         ///< the lip-sync marker is black
    bool repeated = false;      ///< shows a source frame already shown
    int64_t dropped_before = 0; ///< source frames skipped between the previous content frame and this one
};

// One decoded content frame, for a picture of where the markers were found.
struct CheckSnapshot {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb; ///< 3 bytes per pixel, rows without padding; empty when none
    int64_t time_ns = 0;
};

struct CheckVideo {
    int64_t frames = 0; ///< captured frames decoded
    std::vector<CheckMarker> markers;
    std::vector<CheckArea> ignored_areas; ///< what changes besides the markers, a few rectangles
    double capture_fps = 0;          ///< captured frames per second, from the frame times; 0 when unknown
    double source_fps = 0;           ///< source frames per second of capture, from the frame numbers
    std::string sync_from;           ///< how the sync mark was told: "locator", "raster order", "half period"; empty without one
    bool content_start_seen = false;
    int64_t source_frames_shown = 0; ///< distinct content frames seen
    int64_t dropped = 0;             ///< source frames never shown inside the range covered
    int64_t repeated = 0;            ///< captured frames showing an already shown source frame
    int64_t unresolved = 0;          ///< source frames not shown readably where unreadable frames were
    int64_t out_of_order = 0;        ///< captured frames showing a source frame before one already shown
    int64_t unreadable = 0;          ///< captured frames whose markers could not be read
    std::map<int, int64_t> display_counts; ///< times shown -> source frames shown that often
    int loops = 0;                   ///< times the content started again
    std::vector<CheckFrame> timeline; ///< one per captured frame, in delivery order
    CheckSnapshot snapshot;
    std::vector<std::string> warnings; ///< what the picture's reading left aside, one line each
};

struct CheckAudio {
    int rate = 0;     ///< Hz; 0 without sound
    int channels = 0;
    size_t beeps = 0;
};

// Facts of the file and its streams, as decoded.
struct CheckStreams {
    std::string demuxer, video_decoder, audio_decoder; ///< element factory names; empty when none
    int width = 0, height = 0;
    double framerate = 0;                  ///< frames per second as declared; 0 when variable
    int64_t video_length_ns = 0, audio_length_ns = 0; ///< from the streams' own timestamps
    int64_t start_ns = 0, end_ns = 0;      ///< running time of the first frame and of the end of the last
};

struct CheckResult {
    std::string file; ///< as given
    SyncProfile profile;
    int64_t expected_delay_ns = 0; ///< the clip's designed audio offset, taken off before judging
    CheckStreams streams;
    CheckVideo video;
    CheckAudio audio;
    SyncPairing pairing;
    DelayStatistics statistics;
    SyncJudgement judgement;
    std::vector<std::string> warnings; ///< timestamps and pipeline warnings, in the order raised
    std::string unmeasurable_reason;   ///< why there is no event to judge; empty when there are
};

} // namespace skelv
