#include "check/check_parts.h"

#include <algorithm>
#include <map>
#include <set>

namespace skelv {

namespace {

// Past its stretch a part stops once every sound has gone kPartTailNs further, or the picture
// this much further: a sound that ended early is not waited for.
constexpr int64_t kLongestSkewNs = 10'000'000'000;

std::unique_ptr<MediaSource> open_source(const SourceRequest& request, MediaError* error)
{
    return MediaSource::open(request, {}, error);
}

SourceFacts facts_of(const MediaSource& source)
{
    return {source.streams(), source.demuxer(), source.declared_framerate(), source.duration_ns()};
}

// One part being read.
struct PartReading {
    PartReading(const SourceRequest& request_, const CheckOptions& options, const PartWindow& window_)
        : request(request_), window(window_), session(options)
    {
    }

    const SourceRequest& request;
    const PartWindow window;
    CheckSession session;
    std::unique_ptr<MediaSource> source;
    bool placed = false;          ///< the markers are known and the reading is on its way to the stretch
    bool read_from_start = false; ///< the source could not seek there
    int64_t video_at = INT64_MIN; ///< time of the latest frame
    std::map<int, int64_t> sound_at; ///< by audio stream, time of the latest buffer
};

int64_t lead_of(const PartWindow& window)
{
    return window.from_ns == INT64_MIN ? 0 : std::max<int64_t>(window.from_ns - kPartLeadNs, 0);
}

// The markers known: on to the stretch's lead, by a seek where that saves reading. A reading
// that must start again to read with the markers goes back, reopening a source that cannot seek.
bool go_to_stretch(PartReading* r, bool again, MediaError* error)
{
    r->placed = true;
    const int64_t lead = lead_of(r->window);
    if (!again && lead <= r->video_at)
        return true;
    if (r->source->seek(lead)) {
        r->session.read_anew();
        r->sound_at.clear();
        return true;
    }
    r->read_from_start = true;
    if (!again)
        return true; // on through what lies before the stretch
    r->source = open_source(r->request, error);
    if (!r->source)
        return false;
    r->session.read_anew();
    r->sound_at.clear();
    return true;
}

bool past_stretch(const PartReading& r)
{
    if (!r.placed || r.window.to_ns == INT64_MAX)
        return false;
    const int64_t tail = r.window.to_ns + kPartTailNs;
    if (r.video_at < tail)
        return false;
    return r.video_at >= r.window.to_ns + kLongestSkewNs ||
           std::all_of(r.sound_at.begin(), r.sound_at.end(), [&](const auto& s) { return s.second >= tail; });
}

// Reads on until the stretch and its tail are read, or the source ends. False with `*error`
// when it fails before delivering anything.
bool read_stretch(PartReading* r, MediaError* error)
{
    MediaFrame frame;
    MediaSound sound;
    bool delivered = false;
    for (MediaItem item; !past_stretch(*r) && (item = r->source->next(&frame, &sound, error)) != MediaItem::End;
         delivered = true) {
        if (item == MediaItem::Frame) {
            if (frame.index == 0)
                r->session.learn_framerate(r->source->declared_framerate());
            r->session.take_frame(frame);
            r->video_at = frame.time_ns;
            if (!r->placed && r->session.markers_known() && !go_to_stretch(r, r->session.wants_restart(), error))
                return false;
        } else if (item == MediaItem::Sound) {
            r->session.take_sound(sound);
            if (sound.time_ns >= 0)
                r->sound_at[sound.stream] = sound.time_ns;
        } else if (item == MediaItem::Idle || item == MediaItem::Interrupted) {
            continue;
        } else if (!delivered) {
            return false;
        } else {
            r->session.stopped_early(error->message);
            break;
        }
    }
    r->session.take_warnings(r->source->take_warnings());
    r->session.update_streams(r->source->streams());
    return true;
}

// A source whose markers show only at its end, after frames had left the look-ahead, is read
// a second time with them known.
bool read_part_source(PartReading* r, MediaError* error)
{
    if (!read_stretch(r, error))
        return false;
    if (r->placed || !r->session.wants_second_decode())
        return true;
    return go_to_stretch(r, true, error) && read_stretch(r, error);
}

bool read_opened(std::unique_ptr<MediaSource> source, const SourceRequest& request, const CheckOptions& options,
                 const PartWindow& window, PartRecord* record, MediaError* error)
{
    CheckOptions part_options = options;
    part_options.part = window;
    part_options.progress = nullptr;
    part_options.on_frame = nullptr;
    PartReading reading(request, part_options, window);
    reading.source = std::move(source);
    reading.session.describe(facts_of(*reading.source));
    if (!read_part_source(&reading, error))
        return false;
    reading.session.take_part(record);
    record->recording = request.location;
    record->from_ns = window.from_ns;
    record->to_ns = window.to_ns;
    record->read_from_start = reading.read_from_start;
    if (reading.read_from_start)
        record->warnings.push_back("The recording cannot seek: its parts were read from its start");
    return true;
}

// The parts in order, each once, of one recording read alike, their stretches joining.
bool parts_fit(const std::vector<PartRecord>& parts, std::string* error)
{
    for (size_t i = 0; i < parts.size(); ++i) {
        const PartRecord& p = parts[i];
        if (p.parts != int(parts.size()) || p.part != int(i) + 1) {
            *error = "give every part of the recording once: parts 1 to " + std::to_string(p.parts) +
                     " (part " + std::to_string(p.part) + " of " + std::to_string(p.parts) + " among " +
                     std::to_string(parts.size()) + " given)";
            return false;
        }
        if (i == 0)
            continue;
        if (p.recording != parts[0].recording || !read_alike(p, parts[0]) || p.from_ns != parts[i - 1].to_ns) {
            *error = "part " + std::to_string(p.part) + " is not of the recording the first part read (" +
                     parts[0].recording + "), or was read with other options";
            return false;
        }
    }
    return true;
}

void join_part(const PartRecord& part, CheckSession* session)
{
    for (const FrameRecord& frame : part.frames)
        session->take_frame_record(frame);
    std::map<int, int64_t> first_sample; // by audio stream: where this part's samples start
    for (const SoundRecord& sound : part.sounds) {
        first_sample.try_emplace(sound.stream, session->sound_samples(sound.stream));
        session->take_sound_record(sound);
    }
    for (const PartBeeps& beeps : part.beeps)
        if (const auto first = first_sample.find(beeps.stream); first != first_sample.end())
            session->take_beeps(beeps.stream, first->second, beeps.onsets);
}

} // namespace

PartWindow part_window(int part, int parts, int64_t length_ns)
{
    const auto at = [&](int k) { return int64_t((__int128)length_ns * k / parts); };
    return {part == 1 ? INT64_MIN : at(part - 1), part == parts ? INT64_MAX : at(part)};
}

bool read_part_window(const SourceRequest& source, const CheckOptions& options, const PartWindow& window,
                      PartRecord* record, MediaError* error)
{
    std::unique_ptr<MediaSource> media = open_source(source, error);
    return media && read_opened(std::move(media), source, options, window, record, error);
}

bool read_part(const SourceRequest& source, const CheckOptions& options, int part, int parts, PartRecord* record,
               MediaError* error)
{
    *record = PartRecord{};
    record->part = part;
    record->parts = parts;
    std::unique_ptr<MediaSource> media = open_source(source, error);
    if (!media)
        return false;
    const std::optional<int64_t> length = media->duration_ns();
    if (length)
        return read_opened(std::move(media), source, options, part_window(part, parts, *length), record, error);
    // Without a length there are no stretches: the first part reads it all.
    if (part == 1) {
        const bool read = read_opened(std::move(media), source, options, PartWindow{}, record, error);
        record->warnings.push_back("The recording's length is unknown: its first part read it whole");
        return read;
    }
    CheckOptions untouched = options;
    untouched.on_frame = nullptr;
    untouched.progress = nullptr;
    record->recording = source.location;
    record->options = untouched;
    record->facts = facts_of(*media);
    record->from_ns = record->to_ns = INT64_MAX;
    return true;
}

bool join_parts(std::vector<PartRecord> parts, const std::function<void(const CheckFrame&)>& on_frame,
                CheckResult* result, std::string* error)
{
    std::sort(parts.begin(), parts.end(), [](const PartRecord& a, const PartRecord& b) { return a.part < b.part; });
    if (parts.empty() || !parts_fit(parts, error))
        return false;
    const PartRecord& first = parts.front();
    CheckOptions options = first.options;
    options.on_frame = on_frame;
    CheckSession session(options);
    session.describe(first.facts);
    if (first.planning)
        session.follow(*first.planning);
    else
        session.give_up_picture(first.picture_error);
    session.use_snapshot(first.snapshot);
    std::vector<std::string> warnings;
    std::set<std::string> seen;
    for (const PartRecord& part : parts) {
        join_part(part, &session);
        for (const std::string& warning : part.warnings)
            if (seen.insert(warning).second)
                warnings.push_back(warning);
    }
    session.take_warnings(warnings);
    *result = CheckResult{};
    session.finish(result);
    result->file = first.recording;
    return true;
}

} // namespace skelv
