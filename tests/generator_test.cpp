// skelv-generate: its command line, the clip design it derives, and how it fails.
#include "clip_design.h"
#include "expected_report.h"
#include "generate_options.h"
#include "gst_ptr.h"
#include "support/media.h"
#include "support/process.h"
#include "tone_detector.h"
#include "video_structure.h"

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr double kRunTimeout = 60; // seconds for one small clip

// ---------------------------------------------------------------- options

GenerateOptions parse(const std::vector<std::string>& args)
{
    GenerateOptions options;
    std::string error;
    EXPECT_TRUE(generate_options_parse(args, &options, &error)) << error;
    return options;
}

std::string parse_error(const std::vector<std::string>& args)
{
    GenerateOptions options;
    std::string error;
    EXPECT_FALSE(generate_options_parse(args, &options, &error)) << "accepted";
    return error;
}

TEST(Options, DefaultsFillFiveSecondsAtTwentyFiveFps)
{
    const GenerateOptions options = parse({"clip.mp4"});
    const ClipParams& clip = options.clip;
    EXPECT_EQ(options.output, "clip.mp4");
    EXPECT_EQ(clip.width, 320);
    EXPECT_EQ(clip.height, 240);
    EXPECT_EQ(clip.fps.num, 25);
    EXPECT_EQ(clip.fps.den, 1);
    EXPECT_EQ(clip.design_frames(), 125);
    EXPECT_EQ(clip.flash_period, 25) << "one flash a second";
    EXPECT_EQ(clip.audio_delay_ms, 0);
    EXPECT_TRUE(clip.video);
    EXPECT_TRUE(clip.audio);
}

TEST(Options, ValuesAfterTheNameOrAnEqualsSign)
{
    const GenerateOptions options = parse({"--size=192x144", "--fps", "30000/1001", "--duration", "2", "--audio-delay",
        "-80", "--drop", "3,9", "--start-ms=500", "out.mkv", "--no-audio"});
    const ClipParams& clip = options.clip;
    EXPECT_EQ(clip.width, 192);
    EXPECT_EQ(clip.height, 144);
    EXPECT_EQ(clip.fps.num, 30000);
    EXPECT_EQ(clip.fps.den, 1001);
    EXPECT_EQ(clip.design_frames(), 60) << "2 s at 29.97 fps";
    EXPECT_EQ(clip.flash_period, 30);
    EXPECT_EQ(clip.audio_delay_ms, -80);
    EXPECT_EQ(clip.drop, (std::vector<int>{3, 9}));
    EXPECT_EQ(clip.start_ns, 500000000);
    EXPECT_FALSE(clip.audio);
    EXPECT_EQ(options.output, "out.mkv");
}

TEST(Options, ContentLengthOverridesTheDuration)
{
    const ClipParams clip = parse({"--duration", "60", "--content", "40", "--header", "2", "x.mkv"}).clip;
    EXPECT_EQ(clip.content, 40);
    EXPECT_EQ(clip.design_frames(), 2 + 5 + 40 + 5);
}

TEST(Options, MalformedValuesNameTheOption)
{
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--size", "192", "x.mkv"}, "bad value for --size: 192"},
        {{"--size", "191x144", "x.mkv"}, "bad value for --size: 191x144"},
        {{"--fps", "0", "x.mkv"}, "bad value for --fps: 0"},
        {{"--fps", "25/0", "x.mkv"}, "bad value for --fps: 25/0"},
        {{"--quality", "101", "x.mkv"}, "bad value for --quality: 101"},
        {{"--audio-rate", "44.1k", "x.mkv"}, "bad value for --audio-rate: 44.1k"},
        {{"--drop", "3,x", "x.mkv"}, "bad value for --drop: 3,x"},
        {{"--flash-period", "1", "x.mkv"}, "bad value for --flash-period: 1"},
        {{"--no-audio=yes", "x.mkv"}, "bad value for --no-audio: yes"},
        {{"--colour", "red", "x.mkv"}, "unknown option --colour"},
        {{"x.mkv", "--fps"}, "option --fps needs a value"},
        {{"a.mkv", "b.mkv"}, "more than one output path: a.mkv, b.mkv"},
        {{"--fps", "25"}, "no output path"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_error(c.args), c.message);
}

TEST(Options, HelpNeedsNoOutput)
{
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"-h"}).help);
}

