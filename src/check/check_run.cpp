#include "check/check_run.h"

#include "rules/time_units.h"

#include "check/reading_summary.h"
#include "check/snapshot_taker.h"
#include "media/recording_decode.h"
#include "core/stream_times.h"
#include "media/gst_ptr.h"
#include "sound/beep_detector.h"
#include "sound/sample_clock.h"

#include <gst/audio/audio.h>

#include <cmath>
#include <memory>

namespace skelv {

namespace {

std::string factory_name(const gchar* name)
{
    return name != nullptr ? name : "";
}

// Everything one run gathers while the file is decoded.
class RecordingRun {
public:
    RecordingRun(const std::string& path, const CheckOptions& options) : path_(path), options_(options)
    {
        VideoReaderOptions reader_options;
        reader_options.on_frame = [this](const FrameReading& frame) { snapshot_.on_reading(frame); };
        video_ = std::make_unique<VideoReader>(reader_options);
    }

    bool run(CheckResult* result, std::string* error);

private:
    bool decode(const DecodeHandlers& handlers, std::string* error);
    void describe_streams(Loader* loader);
    void take_frame(const YuvFrameView& frame, GstBuffer* buffer, int64_t time_ns);
    void take_sound(Loader* loader, GstBuffer* buffer);
    void show_progress(int64_t time_ns);
    void finish(CheckResult* result);

