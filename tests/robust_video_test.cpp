// The robust picture reading on recordings degraded at test time: clips from skelv-generate
// through ffmpeg filter chains (levels, geometry, frame rates, interlacing, extent, formats),
// read back from ffmpeg's raw output or through the GStreamer driver. Which design frame each
// captured frame shows comes from the filters themselves: the same time filters applied to a
// lossless index clip whose frame i carries the number i, or for the blending framerate filter
// its own interpolation rule.
#include "check/video_decode.h"
#include "support/design_shades.h"
#include "support/media.h"
#include "support/yuv_clip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace {

// ---------------------------------------------------------------- clips

struct ClipKind {
    const char* name;
    int width, height, fps, content;
};

const ClipKind kClip25{"25", 320, 240, 25, 135};   // 6 s
const ClipKind kClip50{"50", 320, 240, 50, 235};   // 5 s
const ClipKind kClipWide{"wide", 640, 360, 25, 110}; // 5 s, markers 32 pixels on a wider frame

ClipParams params_of(const ClipKind& kind)
{
    ClipParams params;
    params.width = kind.width;
    params.height = kind.height;
    params.fps = {kind.fps, 1};
    params.content = kind.content;
    params.flash_period = kind.fps;
    return params;
}

const ClipKind* const kClipKinds[] = {&kClip25, &kClip50, &kClipWide};

// The encoded clips and their index clips sit in the build tree, made once by the fixture
// test below for every test program; a program run on its own makes what is missing.
// Recordings go to a scratch directory of each program's own.
class Clips {
public:
    static Clips& get()
    {
        static Clips clips;
        return clips;
    }

    std::string clip(const ClipKind& kind, bool remake = false)
    {
        const std::string path = std::string(SKELV_ROBUST_CLIPS) + "/clip" + kind.name + ".mp4";
        if (remake || !std::filesystem::exists(path)) {
            const ProcessResult run = generate({"--size", std::to_string(kind.width) + "x" + std::to_string(kind.height),
                                                   "--fps", std::to_string(kind.fps), "--content",
                                                   std::to_string(kind.content), "--no-audio", path},
                SKELV_ROBUST_CLIPS);
            EXPECT_EQ(run.exit_code, 0) << run.err;
        }
        return path;
    }

    // Raw 16x16 grey frames: rows 0-7 carry i mod 256, rows 8-15 i / 256.
    std::string index(const ClipKind& kind, bool remake = false)
    {
        const std::string path = std::string(SKELV_ROBUST_CLIPS) + "/index" + kind.name + ".gray";
        if (remake || !std::filesystem::exists(path)) {
            std::string bytes;
            for (int i = 0; i < params_of(kind).design_frames(); ++i)
                bytes += std::string(128, char(i % 256)) + std::string(128, char(i / 256));
            write_file(path, bytes);
        }
        return path;
    }

    std::string scratch(const std::string& name) const { return dir_.file(name); }

private:
    Clips() { std::filesystem::create_directories(SKELV_ROBUST_CLIPS); }

    TempDir dir_;
};

TEST(RobustVideoClips, Make)
{
    for (const ClipKind* kind : kClipKinds) {
        Clips::get().clip(*kind, true);
        Clips::get().index(*kind, true);
    }
}

// ---------------------------------------------------------------- what each frame shows

// A captured frame shows design frame `a`, or a blend giving `weight` to design frame `b`.
struct Shown {
    int a;
    int b = -1;
    double weight = 0;

    int dominant() const { return weight > 0.5 ? b : a; }
};

// The design frames the time filters keep, read from the filtered index clip.
std::vector<Shown> shown_by_filters(const ClipKind& kind, const std::string& time_filters)
{
    Clips& clips = Clips::get();
    const std::string out = clips.scratch("index_out.gray");
    std::vector<std::string> args{"-f", "rawvideo", "-pix_fmt", "gray", "-s", "16x16", "-r", std::to_string(kind.fps),
        "-i", clips.index(kind)};
    if (!time_filters.empty())
        args.insert(args.end(), {"-vf", time_filters});
    args.insert(args.end(), {"-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", out});
    if (!ffmpeg(args))
        return {};
    const std::string bytes = read_file(out);
    std::vector<Shown> shown;
    for (size_t at = 0; at + 256 <= bytes.size(); at += 256)
        shown.push_back({uint8_t(bytes[at]) + 256 * uint8_t(bytes[at + 128])});
    return shown;
}