// ---------------------------------------------------------------- containers and codecs

struct Resolved {
    bool ok;
    Encoding encoding;
    ClipParams clip;
    std::string error;
};

Resolved resolve(const std::vector<std::string>& args)
{
    Resolved result{};
    GenerateOptions options = parse(args);
    result.ok = generate_options_encoding(&options, &result.encoding, &result.error);
    result.clip = options.clip;
    return result;
}

TEST(Encoding, ExtensionPicksTheContainerAndItsDefaultCodecs)
{
    const struct {
        const char* path;
        const char* muxer;
        const char* video;
        const char* audio;
    } cases[] = {
        {"a.mp4", "mp4mux", "h264", "aac"},
        {"a.mov", "qtmux", "h264", "pcm"},
        {"a.mkv", "matroskamux", "h264", "flac"},
        {"a.webm", "webmmux", "vp8", "vorbis"},
        {"a.avi", "avimux", "mjpeg", "pcm"},
        {"a.ts", "mpegtsmux", "mpeg2", "mp2"},
        {"dir.v1/a.ogg", "oggmux", "theora", "vorbis"},
    };
    for (const auto& c : cases) {
        const Resolved r = resolve({c.path});
        ASSERT_TRUE(r.ok) << c.path << ": " << r.error;
        EXPECT_STREQ(r.encoding.container->muxer, c.muxer);
        EXPECT_STREQ(r.encoding.video->name, c.video);
        EXPECT_STREQ(r.encoding.audio->name, c.audio);
    }
}

