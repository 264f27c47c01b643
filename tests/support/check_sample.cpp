#include "support/check_sample.h"

#include "generate/clip_design.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr int kHeaderFrames = 5, kLocatorFrames = 5, kTrailerFrames = 5;

// Which captured frames the faults touch, as fractions of the recording.
constexpr double kDropAt = 0.3, kRepeatAt = 0.45, kGapAt = 0.5, kUnreadableAt = 0.6, kLoopAt = 0.7;
constexpr int kGapFrames = 3; // periods the frame before a gap stays on screen

CheckMarker role_of(const MarkerBox& box)
{
    CheckMarker m;
    switch (box.kind) {
    case MarkerKind::SyncMark: m.role = "sync"; break;
    case MarkerKind::FrameId:
        m.role = "frameid";
        m.bit = int(std::log2(box.half_period));
        break;
    case MarkerKind::Rgb6: m.role = "lipsync"; break;
    }
    m.x = box.left;
    m.y = box.top;
    m.width = m.height = box.size;
    return m;
}

// A content frame of the clip, painted by the generator, as RGB.
CheckSnapshot paint_snapshot(const ClipDesign& design, int design_frame, double time_ms)
{
    const ClipParams& p = design.params;
    std::vector<uint8_t> rgbx(size_t(p.width) * size_t(p.height) * 4);
    clip_design_paint(design, design_frame, rgbx.data(), p.width * 4);
    CheckSnapshot snap{p.width, p.height, {}, time_ms};
    snap.rgb.reserve(size_t(p.width) * size_t(p.height) * 3);
    for (size_t i = 0; i < rgbx.size(); i += 4)
        snap.rgb.insert(snap.rgb.end(), rgbx.begin() + long(i), rgbx.begin() + long(i) + 3);
    return snap;
}

// The captured frames: header, locator, content (with the faults), trailer.
void fill_timeline(const CheckSample& s, CheckResult* r, std::vector<Flash>* flashes)
{
    const double period = 1000 / s.fps;
    const int content = s.frames - kHeaderFrames - kLocatorFrames - kTrailerFrames;
    const auto fault_at = [&](double fraction) {
        return s.faults ? kHeaderFrames + kLocatorFrames + int(content * fraction) : -1;
    };
    int64_t source = 0;
    int loop = 0;
    double time_ms = 0;
    for (int i = 0; i < s.frames; i++) {
        CheckFrame f;
        f.time_ms = time_ms;
        f.duration_ms = i == fault_at(kGapAt) ? kGapFrames * period : period;
        time_ms += f.duration_ms;
        if (i < kHeaderFrames)
            f.kind = FrameKind::Header;
        else if (i < kHeaderFrames + kLocatorFrames)
            f.kind = FrameKind::Locator;
        else if (i >= s.frames - kTrailerFrames)
            f.kind = FrameKind::Trailer;
        else if (i == fault_at(kUnreadableAt))
            f.kind = FrameKind::Unreadable;
        else {
            f.kind = FrameKind::Content;
            if (i == fault_at(kLoopAt)) {
                source = 0;
                loop++;
            }
            if (i == fault_at(kDropAt)) {
                f.dropped_before = 2;
                source += 2;
            }
            f.repeated = i == fault_at(kRepeatAt);
            if (f.repeated)
                source--;
            f.source_frame = source++;
            f.loop = loop;
            f.flash = !f.repeated && f.source_frame % kSampleFlashPeriod == kSampleFlashPeriod / 2;
            if (f.flash)
                flashes->push_back({f.source_frame, loop, f.time_ms});
        }
        r->video.timeline.push_back(f);
    }
}

void fill_frame_counts(CheckVideo* v)
{
    std::vector<std::vector<int>> shown; // loop -> source frame -> times shown
    for (const CheckFrame& f : v->timeline) {
        v->dropped += f.dropped_before;
        v->repeated += f.repeated;
        v->unreadable += f.kind == FrameKind::Unreadable;
        v->loops = std::max(v->loops, f.loop);
        if (f.kind != FrameKind::Content)
            continue;
        shown.resize(std::max(shown.size(), size_t(f.loop) + 1));
        std::vector<int>& times = shown[size_t(f.loop)];
        times.resize(std::max(times.size(), size_t(f.source_frame) + 1));
        times[size_t(f.source_frame)]++;
    }
    for (const std::vector<int>& loop : shown)
        for (int times : loop)
            if (times > 0) {
                v->source_frames_shown++;
                v->display_counts[times]++;
            }
}

} // namespace

CheckResult check_sample(const CheckSample& s)
{
    ClipParams params;
    params.width = s.width;
    params.height = s.height;
    ClipDesign design;
    std::string error;
    if (!clip_design_make(params, &design, &error))
        throw std::runtime_error(error);

    CheckResult r;
    r.file = "capture/set-top box \"B\" <HDMI> & 50 Hz.mkv";
    r.profile = *sync_profile_find("ebu-r37");
    std::vector<Flash> flashes;
    fill_timeline(s, &r, &flashes);
    const double end_ms = r.video.timeline.back().time_ms + r.video.timeline.back().duration_ms;
    r.streams = {"matroskademux", "avdec_h264",  s.audio ? "avdec_aac" : "",  s.width, s.height,
                 s.fps,           end_ms / 1000, s.audio ? end_ms / 1000 : 0, 0,       end_ms};
    r.video.frames = s.frames;
    r.video.content_start_seen = true;
    fill_frame_counts(&r.video);
    for (const MarkerBox& box : design.markers)
        r.video.markers.push_back(role_of(box));
    const int content_frame = params.header + params.locator + kSampleFlashPeriod / 2 + 1;
    r.video.snapshot =
        paint_snapshot(design, content_frame, r.video.timeline[size_t(kHeaderFrames + kLocatorFrames + 13)].time_ms);

    std::vector<double> beeps;
    if (s.audio) {
        r.audio = {48000, 2, 0};
        for (size_t i = 0; i < flashes.size(); i++) {
            if (s.faults && i == 2)
                continue;                                    // the missing beep
            const double wobble = 0.1 * std::sin(double(i)); // ms, like a real capture's jitter
            const double beyond = s.faults && i == 4 ? 60 : 0;
            beeps.push_back(flashes[i].video_ms + s.delay_ms + wobble + beyond);
        }
        if (s.faults)
            beeps.push_back(100); // in the header, far from any flash
        std::sort(beeps.begin(), beeps.end());
        r.audio.beeps = beeps.size();
    }
    r.pairing = sync_pair(flashes, beeps, 0);
    r.statistics = delay_statistics(r.pairing.events);
    r.judgement = sync_judge(r.pairing.events, r.profile, 0, r.streams.start_ms, r.streams.end_ms);
    if (s.faults)
        r.warnings = {"audio starts 40.0 ms after the video <late>", "gap of 120.0 ms in the video at 3.000 s & more"};
    return r;
}
