// One part of a long recording as `skelv-check --part K/N` read it: not a result but what
// reading its stretch measured, frame by frame and buffer by buffer, so that joining the parts
// of a recording numbers, pairs and judges them as one reading of the whole would.
//
// A part owns the frames and sound buffers whose times lie in its stretch [from, to); it reads
// from a little before (the key frame, and the beeps' context) to a little after (a beep that
// starts before its end and ends after). The markers are found at the recording's start by
// every part alike, so every part reads every frame as the whole reading would.
#pragma once

#include "check/check_session.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skelv {

// A video frame the part owns: its timestamps as the source gave them, and its shades.
struct FrameRecord {
    int64_t time_ns = 0, pts_ns = -1, duration_ns = -1, lost_before = 0;
    FrameShades shades;
};

// A sound buffer the part owns, without its samples: its beeps are listed apart.
struct SoundRecord {
    int stream = 0, rate = 0, channels = 0;
    int64_t frames = 0;
    int64_t time_ns = -1, pts_ns = -1, duration_ns = -1;
};

// The beeps of one audio stream whose onsets lie in the part's own buffers, in samples from the
// first of them.
struct PartBeeps {
    int stream = 0;
    std::vector<double> onsets;
};

struct PartRecord {
    static constexpr int kFormat = 1;

    std::string recording; ///< as given
    int part = 1, parts = 1; ///< K of N
    int64_t from_ns = 0, to_ns = 0; ///< the part's stretch; to_ns INT64_MAX for the last
    bool read_from_start = false;   ///< the source could not seek: read from its start to the part
    CheckOptions options;           ///< how it was read and is to be judged (no callbacks)
    SourceFacts facts;
    std::optional<MarkerPlanning> planning; ///< none when the picture could not be read
    std::string picture_error;              ///< then why
    CheckSnapshot snapshot;                 ///< the first part's
    std::vector<std::string> warnings;      ///< the source's, and an early stop
    std::vector<FrameRecord> frames;
    std::vector<SoundRecord> sounds;
    std::vector<PartBeeps> beeps;
};

// Whether two parts were read with the same options and found the same markers.
bool read_alike(const PartRecord& a, const PartRecord& b);

// Written whole or not at all (a temporary file renamed). False with `*error`.
bool write_part_record(const std::string& path, const PartRecord& record, std::string* error);
// False with `*error` for a file that is no part record or is damaged.
bool read_part_record(const std::string& path, PartRecord* record, std::string* error);

} // namespace skelv