TEST(Encoding, WavLeavesThePictureOut)
{
    const Resolved r = resolve({"a.wav"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.encoding.video, nullptr);
    EXPECT_FALSE(r.clip.video);
    EXPECT_STREQ(r.encoding.audio->name, "pcm");
}

TEST(Encoding, UnknownNamesAreRejectedWithTheChoices)
{
    EXPECT_EQ(resolve({"clip.xyz"}).error,
        "cannot tell the container from clip.xyz: use one of the extensions mp4, mov, mkv, webm, avi, ts, ogg, "
        "ogv, wav");
    EXPECT_EQ(resolve({"dir.mkv/clip"}).error.rfind("cannot tell the container from dir.mkv/clip", 0), 0u);
    EXPECT_EQ(resolve({"--video-codec", "h265", "clip.mkv"}).error,
        "unknown video codec h265: use one of h264, vp8, vp9, mjpeg, mpeg2, theora");
    EXPECT_EQ(resolve({"--audio-codec", "h264", "clip.mkv"}).error,
        "unknown audio codec h264: use one of pcm, flac, aac, mp2, mp3, vorbis, opus");
}

TEST(Encoding, FaultsAContainerCannotCarryAreRejected)
{
    EXPECT_EQ(resolve({"--drop", "20", "clip.avi"}).error,
        "a .avi file does not keep the gap of a dropped frame: use .mkv, .webm or .ts");
    EXPECT_EQ(
        resolve({"--start-ms", "500", "clip.mp4"}).error, "a .mp4 file does not keep a late start: use .mkv or .webm");
    EXPECT_TRUE(resolve({"--drop", "20", "--start-ms", "500", "clip.mkv"}).ok);
    EXPECT_EQ(resolve({"--no-audio", "--no-video", "clip.mkv"}).error, "nothing to write: both streams are left out");
}

// ---------------------------------------------------------------- design

ClipDesign design_of(const std::vector<std::string>& args)
{
    ClipDesign design;
    std::string error;
    EXPECT_TRUE(clip_design_make(parse(args).clip, &design, &error)) << error;
    return design;
}

std::string design_error(const std::vector<std::string>& args)
{
    ClipDesign design;
    std::string error;
    EXPECT_FALSE(clip_design_make(parse(args).clip, &design, &error));
    return error;
}

std::vector<std::string> codes_of(const ClipDesign& design)
{
    std::vector<std::string> codes;
    for (const DeliveredFrame& frame : design.frames)
        codes.push_back(clip_design_code(design, frame.design));
    return codes;
}

// The analyser's classifier sees every marker as designed: SYNCMARK with its half-period,
// FRAMEID bits 1, 2, 4, ..., and the lip-sync marker last.
TEST(Design, MarkersClassifyAsDesigned)
{
    const std::vector<std::vector<std::string>> specs = {
        {"x.mkv"},
        {"--fps", "30000/1001", "--sync-period", "2", "--frameid-bits", "3", "--duration", "3", "x.mkv"},
        {"--flash-period", "7", "--frameid-bits", "5", "--content", "64", "--header", "0", "x.mkv"},
    };
    for (const auto& args : specs) {
        const ClipDesign design = design_of(args);
        const ClipParams& params = design.params;
        VideoStructurePtr structure(video_structure_analyze(codes_of(design)));
        EXPECT_EQ(structure->header_frames, params.header);
        EXPECT_EQ(structure->locator_frames, params.locator);
        EXPECT_EQ(structure->content_frames, params.content);
        EXPECT_EQ(structure->trailer_frames, params.trailer);
        ASSERT_EQ(structure->marker_count, params.frameid_bits + 2);
        EXPECT_EQ(structure->classes[0].type, MARKER_TYPE_SYNCMARK);
        EXPECT_EQ(structure->classes[0].interval, params.sync_half_period);
        for (int bit = 0; bit < params.frameid_bits; bit++) {
            EXPECT_EQ(structure->classes[size_t(bit) + 1].type, MARKER_TYPE_FRAMEID);
            EXPECT_EQ(structure->classes[size_t(bit) + 1].interval, 1 << bit);
        }
        EXPECT_EQ(structure->classes.back().type, MARKER_TYPE_RGB6);
    }
}

// Read as a binary number (white = 1), the FRAMEID bits count the content frames.
TEST(Design, FrameIdBitsCountContentFrames)
{
    const ClipDesign design = design_of({"--content", "40", "x.mkv"});
    const int first = design.params.header + design.params.locator;
    for (int offset = 0; offset < design.params.content; offset++) {
        const std::string code = clip_design_code(design, first + offset);
        int counter = 0;
        for (int bit = 0; bit < design.params.frameid_bits; bit++)
            counter |= (code[size_t(bit) + 1] == 'w') << bit;
        EXPECT_EQ(counter, offset % 16) << "content frame " << offset;
    }
}

TEST(Design, FlashesAreApartAndNoContentFrameIsAllWhite)
{
    const ClipDesign design = design_of({"--flash-period", "2", "--content", "30", "x.mkv"});
    const int first = design.params.header + design.params.locator;
    int flashes = 0;
    for (int frame = first; frame < first + design.params.content; frame++) {
        EXPECT_NE(clip_design_code(design, frame), std::string(design.markers.size(), 'w'));
        if (clip_design_is_flash(design, frame)) {
            flashes++;
            EXPECT_EQ(clip_design_code(design, frame).back(), 'k');
            EXPECT_FALSE(clip_design_is_flash(design, frame + 1));
        }
    }
    EXPECT_EQ(flashes, 15);
    EXPECT_EQ(design.beep_starts.size(), 15u);
}

TEST(Design, MarkersSitOnTheBlockGridInRasterOrder)
{
    for (const char* size : {"160x120", "192x144", "320x240", "1280x720"}) {
        const ClipDesign design = design_of({"--size", size, "x.mkv"});
        for (size_t i = 0; i < design.markers.size(); i++) {
            const MarkerBox& m = design.markers[i];
            EXPECT_EQ(m.left % 16, 0);
            EXPECT_EQ(m.top % 16, 0);
            EXPECT_EQ(m.size % 16, 0);
            EXPECT_GE(m.size, 32) << "room for coding to erode the edges of a 17-pixel interior";
            EXPECT_LE(m.left + m.size, design.params.width);
            EXPECT_LE(m.top + m.size, design.params.height);
            if (i > 0) {
                const MarkerBox& p = design.markers[i - 1];
                EXPECT_TRUE(m.top > p.top + p.size || (m.top == p.top && m.left > p.left + p.size)) << size << " " << i;
            }
        }
    }
}

TEST(Design, PaintedCentresShowTheCode)
{
    const ClipDesign design = design_of({"--size", "192x144", "x.mkv"});
    const int stride = design.params.width * 4;
    std::vector<uint8_t> image(size_t(stride) * design.params.height);
    const int frame = design.params.header + design.params.locator + design.params.flash_period / 2 + 1;
    clip_design_paint(design, frame, image.data(), stride);
    const std::string code = clip_design_code(design, frame);
    for (size_t i = 0; i < design.markers.size(); i++) {
        const MarkerBox& m = design.markers[i];
        const uint8_t* centre = &image[size_t(m.top + m.size / 2) * stride + size_t(m.left + m.size / 2) * 4];
        const int color_class = (centre[0] > 200) | (centre[1] > 200) << 1 | (centre[2] > 200) << 2;
        EXPECT_EQ("krgybmcw"[color_class], code[i]);
    }
    EXPECT_EQ(image[0], 128) << "mid-grey background";

    const ClipDesign black = design_of({"--size", "192x144", "--background", "black", "x.mkv"});
    clip_design_paint(black, frame, image.data(), stride);
    EXPECT_EQ(image[0], 0);
}

TEST(Design, DroppedFrameLeavesAGapAndRepeatedFrameDelaysTheRest)
{
    const ClipDesign design = design_of({"--drop", "12", "--repeat", "20", "x.mkv"});
    const uint64_t frame_ns = 40000000;
    std::vector<int> shown;
    for (const DeliveredFrame& f : design.frames)
        shown.push_back(f.design);
    ASSERT_EQ(shown.size(), 125u);
    EXPECT_EQ(shown[11], 11);
    EXPECT_EQ(shown[12], 13);
    EXPECT_EQ(design.frames[12].time_ns, 13 * frame_ns) << "no frame at the dropped one's time";
    EXPECT_EQ(shown[19], 20);
    EXPECT_EQ(shown[20], 20);
    EXPECT_EQ(design.frames[20].time_ns, 21 * frame_ns);
    EXPECT_EQ(design.frames[21].time_ns, 22 * frame_ns) << "frame 21 comes one frame late";
    EXPECT_EQ(design.length_ns, 126 * frame_ns);
}

// The beep lies at flash time + delay; the detector marks its start about 10 samples
// late at 48 kHz.
TEST(Design, BeepsFollowTheFlashesByTheDelay)
{
    const ClipDesign design = design_of({"--audio-delay", "40", "x.mkv"});
    const std::vector<int16_t> sound = clip_design_sound(design);
    ASSERT_EQ(sound.size(), 5u * 48000);
    int beep = 0;
    for (int frame = 0; frame < design.params.design_frames(); frame++) {
        if (!clip_design_is_flash(design, frame))
            continue;
        const int64_t start = int64_t(frame) * 48000 / 25 + 40 * 48;
        EXPECT_EQ(design.beep_starts[size_t(beep++)], start);
        EXPECT_EQ(sound[size_t(start) - 1], 0);
        EXPECT_NE(sound[size_t(start) + 1], 0);
    }
    ToneDetectorPtr detector(tone_detector_new(48000));
    tone_detector_process(detector.get(), sound.data(), sound.size());
    const std::vector<AudioMarker> found = tone_detector_get_markers(detector.get());
    ASSERT_EQ(found.size(), design.beep_starts.size());
    for (size_t i = 0; i < found.size(); i++) {
        EXPECT_GE(found[i].start, design.beep_starts[i]);
        EXPECT_LE(found[i].start, design.beep_starts[i] + 20);
    }
}

TEST(Design, ImpossibleClipsAreRejected)
{
    EXPECT_EQ(design_error({"--content", "10", "x.mkv"}),
        "10 content frames are too few: the slowest marker blinks with a period of 16 frames");
    EXPECT_EQ(design_error({"--content", "20", "--flash-period", "50", "x.mkv"}),
        "20 content frames hold no flash: the first comes at content frame 25");
    EXPECT_EQ(design_error({"--size", "64x64", "x.mkv"}), "a 64x64 frame cannot hold 6 markers of 32 pixels");
    EXPECT_EQ(design_error({"--drop", "125", "x.mkv"}), "frame 125 is not in the clip (0 to 124)");
    EXPECT_EQ(design_error({"--drop", "7", "--repeat", "7", "x.mkv"}), "frame 7 cannot be both dropped and repeated");
    EXPECT_EQ(design_error({"--audio-delay", "-1000", "x.mkv"})
                  .rfind("the beep of the flash in frame 22 would lie at -0.120 s, "
                         "outside the sound track",
                      0),
        0u);
}

// ---------------------------------------------------------------- expected report

ExpectedReport expected_of(const std::vector<std::string>& args)
{
    GenerateOptions options = parse(args);
    Encoding encoding;
    ClipDesign design;
    ExpectedReport report;
    std::string error;
    EXPECT_TRUE(generate_options_encoding(&options, &encoding, &error)) << error;
    EXPECT_TRUE(clip_design_make(options.clip, &design, &error)) << error;
    EXPECT_TRUE(expected_report_make(design, encoding, clip_design_sound(design), &report, &error)) << error;
    return report;
}

TEST(ExpectedReport, DelaysAddTheDetectorsEdgeOffset)
{
    const ExpectedReport report = expected_of({"--audio-delay", "-80", "x.mkv"});
    EXPECT_EQ(report.beeps.size(), 4u);
    EXPECT_EQ(report.video_markers, 4);
    // 10 to 20 samples at 48 kHz: 0.21 to 0.42 ms.
    EXPECT_GT(report.delay_min_ms, -80 + 0.2);
    EXPECT_LT(report.delay_max_ms, -80 + 0.42);
}

TEST(ExpectedReport, TimestampWarningsAsTheAnalyserWordsThem)
{
    EXPECT_EQ(expected_of({"--drop", "7", "x.mkv"}).warnings,
        std::vector<std::string>{"Gap in video times (frame 8, offset = 0.040 s)"});
    EXPECT_EQ(expected_of({"--start-ms", "500", "x.mkv"}).warnings,
        (std::vector<std::string>{"Video time does not start from 0 (offset = 0.500 s)",
            "Audio time does not start from 0 (offset = 0.500 s)"}));
    EXPECT_EQ(expected_of({"--no-audio", "x.ts"}).warnings,
        std::vector<std::string>{"Video time does not start from 0 (offset = 0.125 s)"});
}

// ---------------------------------------------------------------- the program

ProcessResult generate(const std::vector<std::string>& args, const std::string& cwd)
{
    std::vector<std::string> argv = {SKELV_GENERATE};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = run_process(argv, kRunTimeout, cwd);
    EXPECT_FALSE(result.timed_out);
    return result;
}

std::vector<std::string> files_in(const TempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> kSmallClip = {"--size", "160x120", "--duration", "1.6", "--fps", "25"};

std::vector<std::string> small_clip(std::vector<std::string> args)
{
    args.insert(args.begin(), kSmallClip.begin(), kSmallClip.end());
    return args;
}

TEST(Program, HelpListsTheOptions)
{
    TempDir dir;
    const ProcessResult result = generate({"--help"}, dir.path());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out.rfind("Usage: skelv-generate [options] OUTPUT\n", 0), 0u) << result.out;
    for (const char* option : {"--size", "--fps", "--duration", "--header", "--locator", "--content", "--trailer",
             "--audio-rate", "--audio-delay", "--flash-period", "--beep-ms", "--video-codec", "--audio-codec",
             "--quality", "--no-audio", "--no-video", "--background", "--drop", "--repeat", "--start-ms"})
        EXPECT_NE(result.out.find(std::string("  ") + option + " "), std::string::npos) << option;
    EXPECT_TRUE(files_in(dir).empty());
}

TEST(Program, WritesTheClipAndItsSidecar)
{
    TempDir dir;
    const ProcessResult result = generate(small_clip({"--audio-delay", "40", "clip.mkv"}), dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out,
        "Wrote clip.mkv (.mkv with h264 + flac, 40 frames, audio delay +40.0 ms) and "
        "clip.mkv.expected.json\n");
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"clip.mkv", "clip.mkv.expected.json"}));
    const nlohmann::json sidecar = nlohmann::json::parse(read_file(dir.file("clip.mkv.expected.json")));
    EXPECT_EQ(sidecar["file"], "clip.mkv");
    EXPECT_EQ(sidecar["total_frames"], 40);
    EXPECT_EQ(sidecar["markers_found"], 6);
    EXPECT_EQ(sidecar["frames"].size(), 40u);
    EXPECT_EQ(sidecar["lipsync"]["audio_markers"], 1);
}

