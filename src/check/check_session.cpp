#include "check/check_session.h"

#include "check/part_record.h"
#include "check/reading_summary.h"
#include "outputs/printf_text.h"
#include "rules/time_units.h"
#include "sound/beep_detector.h"
#include "sound/sample_clock.h"
#include "sync/delay_steps.h"
#include "sync/sync_statistics.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace skelv {

namespace {

constexpr int64_t kProgressEveryNs = 250 * kNsPerMs;
constexpr int64_t kDefaultPeriodNs = 40 * kNsPerMs; // when the source declares no frame rate
// Warnings of one kind listed before the rest are only counted: a broken file can raise
// thousands of timestamp gaps.
constexpr size_t kWarningsPerKind = 10;
// Events this close to a leap of the frame count are not judged.
constexpr int64_t kAroundCountLeapNs = kNsPerSecond;
// A live source's times follow its sender's clock as it is recovered from arrivals, which moves
// single buffers by a few ms: only more than this is a gap.
constexpr int64_t kLiveJitterNs = 10 * kNsPerMs;

// Timestamps of a buffer as the stream-time checks take them.
uint64_t stream_time(int64_t ns)
{
    return ns < 0 ? StreamTimes::kUnset : uint64_t(ns);
}

bool inside(const std::vector<UntrustedSpan>& spans, int64_t time_ns)
{
    return std::any_of(spans.begin(), spans.end(),
                       [&](const UntrustedSpan& s) { return time_ns >= s.from_ns && time_ns < s.to_ns; });
}

// The median's interval of `events`, widened on each side by the calibration's own: the
// corrected delays inherit the uncertainty of the offset taken off them.
void widen_by_calibration(const std::vector<SyncEvent>& events, ChainCalibration* c)
{
    std::vector<double> delays;
    for (const SyncEvent& e : events)
        delays.push_back(double(e.delay_ns));
    const MedianInterval interval = median_interval(delays);
    c->median_low_ns = interval.low - double(c->high_ns - c->offset_ns);
    c->median_high_ns = interval.high + double(c->offset_ns - c->low_ns);
}

// Capture rates that both are known and differ by more than 1 % belong to different chains.
bool same_capture_rate(double calibrated_fps, double recorded_fps)
{
    return calibrated_fps <= 0 || recorded_fps <= 0 || std::abs(calibrated_fps - recorded_fps) <= 0.01 * recorded_fps;
}

SoundRecord record_of(const MediaSound& buffer)
{
    return {buffer.stream, buffer.rate, buffer.channels, int64_t(buffer.frames), buffer.time_ns, buffer.pts_ns,
            buffer.duration_ns};
}

} // namespace

// One audio stream: its beeps and their times.
struct CheckSession::Sound {
    int stream = 0;
    int rate = 0, channels = 0;
    bool searchable = false;
    std::unique_ptr<BeepDetector> beeps; ///< null when the sound cannot be searched, or its beeps come found
    std::vector<double> found_onsets;    ///< when they come found: samples from the stream's first
    SampleClock clock;
    StreamTimes times;
    AudioTimeGuard guard;
    std::vector<std::string> gap_warnings; ///< raised only if this stream's beeps are taken
};

// The warnings of a run, of each kind ten at most and then a count.
struct CheckSession::Warnings {
    std::vector<std::string> list;
    std::map<std::string, size_t> kinds; ///< warnings of one kind so far, by their first words

    void add(std::string warning)
    {
        // The words a warning starts with, up to its first number or parenthesis: its kind.
        if (++kinds[warning.substr(0, warning.find_first_of("(0123456789"))] <= kWarningsPerKind)
            list.push_back(std::move(warning));
    }

    std::vector<std::string> closed() const
    {
        std::vector<std::string> all = list;
        for (const auto& [kind, count] : kinds)
            if (count > kWarningsPerKind)
                all.push_back(std::to_string(count - kWarningsPerKind) + " more warnings like \"" + kind + "…\"");
        return all;
    }
};

// What a part owns, as it is read.
struct CheckSession::PartState {
    PartWindow window;
    std::deque<FrameRecord> pushed; ///< frames given to the picture reader, not yet shaded
    std::vector<FrameRecord> frames;
    std::vector<SoundRecord> sounds;
    std::map<int, std::pair<int64_t, int64_t>> own_samples; ///< by audio stream: first own sample, end of the last
    std::vector<std::string> warnings;
};

