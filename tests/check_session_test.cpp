// One recording read by the check session from frames and sound made in memory from the clip's
// design, handed out as the media source hands them: the designed delay, timestamps broken on
// purpose, markers that show late. The choice among several audio streams is tested end to end
// in check_test.cpp.
#include "check/check_session.h"
#include "generate/clip_design.h"
#include "rules/time_units.h"
#include "support/sounds.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace skelv;

namespace {

constexpr int kRate = 48000;
constexpr size_t kBufferSamples = 960;
constexpr double kDelayMs = 40;

struct Clip {
    ClipDesign design;
    std::vector<I420Frame> frames;
    Sound sound; ///< mono
};

// Ten flashes after `header` header frames.
const Clip& clip(int header = 5)
{
    static std::map<int, Clip> made;
    if (const auto found = made.find(header); found != made.end())
        return found->second;
    ClipParams params;
    params.header = header;
    params.content = 250;
    params.audio_delay_ms = kDelayMs;
    Clip c{make_design(params), {}, {}};
    c.frames = paint_clip(c.design);
    for (int16_t sample : clip_design_sound(c.design))
        c.sound.push_back(float(sample) / 32768);
    return made.emplace(header, std::move(c)).first->second;
}

// Running times the source stamps frame n and sample s with; the design's own by default.
struct Stamps {
    std::function<int64_t(int, int64_t)> frame = [](int, int64_t design_ns) { return design_ns; };
    std::function<int64_t(int64_t)> sound = [](int64_t design_ns) { return design_ns; };
};

MediaFrame frame_of(const Clip& c, size_t n, const Stamps& stamps)
{
    MediaFrame frame;
    frame.view = c.frames[size_t(c.design.frames[n].design)].view();
    frame.time_ns = frame.pts_ns = stamps.frame(int(n), int64_t(c.design.frames[n].time_ns));
    frame.duration_ns = 40 * kNsPerMs;
    return frame;
}

// The clip through a session, buffer by buffer in time order; its frames again when the
// session asks.
CheckResult read(const Stamps& stamps, int header = 5)
{
    const Clip& c = clip(header);
    CheckSession session(CheckOptions{});
    SourceFacts facts;
    facts.framerate = 25;
    facts.streams = {{0, StreamType::Video, "video/x-raw", "", "", true}, {1, StreamType::Audio, "audio/x-raw", "", "", true}};
    session.describe(facts);
    size_t sample = 0;
    for (size_t n = 0; n < c.design.frames.size(); ++n) {
        const int64_t time = int64_t(c.design.frames[n].time_ns);
        for (; sample < c.sound.size() && int64_t(sample) * kNsPerSecond / kRate < time; sample += kBufferSamples) {
            MediaSound buffer;
            buffer.stream = 1;
            buffer.samples = c.sound.data() + sample;
            buffer.frames = std::min(kBufferSamples, c.sound.size() - sample);
            buffer.rate = kRate;
            buffer.channels = 1;
            buffer.time_ns = stamps.sound(int64_t(sample) * kNsPerSecond / kRate);
            session.take_sound(buffer);
        }
        session.take_frame(frame_of(c, n, stamps));
    }
    if (session.wants_second_decode())
        for (size_t n = 0; n < c.design.frames.size() && session.reread_frame(frame_of(c, n, stamps)); ++n) {
        }
    CheckResult result;
    session.finish(&result);
    return result;
}

// Events with the design's delay, and of them the ones judged.
struct Expected {
    size_t events, judged;
    SyncVerdict verdict;
    const char* warning; ///< the start of the warning on the broken timestamps; empty for none
};

void expect_reading(const CheckResult& r, const Expected& want)
{
    EXPECT_EQ(r.video.dropped, 0);
    EXPECT_EQ(r.pairing.events.size(), want.events);
    for (const SyncEvent& e : r.pairing.events)
        EXPECT_NEAR(ms_of(e.delay_ns), kDelayMs, 0.05);
    EXPECT_EQ(r.judgement.judged, want.judged);
    EXPECT_EQ(r.untrusted_events, want.events - want.judged);
    EXPECT_EQ(r.judgement.verdict, want.verdict) << r.unmeasurable_reason;
    bool warned = false;
    for (const std::string& w : r.warnings)
        warned = warned || (want.warning[0] != '\0' && w.rfind(want.warning, 0) == 0);
    EXPECT_EQ(warned, want.warning[0] != '\0') << testing::PrintToString(r.warnings);
}

// Frames from `first` on (and before `back`, when given) are stamped hours late, as a
// corrupted timestamp in a transport stream leaves them.
Stamps video_leap(int first, int back = INT32_MAX)
{
    Stamps stamps;
    stamps.frame = [=](int n, int64_t design_ns) { return n >= first && n < back ? 92461 * kNsPerSecond : design_ns; };
    return stamps;
}

// The clip's flashes whose frame and beep satisfy `keep`.
size_t flashes_where(const std::function<bool(int frame, int64_t beep_ns)>& keep)
{
    const ClipDesign& design = clip().design;
    size_t count = 0, beep = 0;
    for (const DeliveredFrame& f : design.frames)
        if (clip_design_is_flash(design, f.design)) {
            const int64_t beep_ns = design.beep_starts.at(beep++) * kNsPerSecond / kRate;
            count += keep(f.design, beep_ns) ? 1 : 0;
        }
    return count;
}

TEST(CheckSession, BrokenTimestampsAreReportedAndKeptOutOfTheVerdict)
{
    const size_t flashes = clip().design.beep_starts.size();
    ASSERT_EQ(flashes, 10u);
    Stamps audio_leap;
    audio_leap.sound = [](int64_t ns) { return ns > 6 * kNsPerSecond ? ns + 3600 * kNsPerSecond : ns; };
    Stamps all_broken;
    all_broken.frame = [](int n, int64_t) { return n == 0 ? 0 : 40000 * kNsPerSecond; };
    const struct {
        const char* name;
        Stamps stamps;
        Expected want;
    } cases[] = {
        {"clean", {}, {flashes, flashes, SyncVerdict::Pass, ""}},
        // Flashes timed by the frame rate are paired and listed, but not judged.
        {"video leaps and stays", video_leap(100),
         {flashes, flashes_where([](int f, int64_t) { return f < 100; }), SyncVerdict::Pass,
          "Video timestamps jump by +92457.000 s at frame 101 (4.000 s) and do not come back"}},
        {"video leaps and comes back", video_leap(120, 126),
         {flashes, flashes_where([](int f, int64_t) { return f < 120 || f >= 126; }), SyncVerdict::Pass,
          "Video timestamps jump by +92456.200 s at frame 121 (4.800 s) and come back at frame 127 (5.040 s)"}},
        // Buffers are 20 ms long: the first broken one starts at 6.020 s.
        {"audio leaps and stays", audio_leap,
         {flashes, flashes_where([](int, int64_t beep) { return beep < 6020 * kNsPerMs; }), SyncVerdict::Pass,
          "Audio timestamps jump by +3600.000 s at 6.020 s"}},
        {"every event broken", all_broken,
         {flashes, 0, SyncVerdict::Unmeasurable, "Video timestamps jump by +39999.960 s at frame 2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CheckResult r = read(c.stamps);
        expect_reading(r, c.want);
        const bool nothing_judged = c.want.verdict == SyncVerdict::Unmeasurable;
        EXPECT_EQ(r.unmeasurable_reason, nothing_judged ? "every event lies where the recording's timestamps are broken" : "");
    }
}

// Markers that show only after the reader's ten-second look-ahead: the picture is read again.
TEST(CheckSession, LateMarkersAreReadInASecondDecode)
{
    const CheckResult r = read({}, 300);
    EXPECT_EQ(r.video.source_frames_shown, 250);
    expect_reading(r, {10, 10, SyncVerdict::Pass, ""});
}

// However long the recording, the timeline's sketch keeps at most its bins, and its sums.
TEST(TimelineSketch, StaysSmallAndKeepsItsSums)
{
    TimelineSketch sketch;
    constexpr int64_t kFrames = 1'000'000, kPeriod = 20 * kNsPerMs;
    int64_t dropped = 0;
    for (int64_t n = 0; n < kFrames; ++n) {
        CheckFrame f{n * kPeriod, kPeriod, FrameKind::Content, n, 0, false, n % 1000 == 0, n % 5000 == 1 ? 2 : 0};
        dropped += f.dropped_before;
        sketch.add(f);
    }
    EXPECT_TRUE(sketch.frames.empty());
    EXPECT_LE(sketch.bins.size(), TimelineSketch::kMaxBins);
    EXPECT_GT(sketch.bins.size(), TimelineSketch::kMaxBins / 2);
    int64_t frames = 0, repeated = 0, summed_drops = 0;
    for (const TimelineBin& bin : sketch.bins) {
        frames += bin.frames;
        repeated += bin.repeated;
        summed_drops += bin.dropped;
    }
    EXPECT_EQ(std::tuple(frames, repeated, summed_drops, sketch.end_ns), std::tuple(kFrames, kFrames / 1000, dropped, kFrames * kPeriod));
}

} // namespace