// ffmpeg's framerate filter: output frame n at n / out_fps lies between two source frames; it
// copies the nearer one when within 15/256 of its time (240/256 from the earlier), else blends
// them weighted by distance.
std::vector<Shown> shown_by_framerate(const ClipKind& kind, double out_fps)
{
    const int frames = params_of(kind).design_frames();
    std::vector<Shown> shown;
    for (int n = 0;; ++n) {
        const double position = n * kind.fps / out_fps;
        const int a = int(std::floor(position + 1e-9));
        if (a >= frames - 1) {
            if (a == frames - 1)
                shown.push_back({a});
            return shown;
        }
        const double weight = std::round((position - a) * 256) / 256;
        if (weight < 15.0 / 256)
            shown.push_back({a});
        else if (weight > 240.0 / 256)
            shown.push_back({a + 1});
        else
            shown.push_back({a, a + 1, weight});
    }
}

// ---------------------------------------------------------------- reading

VideoReading read_raw(const std::string& path, int width, int height, double fps)
{
    VideoReader reader;
    const size_t frame_bytes = size_t(width) * height * 3 / 2;
    for (int decode = 0; decode < 2; ++decode) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> frame(frame_bytes);
        bool restart = false;
        for (int n = 0; !restart && in.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frame_bytes)); ++n) {
            YuvFrameView view;
            view.width = width;
            view.height = height;
            view.y = frame.data();
            view.y_stride = width;
            view.u = frame.data() + size_t(width) * height;
            view.v = view.u + size_t(width) * height / 4;
            view.uv_stride = width / 2;
            restart = reader.push(view, std::llround(n * 1e9 / fps)) == PushResult::Restart;
        }
        if (!restart && reader.finish() == PushResult::Continue)
            break;
    }
    return reader.result();
}

VideoReading read_gst(const std::string& path)
{
    VideoReader reader;
    GError* error = nullptr;
    EXPECT_TRUE(read_video_file(path.c_str(), &reader, &error)) << (error ? error->message : "");
    g_clear_error(&error);
    return reader.result();
}

// ---------------------------------------------------------------- expectations

struct Geometry {
    double scale = 1;
    int offset_x = 0, offset_y = 0;
};

struct Row {
    const char* name;
    const ClipKind* clip;
    std::string filters;      ///< the whole chain on the picture
    std::string time_filters; ///< its part that picks frames, applied to the index clip as well
    const char* size;         ///< WxH of the filtered picture
    double fps;               ///< captured frame rate
    Geometry geometry = {};
    double blend_fps = 0; ///< the chain blends with framerate at this rate: no index clip
    std::vector<std::string> encode = {}; ///< set: encode to Matroska and read through GStreamer
    int max_unreadable = 0;               ///< frames a clean reading may still miss
};

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

// Kind, loop and number of a design frame in pass `pass` of the clip, numbered from `base`;
// the header of a later pass looks like the trailer before it and is read as that.
struct Expected {
    FrameKind kind;
    int32_t loop;
    int32_t source;
    bool flash;
};

Expected expected_of(const ClipDesign& design, int frame, int pass, int base)
{
    const ClipParams& p = design.params;
    const int offset = content_offset(design, frame);
    if (frame < p.header)
        return {pass == 0 ? FrameKind::Header : FrameKind::Trailer, std::max(pass - 1, 0), -1, false};
    if (frame < p.header + p.locator)
        return {FrameKind::Locator, pass, -1, false};
    if (offset < 0)
        return {FrameKind::Trailer, pass, -1, false};
    return {FrameKind::Content, pass, offset - base, clip_design_is_flash(design, frame)};
}