CheckSession::CheckSession(const CheckOptions& options)
    : options_(options), timeline_(options.on_frame), warnings_(std::make_unique<Warnings>()),
      live_pairs_(options.expected_delay_ns)
{
    VideoReaderOptions reader;
    reader.keep_frames = options.keep_readings;
    reader.find_shutter_edges = options.measure_line_time;
    reader.on_frame = [this](const FrameReading& reading) {
        snapshot_.on_reading(reading);
        timeline_.add(reading);
        picture_read_ns_ = reading.time_ns;
    };
    if (options.part) {
        part_ = std::make_unique<PartState>();
        part_->window = *options.part;
        reader.on_shades = [this](const FrameShades& shades) { record_part_frame(shades); };
    }
    video_ = std::make_unique<VideoReader>(reader);
    video_guard_ = std::make_unique<VideoTimeGuard>(period_ns_);
}

CheckSession::~CheckSession() = default;

void CheckSession::describe(const SourceFacts& facts)
{
    facts_ = facts;
    period_ns_ = facts.framerate > 0 ? ns_of_seconds(1 / facts.framerate) : kDefaultPeriodNs;
    video_guard_ = std::make_unique<VideoTimeGuard>(period_ns_);
    if (facts.live)
        video_times_.tolerance = kLiveJitterNs;
}

void CheckSession::learn_framerate(double framerate)
{
    if (facts_.framerate > 0 || framerate <= 0 || frames_ > 0)
        return;
    facts_.framerate = framerate;
    period_ns_ = ns_of_seconds(1 / framerate);
    video_guard_ = std::make_unique<VideoTimeGuard>(period_ns_);
}

void CheckSession::add_warning(std::string warning)
{
    warnings_->add(std::move(warning));
}

void CheckSession::take_warnings(const std::vector<std::string>& warnings)
{
    for (const std::string& warning : warnings)
        if (part_)
            part_->warnings.push_back(warning);
        else
            add_warning(warning);
}

void CheckSession::stopped_early(const std::string& why)
{
    take_warnings({"Decoding stopped early: " + why});
}

PushResult CheckSession::push_to_reader(const MediaFrame& frame, VideoTimeGuard* guard, int64_t* frames)
{
    const int64_t time_ns = guard->time_for(++*frames, frame.time_ns);
    if (guard == video_guard_.get()) {
        snapshot_.offer(frame.view, time_ns);
        show_progress(time_ns);
    }
    return video_->push(frame.view, time_ns, frame.lost_before > 0);
}

void CheckSession::check_frame_times(int64_t pts_ns, int64_t duration_ns)
{
    int64_t offset = 0;
    if (video_times_.advance(stream_time(pts_ns), stream_time(duration_ns), &offset))
        add_warning(video_gap_warning(int32_t(frames_ + 1), seconds_of(offset)));
}

void CheckSession::take_frame(const MediaFrame& frame)
{
    check_frame_times(frame.pts_ns, frame.duration_ns);
    // A part reads with known markers only the frames it owns.
    const bool unowned = part_ && markers_known() && !part_->window.owns(frame.time_ns);
    if (video_done_ || unowned) {
        ++frames_;
        return;
    }
    if (part_)
        part_->pushed.push_back({frame.time_ns, frame.pts_ns, frame.duration_ns, frame.lost_before, {}});
    video_done_ = push_to_reader(frame, video_guard_.get(), &frames_) == PushResult::Restart;
}

void CheckSession::take_frame_record(const FrameRecord& record)
{
    check_frame_times(record.pts_ns, record.duration_ns);
    FrameShades shades = record.shades;
    shades.time_ns = video_guard_->time_for(++frames_, record.time_ns);
    video_->take_shades(shades);
}

bool CheckSession::wants_second_decode()
{
    if (frames_ == 0 || (!video_done_ && video_->finish() != PushResult::Restart))
        return false;
    reread_guard_ = std::make_unique<VideoTimeGuard>(period_ns_);
    return true;
}

bool CheckSession::reread_frame(const MediaFrame& frame)
{
    return push_to_reader(frame, reread_guard_.get(), &reread_frames_) == PushResult::Continue;
}

