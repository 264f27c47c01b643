#include "check/part_record.h"

#include "core/clip_constants.h"
#include "outputs/output_file.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace skelv {

namespace {

using nlohmann::json;

// A part file starts with this line, then its contents in CBOR: merge tells a part from any
// other file, and a damaged part from something else, at once.
constexpr std::string_view kMagic = "skelv-part\n";

json binary_of(const std::vector<uint8_t>& bytes)
{
    return json::binary(bytes);
}

template <typename T> std::vector<T> bytes_from(const json& value)
{
    const std::vector<uint8_t>& bytes = value.get_binary();
    return {bytes.begin(), bytes.end()};
}

// A 1080p snapshot is 6 MB raw; the clip's flat colours deflate to a few kB.
std::vector<uint8_t> deflated(const std::vector<uint8_t>& bytes)
{
    uLongf size = compressBound(uLong(bytes.size()));
    std::vector<uint8_t> packed(size);
    if (compress2(packed.data(), &size, bytes.data(), uLong(bytes.size()), Z_BEST_SPEED) != Z_OK)
        return {};
    packed.resize(size);
    return packed;
}

// Empty unless `packed` inflates to exactly `size` bytes.
std::vector<uint8_t> inflated(const std::vector<uint8_t>& packed, size_t size)
{
    std::vector<uint8_t> bytes(size);
    uLongf got = uLongf(size);
    if (uncompress(bytes.data(), &got, packed.data(), uLong(packed.size())) != Z_OK || got != size)
        return {};
    return bytes;
}

json snapshot_json(const CheckSnapshot& shot)
{
    return {shot.width, shot.height, binary_of(deflated(shot.rgb)), shot.time_ns};
}

// A snapshot that does not inflate to its size is left empty: record_sane() then refuses it.
CheckSnapshot snapshot_from(const json& j)
{
    CheckSnapshot shot{j.at(0), j.at(1), {}, j.at(3)};
    const size_t size = size_t(std::max(shot.width, 0)) * size_t(std::max(shot.height, 0)) * 3;
    shot.rgb = size > 0 ? inflated(j.at(2).get_binary(), size) : std::vector<uint8_t>{};
    if (size > 0 && shot.rgb.empty())
        shot.width = -1;
    return shot;
}

// ---------------------------------------------------------------- options and facts

json profile_json(const SyncProfile& p)
{
    return {p.name, p.title, p.lead_ns, p.lag_ns, p.min_pass_fraction, p.edge_ns};
}

SyncProfile profile_from(const json& j)
{
    return {j.at(0), j.at(1), j.at(2), j.at(3), j.at(4), j.at(5)};
}

json calibration_json(const ChainCalibration& c)
{
    return {c.file, c.reference, c.made, c.offset_ns, c.low_ns, c.high_ns, c.events, c.capture_fps};
}

ChainCalibration calibration_from(const json& j)
{
    ChainCalibration c;
    c.file = j.at(0);
    c.reference = j.at(1);
    c.made = j.at(2);
    c.offset_ns = j.at(3);
    c.low_ns = j.at(4);
    c.high_ns = j.at(5);
    c.events = j.at(6);
    c.capture_fps = j.at(7);
    return c;
}

json options_json(const CheckOptions& o)
{
    json j = {{"profile", profile_json(o.profile)}, {"expected_delay_ns", o.expected_delay_ns},
              {"audio_stream", o.audio_stream}, {"line_time_ns", o.line_time_ns}, {"tags", o.tags}};
    if (o.mic)
        j["mic"] = {o.mic->metres, o.mic->celsius, o.mic->speed_m_per_s, o.mic->travel_ns};
    if (o.calibration)
        j["calibration"] = calibration_json(*o.calibration);
    return j;
}

CheckOptions options_from(const json& j)
{
    CheckOptions o;
    o.profile = profile_from(j.at("profile"));
    o.expected_delay_ns = j.at("expected_delay_ns");
    o.audio_stream = j.at("audio_stream");
    o.line_time_ns = j.at("line_time_ns");
    o.tags = j.at("tags").get<RunTags>();
    if (j.contains("mic")) {
        const json& m = j["mic"];
        o.mic = MicDistance{m.at(0), m.at(1), m.at(2), m.at(3)};
    }
    if (j.contains("calibration"))
        o.calibration = calibration_from(j["calibration"]);
    return o;
}

json facts_json(const SourceFacts& f)
{
    json streams = json::array();
    for (const MediaStream& s : f.streams)
        streams.push_back({s.index, s.type == StreamType::Video, s.format, s.decoder, s.language, s.read});
    return {{"streams", streams}, {"demuxer", f.demuxer}, {"framerate", f.framerate},
            {"length_ns", f.length_ns ? json(*f.length_ns) : json()}, {"live", f.live}};
}

SourceFacts facts_from(const json& j)
{
    SourceFacts f;
    for (const json& s : j.at("streams"))
        f.streams.push_back({s.at(0), s.at(1).get<bool>() ? StreamType::Video : StreamType::Audio, s.at(2), s.at(3),
                             s.at(4), s.at(5)});
    f.demuxer = j.at("demuxer");
    f.framerate = j.at("framerate");
    if (!j.at("length_ns").is_null())
        f.length_ns = j["length_ns"].get<int64_t>();
    f.live = j.at("live");
    return f;
}

// ---------------------------------------------------------------- the markers

json rect_json(const PixelRect& r)
{
    return {r.left, r.top, r.width, r.height};
}

PixelRect rect_from(const json& j)
{
    return {j.at(0), j.at(1), j.at(2), j.at(3)};
}

json reading_plan_json(const ReadingPlan& plan)
{
    json markers = json::array();
    for (const MarkerPlan& m : plan.markers) {
        json levels = json::array();
        for (const Yuv& level : m.levels)
            levels.push_back({level.y, level.u, level.v});
        markers.push_back({int(m.role), m.bit, m.half_period, levels});
    }
    return {markers, plan.lipsync, plan.sync, int(plan.sync_from), plan.counter_bits, plan.source_fps};
}

ReadingPlan reading_plan_from(const json& j)
{
    ReadingPlan plan;
    for (const json& m : j.at(0)) {
        MarkerPlan marker{MarkerRole(m.at(0).get<int>()), m.at(1), m.at(2), {}};
        for (const json& level : m.at(3))
            marker.levels.push_back({level.at(0), level.at(1), level.at(2)});
        plan.markers.push_back(std::move(marker));
    }
    plan.lipsync = j.at(1);
    plan.sync = j.at(2);
    plan.sync_from = SyncEvidence(j.at(3).get<int>());
    plan.counter_bits = j.at(4);
    plan.source_fps = j.at(5);
    return plan;
}

json planning_json(const MarkerPlanning& p)
{
    json markers = json::array(), ignored = json::array();
    for (const FoundMarker& m : p.markers)
        markers.push_back({m.left, m.top, m.width, m.height, int(m.role), m.bit, m.half_period});
    for (const PixelRect& area : p.ignored_areas)
        ignored.push_back(rect_json(area));
    return {p.width, p.height, markers, ignored, p.capture_fps, p.source_fps, reading_plan_json(p.reading)};
}

MarkerPlanning planning_from(const json& j)
{
    MarkerPlanning p;
    p.width = j.at(0);
    p.height = j.at(1);
    for (const json& m : j.at(2))
        p.markers.push_back({m.at(0), m.at(1), m.at(2), m.at(3), MarkerRole(m.at(4).get<int>()), m.at(5), m.at(6)});
    for (const json& area : j.at(3))
        p.ignored_areas.push_back(rect_from(area));
    p.capture_fps = j.at(4);
    p.source_fps = j.at(5);
    p.reading = reading_plan_from(j.at(6));
    return p;
}

// ---------------------------------------------------------------- frames and sound

json frame_json(const FrameRecord& f)
{
    std::vector<uint8_t> shades(f.shades.shades.begin(), f.shades.shades.end());
    json frame = {f.time_ns, f.pts_ns, f.duration_ns, f.lost_before, f.shades.measured, binary_of(shades)};
    if (!f.shades.blends.empty()) {
        json blends = json::array();
        for (const BlendMix& b : f.shades.blends)
            blends.push_back({b.residue, b.weight, b.earlier_flash, b.later_flash, b.worst});
        frame.push_back(blends);
    }
    return frame;
}

FrameRecord frame_from(const json& j)
{
    FrameRecord f;
    f.time_ns = j.at(0);
    f.pts_ns = j.at(1);
    f.duration_ns = j.at(2);
    f.lost_before = j.at(3);
    f.shades.time_ns = f.time_ns;
    f.shades.after_loss = f.lost_before > 0;
    f.shades.measured = j.at(4);
    f.shades.shades = bytes_from<int8_t>(j.at(5));
    if (j.size() > 6)
        for (const json& b : j[6])
            f.shades.blends.push_back({b.at(0), b.at(1), b.at(2), b.at(3), b.at(4)});
    return f;
}

json sound_json(const SoundRecord& s)
{
    return {s.stream, s.rate, s.channels, s.frames, s.time_ns, s.pts_ns, s.duration_ns};
}

SoundRecord sound_from(const json& j)
{
    return {j.at(0), j.at(1), j.at(2), j.at(3), j.at(4), j.at(5), j.at(6)};
}

json record_json(const PartRecord& r)
{
    json frames = json::array(), sounds = json::array(), beeps = json::array();
    for (const FrameRecord& f : r.frames)
        frames.push_back(frame_json(f));
    for (const SoundRecord& s : r.sounds)
        sounds.push_back(sound_json(s));
    for (const PartBeeps& b : r.beeps)
        beeps.push_back({b.stream, b.onsets});
    return {{"format", PartRecord::kFormat},
            {"recording", r.recording},
            {"part", r.part},
            {"parts", r.parts},
            {"from_ns", r.from_ns},
            {"to_ns", r.to_ns},
            {"read_from_start", r.read_from_start},
            {"options", options_json(r.options)},
            {"facts", facts_json(r.facts)},
            {"planning", r.planning ? planning_json(*r.planning) : json()},
            {"picture_error", r.picture_error},
            {"snapshot", snapshot_json(r.snapshot)},
            {"warnings", r.warnings},
            {"frames", frames},
            {"sounds", sounds},
            {"beeps", beeps}};
}

void record_from(const json& j, PartRecord* r)
{
    r->recording = j.at("recording");
    r->part = j.at("part");
    r->parts = j.at("parts");
    r->from_ns = j.at("from_ns");
    r->to_ns = j.at("to_ns");
    r->read_from_start = j.at("read_from_start");
    r->options = options_from(j.at("options"));
    r->facts = facts_from(j.at("facts"));
    if (!j.at("planning").is_null())
        r->planning = planning_from(j["planning"]);
    r->picture_error = j.at("picture_error");
    r->snapshot = snapshot_from(j.at("snapshot"));
    r->warnings = j.at("warnings").get<std::vector<std::string>>();
    for (const json& f : j.at("frames"))
        r->frames.push_back(frame_from(f));
    for (const json& s : j.at("sounds"))
        r->sounds.push_back(sound_from(s));
    for (const json& b : j.at("beeps"))
        r->beeps.push_back({b.at(0), b.at(1).get<std::vector<double>>()});
}

// ---------------------------------------------------------------- a damaged part

// Counter half-periods beyond this are no clip's, and would make counting slow.
constexpr int32_t kLongestHalfPeriod = 1 << 12;
constexpr int64_t kMostSamplesPerBuffer = int64_t(1) << 30;

bool marker_sane(const MarkerPlan& m)
{
    const bool counting = m.role == MarkerRole::FrameId || m.role == MarkerRole::Sync;
    return !counting || (m.half_period >= 1 && m.half_period <= kLongestHalfPeriod &&
                         (m.role == MarkerRole::Sync || std::has_single_bit(uint32_t(m.half_period))));
}

bool planning_sane(const MarkerPlanning& p)
{
    const ReadingPlan& r = p.reading;
    const int32_t markers = int32_t(r.markers.size());
    return markers == int32_t(p.markers.size()) && r.lipsync >= 0 && r.lipsync < markers && r.sync >= -1 &&
           r.sync < markers && std::isfinite(p.source_fps) && p.source_fps > 0 && p.source_fps < 1000 &&
           std::isfinite(p.capture_fps) && p.width >= 0 && p.height >= 0 &&
           std::all_of(r.markers.begin(), r.markers.end(), marker_sane);
}

bool frame_sane(const FrameShades& f, size_t markers)
{
    const auto shade_sane = [](int8_t s) { return s >= -1 && s < kShadeFirstColour + clip::kColorCycleLength; };
    const auto blend_sane = [](const BlendMix& b) {
        return b.residue >= 0 && b.residue < (1 << 24) && std::isfinite(b.weight) && b.weight >= 0 && b.weight <= 1 && std::isfinite(b.worst);
    };
    return (!f.measured || f.shades.size() == markers) && std::all_of(f.shades.begin(), f.shades.end(), shade_sane) &&
           std::all_of(f.blends.begin(), f.blends.end(), blend_sane);
}

bool sound_sane(const SoundRecord& s)
{
    return s.stream >= 0 && s.rate > 0 && s.channels > 0 && s.frames >= 0 && s.frames < kMostSamplesPerBuffer;
}

// What joining takes on trust: marker indices, shades that index levels, a picture of its size.
bool record_sane(const PartRecord& r)
{
    const CheckSnapshot& shot = r.snapshot;
    if (shot.width < 0 || shot.height < 0 || shot.rgb.size() != size_t(shot.width) * size_t(shot.height) * 3)
        return false;
    if (r.planning && !planning_sane(*r.planning))
        return false;
    const size_t markers = r.planning ? r.planning->markers.size() : 0;
    const auto beeps_sane = [](const PartBeeps& b) {
        return std::all_of(b.onsets.begin(), b.onsets.end(), [](double o) { return std::isfinite(o) && o >= 0; });
    };
    return r.part >= 1 && r.part <= r.parts && r.from_ns <= r.to_ns &&
           std::all_of(r.frames.begin(), r.frames.end(), [&](const FrameRecord& f) { return frame_sane(f.shades, markers); }) &&
           std::all_of(r.sounds.begin(), r.sounds.end(), sound_sane) &&
           std::all_of(r.beeps.begin(), r.beeps.end(), beeps_sane);
}

} // namespace