// Per pass of the clip (a pass starts where the design frames go back): 0 when the recording
// shows what comes before its content (the header at the very start, later the locator), else
// the offset of its first content frame.
std::vector<int> pass_bases(const ClipDesign& design, const std::vector<Shown>& shown)
{
    const ClipParams& p = design.params;
    std::vector<int> bases;
    bool before_content = false;
    int previous = -1;
    for (const Shown& s : shown) {
        const int frame = s.dominant();
        if (frame < previous || previous < 0) {
            bases.push_back(-1);
            before_content = false;
        }
        previous = frame;
        if (frame < p.header + p.locator && (frame >= p.header || bases.size() == 1))
            before_content = true;
        if (content_offset(design, frame) >= 0 && bases.back() < 0)
            bases.back() = before_content ? 0 : content_offset(design, frame);
    }
    return bases;
}

// Continuity computed straight from what the frames show.
struct Tally {
    int64_t shown = 0, dropped = 0, repeated = 0, out_of_order = 0;
    std::map<int32_t, int64_t> display_counts;
    std::vector<std::pair<int, int64_t>> flashes; ///< (pass, offset)
};

void check_reading(const Row& row, const VideoReading& reading, const std::vector<Shown>& shown)
{
    const ClipDesign design = make_design(params_of(*row.clip));
    ASSERT_TRUE(reading.ok) << reading.error;
    ASSERT_EQ(reading.markers.size(), design.markers.size());
    for (size_t m = 0; m < design.markers.size(); ++m) {
        const MarkerBox& box = design.markers[m];
        const FoundMarker& found = reading.markers[m];
        const MarkerRole role = box.kind == MarkerKind::SyncMark ? MarkerRole::Sync
            : box.kind == MarkerKind::FrameId                    ? MarkerRole::FrameId
                                                                 : MarkerRole::LipSync;
        EXPECT_EQ(found.role, role) << "marker " << m;
        if (box.kind != MarkerKind::Rgb6) {
            EXPECT_EQ(found.half_period, box.half_period) << "marker " << m;
        }
        const Geometry& g = row.geometry;
        EXPECT_NEAR(found.left, g.offset_x + box.left * g.scale, 2) << "marker " << m;
        EXPECT_NEAR(found.top, g.offset_y + box.top * g.scale, 2) << "marker " << m;
        EXPECT_NEAR(found.width, box.size * g.scale, 2) << "marker " << m;
        EXPECT_NEAR(found.height, box.size * g.scale, 2) << "marker " << m;
    }
    EXPECT_NEAR(reading.source_fps, row.clip->fps, 0.01 * row.clip->fps);
    ASSERT_EQ(reading.frames.size(), shown.size());

    const std::vector<int> bases = pass_bases(design, shown);
    EXPECT_EQ(reading.content_start_seen, bases[0] == 0);

    int pass = 0, previous = -1, unreadable = 0;
    std::map<std::pair<int, int>, int32_t> displays;
    std::map<int, int> highest;
    Tally tally;
    for (size_t n = 0; n < shown.size(); ++n) {
        const Shown& s = shown[n];
        const int frame = s.dominant();
        pass += frame < previous;
        previous = frame;
        const FrameReading& got = reading.frames[n];
        const bool differ = s.weight > 0 && clip_design_code(design, s.a) != clip_design_code(design, s.b);
        const double strength = differ ? std::max(s.weight, 1 - s.weight) : 1;
        if (got.kind == FrameKind::Unreadable) {
            ++unreadable;
            EXPECT_LT(strength, 0.9) << "frame " << n << " shows design frame " << frame;
            continue;
        }
        // A blend near half and half is never read as either frame.
        EXPECT_GT(strength, 0.6) << "frame " << n << " blends " << s.a << " and " << s.b << " but reads as one";
        const Expected want = expected_of(design, frame, pass, bases[size_t(pass)]);
        EXPECT_EQ(got.kind, want.kind) << "frame " << n << " shows design frame " << frame;
        EXPECT_EQ(got.loop, want.loop) << "frame " << n;
        EXPECT_EQ(got.source, want.source) << "frame " << n << " shows design frame " << frame;
        EXPECT_EQ(got.flash, want.flash) << "frame " << n;
        if (want.kind != FrameKind::Content)
            continue;
        const int offset = content_offset(design, frame);
        if (displays[{pass, offset}]++ == 0 && want.flash)
            tally.flashes.push_back({pass, offset});
        auto [top, first] = highest.try_emplace(pass, offset);
        if (!first && offset < top->second)
            tally.out_of_order++;
        top->second = std::max(top->second, offset);
    }
    if (row.blend_fps == 0) {
        EXPECT_LE(unreadable, row.max_unreadable);
    }

    // Continuity, when every frame was read: the frames between each pass's first and last
    // number that no frame showed were dropped.
    const ContinuityReport& c = reading.continuity;
    EXPECT_EQ(c.loops, pass + 1);
    EXPECT_EQ(c.flashes.size(), tally.flashes.size());
    if (unreadable > 0)
        return;
    std::map<int, std::set<int>> offsets;
    for (const auto& [key, count] : displays) {
        tally.shown++;
        tally.repeated += count > 1;
        tally.display_counts[count]++;
        offsets[key.first].insert(key.second);
    }
    for (const auto& [loop, set] : offsets)
        tally.dropped += *set.rbegin() - *set.begin() + 1 - int64_t(set.size());
    EXPECT_EQ(c.shown, tally.shown);
    EXPECT_EQ(c.dropped, tally.dropped);
    EXPECT_EQ(c.unresolved, 0);
    EXPECT_EQ(c.repeated, tally.repeated);
    EXPECT_EQ(c.out_of_order, tally.out_of_order);
    EXPECT_EQ(c.display_counts, tally.display_counts);
}

