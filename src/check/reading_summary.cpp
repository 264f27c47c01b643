#include "check/reading_summary.h"

#include "check/time_guard.h"

#include <cstdio>
#include <set>
#include <utility>

namespace skelv {

namespace {

std::string sync_word(SyncEvidence evidence)
{
    switch (evidence) {
    case SyncEvidence::Locator:
        return "locator";
    case SyncEvidence::RasterOrder:
        return "raster order";
    case SyncEvidence::HalfPeriod:
        return "half period";
    case SyncEvidence::None:
        break;
    }
    return "";
}

std::string marker_words(const FoundMarker& m)
{
    switch (m.role) {
    case MarkerRole::Sync:
        return "The sync mark";
    case MarkerRole::FrameId:
        return "The frame-counter marker of bit " + std::to_string(m.bit);
    case MarkerRole::LipSync:
        return "The lip-sync marker";
    case MarkerRole::Unknown:
        break;
    }
    return "A marker";
}

// "The lip-sync marker at (256, 16) was lost from 6.040 s to the end while the other markers
// went on ..."
std::string lost_marker_warning(const FoundMarker& m, const MarkerLoss& loss)
{
    const std::string until = loss.to_ns < 0 ? "the end" : seconds_text(loss.to_ns);
    return marker_words(m) + " at (" + std::to_string(m.left) + ", " + std::to_string(m.top) + ") was lost from " +
           seconds_text(loss.from_ns) + " to " + until +
           " while the other markers went on (it left the picture, was covered or moved): " +
           (m.role == MarkerRole::LipSync ? "its flashes there are not seen"
                                           : "the frame numbers, drops and repeats there are not to be trusted");
}

} // namespace

std::vector<std::string> picture_warnings(const VideoReading& reading)
{
    std::vector<std::string> warnings;
    char line[160];
    for (const PixelRect& area : reading.ignored_areas) {
        snprintf(line, sizeof line, "A changing area at (%d, %d) of %d \u00d7 %d pixels was not read as a marker",
                 area.left, area.top, area.width, area.height);
        warnings.push_back(line);
    }
    for (const MarkerLoss& loss : reading.lost_markers)
        warnings.push_back(lost_marker_warning(reading.markers.at(loss.marker), loss));
    if (reading.frames_other_size > 0) {
        snprintf(line, sizeof line, "%lld frames of another size than the first (%d \u00d7 %d) were not read",
                 (long long)reading.frames_other_size, reading.width, reading.height);
        warnings.push_back(line);
    }
    return warnings;
}

CheckVideo video_summary(const VideoReading& reading)
{
    CheckVideo video;
    video.frames = reading.frames_read;
    for (const FoundMarker& m : reading.markers)
        video.markers.push_back({m.role, m.role == MarkerRole::FrameId ? m.bit : -1, m.left, m.top,
                                 m.width, m.height});
    for (const PixelRect& area : reading.ignored_areas)
        video.ignored_areas.push_back({area.left, area.top, area.width, area.height});
    video.capture_fps = reading.capture_fps;
    video.source_fps = reading.source_fps;
    video.sync_from = sync_word(reading.sync_from);
    const ContinuityReport& c = reading.continuity;
    video.content_start_seen = reading.content_start_seen;
    video.source_frames_shown = c.shown;
    video.dropped = c.dropped;
    video.unresolved = c.unresolved;
    video.out_of_order = c.out_of_order;
    for (const auto& [times, sources] : c.display_counts) {
        video.display_counts[times] = sources;
        video.repeated += int64_t(times - 1) * sources; // every showing after the first
    }
    video.loops = std::max(0, c.loops - 1);
    return video;
}

std::string unmeasurable_reason(const CheckResult& r, const VideoReading& reading, bool has_video, bool has_audio)
{
    if (r.judgement.judged > 0)
        return "";
    if (!has_video)
        return "the recording has no picture";
    if (!reading.ok)
        return reading.error;
    if (!has_audio)
        return "the recording has no sound to search for beeps";
    if (r.audio.beeps == 0)
        return "no beep was found in the sound";
    if (r.pairing.events.empty() && r.pairing.missing_beeps.empty())
        return "the lip-sync marker never flashed";
    if (r.pairing.events.empty())
        return "no beep lies near a flash of the lip-sync marker";
    return "no event lies in the part of the recording that " + r.profile.title + " judges";
}

} // namespace skelv