    const std::string& path_;
    const CheckOptions& options_;
    std::unique_ptr<VideoReader> video_;
    bool video_restarted_ = false; ///< the reader asked for a second decode: no more frames for it in this one
    SnapshotTaker snapshot_;
    std::unique_ptr<BeepDetector> beeps_;
    SampleClock sound_clock_;
    StreamTimes video_times_, audio_times_;
    int32_t video_frames_ = 0;
    CheckStreams streams_;
    CheckAudio audio_;
    bool has_video_ = false, has_audio_ = false;
    std::vector<std::string> warnings_;
    int64_t last_progress_ns_ = -1;
    double length_s_ = 0;
};

bool RecordingRun::run(CheckResult* result, std::string* error)
{
    DecodeHandlers first;
    first.opened = [this](Loader* loader) { describe_streams(loader); };
    first.frame = [this](const YuvFrameView& frame, GstBuffer* buffer, int64_t time_ns) {
        take_frame(frame, buffer, time_ns);
        return PushResult::Continue;
    };
    first.sound = [this](Loader* loader, GstBuffer* buffer) { take_sound(loader, buffer); };
    if (!decode(first, error))
        return false;
    // The reader asks for a second decode only when the markers showed up after frames had left
    // its look-ahead; the sound is read once.
    if (has_video_ && (video_restarted_ || video_->finish() == PushResult::Restart)) {
        DecodeHandlers again;
        again.frame = [this](const YuvFrameView& frame, GstBuffer*, int64_t time_ns) {
            return video_->push(frame, time_ns);
        };
        if (!decode(again, error))
            return false;
        video_->finish();
    }
    finish(result);
    return true;
}

bool RecordingRun::decode(const DecodeHandlers& handlers, std::string* error)
{
    DecodeNotes notes;
    if (!decode_recording(path_.c_str(), handlers, error, &notes))
        return false;
    // A second decode repeats what the first said.
    if (handlers.sound) {
        warnings_.insert(warnings_.end(), notes.warnings.begin(), notes.warnings.end());
        if (!notes.stopped_early.empty())
            warnings_.push_back("Decoding stopped early: " + notes.stopped_early);
    }
    return true;
}

void RecordingRun::describe_streams(Loader* loader)
{
    streams_.demuxer = factory_name(loader_get_demuxer(loader));
    streams_.video_decoder = factory_name(loader_get_video_decoder(loader));
    streams_.audio_decoder = factory_name(loader_get_audio_decoder(loader));
    streams_.framerate = loader_get_framerate(loader);
    gint32 stride;
    loader_get_video_size(loader, &streams_.width, &streams_.height, &stride);
    has_video_ = loader->videosink != nullptr;
    has_audio_ = loader->audiosink != nullptr;
    gint64 duration = 0;
    if (gst_element_query_duration(loader->pipeline, GST_FORMAT_TIME, &duration) && duration > 0)
        length_s_ = double(duration) / 1e9;
}

void RecordingRun::take_frame(const YuvFrameView& frame, GstBuffer* buffer, int64_t time_ns)
{
    ++video_frames_;
    int64_t offset = 0;
    if (video_times_.advance(GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION(buffer), &offset))
        warnings_.push_back(video_gap_warning(video_frames_, seconds_of(offset)));
    snapshot_.offer(frame, time_ns);
    show_progress(time_ns);
    if (!video_restarted_)
        video_restarted_ = video_->push(frame, time_ns) == PushResult::Restart;
}

void RecordingRun::take_sound(Loader* loader, GstBuffer* buffer)
{
    const uint64_t expected = audio_times_.end;
    int64_t offset = 0;
    if (audio_times_.advance(GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION(buffer), &offset))
        warnings_.push_back(audio_gap_warning(seconds_of(int64_t(expected)), seconds_of(offset)));
    if (!beeps_) {
        GstAudioInfo info;
        GstPadPtr pad(gst_element_get_static_pad(loader->audiosink, "sink"));
        GstCapsPtr caps(gst_pad_get_current_caps(pad.get()));
        if (!caps || !gst_audio_info_from_caps(&info, caps.get()))
            return;
        audio_.rate = GST_AUDIO_INFO_RATE(&info);
        audio_.channels = GST_AUDIO_INFO_CHANNELS(&info);
        if (audio_.rate < BeepDetector::kMinRate || audio_.rate > BeepDetector::kMaxRate ||
            audio_.channels < 1 || audio_.channels > BeepDetector::kMaxChannels) {
            warnings_.push_back("Sound of " + std::to_string(audio_.rate) + " Hz with " +
                                std::to_string(audio_.channels) + " channels is not searched for beeps");
            has_audio_ = false;
            return;
        }
        beeps_ = std::make_unique<BeepDetector>(audio_.rate, audio_.channels);
        sound_clock_ = SampleClock(audio_.rate);
    }
    if (!has_audio_)
        return;
    GstBufferReadMap map(buffer);
    if (!map)
        return;
    const size_t frames = map.size() / (sizeof(float) * size_t(audio_.channels));
    const GstClockTime running = loader_get_audio_running_time(loader, GST_BUFFER_PTS(buffer));
    if (GST_CLOCK_TIME_IS_VALID(running))
        sound_clock_.stamp(int64_t(running));
    // GStreamer's buffers are allocated for any sample type, so floats are aligned.
    beeps_->process(reinterpret_cast<const float*>(map.data()), frames);
    sound_clock_.advance(int64_t(frames));
}

void RecordingRun::show_progress(int64_t time_ns)
{
    if (!options_.progress || (last_progress_ns_ >= 0 && time_ns - last_progress_ns_ < 250 * kNsPerMs))
        return;
    last_progress_ns_ = time_ns;
    options_.progress(seconds_of(time_ns), length_s_);
}

void RecordingRun::finish(CheckResult* result)
{
    const VideoReading& reading = video_->result();
    result->file = path_;
    result->profile = options_.profile;
    result->expected_delay_ns = options_.expected_delay_ns;
    result->video = video_summary(reading);
    result->video.snapshot = snapshot_.take();

    std::vector<int64_t> onsets;
    if (beeps_) {
        beeps_->finish();
        for (const DetectedBeep& beep : beeps_->beeps())
            onsets.push_back(int64_t(std::llround(sound_clock_.time_ns(beep.onset))));
    }
    audio_.beeps = onsets.size();
    result->audio = audio_;

    streams_.width = reading.width > 0 ? reading.width : streams_.width;
    streams_.height = reading.height > 0 ? reading.height : streams_.height;
    streams_.video_length_ns = int64_t(video_times_.end);
    streams_.audio_length_ns = int64_t(audio_times_.end);
    if (!result->video.timeline.empty()) {
        const CheckFrame& last = result->video.timeline.back();
        streams_.start_ns = result->video.timeline.front().time_ns;
        streams_.end_ns = last.time_ns + last.duration_ns;
    }
    result->streams = streams_;

    for (const char* stream : {"Video", "Audio"}) {
        const StreamTimes& times = stream[0] == 'V' ? video_times_ : audio_times_;
        if (times.starts_late())
            warnings_.push_back(late_start_warning(stream, seconds_of(int64_t(times.start))));
    }
    result->warnings = warnings_;

    std::vector<Flash> flashes;
    for (const ShownFlash& flash : reading.continuity.flashes)
        flashes.push_back({flash.source_frame, flash.loop, flash.time_ns});
    result->pairing = sync_pair(flashes, onsets, options_.expected_delay_ns);
    result->statistics = delay_statistics(result->pairing.events);
    result->judgement = sync_judge(result->pairing.events, options_.profile,
                                   {options_.expected_delay_ns, streams_.start_ns, streams_.end_ns});
    result->unmeasurable_reason = unmeasurable_reason(*result, reading, has_video_, has_audio_);
}

} // namespace

bool check_recording(const std::string& path, const CheckOptions& options, CheckResult* result, std::string* error)
{
    *result = CheckResult{};
    return RecordingRun(path, options).run(result, error);
}

} // namespace skelv
