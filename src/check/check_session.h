// One recording read by skelv-check, fed frame by frame and buffer by buffer from whatever
// decodes it: the picture and sound readers, the timestamp checks, the frame timeline, then
// pairing, figures and the verdict. It never sees where its frames come from, so it is fed
// the same way from a file, a stream or frames made in memory.
//
//   CheckSession session(options);
//   session.describe(facts);
//   first decode:  take_frame(...) / take_sound(...) ... end_of_first_decode()
//   when wants_second_decode(): reread_frame(...) for every frame of a second decode
//   session.finish(&result);
#pragma once

#include "check/check_result.h"
#include "check/frame_timeline.h"
#include "check/snapshot_taker.h"
#include "check/time_guard.h"
#include "core/stream_times.h"
#include "media/media_source.h"
#include "picture/video_reader.h"
#include "sync/live_pairing.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skelv {

struct FrameRecord;
struct SoundRecord;
struct PartRecord;

// Of a recording read in parts: the times one part owns, from included to excluded.
struct PartWindow {
    int64_t from_ns = INT64_MIN, to_ns = INT64_MAX;
    bool owns(int64_t time_ns) const { return time_ns >= from_ns && time_ns < to_ns; }
};

struct CheckOptions {
    SyncProfile profile = sync_profiles().front();
    int64_t expected_delay_ns = 0; ///< the clip's designed audio offset, subtracted before judging
    std::optional<MicDistance> mic;              ///< its travel is taken off every beep's time
    std::optional<ChainCalibration> calibration; ///< its offset is taken off every delay
    int audio_stream = -1;         ///< the audio stream to search for beeps; -1: every one, the best wins
    // A camera's rolling shutter exposes each row of the recording this long after the row
    // above it: a flash counts from its frame's time plus the lip-sync marker's row times
    // this. 0: a global shutter.
    int64_t line_time_ns = 0;
    // Measure the line time from the frames that caught the screen changing inside the markers
    // instead (line_time_ns is then unused); not corrected when it cannot be measured. A whole
    // reading only: neither a live run nor a part.
    bool measure_line_time = false;
    RunTags tags;                  ///< carried into the result as they are
    // Optional: every captured frame of the timeline, in capture order, as soon as it is settled.
    std::function<void(const CheckFrame&)> on_frame;
    // Optional: now and then during the first decode, the position and the length (0 when
    // unknown), in seconds.
    std::function<void(double position_s, double length_s)> progress;
    // Keep every frame's reading in picture().frames, for a look deeper than the timeline;
    // memory then grows with the recording.
    bool keep_readings = false;
    // Reading one part of a recording: what lies in the window is recorded for joining the
    // parts later (take_part), and nothing is judged.
    std::optional<PartWindow> part;
};

// What the source says of itself before its first frame.
struct SourceFacts {
    std::vector<MediaStream> streams;
    std::string demuxer;
    double framerate = 0;             ///< declared; 0 when variable or unknown
    std::optional<int64_t> length_ns; ///< declared
    bool live = false;                ///< timed as it arrives: its times jitter and start anywhere
};

class CheckSession {
public:
    explicit CheckSession(const CheckOptions& options);
    ~CheckSession();
    CheckSession(const CheckSession&) = delete;
    CheckSession& operator=(const CheckSession&) = delete;

    void describe(const SourceFacts& facts);
    void update_streams(const std::vector<MediaStream>& streams) { facts_.streams = streams; }
    // The frame rate as the source declares it once its first frame is decoded, when the
    // open came before the picture's format was known.
    void learn_framerate(double framerate);
    void take_frame(const MediaFrame& frame);
    void take_sound(const MediaSound& sound);
    void take_warnings(const std::vector<std::string>& warnings);
    // The first decode ended early for `why`: what was read stays.
    void stopped_early(const std::string& why);
    // After the first decode: whether the picture must be read again from its first frame
    // (the markers showed only after frames had left the reader's look-ahead).
    bool wants_second_decode();
    // A frame of that second decode; false once no more are needed.
    bool reread_frame(const MediaFrame& frame);

    // The end of the reading: every reader finished, the result whole.
    void finish(CheckResult* result);
    // What the picture reader made of the recording.
    const VideoReading& picture() const { return video_->result(); }