CheckSession::Sound* CheckSession::sound_of(int stream, int rate, int channels)
{
    for (const auto& sound : sounds_)
        if (sound->stream == stream)
            return sound.get();
    if (options_.audio_stream >= 0 && stream != options_.audio_stream)
        return nullptr;
    auto sound = std::make_unique<Sound>();
    sound->stream = stream;
    sound->rate = rate;
    sound->channels = channels;
    sound->searchable = BeepDetector::accepts(rate, channels);
    if (!sound->searchable)
        add_warning("Sound of " + std::to_string(rate) + " Hz with " + std::to_string(channels) +
                    " channels is not searched for beeps");
    else if (!joining_)
        sound->beeps = std::make_unique<BeepDetector>(rate, channels);
    sound->clock = SampleClock(rate);
    sound->times.tolerance = video_times_.tolerance;
    sounds_.push_back(std::move(sound));
    return sounds_.back().get();
}

// The buffer's times taken in, its samples counted; whether they are to be searched.
bool CheckSession::time_sound(Sound* sound, const SoundRecord& buffer)
{
    const uint64_t expected = sound->times.end;
    int64_t offset = 0;
    if (sound->times.advance(stream_time(buffer.pts_ns), stream_time(buffer.duration_ns), &offset) &&
        sound->gap_warnings.size() < kWarningsPerKind)
        sound->gap_warnings.push_back(audio_gap_warning(seconds_of(int64_t(expected)), seconds_of(offset)));
    if (!sound->searchable || buffer.rate != sound->rate || buffer.channels != sound->channels)
        return false;
    if (buffer.time_ns >= 0) {
        const int64_t now = int64_t(std::llround(sound->clock.time_ns(double(sound->clock.samples()))));
        if (!sound->clock.stamped() || sound->guard.accepts(now, buffer.time_ns))
            sound->clock.stamp(buffer.time_ns);
    }
    sound->clock.advance(buffer.frames);
    return true;
}

void CheckSession::take_sound(const MediaSound& buffer)
{
    Sound* sound = sound_of(buffer.stream, buffer.rate, buffer.channels);
    if (sound == nullptr)
        return;
    const SoundRecord record = record_of(buffer);
    if (part_)
        record_part_sound(*sound, record);
    if (time_sound(sound, record))
        sound->beeps->process(buffer.samples, buffer.frames);
}

void CheckSession::take_sound_record(const SoundRecord& record)
{
    if (Sound* sound = sound_of(record.stream, record.rate, record.channels))
        time_sound(sound, record);
}

int64_t CheckSession::sound_samples(int stream) const
{
    for (const auto& sound : sounds_)
        if (sound->stream == stream)
            return sound->clock.samples();
    return 0;
}

void CheckSession::take_beeps(int stream, int64_t first_sample, const std::vector<double>& onsets)
{
    for (const auto& sound : sounds_)
        if (sound->stream == stream && sound->searchable)
            for (double onset : onsets)
                sound->found_onsets.push_back(double(first_sample) + onset);
}

void CheckSession::show_progress(int64_t time_ns)
{
    if (!options_.progress || (last_progress_ns_ >= 0 && time_ns - last_progress_ns_ < kProgressEveryNs))
        return;
    last_progress_ns_ = time_ns;
    options_.progress(seconds_of(time_ns), facts_.length_ns ? seconds_of(*facts_.length_ns) : 0);
}

// The onsets of the beeps listed so far (every one, once the detector has finished).
std::vector<int64_t> CheckSession::onsets_of(const Sound& sound) const
{
    std::vector<int64_t> onsets;
    if (sound.beeps)
        for (const DetectedBeep& beep : sound.beeps->beeps())
            onsets.push_back(onset_ns(sound, beep.onset));
    for (double onset : sound.found_onsets)
        onsets.push_back(onset_ns(sound, onset));
    return onsets;
}