class RobustVideo : public testing::TestWithParam<Row> {};

TEST_P(RobustVideo, ReadsWhatTheChainShows)
{
    const Row& row = GetParam();
    Clips& clips = Clips::get();
    const std::string clip = clips.clip(*row.clip);
    const std::vector<Shown> shown =
        row.blend_fps > 0 ? shown_by_framerate(*row.clip, row.blend_fps) : shown_by_filters(*row.clip, row.time_filters);
    ASSERT_FALSE(shown.empty());

    std::vector<std::string> args{"-i", clip};
    if (!row.filters.empty())
        args.insert(args.end(), {"-vf", row.filters});
    args.insert(args.end(), {"-fps_mode", "passthrough"});
    VideoReading reading;
    if (row.encode.empty()) {
        const std::string out = clips.scratch("recording.yuv");
        args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", "yuv420p", out});
        ASSERT_TRUE(ffmpeg(args));
        int width = 0, height = 0;
        ASSERT_EQ(sscanf(row.size, "%dx%d", &width, &height), 2);
        reading = read_raw(out, width, height, row.fps);
    } else {
        const std::string out = clips.scratch("recording.mkv");
        args.insert(args.end(), row.encode.begin(), row.encode.end());
        args.push_back(out);
        ASSERT_TRUE(ffmpeg(args));
        reading = read_gst(out);
    }
    check_reading(row, reading, shown);
}

const std::vector<std::string> kX264 = {"-c:v", "libx264", "-preset", "veryfast"};