TEST(Program, FramesLargerThanTheSourceQueueStillReachTheMuxer)
{
    // One 1080p RGBx frame alone fills the video source's queue while the muxer waits for
    // sound from beyond the encoder's latency.
    TempDir dir;
    const ProcessResult result =
        generate({"--size", "1920x1080", "--duration", "5", "--quality", "10", "clip.mp4"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
}

TEST(Program, UnknownContainerOrCodecIsAUsageError)
{
    TempDir dir;
    ProcessResult result = generate({"clip.mpg"}, dir.path());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err.rfind("skelv-generate: cannot tell the container from clip.mpg", 0), 0u) << result.err;
    result = generate({"--audio-codec", "ac3", "clip.mkv"}, dir.path());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("unknown audio codec ac3"), std::string::npos) << result.err;
    result = generate({"--video-codec", "vp8", "clip.mp4"}, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "skelv-generate: a .mp4 file cannot hold vp8 video\n");
    EXPECT_TRUE(files_in(dir).empty());
}

TEST(Program, UnwritablePathFailsBeforeEncoding)
{
    TempDir dir;
    write_file(dir.file("plain"), "");
    for (const std::string& path : {dir.file("missing/clip.mkv"), dir.file("plain/clip.mkv")}) {
        const ProcessResult result = generate(small_clip({path}), dir.path());
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.err.rfind("skelv-generate: cannot write " + path + ".part: ", 0), 0u) << result.err;
    }
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"plain"});
}

