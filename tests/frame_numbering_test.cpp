// Numbering captured frames: the counter's offsets, source numbers unwrapped by time, continuity.
#include "core/clip_constants.h"
#include "generate/play_timeline.h"
#include "picture/continuity.h"
#include "picture/frame_counter.h"
#include "picture/source_numbering.h"

#include "support/design_shades.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numeric>
#include <string>
#include <tuple>

using namespace skelv;

namespace {

// Each content frame gives the offsets of the first period whose design codes look like its own:
// one for a colour frame of a clip with enough bits, several for a flash, which hides its colour.
TEST(FrameCounter, OffsetsThatLookTheSame)
{
    const struct {
        const char* name;
        int sync_half_period, bits, content;
        int32_t period;
    } cases[] = {{"default", 4, 4, 200, 48}, {"sync period 3", 3, 4, 200, 48}, {"six bits", 4, 6, 400, 192},
        {"one bit", 4, 1, 200, 24}};
    for (const auto& c : cases) {
        const ClipDesign design = make_design(5, c.content, c.sync_half_period, c.bits);
        const ClipParams& params = design.params;
        const FrameCounter counter(plan_of(design));
        EXPECT_EQ(counter.period(), c.period) << c.name;
        const int first = params.header + params.locator;
        std::vector<int32_t> residues;
        for (int offset = 0; offset < c.content; ++offset) {
            const std::string code = clip_design_code(design, first + offset);
            const bool flash = clip_design_is_flash(design, first + offset);
            std::vector<int32_t> alike;
            for (int32_t other = 0; other < c.period; ++other) {
                const std::string other_code = clip_design_code(design, first + other);
                if (code.substr(0, code.size() - 1) == other_code.substr(0, code.size() - 1) &&
                    (flash || clip::kColorCycle[other % 6] == clip::kColorCycle[offset % 6]))
                    alike.push_back(other);
            }
            const std::vector<int8_t> shades = design_shades(design, first + offset);
            EXPECT_EQ(counter.pattern(shades), flash ? FramePattern::Flash : FramePattern::Content) << c.name;
            counter.residues(shades, &residues);
            ASSERT_EQ(residues, alike) << c.name << " offset " << offset;
        }
    }
}

constexpr double kFps = 25;

const ClipDesign& design()
{
    static const ClipDesign made = make_design(5, 150);
    return made;
}

const int kContent = design().params.header + design().params.locator; ///< first content frame

// A captured frame: the design frame it shows (-1: a black screen) and when.
struct Shown {
    int frame;
    double seconds;
};

std::vector<FrameReading> number(const std::vector<Shown>& shown)
{
    SourceNumbering numbering(plan_of(design(), kFps), kFps);
    std::vector<FrameReading> readings;
    for (const Shown& s : shown)
        readings.push_back(numbering.next(std::llround(s.seconds * 1e9),
            s.frame >= 0 ? design_shades(design(), s.frame) : std::vector<int8_t>(6, kShadeBlack)));
    return readings;
}

// A black screen around the clip is no flash, though the counter could read it as one; a flash
// is placed only next to content already numbered, and only where that leads.
TEST(SourceNumbering, FlashesOnlyWhereTheCountLeads)
{
    const int frames = design().params.design_frames();
    std::vector<Shown> shown = {{-1, 0}, {-1, 0.04}};
    for (int n = 0; n < frames; ++n)
        shown.push_back({n, 0.08 + n / kFps});
    shown.push_back({-1, 0.08 + frames / kFps});
    const std::vector<FrameReading> readings = number(shown);
    EXPECT_EQ(std::tuple(readings[0].kind, readings[2].kind, readings.back().kind),
        std::tuple(FrameKind::Unknown, FrameKind::Header, FrameKind::Unknown));

    const int flash = kContent + design().params.flash_period / 2; // content offset 12
    ASSERT_TRUE(clip_design_is_flash(design(), flash));
    EXPECT_EQ(number({{kContent, 0}, {kContent + 1, 0.04}, {flash, 0.08}})[2].kind, FrameKind::Unknown); // 0.4 s early
    const FrameReading in_place = number({{kContent, 0}, {kContent + 1, 0.04}, {flash, 0.48}})[2];
    EXPECT_TRUE(in_place.kind == FrameKind::Content && in_place.flash && in_place.source == 12);
    EXPECT_EQ(number({{flash, 0}})[0].kind, FrameKind::Unknown); // nothing numbered before it
}

// Numbers past the counter's period (48 frames) come from the time between frames; a frozen
// picture resumes where it stopped.
TEST(SourceNumbering, GapsAndFreezesUnwrapByTime)
{
    std::vector<Shown> frozen;
    for (int n = 0; n < 50; ++n)
        frozen.push_back({kContent + 20, n / kFps});
    frozen.push_back({kContent + 21, 2});
    const struct {
        const char* name;
        std::vector<Shown> shown;
        std::vector<int> sources;
    } cases[] = {
        {"60 frames missing", {{kContent, 0}, {kContent + 1, 0.04}, {kContent + 62, 2.48}}, {0, 1, 62}},
        {"100 frames missing", {{kContent + 5, 0}, {kContent + 6, 0.04}, {kContent + 106, 4.04}}, {0, 1, 101}},
        {"out of order", {{kContent + 3, 0}, {kContent + 5, 0.04}, {kContent + 4, 0.08}}, {0, 2, 1}},
        {"frozen for two seconds", frozen, std::vector<int>(50, 0)},
    };
    for (const auto& c : cases) {
        std::vector<int> sources;
        for (const FrameReading& r : number(c.shown))
            sources.push_back(r.source);
        if (c.shown.size() > c.sources.size()) {
            EXPECT_EQ(sources.back(), 1) << c.name;
        }
        sources.resize(c.sources.size());
        EXPECT_EQ(sources, c.sources) << c.name;
    }
}

// The header and locator shown once more mid-content, as a live play repeats them: a count
// that goes on across them is one loop without a drop; a count that starts at 0 is the clip
// starting again; a count that fits neither was joined late.
TEST(SourceNumbering, ALocatorRepeatedMidContent)
{
    const auto count = [](int from, int to) { // the numbers from `from` up to `to`
        std::vector<int> numbers(size_t(to - from));
        std::iota(numbers.begin(), numbers.end(), from);
        return numbers;
    };
    // Design frames: the header and locator; content offsets `from` up to `to`.
    const auto start = [&] { return count(0, kContent); };
    const auto content = [&](int from, int to) { return count(kContent + from, kContent + to); };
    const auto join = [](std::initializer_list<std::vector<int>> parts) {
        std::vector<int> frames;
        for (const auto& part : parts)
            frames.insert(frames.end(), part.begin(), part.end());
        return frames;
    };
    const struct {
        const char* name;
        std::vector<int> frames; ///< design frames, one a frame period
        std::vector<int> sources, loops; ///< of the content frames
        bool start_seen;
        int64_t dropped;
    } cases[] = {
        {"the count goes on", join({start(), content(0, 30), start(), content(40, 80)}),
            join({count(0, 30), count(40, 80)}), std::vector<int>(70, 0), true, 0},
        {"a frame lost after it", join({start(), content(0, 30), start(), content(41, 80)}),
            join({count(0, 30), count(41, 80)}), std::vector<int>(69, 0), true, 1},
        {"the clip starts again", join({start(), content(0, 30), start(), content(0, 40)}),
            join({count(0, 30), count(0, 40)}), join({std::vector<int>(30, 0), std::vector<int>(40, 1)}), true, 0},
        // The count before would lead to 48, a whole counter period: a start is taken first.
        {"a start where the count would lead too", join({start(), content(0, 38), start(), content(0, 10)}),
            join({count(0, 38), count(0, 10)}), join({std::vector<int>(38, 0), std::vector<int>(10, 1)}), true, 0},
        {"joined at a repeated locator", join({start(), content(40, 80)}), count(0, 40), std::vector<int>(40, 0),
            false, 0},
    };
    for (const auto& c : cases) {
        SourceNumbering numbering(plan_of(design(), kFps), kFps);
        ContinuityTracker tracker;
        std::vector<int> sources, loops;
        for (size_t n = 0; n < c.frames.size(); ++n) {
            const FrameReading reading =
                numbering.next(std::llround(double(n) / kFps * 1e9), design_shades(design(), c.frames[n]));
            tracker.add(reading);
            if (reading.kind == FrameKind::Content) {
                sources.push_back(reading.source);
                loops.push_back(reading.loop);
            }
        }
        const ContinuityReport report = tracker.finish();
        EXPECT_EQ(sources, c.sources) << c.name;
        EXPECT_EQ(loops, c.loops) << c.name;
        EXPECT_EQ(numbering.content_start_seen(), c.start_seen) << c.name;
        EXPECT_EQ(std::tuple(report.dropped, report.repeated, report.out_of_order), std::tuple(c.dropped, 0, 0))
            << c.name;
    }
}

// A live play that repeats its header and locator, read back frame by frame: every content
// frame numbered as the play sent it, in one loop, every flash on a content frame, each
// repeat where it was asked for or soon after.
TEST(SourceNumbering, ReadsAPlayThatRepeatsItsLocator)
{
    const struct {
        const char* name;
        Fraction fps;
        int header, locator, flash_period, bits;
        double every_s;
    } cases[] = {
        {"25 fps, every minute", {25, 1}, 5, 5, 25, 4, 60},
        {"29.97 fps, two bits", {30000, 1001}, 5, 5, 30, 2, 20},
        {"50 fps, short flashes", {50, 1}, 2, 3, 12, 4, 7},
    };
    for (const auto& c : cases) {
        ClipParams params;
        params.fps = c.fps;
        params.header = c.header;
        params.locator = c.locator;
        params.flash_period = c.flash_period;
        params.frameid_bits = c.bits;
        params.content = 8 * c.flash_period;
        params.trailer = 0;
        PlayTimeline timeline;
        ClipDesign clip;
        std::string error;
        ASSERT_TRUE(timeline.make(params, c.every_s, &error) && clip_design_make(params, &clip, &error)) << error;
        const double fps = double(c.fps.num) / c.fps.den;
        SourceNumbering numbering(plan_of(clip, fps), fps);
        ContinuityTracker tracker;
        const int64_t start = c.header + c.locator, every = timeline.reminder_every();
        const int64_t frames = start + 11 * every;
        int64_t content = 0, reminders = 0, flashes = 0;
        for (int64_t n = 0; n < frames; ++n) {
            const PlayFrame f = timeline.frame(n);
            if (n >= start && f.span == Span::Header && timeline.frame(n - 1).span == Span::Content) {
                const int64_t asked = ++reminders * every; // done before the next is asked for
                ASSERT_TRUE(n - start >= asked && n - start + start <= asked + every) << c.name << " frame " << n;
            }
            const std::string code = f.span == Span::Header ? clip_design_code(clip, 0)
                : f.span == Span::Locator ? clip_design_code(clip, c.header)
                                          : clip_design_content_code(clip, f.content_offset, f.flash);
            const FrameReading reading = numbering.next(int64_t(f.time_ns), code_shades(code));
            tracker.add(reading);
            content += f.span == Span::Content;
            flashes += f.flash;
            if (f.span == Span::Content) {
                ASSERT_TRUE(reading.kind == FrameKind::Content && reading.source == f.content_offset &&
                    reading.loop == 0)
                    << c.name << " frame " << n;
            }
        }
        EXPECT_EQ(reminders, 10) << c.name;
        const ContinuityReport report = tracker.finish();
        EXPECT_EQ(std::tuple(report.shown, report.dropped, report.loops), std::tuple(content, 0, 1)) << c.name;
        // Every beep sent has its flash on the screen.
        const int64_t last_offset = frames - start - 1;
        EXPECT_EQ(flashes, (last_offset - c.flash_period / 2) / c.flash_period + 1) << c.name;
    }
}

// What cannot repeat its locator readably is refused.
TEST(PlayTimeline, RefusesLocatorRepeatsItCannotPlace)
{
    const struct {
        int bits, flash_period;
        double every_s;
        const char* message;
    } cases[] = {
        {1, 25, 60, "--locator-every needs --frameid-bits 2 or more"},
        {4, 10, 60, "--locator-every: the header and locator (10 frames) would hide a flash"},
        {4, 25, 0.4, "--locator-every is too short for this design: at least"},
    };
    for (const auto& c : cases) {
        ClipParams params;
        params.frameid_bits = c.bits;
        params.flash_period = c.flash_period;
        PlayTimeline timeline;
        std::string error;
        EXPECT_FALSE(timeline.make(params, c.every_s, &error)) << c.message;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
    }
}

constexpr int kLost = -2;

// Source frame numbers of the captured frames (-1: unreadable, kLost: frames the reader never got).
ContinuityReport track(const std::vector<int>& sources)
{
    ContinuityTracker tracker;
    FrameReading frame;
    for (size_t n = 0; n < sources.size(); ++n) {
        if (sources[n] == kLost) {
            tracker.unseen();
            continue;
        }
        frame.time_ns = int64_t(n) * 40'000'000;
        frame.kind = sources[n] >= 0 ? FrameKind::Content : FrameKind::Unreadable;
        frame.source = sources[n];
        tracker.add(frame);
    }
    return tracker.finish();
}

TEST(Continuity, CountsFromTheNumbers)
{
    std::vector<int> late(100);
    std::iota(late.begin(), late.end(), 0);
    late.push_back(5);
    const struct {
        const char* name;
        std::vector<int> sources;
        int64_t shown, dropped, unresolved, repeated, out_of_order;
        std::map<int32_t, int64_t> display_counts;
    } cases[] = {
        {"a gap behind a blend", {0, 1, -1, 3, 4}, 4, 0, 1, 0, 0, {{1, 4}}},
        {"a gap where the reader lost frames", {0, 1, kLost, 4, 5, 7}, 5, 1, 2, 0, 0, {{1, 5}}},
        {"swapped", {0, 1, 3, 2, 4}, 5, 0, 0, 0, 1, {{1, 5}}},
        {"shown again later", {0, 1, 2, 1, 3}, 4, 0, 0, 1, 1, {{1, 3}, {2, 1}}},
        {"far ahead", {0, 1, 1000, 1001}, 4, 998, 0, 0, 0, {{1, 4}}},
        {"too late to count", late, 100, 0, 0, 0, 1, {{1, 100}}}, // settled before it came
    };
    for (const auto& c : cases) {
        const ContinuityReport report = track(c.sources);
        EXPECT_EQ(std::vector<int64_t>({report.shown, report.dropped, report.unresolved, report.repeated, report.out_of_order}),
            std::vector<int64_t>({c.shown, c.dropped, c.unresolved, c.repeated, c.out_of_order}))
            << c.name;
        EXPECT_EQ(report.display_counts, c.display_counts) << c.name;
    }
}

} // namespace
