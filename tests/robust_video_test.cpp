// Clips from skelv-generate through ffmpeg filter chains, read through the GStreamer driver. What
// each captured frame shows comes from the filters themselves: the same time filters on a
// lossless index clip whose frame i carries i, or the framerate filter's interpolation rule.
#include "check/check_run.h"
#include "support/design_shades.h"
#include "support/media.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

using namespace skelv;

namespace {

struct ClipKind {
    const char* name;
    int width, height, fps, content;

    ClipParams params() const
    {
        ClipParams p;
        p.width = width, p.height = height, p.fps = {fps, 1}, p.content = content, p.flash_period = fps;
        return p;
    }
    // Made in the build tree by RobustVideoClips.Make, which CTest runs first.
    std::string clip() const { return std::string(SKELV_ROBUST_CLIPS) + "/clip" + name + ".mp4"; }
    std::string index() const { return std::string(SKELV_ROBUST_CLIPS) + "/index" + name + ".gray"; }
    void make() const
    {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const ProcessResult made = generate(
            {"--size", size, "--fps", std::to_string(fps), "--content", std::to_string(content), "--no-audio", clip()},
            SKELV_ROBUST_CLIPS);
        EXPECT_EQ(made.exit_code, 0) << made.err;
        std::string bytes; // 16x16 grey frames: rows 0-7 carry i mod 256, rows 8-15 i / 256
        for (int i = 0; i < params().design_frames(); ++i)
            bytes += std::string(128, char(i % 256)) + std::string(128, char(i / 256));
        write_file(index(), bytes);
    }
};

const ClipKind kClip25{"25", 320, 240, 25, 135};     // 6 s
const ClipKind kClip50{"50", 320, 240, 50, 235};     // 5 s
const ClipKind kClipWide{"wide", 640, 360, 25, 110}; // 5 s, 32-pixel markers on a wider frame

TEST(RobustVideoClips, Make)
{
    std::filesystem::create_directories(SKELV_ROBUST_CLIPS);
    for (const ClipKind* kind : {&kClip25, &kClip50, &kClipWide})
        kind->make();
}

// A captured frame shows design frame `a`, or a blend giving `weight` to design frame `a + 1`.
struct Shown {
    int a;
    double weight = 0;
};

// The frame mostly shown (the earlier of an even blend) and the flash given at least half the
// picture (-1: none); `even`: the blend read as even.
std::pair<int, int> meaning(const ClipDesign& design, const Shown& s, bool even)
{
    const double w = even ? 0.5 : s.weight;
    const int flash = clip_design_is_flash(design, s.a) && w <= 0.5 ? s.a
        : w >= 0.5 && clip_design_is_flash(design, s.a + 1)          ? s.a + 1
                                                                     : -1;
    return {w > 0.5 ? s.a + 1 : s.a, flash};
}

std::vector<Shown> shown_by_filters(const ClipKind& kind, const std::string& time_filters, const std::string& scratch)
{
    std::vector<Shown> shown;
    if (!ffmpeg({"-f", "rawvideo", "-pix_fmt", "gray", "-s", "16x16", "-r", std::to_string(kind.fps), "-i", kind.index(),
            "-vf", time_filters.empty() ? "null" : time_filters, "-fps_mode", "passthrough", "-f", "rawvideo", scratch}))
        return shown;
    const std::string bytes = read_file(scratch);
    for (size_t at = 0; at + 256 <= bytes.size(); at += 256)
        shown.push_back({uint8_t(bytes[at]) + 256 * uint8_t(bytes[at + 128])});
    return shown;
}

// ffmpeg's framerate filter: frame n at n / out_fps copies the nearer source frame when within
// 15/256 of its time, else blends the two around it by distance.
std::vector<Shown> shown_by_framerate(const ClipKind& kind, double out_fps)
{
    const int last = kind.params().design_frames() - 1;
    std::vector<Shown> shown;
    for (int n = 0;; ++n) {
        const double position = n * kind.fps / out_fps;
        const int a = int(std::floor(position + 1e-9));
        const double weight = std::round((position - a) * 256) / 256;
        if (a >= last) {
            if (a == last)
                shown.push_back({a});
            return shown;
        }
        shown.push_back(weight < 15.0 / 256 ? Shown{a} : weight > 240.0 / 256 ? Shown{a + 1} : Shown{a, weight});
    }
}

// The picture as skelv-check reads it: the media source through the one decode driver.
VideoReading read_gst(const std::string& path)
{
    CheckOptions options;
    options.keep_readings = true;
    CheckSession session(options);
    MediaError error;
    EXPECT_TRUE(read_recording(source_request_of(path), &session, &error)) << error.message;
    CheckResult result;
    session.finish(&result);
    return session.picture();
}

struct Row {
    const char* name;
    const ClipKind* clip;
    std::string filters;           ///< the whole chain
    std::string time_filters = {}; ///< its part that picks frames, for the index clip
    double scale = 1;              ///< the picture in the frame: scaled, then moved by the offset
    int offset_x = 0, offset_y = 0;
    double blend_fps = 0; ///< the chain blends with framerate at this rate
    std::vector<std::string> encode = {"-c:v", "rawvideo", "-pix_fmt", "yuv420p"}; ///< into Matroska
};

void check_reading(const Row& row, const VideoReading& reading, const std::vector<Shown>& shown)
{
    const ClipDesign design = make_design(row.clip->params());
    const ClipParams& p = design.params;
    ASSERT_TRUE(reading.ok) << reading.error;
    ASSERT_EQ(reading.markers.size(), design.markers.size());
    for (size_t m = 0; m < design.markers.size(); ++m) {
        const MarkerBox& box = design.markers[m];
        const FoundMarker& found = reading.markers[m];
        EXPECT_EQ(found.role, role_of(box.kind)) << "marker " << m;
        EXPECT_EQ(found.half_period, box.half_period) << "marker " << m;
        EXPECT_NEAR(found.left, row.offset_x + box.left * row.scale, 2) << "marker " << m;
        EXPECT_NEAR(found.top, row.offset_y + box.top * row.scale, 2) << "marker " << m;
        EXPECT_NEAR(found.width, box.size * row.scale, 2) << "marker " << m;
        EXPECT_NEAR(found.height, box.size * row.scale, 2) << "marker " << m;
    }
    EXPECT_NEAR(reading.source_fps, row.clip->fps, 0.01 * row.clip->fps);
    ASSERT_EQ(reading.frames.size(), shown.size());

    // A pass of the clip starts where the design frames go back; it counts from the content's
    // start when it shows what comes before (the header at first, later the locator), else from
    // its first content frame. The header of a later pass reads as the trailer before it.
    int pass = -1, previous = INT32_MAX, base = 0, unreadable = 0;
    bool before_content = false;
    std::map<std::pair<int, int>, int64_t> displays;
    std::map<int, int> highest;
    int64_t out_of_order = 0;
    std::vector<std::tuple<int64_t, int32_t, int64_t>> flashes, got_flashes; // source frame, loop, time
    for (size_t n = 0; n < shown.size(); ++n) {
        const FrameReading& got = reading.frames[n];
        const double w = shown[n].weight;
        // The reader measures weights to about a hundredth: it may call a blend even this close.
        const bool of_content = w > 0 && content_offset(design, shown[n].a) >= 0 && content_offset(design, shown[n].a + 1) >= 0;
        EXPECT_TRUE(w != 0.5 || !of_content || got.weight == 0.5f) << "frame " << n << " is an even blend";
        const bool even = got.weight == 0.5f && std::fabs(w - 0.5) < 1.0 / 32;
        const auto [frame, flash] = meaning(design, shown[n], even);
        const int offset = content_offset(design, frame);
        if (frame < previous)
            ++pass, base = -1, before_content = false;
        previous = frame;
        before_content = before_content || (frame >= (pass == 0 ? 0 : p.header) && frame < p.header + p.locator);
        if (offset >= 0 && base < 0)
            base = before_content ? 0 : offset;
        const bool differ = w > 0 && clip_design_code(design, shown[n].a) != clip_design_code(design, shown[n].a + 1);
        const double strength = differ ? std::max(w, 1 - w) : 1;
        if (got.kind == FrameKind::Unreadable) {
            ++unreadable;
            EXPECT_TRUE(strength < 0.9 && !of_content) << "frame " << n << " shows design frame " << frame;
            continue;
        }
        EXPECT_TRUE(strength > 0.6 || of_content) << "frame " << n << " blends " << shown[n].a << " and the next, yet reads";
        const bool header = frame < p.header;
        const FrameKind kind = header ? (pass == 0 ? FrameKind::Header : FrameKind::Trailer)
            : frame < p.header + p.locator ? FrameKind::Locator
            : offset >= 0                  ? FrameKind::Content
                                           : FrameKind::Trailer;
        EXPECT_EQ(std::tuple(got.kind, got.loop, got.source, got.flash),
            std::tuple(kind, header ? std::max(pass - 1, 0) : pass, offset >= 0 ? offset - base : -1, flash >= 0))
            << "frame " << n << " shows design frame " << frame;
        if (offset < 0)
            continue;
        displays[{pass, offset}]++;
        const int64_t flash_source = content_offset(design, flash) - base;
        if (flash >= 0 && (flashes.empty() || std::get<0>(flashes.back()) != flash_source))
            flashes.emplace_back(flash_source, pass, got.time_ns);
        const auto [top, first] = highest.try_emplace(pass, offset);
        out_of_order += !first && offset < top->second;
        top->second = std::max(top->second, offset);
    }
    EXPECT_EQ(reading.content_start_seen, shown[0].a < p.header + p.locator);
    EXPECT_EQ(reading.continuity.loops, pass + 1);
    for (const ShownFlash& f : reading.continuity.flashes)
        got_flashes.emplace_back(f.source_frame, f.loop, f.time_ns);
    EXPECT_EQ(got_flashes, flashes);
    // Read in full (blends of content frames too): continuity straight from what the frames show.
    EXPECT_TRUE(row.blend_fps > 0 || unreadable == 0) << unreadable;
    ContinuityReport want;
    std::map<int, std::set<int>> offsets;
    for (const auto& [key, count] : displays) {
        want.shown++, want.repeated += count > 1, want.display_counts[int32_t(count)]++;
        offsets[key.first].insert(key.second);
    }
    for (const auto& [loop, set] : offsets)
        want.dropped += *set.rbegin() - *set.begin() + 1 - int64_t(set.size());
    const ContinuityReport& c = reading.continuity;
    EXPECT_EQ(std::vector<int64_t>({c.shown, c.dropped, c.unresolved, c.repeated, c.out_of_order}),
        std::vector<int64_t>({want.shown, want.dropped, 0, want.repeated, out_of_order}));
    EXPECT_EQ(c.display_counts, want.display_counts);
}

class RobustVideo : public testing::TestWithParam<Row> {};

TEST_P(RobustVideo, ReadsWhatTheChainShows)
{
    const Row& row = GetParam();
    TempDir scratch;
    const std::vector<Shown> shown = row.blend_fps > 0 ? shown_by_framerate(*row.clip, row.blend_fps)
                                                       : shown_by_filters(*row.clip, row.time_filters, scratch.file("index"));
    ASSERT_FALSE(shown.empty());
    std::vector<std::string> args{"-i", row.clip->clip(), "-vf", row.filters.empty() ? "null" : row.filters, "-fps_mode",
        "passthrough"};
    args.insert(args.end(), row.encode.begin(), row.encode.end());
    args.push_back(scratch.file("recording.mkv"));
    ASSERT_TRUE(ffmpeg(args));
    check_reading(row, read_gst(scratch.file("recording.mkv")), shown);
}

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

const Row kLevels[] = {
    {"LimitedRangeStretchedToFull", &kClip25, "scale=in_range=limited:out_range=full"},
    {"CrushedBlacksClippedWhites", &kClip25, "colorlevels=rimin=0.1:gimin=0.1:bimin=0.1:rimax=0.9:gimax=0.9:bimax=0.9"},
    {"Gamma08Saturation150BlueCastMinus10", &kClip25, "eq=gamma=0.8:saturation=1.5,colorchannelmixer=bb=0.9"},
    {"Noise", &kClip25, "noise=alls=20:allf=t+u"},
};
INSTANTIATE_TEST_SUITE_P(Levels, RobustVideo, testing::ValuesIn(kLevels), testing::PrintToStringParamName());

const Row kGeometry[] = {
    {"QuarterArea", &kClip25, "scale=160:120", "", 0.5},
    {"WideFrameHalved", &kClipWide, "scale=320:180", "", 0.5},
    {"LowBitrate", &kClip25, "", "", 1, 0, 0, 0, {"-c:v", "libx264", "-b:v", "40k"}},
};
INSTANTIATE_TEST_SUITE_P(Geometry, RobustVideo, testing::ValuesIn(kGeometry), testing::PrintToStringParamName());

const std::string kDrop40 = "select='not(eq(n\\,40))',setpts=N/25/TB";
const std::string kFreeze60 = "loop=loop=12:size=1:start=60,setpts=N/25/TB";
const std::string kWeaveFrames = "interlace=lowpass=0,yadif=mode=0"; // one frame per woven pair
const Row kTime[] = {
    {"Drops25To23976", &kClip25, "fps=24000/1001", "fps=24000/1001"},
    {"Repeats25To60", &kClip25, "fps=60", "fps=60"},
    {"EveryOther50To25", &kClip50, "fps=25", "fps=25"},
    {"Blends25To24", &kClip25, "framerate=24", "", 1, 0, 0, 24},
    {"Blends50To5994", &kClip50, "framerate=60000/1001", "", 1, 0, 0, 60000.0 / 1001},
    {"InterlacedFieldRate", &kClip50, "interlace=lowpass=0,yadif=mode=1"}, // every frame back
    {"OneDropped", &kClip25, kDrop40, kDrop40},
    {"FrozenHalfASecond", &kClip25, kFreeze60, kFreeze60},
};
INSTANTIATE_TEST_SUITE_P(Time, RobustVideo, testing::ValuesIn(kTime), testing::PrintToStringParamName());

const std::string kInside = "trim=start_frame=40:end_frame=120,setpts=PTS-STARTPTS";
const std::string kLooped = "loop=loop=2:size=150";
const std::string kLoopedInside = "trim=start_frame=40,setpts=PTS-STARTPTS,loop=loop=1:size=110";
const Row kExtent[] = {
    {"StartsAndEndsInside", &kClip25, kInside, kInside},
    {"LoopedThreeTimes", &kClip25, kLooped, kLooped},
    {"LoopedFromInside", &kClip25, kLoopedInside, kLoopedInside},
};
INSTANTIATE_TEST_SUITE_P(Extent, RobustVideo, testing::ValuesIn(kExtent), testing::PrintToStringParamName());

// Each decoder's own layout through the GStreamer driver.
const Row kFormats[] = {
    {"Yuv444", &kClip25, "", "", 1, 0, 0, 0, {"-c:v", "libx264", "-pix_fmt", "yuv444p"}},
    {"TenBit", &kClip25, "", "", 1, 0, 0, 0, {"-c:v", "libx264", "-pix_fmt", "yuv420p10le"}},
    {"Rgb", &kClip25, "", "", 1, 0, 0, 0, {"-c:v", "ffv1", "-pix_fmt", "bgr0"}},
};
INSTANTIATE_TEST_SUITE_P(Formats, RobustVideo, testing::ValuesIn(kFormats), testing::PrintToStringParamName());

// A typical capture chain combines three or four effects.
const Row kCombined[] = {
    {"PlayerAt30SqueezedPillarboxedNoisy", &kClip25,
        "fps=30,scale=400:300,pad=480:320:40:10,scale=in_range=full:out_range=limited,eq=contrast=0.8:saturation=0.7,"
        "noise=alls=10:allf=t",
        "fps=30", 1.25, 40, 10},
    {"BlendedTo2997GradedCastReencoded", &kClip25,
        "framerate=30000/1001,eq=contrast=1.2:brightness=-0.05:gamma=1.2,colorchannelmixer=rr=1.1", "", 1, 0, 0,
        30000.0 / 1001, {"-c:v", "libx264", "-crf", "30", "-output_ts_offset", "3"}},
    {"InterlacedCaptureScaledDown", &kClip50, kWeaveFrames + ",scale=240:180,eq=contrast=0.9", kWeaveFrames, 0.75},
};
INSTANTIATE_TEST_SUITE_P(Combined, RobustVideo, testing::ValuesIn(kCombined), testing::PrintToStringParamName());

// skelv-check on a clip with a moving picture overlaid beside the markers, as real test clips
// carry, and encoded again: the design's markers and no other, the picture one area left unread
// that covers it (in the JSON, a warning and the page's marker map), every frame numbered and
// every flash seen as designed.
TEST(RobustVideoBesideTheMarkers, CheckReadsTheDesignAndLeavesThePictureAside)
{
    const ClipDesign design = make_design(5, 135);
    TempDir scratch;
    const int x = 40, y = 120, w = 96, h = 64; // the overlay, clear of the markers' row
    ASSERT_EQ(generate({"--content", "135", "clip.mkv"}, scratch.path()).exit_code, 0);
    ASSERT_TRUE(ffmpeg({"-i", scratch.file("clip.mkv"), "-f", "lavfi", "-i", "testsrc2=s=96x64:r=25", "-filter_complex",
        "[0:v][1:v]overlay=" + std::to_string(x) + ":" + std::to_string(y) + ":shortest=1", "-c:v", "libx264", "-crf",
        "18", "-c:a", "copy", scratch.file("overlaid.mkv")}));
    const ProcessResult run =
        check({"--json", "result.json", "--timeline", "timeline.csv", "--html", "page.html", "overlaid.mkv"}, scratch.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const nlohmann::json result = nlohmann::json::parse(read_file(scratch.file("result.json")));
    const nlohmann::json& video = result["video"];
    nlohmann::json markers = nlohmann::json::array();
    for (const MarkerBox& box : design.markers) {
        const char* role = box.kind == MarkerKind::SyncMark ? "sync" : box.kind == MarkerKind::FrameId ? "frameid" : "lipsync";
        nlohmann::json marker = {{"role", role}};
        if (box.kind == MarkerKind::FrameId)
            marker["bit"] = int(std::lround(std::log2(box.half_period)));
        marker["pos"] = {box.left, box.top}, marker["size"] = {box.size, box.size};
        markers.push_back(marker);
    }
    EXPECT_EQ(video["markers"], markers);
    EXPECT_EQ(nlohmann::json::array({video["capture_fps"], video["source_fps"], video["sync_from"]}),
        nlohmann::json::array({25.0, 25.0, "locator"})); // the clip starts with its header and locator
    ASSERT_EQ(video["ignored_areas"].size(), 1u) << video["ignored_areas"];
    const auto pos = video["ignored_areas"][0]["pos"].get<std::vector<int>>();
    const auto size = video["ignored_areas"][0]["size"].get<std::vector<int>>();
    EXPECT_TRUE(pos[0] <= x && pos[1] <= y && pos[0] + size[0] >= x + w && pos[1] + size[1] >= y + h &&
        pos[0] >= x - 8 && pos[1] >= y - 8 && pos[0] + size[0] <= x + w + 8 && pos[1] + size[1] <= y + h + 8)
        << video["ignored_areas"];
    EXPECT_EQ(std::count_if(result["warnings"].begin(), result["warnings"].end(),
                  [](const nlohmann::json& w) { return w.get<std::string>().starts_with("A changing area"); }),
        1);
    const std::string page = read_file(scratch.file("page.html"));
    EXPECT_NE(page.find("<g class=\"marker other ignored\">"), std::string::npos) << "the picture on the marker map";

    std::vector<std::string> got, want; // per captured frame: source frame and flash
    const std::vector<std::string> rows = split_lines(read_file(scratch.file("timeline.csv")));
    for (size_t i = 1; i < rows.size(); ++i) {
        std::vector<std::string> cells;
        std::stringstream row(rows[i]);
        for (std::string cell; std::getline(row, cell, ',');)
            cells.push_back(cell);
        got.push_back(cells.at(3) + " " + cells.at(5));
    }
    for (int f = 0; f < design.params.design_frames(); ++f) {
        const int offset = content_offset(design, f);
        want.push_back((offset >= 0 ? std::to_string(offset) : "") + (clip_design_is_flash(design, f) ? " yes" : " no"));
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(result["sync"]["events"].size(), design.beep_starts.size());
}

} // namespace