bool read_alike(const PartRecord& a, const PartRecord& b)
{
    const bool both_found = a.planning && b.planning;
    return options_json(a.options) == options_json(b.options) &&
           (!both_found || planning_json(*a.planning) == planning_json(*b.planning));
}

bool write_part_record(const std::string& path, const PartRecord& record, std::string* error)
{
    const std::vector<uint8_t> bytes = json::to_cbor(record_json(record));
    return write_output(path, std::string(kMagic) + std::string(bytes.begin(), bytes.end()), error);
}

bool read_part_record(const std::string& path, PartRecord* record, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.compare(0, kMagic.size(), kMagic) != 0) {
        *error = path + ": not a part of a recording (skelv-check --part K/N writes them)";
        return false;
    }
    const json j = json::from_cbor(bytes.begin() + long(kMagic.size()), bytes.end(), true, false);
    if (j.is_discarded() || !j.is_object()) {
        *error = path + ": a damaged part";
        return false;
    }
    if (j.value("format", 0) != PartRecord::kFormat) {
        *error = path + ": a part written by another version of skelv-check";
        return false;
    }
    *record = PartRecord{};
    bool read = true;
    try {
        record_from(j, record);
    } catch (const json::exception&) {
        read = false;
    }
    if (!read || !record_sane(*record)) {
        *error = path + ": a damaged part";
        return false;
    }
    return true;
}

} // namespace skelv
