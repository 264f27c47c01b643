// What skelv-check learns about one recording: the picture's markers and continuity, the
// beeps, the lip-sync events with their figures, and the verdict against a profile.
#pragma once

#include "check/time_guard.h"
#include "media/media_source.h"
#include "picture/line_time.h"
#include "rules/names.h"
#include "rules/profiles.h"
#include "rules/run_tags.h"
#include "sync/delay_steps.h"
#include "sync/latency.h"
#include "sync/sync_pairing.h"
#include "sync/sync_statistics.h"
#include "sync/sync_verdict.h"

#include <cstdint>
#include <map>
#include <optional>
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

// Where the time of a stretch of frames went, for the report's span bands: header, locator,
// content of an even and of an odd loop, trailer, anything else. Unreadable frames count apart.
enum class SpanSlot : uint8_t { Header, Locator, Content, ContentOddLoop, Trailer, Other };
inline constexpr size_t kSpanSlots = 6;

// The frames of one stretch of recording time, summed.
struct TimelineBin {
    int64_t frames = 0;
    int64_t min_duration_ns = INT64_MAX, max_duration_ns = 0;
    int64_t dropped = 0, repeated = 0, unreadable = 0;
    int64_t shown_ns[kSpanSlots] = {}; ///< display time by SpanSlot
    int32_t loop = 0;                  ///< of the bin's last content frame
};

// A bin of one frame.
TimelineBin timeline_bin_of(const CheckFrame& frame);

// The frame timeline in a size that does not grow with the recording: every frame while there
// are few, and always the frames summed over at most kMaxBins stretches of equal length (the
// stretches double in length as the recording grows).
struct TimelineSketch {
    static constexpr size_t kExactFrames = 4096;
    static constexpr size_t kMaxBins = 2048;

    std::vector<CheckFrame> frames; ///< every frame, while `count` <= kExactFrames; else empty
    int64_t count = 0;
    int64_t start_ns = 0, end_ns = 0; ///< the first frame's time and the end of the last
    int64_t bin_ns = 0;               ///< bins[i] holds the frames from start_ns + i * bin_ns on
    std::vector<TimelineBin> bins;

    void add(const CheckFrame& frame);
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
    int64_t lost_by_tool = 0;        ///< frames of a live source dropped because skelv-check fell behind
    int64_t line_time_ns = 0;        ///< rolling shutter: each row exposed this long after the one above; 0 global
    int32_t shutter_row = -1;        ///< the lip-sync marker's middle row; -1 without one
    int64_t shutter_offset_ns = 0;   ///< added to every flash's frame time: row × line time
    std::optional<LineTimeEstimate> line_time_measurement; ///< when the line time was to be measured
    std::map<int, int64_t> display_counts; ///< times shown -> source frames shown that often
    int loops = 0;                   ///< times the content started again
    TimelineSketch timeline;          ///< the captured frames over time
    CheckSnapshot snapshot;
};

struct CheckAudio {
    int stream = -1;  ///< index of the audio stream the beeps were taken from; -1 without sound
    int rate = 0;     ///< Hz; 0 without sound
    int channels = 0;
    size_t beeps = 0;
};

// One stream of the recording as its source lists it.
struct CheckTrack {
    int index = 0;
    bool video = false;   ///< else audio
    std::string format;   ///< what it carries, e.g. "audio/mpeg, mpegversion=4, rate=48000, channels=2"
    std::string decoder;  ///< element factory; empty when none could decode it
    std::string language; ///< empty when untold
    bool read = false;    ///< decoded and searched
    int64_t beeps = -1;   ///< beeps heard in an audio stream that was read; -1 otherwise
};

// Facts of the file and its streams, as decoded.
struct CheckStreams {
    std::string demuxer, video_decoder, audio_decoder; ///< element factory names; empty when none
    int width = 0, height = 0;
    double framerate = 0;                  ///< frames per second as declared; 0 when variable
    int64_t video_length_ns = 0, audio_length_ns = 0; ///< from the streams' own timestamps
    int64_t start_ns = 0, end_ns = 0;      ///< running time of the first frame and of the end of the last
    std::vector<CheckTrack> tracks;        ///< every audio and video stream, in the source's order
};

// A stretch in which a live source delivered nothing of one stream.
struct Outage {
    bool audio = false;    ///< of the sound, else of the picture
    int64_t start_ns = 0;  ///< running time of the end of the last frame or sound before it
    int64_t length_ns = 0; ///< until the stream came back, or the run ended
    std::string message;   ///< what the source said, when it said anything
};

// End-to-end latency against the sender's sidecar (--sender), on the clock both share.
struct CheckLatency {
    std::string sidecar;            ///< as given
    ClockIdentity sender, receiver; ///< each with its pipeline's base time
    LatencyFigures video;           ///< the first capture of each content frame
    LatencyFigures audio;           ///< each beep paired with a flash, as its flash's content frame
    std::string unmeasured_reason;  ///< why nothing could be paired; empty when it could
};

// The microphone stood away from the screen: the sound reached it this much late.
struct MicDistance {
    double metres = 0;
    double celsius = 20;
    double speed_m_per_s = 0; ///< of sound in air at `celsius`
    int64_t travel_ns = 0;    ///< taken off every beep's time before pairing
};

// A capture chain's own picture-to-sound offset, measured by `skelv-check calibrate` on a
// recording of a clip with no offset of its own.
struct ChainCalibration {
    std::string file;                ///< the calibration file, as given
    std::string reference;           ///< the recording it was measured on
    std::string made;                ///< when, UTC, ISO 8601
    int64_t offset_ns = 0;           ///< the reference's median delay, taken off every delay
    int64_t low_ns = 0, high_ns = 0; ///< its 95 % interval
    size_t events = 0;               ///< the reference's events it was measured on
    double capture_fps = 0;          ///< the reference's captured frames per second; 0 when unknown
    // Of the recording checked with it: the corrected median's 95 % interval, widened by the
    // offset's own uncertainty.
    double median_low_ns = 0, median_high_ns = 0;
};

struct CheckResult {
    std::string file; ///< as given
    SyncProfile profile;
    int64_t expected_delay_ns = 0; ///< the clip's designed audio offset, taken off before judging
    std::optional<MicDistance> mic;              ///< when told: its travel is off every beep's time
    std::optional<ChainCalibration> calibration; ///< when told: its offset is off every delay
    RunTags tags;                  ///< what the run was told it is (device, firmware, ...)
    CheckStreams streams;
    CheckVideo video;
    CheckAudio audio;
    SyncPairing pairing;
    DelayStatistics statistics;
    DelaySteps steps; ///< where the delay jumps, over the same events as the statistics
    SyncJudgement judgement;
    std::vector<Outage> outages;          ///< of a live source, in the order they began
    std::vector<UntrustedSpan> untrusted; ///< stretches whose timestamps are broken, video first
    size_t untrusted_events = 0;          ///< events left out of the verdict for lying in them
    std::vector<std::string> warnings;    ///< timestamps and pipeline warnings, in the order raised
    std::string unmeasurable_reason;      ///< why there is no event to judge; empty when there are
    std::optional<CheckLatency> latency;  ///< with --sender only
};

} // namespace skelv
