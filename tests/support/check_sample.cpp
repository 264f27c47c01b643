#include "support/check_sample.h"

#include "generate/clip_design.h"
#include "rules/time_units.h"

#include <png.h>

#include <cmath>
#include <stdexcept>

namespace skelv {

namespace {

constexpr int kHeaderFrames = 5, kLocatorFrames = 5, kTrailerFrames = 5;
constexpr int kFlashPeriod = 25;  // content frames from one flash to the next
constexpr double kDelayMs = 21.6; // every beep after its flash, before the faults

// Which captured frames the faults touch, as fractions of the content.
constexpr double kDropAt = 0.3, kRepeatAt = 0.45, kGapAt = 0.5, kUnreadableAt = 0.6, kLoopAt = 0.7;
constexpr int kGapFrames = 3; // periods the frame before a gap stays on screen
const MarkerRole kRoles[] = {MarkerRole::Sync, MarkerRole::FrameId, MarkerRole::LipSync}; // by MarkerKind

// The captured frames: header, locator, content (with the faults), trailer; the flashes seen.
void fill_video(const CheckSample& s, CheckVideo* v, std::vector<Flash>* flashes)
{
    const int64_t period = ns_of_seconds(1 / s.fps);
    const int content = s.frames - kHeaderFrames - kLocatorFrames - kTrailerFrames;
    const auto fault_at = [&](double fraction) {
        return s.faults ? kHeaderFrames + kLocatorFrames + int(content * fraction) : -1;
    };
    int64_t source = 0;
    int64_t time_ns = 0;
    for (int i = 0; i < s.frames; i++) {
        CheckFrame f{time_ns, i == fault_at(kGapAt) ? kGapFrames * period : period};
        time_ns += f.duration_ns;
        f.kind = i < kHeaderFrames                     ? FrameKind::Header
                 : i < kHeaderFrames + kLocatorFrames  ? FrameKind::Locator
                 : i >= s.frames - kTrailerFrames      ? FrameKind::Trailer
                 : i == fault_at(kUnreadableAt)        ? FrameKind::Unreadable
                                                       : FrameKind::Content;
        if (f.kind == FrameKind::Content) {
            v->loops += i == fault_at(kLoopAt);
            source = i == fault_at(kLoopAt) ? 0 : source;
            f.dropped_before = i == fault_at(kDropAt) ? 2 : 0;
            source += f.dropped_before;
            f.repeated = i == fault_at(kRepeatAt);
            f.source_frame = f.repeated ? source - 1 : source++;
            f.loop = v->loops;
            f.flash = !f.repeated && f.source_frame % kFlashPeriod == kFlashPeriod / 2;
            if (f.flash)
                flashes->push_back({f.source_frame, f.loop, f.time_ns});
        }
        v->timeline.add(f);
    }
    // Every content frame shown once, but the repeated one twice.
    v->frames = s.frames;
    v->dropped = s.faults ? 2 : 0;
    v->repeated = v->unreadable = s.faults ? 1 : 0;
    v->source_frames_shown = content - v->unreadable - v->repeated;
    v->display_counts = {{1, v->source_frames_shown - v->repeated}};
    if (s.faults)
        v->display_counts[2] = 1;
}

} // namespace

CheckResult check_sample(const CheckSample& s)
{
    ClipParams params;
    params.width = s.width;
    params.height = s.height;
    ClipDesign design;
    if (std::string error; !clip_design_make(params, &design, &error))
        throw std::runtime_error(error);

    CheckResult r;
    r.file = "capture/set-top box \"B\" <HDMI> & 50 Hz.mkv";
    r.profile = sync_profiles().front();
    std::vector<Flash> flashes;
    fill_video(s, &r.video, &flashes);
    const int64_t end_ns = r.video.timeline.end_ns;
    r.streams = {"matroskademux", "avdec_h264", s.audio ? "avdec_aac" : "", s.width, s.height, s.fps,
                 end_ns,          s.audio ? end_ns : 0, 0, end_ns, {}};
    r.video.content_start_seen = true;
    for (const MarkerBox& box : design.markers) {
        const int bit = box.kind == MarkerKind::FrameId ? int(std::log2(box.half_period)) : -1;
        r.video.markers.push_back({kRoles[int(box.kind)], bit, box.left, box.top, box.size, box.size});
    }
    // The clip's grey backdrop; the tests that look at pixels paint their own.
    r.video.snapshot = {s.width, s.height, std::vector<uint8_t>(size_t(s.width * s.height * 3), 128), 500 * kNsPerMs};

    std::vector<int64_t> beeps;
    if (s.audio) {
        for (size_t i = 0; i < flashes.size(); i++) {
            if (s.faults && i == 2)
                continue;                                    // the missing beep
            const double wobble = 0.1 * std::sin(double(i)); // ms, like a real capture's jitter
            const double beyond = s.faults && i == 4 ? 60 : 0;
            beeps.push_back(flashes[i].video_ns + ns_of_ms(kDelayMs + wobble + beyond));
        }
        if (s.faults)
            beeps.insert(beeps.begin(), 100 * kNsPerMs); // in the header, far from any flash
        r.audio = {1, 48000, 2, beeps.size()};
    }
    r.pairing = sync_pair(flashes, beeps, 0);
    r.statistics = delay_statistics(r.pairing.events);
    r.steps = delay_steps(r.pairing.events);
    r.judgement = sync_judge(r.pairing.events, r.profile, {0, r.streams.start_ns, r.streams.end_ns});
    if (r.judgement.judged == 0)
        r.unmeasurable_reason = s.audio ? "no beep lies near a flash of the lip-sync marker"
                                        : "the recording has no sound to search for beeps";
    if (s.faults)
        r.warnings = {"audio starts 40.0 ms after the video <late>", "gap of 120.0 ms in the video at 3.000 s & more"};
    return r;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        count++;
    return count;
}

CheckSnapshot decode_png(const std::string& png)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
        return {};
    image.format = PNG_FORMAT_RGB;
    CheckSnapshot decoded{int(image.width), int(image.height), std::vector<uint8_t>(PNG_IMAGE_SIZE(image)), 0};
    if (!png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr))
        return {};
    return decoded;
}

} // namespace skelv