// The beeps of the audio stream that pairs most of them with flashes (the first on a tie).
void CheckSession::choose_sound(const std::vector<Flash>& flashes, Warnings* warnings, CheckResult* r) const
{
    const Sound* chosen = nullptr;
    for (const auto& sound : sounds_) {
        const std::vector<int64_t> onsets = onsets_of(*sound);
        SyncPairing pairing = sync_pair(flashes, onsets, options_.expected_delay_ns);
        const bool better = chosen == nullptr || pairing.events.size() > r->pairing.events.size() ||
                            (pairing.events.size() == r->pairing.events.size() && onsets.size() > r->audio.beeps);
        for (CheckTrack& track : r->streams.tracks)
            if (track.index == sound->stream)
                track.beeps = int64_t(onsets.size());
        if (!better)
            continue;
        chosen = sound.get();
        r->pairing = std::move(pairing);
        r->audio = {sound->stream, sound->rate, sound->channels, onsets.size()};
    }
    if (chosen == nullptr) {
        r->pairing = sync_pair(flashes, {}, options_.expected_delay_ns);
        return;
    }
    if (facts_.live)
        forgive_cut(&r->pairing, flashes, picture_read_ns_, read_ns(*chosen), options_.expected_delay_ns);
    r->streams.audio_length_ns = int64_t(chosen->times.end);
    for (const std::string& warning : chosen->gap_warnings)
        warnings->add(warning);
    if (chosen->times.starts_late() && !facts_.live)
        warnings->add(late_start_warning("Audio", seconds_of(int64_t(chosen->times.start))));
    r->untrusted.insert(r->untrusted.end(), chosen->guard.untrusted().begin(), chosen->guard.untrusted().end());
}

void CheckSession::describe_tracks(CheckResult* r) const
{
    for (const MediaStream& s : facts_.streams) {
        r->streams.tracks.push_back({s.index, s.type == StreamType::Video, s.format, s.decoder, s.language, s.read, -1});
        std::string& decoder = s.type == StreamType::Video ? r->streams.video_decoder : r->streams.audio_decoder;
        if (s.read && decoder.empty())
            decoder = s.decoder;
    }
}

// Events in stretches of broken timestamps stay listed but neither judge nor count in the figures.
void CheckSession::judge(CheckResult* r) const
{
    std::vector<UntrustedSpan> video_spans, audio_spans;
    for (const UntrustedSpan& span : r->untrusted)
        (span.audio ? audio_spans : video_spans).push_back(span);
    std::vector<SyncEvent> trusted;
    for (const SyncEvent& e : r->pairing.events)
        if (!inside(video_spans, e.video_ns) && !inside(audio_spans, e.audio_ns))
            trusted.push_back(e);
    r->untrusted_events = r->pairing.events.size() - trusted.size();
    r->statistics = delay_statistics(trusted);
    if (r->calibration && !trusted.empty())
        widen_by_calibration(trusted, &*r->calibration);
    r->steps = delay_steps(trusted);
    r->judgement = sync_judge(trusted, r->profile, {r->expected_delay_ns, r->streams.start_ns, r->streams.end_ns});
}

void CheckSession::describe_picture(const VideoReading& reading, Warnings* warnings, CheckResult* r) const
{
    r->video = video_summary(reading);
    r->video.timeline = timeline_.sketch();
    r->video.unreadable = timeline_.unreadable();
    r->video.snapshot = given_snapshot_ ? *given_snapshot_ : snapshot_.take();
    r->video.lost_by_tool = frames_lost_;
    describe_shutter(reading, warnings, &r->video);
    for (const std::string& warning : picture_warnings(reading))
        warnings->add(warning);
    if (options_.calibration && !same_capture_rate(options_.calibration->capture_fps, reading.capture_fps))
        warnings->add(printf_text("The calibration was measured on a capture at %.3f fps, this recording was captured "
                                  "at %.3f fps: it may not be the same capture chain",
                                  options_.calibration->capture_fps, reading.capture_fps));
    if (frames_lost_ > 0)
        warnings->add(std::to_string(frames_lost_) +
                      " frames were lost by skelv-check, not by the device: the machine did not keep up with the "
                      "source");
    r->streams.demuxer = facts_.demuxer;
    r->streams.framerate = facts_.framerate;
    r->streams.width = reading.width;
    r->streams.height = reading.height;
    r->streams.video_length_ns = int64_t(video_times_.end);
    r->streams.start_ns = r->video.timeline.start_ns;
    r->streams.end_ns = r->video.timeline.end_ns;
    describe_tracks(r);
    if (video_times_.starts_late() && !facts_.live)
        warnings->add(late_start_warning("Video", seconds_of(int64_t(video_times_.start))));
}