// A file-size limit makes the writer fail half-way, as a full disk would; with SIGXFSZ
// ignored the write returns an error instead of killing the process.
TEST(Program, PartlyWrittenClipIsRemovedAndAnEarlierOneKept)
{
    TempDir dir;
    ASSERT_EQ(generate(small_clip({"--audio-codec", "pcm", "clip.mkv"}), dir.path()).exit_code, 0);
    const auto earlier_size = fs::file_size(dir.file("clip.mkv"));
    const ProcessResult result =
        run_process({"sh", "-c", "ulimit -f 40; trap '' XFSZ; exec \"$0\" \"$@\"", SKELV_GENERATE, "--size", "192x144",
                        "--audio-codec", "pcm", "clip.mkv"},
            kRunTimeout, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err.rfind("skelv-generate: GStreamer error from filesink", 0), 0u) << result.err;
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"clip.mkv", "clip.mkv.expected.json"}));
    EXPECT_EQ(fs::file_size(dir.file("clip.mkv")), earlier_size);
}

TEST(Program, ClipIsRemovedWhenItsSidecarCannotBeWritten)
{
    TempDir dir;
    fs::create_directory(dir.file("clip.mkv.expected.json"));
    const ProcessResult result = generate(small_clip({"clip.mkv"}), dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err.rfind("skelv-generate: cannot write clip.mkv.expected.json: ", 0), 0u) << result.err;
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"clip.mkv.expected.json"});
}

