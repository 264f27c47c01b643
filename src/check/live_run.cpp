#include "check/live_run.h"

#include "sync/sync_statistics.h"

#include <algorithm>
#include <chrono>

namespace skelv {

namespace {

int64_t monotonic_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A playlist's segments come whole, with pauses of up to this long between them, each going
// on where the last stopped.
constexpr int64_t kLongestDeliveryPauseNs = 15 * kNsPerSecond;

// The session's options, with the sender's latency given every settled frame.
CheckOptions with_arrivals(const CheckOptions& options, SenderLatency* sender)
{
    if (sender == nullptr)
        return options;
    CheckOptions chained = options;
    chained.on_frame = [sender, then = options.on_frame](const CheckFrame& frame) {
        sender->take_frame(frame);
        if (then)
            then(frame);
    };
    return chained;
}

// One stream of the source: when it last delivered, and its outage while it is away.
struct StreamWatch {
    bool seen = false;
    int64_t last_wall_ns = 0;    ///< monotonic time of its latest frame or sound
    int64_t last_running_ns = 0; ///< running time of the end of its latest frame or sound
    int64_t usual_pause_ns = 0;  ///< silence it has been seen to end without a gap in its own times
    std::optional<Outage> away;
};

class LiveRun {
public:
    LiveRun(const CheckOptions& options, const LiveOptions& live, const LiveListener& listener)
        : options_(options), live_(live), listener_(listener), session_(with_arrivals(options, live.sender)),
          started_ns_(monotonic_ns()),
          next_status_ns_(started_ns_ + live.every_ns), next_snapshot_ns_(started_ns_ + live.refresh_ns)
    {
    }

    bool run(const SourceRequest& request, CheckResult* result, LiveEnd* end, MediaError* error);

private:
    bool read(MediaSource* source, LiveEnd* end, MediaError* error);
    void take(MediaItem item, const MediaFrame& frame, const MediaSound& sound, const MediaError& error);
    void arrived(StreamWatch* watch, int64_t running_start_ns, int64_t running_end_ns);
    // A silence of a playlist, the source saying nothing of it, no longer than its pauses get.
    bool may_be_segment_pause(const StreamWatch& watch, int64_t silence_ns) const;
    void interrupted(const std::string& message);
    void look_for_outages(int64_t now_ns);
    void begin_outage(StreamWatch* watch, bool audio, const std::string& message);
    // `recorded`: an outage of the result; else only a pause in delivery, told as it ended.
    void end_outage(StreamWatch* watch, int64_t length_ns, bool recorded);
    void tell_events();
    void tell_status();
    bool silent_too_long(int64_t now_ns) const;
    bool stop_asked() const { return live_.stop != nullptr && *live_.stop != 0; }