// The picture's stretches of broken timestamps, and the leaps of its frame count.
std::vector<UntrustedSpan> CheckSession::untrusted_picture() const
{
    std::vector<UntrustedSpan> spans = video_guard_->untrusted();
    for (const TimelineBuilder::CountLeap& leap : timeline_.count_leaps())
        spans.push_back({false, leap.time_ns - kAroundCountLeapNs, leap.time_ns + kAroundCountLeapNs,
                         "The source frame count leaps by " + std::to_string(leap.frames) + " frames at " +
                             seconds_text(leap.time_ns) + ": the events around it are not judged"});
    return spans;
}

// The rolling shutter's line time, as given or as measured, and how much it delays the flashes.
void CheckSession::describe_shutter(const VideoReading& reading, Warnings* warnings, CheckVideo* v) const
{
    v->line_time_ns = options_.line_time_ns;
    if (options_.measure_line_time) {
        const LineTimeEstimate estimate =
            estimate_line_time(reading.shutter_edges,
                               {reading.source_fps, reading.capture_fps, reading.height, reading.frame_times});
        v->line_time_ns = estimate.measured ? int64_t(std::llround(estimate.line_time_ns)) : 0;
        v->line_time_measurement = estimate;
        if (!estimate.measured && reading.ok)
            warnings->add("The rolling shutter's line time could not be measured: " + estimate.why +
                          "; the flash times are not corrected");
    }
    v->shutter_row = lipsync_centre_row(reading.markers);
    v->shutter_offset_ns = shutter_offset_ns(reading, v->line_time_ns);
}

// How much later than its frame's time a rolling shutter exposed the lip-sync marker.
int64_t CheckSession::shutter_offset_ns(const VideoReading& reading, int64_t line_time_ns) const
{
    return std::max(lipsync_centre_row(reading.markers), 0) * line_time_ns;
}

// The result from the readers as they stand.
void CheckSession::compose(const VideoReading& reading, CheckResult* r) const
{
    Warnings warnings = *warnings_;
    r->profile = options_.profile;
    r->expected_delay_ns = options_.expected_delay_ns;
    r->mic = options_.mic;
    r->calibration = options_.calibration;
    r->tags = options_.tags;
    describe_picture(reading, &warnings, r);
    r->outages = outages_;
    r->untrusted = untrusted_picture();
    std::vector<Flash> flashes;
    const int64_t shutter_ns = r->video.shutter_offset_ns;
    for (const ShownFlash& flash : reading.continuity.flashes)
        flashes.push_back({flash.source_frame, flash.loop, flash.time_ns + shutter_ns});
    choose_sound(flashes, &warnings, r);
    for (const UntrustedSpan& span : r->untrusted)
        warnings.add(span.why);
    judge(r);
    r->warnings = warnings.closed();
    const bool has_audio = std::any_of(sounds_.begin(), sounds_.end(), [](const auto& s) { return s->searchable; });
    r->unmeasurable_reason = r->judgement.judged == 0 && r->untrusted_events > 0
                                 ? "every event lies where the recording's timestamps are broken"
                                 : unmeasurable_reason(*r, reading, frames_ > 0, has_audio);
}

void CheckSession::finish(CheckResult* r)
{
    video_->finish(); // once finished, again changes nothing
    timeline_.finish();
    for (const auto& sound : sounds_)
        if (sound->beeps)
            sound->beeps->finish();
    compose(video_->result(), r);
}

void CheckSession::snapshot(CheckResult* r) const
{
    compose(video_->result_so_far(), r);
}

// What is taken off every time of the sound: its travel to the microphone and the capture
// chain's own offset, so that the beeps are paired and judged as the screen sounded them.
int64_t CheckSession::sound_correction_ns() const
{
    return (options_.mic ? options_.mic->travel_ns : 0) + (options_.calibration ? options_.calibration->offset_ns : 0);
}

int64_t CheckSession::onset_ns(const Sound& sound, double onset_sample) const
{
    return int64_t(std::llround(sound.clock.time_ns(onset_sample))) - sound_correction_ns();
}

// How far a sound has been read, on the running clock, corrected as its beeps are.
int64_t CheckSession::read_ns(const Sound& sound) const
{
    return int64_t(std::llround(sound.clock.time_ns(double(sound.clock.samples())))) - sound_correction_ns();
}

// How far every searched sound has been read.
int64_t CheckSession::sound_read_ns() const
{
    int64_t least = -1;
    for (const auto& sound : sounds_)
        if (sound->beeps && sound->clock.stamped())
            least = least < 0 ? read_ns(*sound) : std::min(least, read_ns(*sound));
    return least;
}