    // While a live source runs.
    // The result as it stands, the reading going on unchanged.
    void snapshot(CheckResult* result) const;
    // The events no later frame or beep can change, each once, as a live run shows them.
    std::vector<SyncEvent> settled_events();
    // A stream was away (ended now): its outage is part of the result, and its time's leap
    // over the outage is no broken timestamp.
    void take_outage(const Outage& outage);
    // Frames the source dropped because the reading fell behind.
    void take_frames_lost(int64_t frames) { frames_lost_ = frames; }

    // Reading a part.
    // Whether the markers are known, or the first decode must start again to read with them.
    bool markers_known() const { return video_->found(); }
    bool wants_restart() const { return video_done_; }
    // The reading goes on from elsewhere in the recording: what was read is forgotten, the
    // markers stay known.
    void read_anew();
    // After the reading ends: what the part owns.
    void take_part(PartRecord* record);

    // Joining parts: the markers as the parts found them (or why they could not), then every
    // part's frames, sound buffers and beeps in turn, then finish().
    void follow(const MarkerPlanning& planning);
    void give_up_picture(const std::string& reason);
    void take_frame_record(const FrameRecord& record);
    void take_sound_record(const SoundRecord& record);
    // Samples of an audio stream taken so far: where the next part's own samples start.
    int64_t sound_samples(int stream) const;
    // Beeps of a part, `onsets` in samples from `first_sample` of the stream.
    void take_beeps(int stream, int64_t first_sample, const std::vector<double>& onsets);
    void use_snapshot(const CheckSnapshot& snapshot) { given_snapshot_ = snapshot; }

private:
    struct Sound;
    struct Warnings;
    struct PartState;
    PushResult push_to_reader(const MediaFrame& frame, VideoTimeGuard* guard, int64_t* frames);
    void check_frame_times(int64_t pts_ns, int64_t duration_ns);
    bool time_sound(Sound* sound, const SoundRecord& buffer);
    void record_part_frame(const FrameShades& shades);
    void record_part_sound(const Sound& sound, const SoundRecord& buffer);
    Sound* sound_of(int stream, int rate, int channels);
    void show_progress(int64_t time_ns);
    void add_warning(std::string warning);
    std::vector<int64_t> onsets_of(const Sound& sound) const;
    void choose_sound(const std::vector<Flash>& flashes, Warnings* warnings, CheckResult* result) const;
    void judge(CheckResult* result) const;
    void describe_tracks(CheckResult* result) const;
    void describe_picture(const VideoReading& reading, Warnings* warnings, CheckResult* result) const;
    void describe_shutter(const VideoReading& reading, Warnings* warnings, CheckVideo* video) const;
    std::vector<UntrustedSpan> untrusted_picture() const;
    void compose(const VideoReading& reading, CheckResult* result) const;
    int64_t shutter_offset_ns(const VideoReading& reading, int64_t line_time_ns) const;
    int64_t read_ns(const Sound& sound) const;
    int64_t onset_ns(const Sound& sound, double onset_sample) const;
    int64_t sound_correction_ns() const;
    int64_t sound_read_ns() const;

    const CheckOptions options_;
    SourceFacts facts_;
    int64_t period_ns_ = 40'000'000;
    std::unique_ptr<VideoReader> video_;
    bool video_done_ = false;  ///< the reader needs no more frames of this decode
    TimelineBuilder timeline_;
    SnapshotTaker snapshot_;
    std::unique_ptr<VideoTimeGuard> video_guard_, reread_guard_;
    StreamTimes video_times_;
    int64_t frames_ = 0, reread_frames_ = 0;
    std::vector<std::unique_ptr<Sound>> sounds_;
    std::unique_ptr<Warnings> warnings_;
    int64_t last_progress_ns_ = -1;
    // Live runs.
    LivePairing live_pairs_;
    size_t flashes_paired_ = 0;           ///< of the reader's flashes, those given to live_pairs_
    std::map<int, size_t> beeps_paired_;  ///< by audio stream, of its beeps those given to live_pairs_
    int64_t picture_read_ns_ = 0;         ///< time of the latest frame the reader settled
    std::vector<Outage> outages_;
    int64_t frames_lost_ = 0;
    // Parts.
    std::unique_ptr<PartState> part_;
    bool joining_ = false; ///< fed records of parts: the beeps come found
    std::optional<CheckSnapshot> given_snapshot_;
};

} // namespace skelv