    const CheckOptions& options_;
    const LiveOptions& live_;
    const LiveListener& listener_;
    CheckSession session_;
    const int64_t started_ns_;
    int64_t next_status_ns_, next_snapshot_ns_;
    StreamWatch video_, audio_;
    bool segmented_ = false; ///< pauses between segments are no outages
    bool delivered_ = false;
    std::vector<SyncEvent> events_; ///< told so far, for the figures of the status reports
};

bool LiveRun::run(const SourceRequest& request, CheckResult* result, LiveEnd* end, MediaError* error)
{
    MediaSourceOptions options;
    options.reconnect = live_.reconnect;
    std::unique_ptr<MediaSource> source = MediaSource::open(request, options, error);
    if (!source)
        return false;
    segmented_ = source->segmented();
    std::string refusal;
    if (live_.sender != nullptr && !live_.sender->use_clock(source->arrival_clock(), &refusal)) {
        end->refused = true;
        *error = {refusal, ""};
        return false;
    }
    session_.describe({source->streams(), source->demuxer(), source->declared_framerate(), source->duration_ns(),
                       source->live()});
    if (!read(source.get(), end, error))
        return false;
    const int64_t now = monotonic_ns();
    for (StreamWatch* watch : {&video_, &audio_})
        if (watch->away) // a silence that may be a pause between segments is none to record
            end_outage(watch, now - watch->last_wall_ns, !may_be_segment_pause(*watch, now - watch->last_wall_ns));
    session_.take_frames_lost(source->frames_lost());
    session_.take_warnings(source->take_warnings());
    session_.update_streams(source->streams());
    source.reset();
    session_.finish(result);
    if (live_.sender != nullptr)
        live_.sender->describe(result, true);
    // The last events, paired once everything was read.
    for (const SyncEvent& e : result->pairing.events)
        if (events_.empty() || e.video_ns > events_.back().video_ns)
            if (listener_.event)
                listener_.event(e, result->profile.band(result->expected_delay_ns).holds(e.delay_ns));
    return true;
}

bool LiveRun::read(MediaSource* source, LiveEnd* end, MediaError* error)
{
    MediaFrame frame;
    MediaSound sound;
    for (;;) {
        if (stop_asked()) {
            end->stopped = true;
            return true;
        }
        const int64_t now = monotonic_ns();
        if (live_.duration_ns && now - started_ns_ >= *live_.duration_ns)
            return true;
        if (silent_too_long(now)) {
            end->gave_up = true;
            return true;
        }
        const MediaItem item = source->next(&frame, &sound, error);
        if (item == MediaItem::End)
            return true;
        if (item == MediaItem::Failed) {
            if (!delivered_)
                return false;
            session_.stopped_early(error->message);
            return true;
        }
        take(item, frame, sound, *error);
        if (live_.sender != nullptr && item == MediaItem::Frame)
            if (const std::optional<ClockMapping> mapping = source->network_mapping())
                live_.sender->use_mapping(*mapping);
        look_for_outages(monotonic_ns());
        tell_events();
        if (monotonic_ns() >= next_status_ns_)
            tell_status();
        if (monotonic_ns() >= next_snapshot_ns_ && listener_.snapshot) {
            next_snapshot_ns_ = monotonic_ns() + live_.refresh_ns;
            CheckResult snapshot;
            session_.snapshot(&snapshot);
            if (live_.sender != nullptr)
                live_.sender->describe(&snapshot, false);
            listener_.snapshot(snapshot);
        }
    }
}

void LiveRun::take(MediaItem item, const MediaFrame& frame, const MediaSound& sound, const MediaError& error)
{
    switch (item) {
    case MediaItem::Frame:
        arrived(&video_, frame.time_ns, frame.time_ns + std::max<int64_t>(frame.duration_ns, 0));
        session_.take_frame(frame);
        break;
    case MediaItem::Sound:
        arrived(&audio_, sound.time_ns, sound.time_ns + int64_t(sound.frames) * kNsPerSecond / std::max(sound.rate, 1));
        session_.take_sound(sound);
        break;
    case MediaItem::Interrupted: interrupted(error.message); break;
    default: break; // Idle: nothing came, the clocks alone move on
    }
}

void LiveRun::arrived(StreamWatch* watch, int64_t running_start_ns, int64_t running_end_ns)
{
    const int64_t now = monotonic_ns();
    if (watch->away) {
        const int64_t silence = now - watch->last_wall_ns;
        const bool segment_pause = may_be_segment_pause(*watch, silence) &&
                                   running_start_ns - watch->last_running_ns < live_.outage_after_ns;
        if (segment_pause) // late, not lost: the next such pause is expected
            watch->usual_pause_ns = std::max(watch->usual_pause_ns, std::min(2 * silence, kLongestDeliveryPauseNs));
        end_outage(watch, silence, !segment_pause);
    }
    watch->seen = true;
    watch->last_wall_ns = now;
    watch->last_running_ns = running_end_ns;
    delivered_ = true;
}

bool LiveRun::may_be_segment_pause(const StreamWatch& watch, int64_t silence_ns) const
{
    return segmented_ && watch.away && watch.away->message.empty() && silence_ns <= kLongestDeliveryPauseNs;
}

void LiveRun::interrupted(const std::string& message)
{
    if (listener_.warning)
        listener_.warning("The source was lost and is opened again: " + message);
    for (auto [watch, audio] : {std::pair{&video_, false}, std::pair{&audio_, true}})
        if (watch->seen && !watch->away)
            begin_outage(watch, audio, message);
}

void LiveRun::look_for_outages(int64_t now_ns)
{
    for (auto [watch, audio] : {std::pair{&video_, false}, std::pair{&audio_, true}})
        if (watch->seen && !watch->away &&
            now_ns - watch->last_wall_ns > std::max(live_.outage_after_ns, watch->usual_pause_ns))
            begin_outage(watch, audio, "");
}

void LiveRun::begin_outage(StreamWatch* watch, bool audio, const std::string& message)
{
    watch->away = Outage{audio, watch->last_running_ns, 0, message};
    if (listener_.outage)
        listener_.outage(*watch->away, false);
}

void LiveRun::end_outage(StreamWatch* watch, int64_t length_ns, bool recorded)
{
    watch->away->length_ns = length_ns;
    if (recorded)
        session_.take_outage(*watch->away);
    if (listener_.outage)
        listener_.outage(*watch->away, true);
    watch->away.reset();
}

bool LiveRun::silent_too_long(int64_t now_ns) const
{
    const int64_t last = std::max({started_ns_, video_.last_wall_ns, audio_.last_wall_ns});
    return now_ns - last > live_.give_up_ns;
}

void LiveRun::tell_events()
{
    const DelayBand band = options_.profile.band(options_.expected_delay_ns);
    for (const SyncEvent& e : session_.settled_events()) {
        events_.push_back(e);
        if (listener_.event)
            listener_.event(e, band.holds(e.delay_ns));
    }
}

void LiveRun::tell_status()
{
    next_status_ns_ += live_.every_ns * (1 + (monotonic_ns() - next_status_ns_) / live_.every_ns);
    if (!listener_.status)
        return;
    CheckResult now;
    session_.snapshot(&now);
    LiveStatus status;
    status.running_ns = std::max(video_.last_running_ns, audio_.last_running_ns);
    const auto recent = std::lower_bound(events_.begin(), events_.end(), status.running_ns - live_.window_ns,
                                         [](const SyncEvent& e, int64_t t) { return e.video_ns < t; });
    status.window = delay_statistics(std::vector<SyncEvent>(recent, events_.end()));
    status.whole = delay_statistics(events_);
    status.judgement = sync_judge(events_, options_.profile, {options_.expected_delay_ns, 0, INT64_MAX});
    status.frames = now.video.frames;
    status.dropped = now.video.dropped;
    status.repeated = now.video.repeated;
    status.lost_by_tool = now.video.lost_by_tool;
    status.outages = now.outages.size();
    listener_.status(status);
}

} // namespace

bool run_live(const SourceRequest& source, const CheckOptions& options, const LiveOptions& live,
              const LiveListener& listener, CheckResult* result, LiveEnd* end, MediaError* error)
{
    *result = CheckResult{};
    *end = LiveEnd{};
    LiveRun run(options, live, listener);
    if (!run.run(source, result, end, error))
        return false;
    result->file = source.location;
    return true;
}

} // namespace skelv