std::vector<SyncEvent> CheckSession::settled_events()
{
    const std::vector<ShownFlash>& flashes = video_->flashes();
    if (flashes.size() < flashes_paired_) // read again from the start
        flashes_paired_ = 0;
    const int64_t shutter_ns = shutter_offset_ns(video_->result(), options_.line_time_ns);
    for (; flashes_paired_ < flashes.size(); ++flashes_paired_) {
        const ShownFlash& f = flashes[flashes_paired_];
        live_pairs_.add_flash({f.source_frame, f.loop, f.time_ns + shutter_ns});
    }
    for (const auto& sound : sounds_) {
        if (!sound->beeps)
            continue;
        const std::vector<DetectedBeep>& beeps = sound->beeps->beeps();
        for (size_t& given = beeps_paired_[sound->stream]; given < beeps.size(); ++given)
            live_pairs_.add_beep(onset_ns(*sound, beeps[given].onset));
    }
    return live_pairs_.settle(picture_read_ns_, sound_read_ns());
}

void CheckSession::take_outage(const Outage& outage)
{
    outages_.push_back(outage);
    if (!outage.audio)
        video_guard_->allow_gap();
    for (const auto& sound : sounds_)
        if (outage.audio)
            sound->guard.allow_gap();
}

// ---------------------------------------------------------------- parts

void CheckSession::record_part_frame(const FrameShades& shades)
{
    if (part_->pushed.empty())
        return;
    FrameRecord frame = std::move(part_->pushed.front());
    part_->pushed.pop_front();
    if (!part_->window.owns(frame.time_ns))
        return;
    frame.shades = shades;
    part_->frames.push_back(std::move(frame));
}

void CheckSession::record_part_sound(const Sound& sound, const SoundRecord& buffer)
{
    const int64_t time = buffer.time_ns >= 0 ? buffer.time_ns : read_ns(sound);
    if (!part_->window.owns(time))
        return;
    part_->sounds.push_back(buffer);
    const int64_t first = sound.clock.samples();
    auto [own, fresh] = part_->own_samples.try_emplace(sound.stream, first, first);
    own->second.second = first + (sound.searchable ? buffer.frames : 0);
}

void CheckSession::read_anew()
{
    video_->read_anew();
    video_done_ = false;
    video_guard_ = std::make_unique<VideoTimeGuard>(period_ns_);
    sounds_.clear(); // the sound goes on from elsewhere: its clocks and beeps start again
    part_->pushed.clear();
    part_->frames.clear();
    part_->sounds.clear();
    part_->own_samples.clear();
}

void CheckSession::take_part(PartRecord* record)
{
    video_->finish();
    if (std::optional<MarkerPlanning> planning = video_->planning()) {
        record->planning = std::move(planning);
    } else {
        // Unread, the frames still count.
        record->picture_error = video_->result().error;
        for (FrameRecord& frame : part_->pushed)
            if (part_->window.owns(frame.time_ns))
                part_->frames.push_back(std::move(frame));
    }
    for (const auto& sound : sounds_) {
        const auto own = part_->own_samples.find(sound->stream);
        if (!sound->beeps || own == part_->own_samples.end())
            continue;
        sound->beeps->finish();
        PartBeeps beeps{sound->stream, {}};
        for (const DetectedBeep& beep : sound->beeps->beeps())
            if (beep.onset >= double(own->second.first) && beep.onset < double(own->second.second))
                beeps.onsets.push_back(beep.onset - double(own->second.first));
        record->beeps.push_back(std::move(beeps));
    }
    record->options = options_;
    record->options.on_frame = nullptr;
    record->options.progress = nullptr;
    record->options.part.reset();
    record->facts = facts_;
    if (part_->window.from_ns == INT64_MIN) // the first part's: the one a whole reading shows
        record->snapshot = snapshot_.take();
    record->warnings = std::move(part_->warnings);
    record->frames = std::move(part_->frames);
    record->sounds = std::move(part_->sounds);
}

void CheckSession::follow(const MarkerPlanning& planning)
{
    joining_ = true;
    video_->follow(planning);
}

void CheckSession::give_up_picture(const std::string& reason)
{
    joining_ = true;
    video_->give_up(reason);
}

} // namespace skelv