// The plugin file that provides `element`, or "" when none does.
std::string plugin_file(const char* element)
{
    GstObjectPtr<GstElementFactory> factory(gst_element_factory_find(element));
    if (!factory)
        return "";
    GstObjectPtr<GstPlugin> plugin(gst_plugin_feature_get_plugin(GST_PLUGIN_FEATURE(factory.get())));
    return plugin && gst_plugin_get_filename(plugin.get()) ? gst_plugin_get_filename(plugin.get()) : "";
}

// A registry with every plugin the clip needs except the one of the H.264 encoder.
TEST(Program, MissingEncoderPluginIsNamed)
{
    TempDir dir;
    const std::string plugins = dir.file("plugins");
    fs::create_directory(plugins);
    for (const char* element : {"appsrc", "filesink", "matroskamux", "videoconvert", "capsfilter"}) {
        const fs::path file = plugin_file(element);
        ASSERT_FALSE(file.empty()) << element;
        if (!fs::exists(plugins / file.filename()))
            fs::create_symlink(file, plugins / file.filename());
    }
    const ProcessResult result =
        run_process({"env", "GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins, "GST_PLUGIN_PATH_1_0=", "GST_PLUGIN_PATH=",
                        "GST_REGISTRY_1_0=" + dir.file("registry.bin"), SKELV_GENERATE, "--no-audio", "clip.mkv"},
            kRunTimeout, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "skelv-generate: the GStreamer element x264enc is not installed; .mkv with h264 needs it\n");
    EXPECT_FALSE(fs::exists(dir.file("clip.mkv")));
}

} // namespace