std::vector<std::string> x264(std::vector<std::string> more)
{
    std::vector<std::string> args = kX264;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::string row_name(const testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

const Row kLevels[] = {
    {"LimitedRangeSqueezedAgain", &kClip25, "scale=in_range=full:out_range=limited", "", "320x240", 25},
    {"LimitedRangeStretchedToFull", &kClip25, "scale=in_range=limited:out_range=full", "", "320x240", 25},
    {"CrushedBlacksClippedWhites", &kClip25, "colorlevels=rimin=0.1:gimin=0.1:bimin=0.1:rimax=0.9:gimax=0.9:bimax=0.9",
        "", "320x240", 25},
    {"Contrast70Brighter10", &kClip25, "eq=contrast=0.7:brightness=0.1", "", "320x240", 25},
    {"Contrast130Darker10", &kClip25, "eq=contrast=1.3:brightness=-0.1", "", "320x240", 25},
    {"Gamma08", &kClip25, "eq=gamma=0.8", "", "320x240", 25},
    {"Gamma125", &kClip25, "eq=gamma=1.25", "", "320x240", 25},
    {"Saturation50", &kClip25, "eq=saturation=0.5", "", "320x240", 25},
    {"Saturation150", &kClip25, "eq=saturation=1.5", "", "320x240", 25},
    {"RedCastPlus10", &kClip25, "colorchannelmixer=rr=1.1", "", "320x240", 25},
    {"BlueCastMinus10", &kClip25, "colorchannelmixer=bb=0.9", "", "320x240", 25},
    {"Noise", &kClip25, "noise=alls=20:allf=t+u", "", "320x240", 25},
};
INSTANTIATE_TEST_SUITE_P(Levels, RobustVideo, testing::ValuesIn(kLevels), row_name);

const Row kGeometry[] = {
    {"QuarterArea", &kClip25, "scale=160:120", "", "160x120", 25, {0.5}},
    {"FourTimesTheArea", &kClip25, "scale=640:480", "", "640x480", 25, {2}},
    {"WideFrameHalved", &kClipWide, "scale=320:180", "", "320x180", 25, {0.5}},
    {"InsideALargerFrame", &kClip25, "scale=400:300,pad=640:360:120:30", "", "640x360", 25, {1.25, 120, 30}},
    {"LowBitrate", &kClip25, "", "", "320x240", 25, {}, 0, x264({"-b:v", "40k"})},
};
INSTANTIATE_TEST_SUITE_P(Geometry, RobustVideo, testing::ValuesIn(kGeometry), row_name);

const Row kTime[] = {
    {"Repeats25To30", &kClip25, "fps=30", "fps=30", "320x240", 30},
    {"Drops25To24", &kClip25, "fps=24", "fps=24", "320x240", 24},
    {"Twice25To50", &kClip25, "fps=50", "fps=50", "320x240", 50},
    {"Repeats25To2997", &kClip25, "fps=30000/1001", "fps=30000/1001", "320x240", 30000.0 / 1001},
    {"Drops25To23976", &kClip25, "fps=24000/1001", "fps=24000/1001", "320x240", 24000.0 / 1001},
    {"Repeats25To60", &kClip25, "fps=60", "fps=60", "320x240", 60},
    {"EveryOther50To25", &kClip50, "fps=25", "fps=25", "320x240", 25},
    {"Drops50To2997", &kClip50, "fps=30000/1001", "fps=30000/1001", "320x240", 30000.0 / 1001},
    {"Blends25To30", &kClip25, "framerate=30", "", "320x240", 30, {}, 30},
    {"Blends25To24", &kClip25, "framerate=24", "", "320x240", 24, {}, 24},
    {"Blends50To5994", &kClip50, "framerate=60000/1001", "", "320x240", 60000.0 / 1001, {}, 60000.0 / 1001},
    // Fields of two frames woven into one and split again: every frame comes back.
    {"InterlacedFieldRate", &kClip50, "interlace=lowpass=0,yadif=mode=1", "", "320x240", 50},
    // One frame per woven pair: the frames of the first field.
    {"InterlacedFrameRate", &kClip50, "interlace=lowpass=0,yadif=mode=0", "interlace=lowpass=0,yadif=mode=0",
        "320x240", 25},
    {"OneDropped", &kClip25, "select='not(eq(n\\,40))',setpts=N/25/TB", "select='not(eq(n\\,40))',setpts=N/25/TB",
        "320x240", 25},
    {"OneRepeated", &kClip25, "loop=loop=1:size=1:start=40,setpts=N/25/TB", "loop=loop=1:size=1:start=40,setpts=N/25/TB",
        "320x240", 25},
    {"FrozenHalfASecond", &kClip25, "loop=loop=12:size=1:start=60,setpts=N/25/TB",
        "loop=loop=12:size=1:start=60,setpts=N/25/TB", "320x240", 25},
};
INSTANTIATE_TEST_SUITE_P(Time, RobustVideo, testing::ValuesIn(kTime), row_name);

const Row kExtent[] = {
    {"StartsAndEndsInside", &kClip25, "trim=start_frame=40:end_frame=120,setpts=PTS-STARTPTS",
        "trim=start_frame=40:end_frame=120,setpts=PTS-STARTPTS", "320x240", 25},
    {"LoopedThreeTimes", &kClip25, "loop=loop=2:size=150", "loop=loop=2:size=150", "320x240", 25},
    {"LoopedFromInside", &kClip25, "trim=start_frame=40,setpts=PTS-STARTPTS,loop=loop=1:size=110",
        "trim=start_frame=40,setpts=PTS-STARTPTS,loop=loop=1:size=110", "320x240", 25},
};
INSTANTIATE_TEST_SUITE_P(Extent, RobustVideo, testing::ValuesIn(kExtent), row_name);

// Through the GStreamer driver, which takes each decoder's own layout.
const Row kFormats[] = {
    {"Yuv422", &kClip25, "", "", "320x240", 25, {}, 0, x264({"-pix_fmt", "yuv422p"})},
    {"Yuv444", &kClip25, "", "", "320x240", 25, {}, 0, x264({"-pix_fmt", "yuv444p"})},
    {"TenBit", &kClip25, "", "", "320x240", 25, {}, 0, x264({"-pix_fmt", "yuv420p10le"})},
    {"Rgb", &kClip25, "", "", "320x240", 25, {}, 0, {"-c:v", "ffv1", "-pix_fmt", "bgr0"}},
    {"TimesFrom10s", &kClip25, "", "", "320x240", 25, {}, 0, x264({"-output_ts_offset", "10"})},
};
INSTANTIATE_TEST_SUITE_P(Formats, RobustVideo, testing::ValuesIn(kFormats), row_name);

// A typical capture chain combines three or four effects.
const Row kCombined[] = {
    {"PlayerAt30SqueezedPillarboxedNoisy", &kClip25,
        "fps=30,scale=400:300,pad=480:320:40:10,scale=in_range=full:out_range=limited,eq=contrast=0.8:saturation=0.7,"
        "noise=alls=10:allf=t",
        "fps=30", "480x320", 30, {1.25, 40, 10}},
    {"BlendedTo2997GradedCastReencoded", &kClip25,
        "framerate=30000/1001,eq=contrast=1.2:brightness=-0.05:gamma=1.2,colorchannelmixer=rr=1.1", "", "320x240",
        30000.0 / 1001, {}, 30000.0 / 1001, x264({"-crf", "30", "-output_ts_offset", "3"})},
    {"InterlacedCaptureScaledDown", &kClip50, "interlace=lowpass=0,yadif=mode=0,scale=240:180,eq=contrast=0.9",
        "interlace=lowpass=0,yadif=mode=0", "240x180", 25, {0.75}},
};
INSTANTIATE_TEST_SUITE_P(Combined, RobustVideo, testing::ValuesIn(kCombined), row_name);

// Pictures that are no test clip are said to be so, with no marker.
TEST(RobustVideoRejects, PicturesThatAreNoTestClip)
{
    Clips& clips = Clips::get();
    for (const char* source : {"testsrc2=size=320x240:rate=25", "smptebars=size=320x240:rate=25",
             "life=size=320x240:rate=25:mold=10"}) {
        const std::string out = clips.scratch("other.mkv");
        ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", source, "-t", "4", "-c:v", "libx264", "-preset", "veryfast", out}));
        const VideoReading reading = read_gst(out);
        EXPECT_FALSE(reading.ok) << source;
        EXPECT_EQ(reading.error.rfind("not a test clip: ", 0), 0u) << source << ": " << reading.error;
        EXPECT_TRUE(reading.markers.empty()) << source;
    }
}

TEST(RobustVideoRejects, AFileThatDoesNotDecode)
{
    const std::string path = Clips::get().scratch("broken.mkv");
    write_file(path, std::string(4096, 'x'));
    VideoReader reader;
    GError* error = nullptr;
    EXPECT_FALSE(read_video_file(path.c_str(), &reader, &error));
    ASSERT_NE(error, nullptr);
    g_error_free(error);
}

} // namespace
