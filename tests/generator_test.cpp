// skelv-generate: its command line, the clip design it derives, and how it fails.
#include "generate/clip_design.h"
#include "generate/expected_report.h"
#include "generate/generate_options.h"
#include "media/gst_ptr.h"
#include "support/media.h"
#include "core/video_structure.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace {

namespace fs = std::filesystem;

GenerateOptions parse(const std::vector<std::string>& args)
{
    GenerateOptions options;
    std::string error;
    EXPECT_TRUE(generate_options_parse(args, &options, &error)) << error;
    return options;
}

std::string parsed(const std::vector<std::string>& args)
{
    const GenerateOptions o = parse(args);
    const ClipParams& c = o.clip;
    std::ostringstream s;
    s << o.output << " " << c.width << "x" << c.height << " " << c.fps.num << "/" << c.fps.den << " frames "
      << c.design_frames() << " content " << c.content << " flash " << c.flash_period << " delay "
      << c.audio_delay_ms << " start " << c.start_ns << " drop";
    for (int frame : c.drop)
        s << " " << frame;
    s << (c.video ? " video" : "") << (c.audio ? " audio" : "");
    return s.str();
}

TEST(Options, DefaultsAndValues)
{
    const struct {
        std::vector<std::string> args;
        std::string options;
    } cases[] = {
        // Five seconds at 25 fps, one flash a second.
        {{"clip.mp4"}, "clip.mp4 320x240 25/1 frames 125 content 110 flash 25 delay 0 start 0 drop video audio"},
        // Values after the name or an equals sign, options after the path.
        {{"--size=192x144", "--fps", "30000/1001", "--duration", "2", "--audio-delay", "-80", "--drop", "3,9",
             "--start-ms=500", "out.mkv", "--no-audio"},
            "out.mkv 192x144 30000/1001 frames 60 content 45 flash 30 delay -80 start 500000000 drop 3 9 video"},
        // The content length overrides the duration.
        {{"--duration", "60", "--content", "40", "--header", "2", "x.mkv"},
            "x.mkv 320x240 25/1 frames 52 content 40 flash 25 delay 0 start 0 drop video audio"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsed(c.args), c.options);
}

std::vector<std::string> files_in(const TempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Each is refused before anything is written, with a reason that names the culprit.
TEST(Program, BadCommandLinesAreRefused)
{
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string message; ///< the start of standard error after "skelv-generate: "
    } cases[] = {
        {{"--size", "192", "x.mkv"}, 1, "bad value for --size: 192\n"},
        {{"--size", "191x144", "x.mkv"}, 1, "bad value for --size: 191x144\n"},
        {{"--fps", "0", "x.mkv"}, 1, "bad value for --fps: 0\n"},
        {{"--fps", "25/0", "x.mkv"}, 1, "bad value for --fps: 25/0\n"},
        {{"--quality", "101", "x.mkv"}, 1, "bad value for --quality: 101\n"},
        {{"--audio-rate", "44.1k", "x.mkv"}, 1, "bad value for --audio-rate: 44.1k\n"},
        {{"--drop", "3,x", "x.mkv"}, 1, "bad value for --drop: 3,x\n"},
        {{"--flash-period", "1", "x.mkv"}, 1, "bad value for --flash-period: 1\n"},
        {{"--no-audio=yes", "x.mkv"}, 1, "bad value for --no-audio: yes\n"},
        {{"--colour", "red", "x.mkv"}, 1, "unknown option --colour\n"},
        {{"x.mkv", "--fps"}, 1, "option --fps needs a value\n"},
        {{"a.mkv", "b.mkv"}, 1, "more than one output path: a.mkv, b.mkv\n"},
        {{"--fps", "25"}, 1, "no output path\n"},
        {{"clip.xyz"}, 1,
            "cannot tell the container from clip.xyz: use one of the extensions mp4, mov, mkv, webm, avi, ts, ogg, "
            "ogv, wav\n"},
        {{"dir.mkv/clip"}, 1, "cannot tell the container from dir.mkv/clip"},
        {{"--video-codec", "h265", "clip.mkv"}, 1,
            "unknown video codec h265: use one of h264, vp8, vp9, mjpeg, mpeg2, theora\n"},
        {{"--audio-codec", "h264", "clip.mkv"}, 1,
            "unknown audio codec h264: use one of pcm, flac, aac, mp2, mp3, vorbis, opus\n"},
        {{"--video-codec", "vp8", "clip.mp4"}, 2, "a .mp4 file cannot hold vp8 video\n"},
        // Faults the container cannot carry.
        {{"--drop", "20", "clip.avi"}, 1,
            "a .avi file does not keep the gap of a dropped frame: use .mkv, .webm or .ts\n"},
        {{"--start-ms", "500", "clip.mp4"}, 1, "a .mp4 file does not keep a late start: use .mkv or .webm\n"},
        // Clips the analyser could not read as designed.
        {{"--no-audio", "--no-video", "clip.mkv"}, 1, "nothing to write: both streams are left out\n"},
        {{"--content", "10", "x.mkv"}, 1,
            "10 content frames are too few: the slowest marker blinks with a period of 16 frames\n"},
        {{"--content", "20", "--flash-period", "50", "x.mkv"}, 1,
            "20 content frames hold no flash: the first comes at content frame 25\n"},
        {{"--size", "64x64", "x.mkv"}, 1, "a 64x64 frame cannot hold 6 markers of 32 pixels\n"},
        {{"--drop", "125", "x.mkv"}, 1, "frame 125 is not in the clip (0 to 124)\n"},
        {{"--drop", "7", "--repeat", "7", "x.mkv"}, 1, "frame 7 cannot be both dropped and repeated\n"},
        {{"--audio-delay", "-1000", "x.mkv"}, 1,
            "the beep of the flash in frame 22 would lie at -0.120 s, outside the sound track"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const ProcessResult result = generate(c.args, dir.path());
        EXPECT_EQ(result.exit_code, c.exit_code) << c.message;
        EXPECT_EQ(result.err.rfind("skelv-generate: " + c.message, 0), 0u) << result.err;
        EXPECT_EQ(result.err.find("Try skelv-generate --help.") != std::string::npos, c.exit_code == 1) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(files_in(dir).empty());
}

TEST(Program, HelpListsEveryOption)
{
    TempDir dir;
    const ProcessResult result = generate({"--help"}, dir.path());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out.rfind("Usage: skelv-generate [options] OUTPUT\n", 0), 0u) << result.out;
    for (const char* option : {"--size", "--fps", "--duration", "--header", "--locator", "--content", "--trailer",
             "--sync-period", "--frameid-bits", "--flash-period", "--audio-rate", "--audio-delay", "--beep-ms",
             "--video-codec", "--audio-codec", "--quality", "--no-audio", "--no-video", "--background", "--drop",
             "--repeat", "--start-ms"})
        EXPECT_NE(result.out.find(std::string("  ") + option + " "), std::string::npos) << option;
    EXPECT_TRUE(files_in(dir).empty());
}

ClipDesign design_of(const std::vector<std::string>& args)
{
    ClipDesign design;
    std::string error;
    EXPECT_TRUE(clip_design_make(parse(args).clip, &design, &error)) << error;
    return design;
}

// The analyser's classifier reads the spans and the markers as designed: SYNCMARK with its
// half-period, FRAMEID bits 1, 2, 4, ..., and the lip-sync marker last. Read as a binary
// number (white = 1), the FRAMEID bits count the content frames; flashes are apart, and no
// content frame is all white.
TEST(Design, MarkersClassifyAndCountAsDesigned)
{
    const struct {
        std::vector<std::string> args;
        std::string structure; ///< span lengths, then type and half-period of each marker
        int flashes;
    } cases[] = {
        {{"x.mkv"}, "5 5 110 5: S4 F1 F2 F4 F8 R", 4},
        {{"--fps", "30000/1001", "--sync-period", "2", "--frameid-bits", "3", "--duration", "3", "x.mkv"},
            "5 5 75 5: S2 F1 F2 F4 R", 2},
        {{"--flash-period", "2", "--frameid-bits", "5", "--content", "64", "--header", "0", "x.mkv"},
            "0 5 64 5: S4 F1 F2 F4 F8 F16 R", 32},
    };
    for (const auto& c : cases) {
        const ClipDesign design = design_of(c.args);
        std::vector<std::string> codes;
        for (const DeliveredFrame& frame : design.frames)
            codes.push_back(clip_design_code(design, frame.design));
        VideoStructurePtr v(video_structure_analyze(codes));
        std::string structure = std::to_string(v->header_frames) + " " + std::to_string(v->locator_frames) + " " +
            std::to_string(v->content_frames) + " " + std::to_string(v->trailer_frames) + ":";
        for (const MarkerClass& m : v->classes)
            structure += std::string(" ") + "?SFR"[m.type] +
                (m.type == MARKER_TYPE_RGB6 ? "" : std::to_string(m.interval));
        EXPECT_EQ(structure, c.structure);

        const int first = design.params.header + design.params.locator;
        int flashes = 0;
        for (int offset = 0; offset < design.params.content; offset++) {
            const std::string& code = codes[size_t(first + offset)];
            int counter = 0;
            for (int bit = 0; bit < design.params.frameid_bits; bit++)
                counter |= (code[size_t(bit) + 1] == 'w') << bit;
            EXPECT_EQ(counter, offset % (1 << design.params.frameid_bits)) << "content frame " << offset;
            EXPECT_NE(code, std::string(code.size(), 'w'));
            const bool flash = clip_design_is_flash(design, first + offset);
            EXPECT_EQ(flash, code.back() == 'k') << offset;
            EXPECT_FALSE(flash && clip_design_is_flash(design, first + offset + 1)) << offset;
            flashes += flash;
        }
        EXPECT_EQ(flashes, c.flashes);
        EXPECT_EQ(design.beep_starts.size(), size_t(c.flashes));
    }
}

// Markers sit on the 16-pixel block grid in raster order, and their painted centres show
// the code on the chosen background.
TEST(Design, MarkersSitOnTheBlockGridAndShowTheCode)
{
    for (const auto& [size, background] :
        {std::pair("160x120", "grey"), {"192x144", "black"}, {"320x240", "grey"}, {"1280x720", "grey"}}) {
        const ClipDesign design = design_of({"--size", size, "--background", background, "x.mkv"});
        const int stride = design.params.width * 4;
        std::vector<uint8_t> image(size_t(stride) * design.params.height);
        const int frame = design.params.header + design.params.locator + design.params.flash_period / 2 + 1;
        clip_design_paint(design, frame, image.data(), stride);
        const std::string code = clip_design_code(design, frame);
        EXPECT_EQ(image[0], background == std::string("grey") ? 128 : 0);
        for (size_t i = 0; i < design.markers.size(); i++) {
            const MarkerBox& m = design.markers[i];
            const MarkerBox& p = design.markers[i > 0 ? i - 1 : 0];
            SCOPED_TRACE(std::string(size) + " marker " + std::to_string(i));
            EXPECT_TRUE(m.left % 16 == 0 && m.top % 16 == 0 && m.size % 16 == 0);
            EXPECT_GE(m.size, 32) << "room for coding to erode the edges of a 17-pixel interior";
            EXPECT_TRUE(m.left + m.size <= design.params.width && m.top + m.size <= design.params.height);
            EXPECT_TRUE(i == 0 || m.top > p.top + p.size || (m.top == p.top && m.left > p.left + p.size));
            const uint8_t* centre = &image[size_t(m.top + m.size / 2) * stride + size_t(m.left + m.size / 2) * 4];
            EXPECT_EQ("krgybmcw"[(centre[0] > 200) | (centre[1] > 200) << 1 | (centre[2] > 200) << 2], code[i]);
        }
    }
}

TEST(Design, DroppedFrameLeavesAGapAndRepeatedFrameDelaysTheRest)
{
    const ClipDesign design = design_of({"--drop", "12", "--repeat", "20", "x.mkv"});
    const uint64_t frame_ns = 40000000;
    ASSERT_EQ(design.frames.size(), 125u);
    const auto shown = [&](size_t i) {
        return std::pair(design.frames[i].design, design.frames[i].time_ns / frame_ns);
    };
    EXPECT_EQ(shown(11), std::pair(11, uint64_t(11)));
    EXPECT_EQ(shown(12), std::pair(13, uint64_t(13))) << "no frame at the dropped one's time";
    EXPECT_EQ(shown(19), std::pair(20, uint64_t(20)));
    EXPECT_EQ(shown(20), std::pair(20, uint64_t(21)));
    EXPECT_EQ(shown(21), std::pair(21, uint64_t(22))) << "frame 21 comes one frame late";
    EXPECT_EQ(design.length_ns, 126 * frame_ns);
}

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

// Each beep starts on its flash's time plus the delay. The detector marks a beep's start 10
// to 20 samples late at 48 kHz (0.21 to 0.42 ms): the expected delays include that edge.
TEST(ExpectedReport, BeepsFollowTheFlashesByTheDelay)
{
    const std::vector<std::string> args = {"--audio-delay", "-80", "x.mkv"};
    const ClipDesign design = design_of(args);
    const std::vector<int16_t> sound = clip_design_sound(design);
    ASSERT_EQ(sound.size(), 5u * 48000);
    std::vector<int64_t> starts;
    for (int frame = 0; frame < design.params.design_frames(); frame++)
        if (clip_design_is_flash(design, frame))
            starts.push_back(int64_t(frame) * 48000 / 25 - 80 * 48);
    EXPECT_EQ(design.beep_starts, starts);
    for (int64_t start : starts)
        EXPECT_TRUE(sound[size_t(start) - 1] == 0 && sound[size_t(start) + 1] != 0) << start;

    const ExpectedReport report = expected_of(args);
    EXPECT_EQ(report.beeps.size(), 4u);
    EXPECT_EQ(report.video_markers, 4);
    EXPECT_GT(report.delay_min_ms, -80 + 0.2);
    EXPECT_LT(report.delay_max_ms, -80 + 0.42);
    EXPECT_EQ(report.warnings, std::vector<std::string>{});
}

TEST(ExpectedReport, TimestampWarningsAsTheAnalyserWordsThem)
{
    using Warnings = std::vector<std::string>;
    EXPECT_EQ(expected_of({"--drop", "7", "x.mkv"}).warnings,
        Warnings{"Gap in video times (frame 8, offset = 0.040 s)"});
    EXPECT_EQ(expected_of({"--start-ms", "500", "x.mkv"}).warnings,
        (Warnings{"Video time does not start from 0 (offset = 0.500 s)",
            "Audio time does not start from 0 (offset = 0.500 s)"}));
    EXPECT_EQ(expected_of({"--no-audio", "x.ts"}).warnings,
        Warnings{"Video time does not start from 0 (offset = 0.125 s)"});
}

// One 1080p RGBx frame alone fills the video source's queue, and twelve seconds of 192 kHz
// sound overflow the audio source's: the feeder must keep both streams moving, neither
// running ahead while the muxer waits for the other.
TEST(Program, WritesClipsWhoseFramesAndSoundOverflowTheSourceQueues)
{
    TempDir dir;
    const ProcessResult result = generate({"--size", "1920x1080", "--fps", "1", "--duration", "12", "--audio-rate",
                                              "192000", "--frameid-bits", "1", "--sync-period", "1", "--header", "1",
                                              "--locator", "2", "--trailer", "1", "clip.mkv"},
        dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "Wrote clip.mkv (.mkv with h264 + flac, 12 frames, audio delay +0.0 ms) and "
                          "clip.mkv.expected.json\n");
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"clip.mkv", "clip.mkv.expected.json"}));
}

// An unwritable place fails before encoding; a sidecar that cannot be written takes its
// clip with it.
TEST(Program, FailedWritesLeaveNoClip)
{
    TempDir dir;
    write_file(dir.file("plain"), "");
    fs::create_directory(dir.file("clip.mkv.expected.json"));
    for (const auto& [path, message] : std::vector<std::pair<std::string, std::string>>{
             {dir.file("missing/clip.mkv"), "cannot write " + dir.file("missing/clip.mkv.part: ")},
             {dir.file("plain/clip.mkv"), "cannot write " + dir.file("plain/clip.mkv.part: ")},
             {"clip.mkv", "cannot write clip.mkv.expected.json: "}}) {
        const ProcessResult result = generate({"--size", "160x120", "--duration", "1.6", path}, dir.path());
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.err.rfind("skelv-generate: " + message, 0), 0u) << result.err;
    }
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"clip.mkv.expected.json", "plain"}));
}

// A file-size limit makes the writer fail half-way, as a full disk would; with SIGXFSZ
// ignored the write returns an error instead of killing the process.
TEST(Program, PartlyWrittenClipIsRemovedAndAnEarlierOneKept)
{
    TempDir dir;
    ASSERT_EQ(generate({"--size", "160x120", "--duration", "1.6", "--audio-codec", "pcm", "clip.mkv"}, dir.path())
                  .exit_code, 0);
    const auto earlier_size = fs::file_size(dir.file("clip.mkv"));
    const ProcessResult result = run_process({"sh", "-c", "ulimit -f 40; trap '' XFSZ; exec \"$0\" \"$@\"",
        SKELV_GENERATE, "--size", "192x144", "--audio-codec", "pcm", "clip.mkv"}, kRunTimeout, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err.rfind("skelv-generate: GStreamer error from filesink", 0), 0u) << result.err;
    EXPECT_EQ(files_in(dir), (std::vector<std::string>{"clip.mkv", "clip.mkv.expected.json"}));
    EXPECT_EQ(fs::file_size(dir.file("clip.mkv")), earlier_size);
}

// A registry with every plugin the clip needs except the one of the H.264 encoder.
TEST(Program, MissingEncoderPluginIsNamed)
{
    TempDir dir;
    const fs::path plugins = dir.file("plugins");
    fs::create_directory(plugins);
    for (const char* element : {"appsrc", "filesink", "matroskamux", "videoconvert", "capsfilter"}) {
        GstObjectPtr<GstElementFactory> factory(gst_element_factory_find(element));
        ASSERT_TRUE(factory) << element;
        GstObjectPtr<GstPlugin> plugin(gst_plugin_feature_get_plugin(GST_PLUGIN_FEATURE(factory.get())));
        const gchar* file_name = plugin ? gst_plugin_get_filename(plugin.get()) : nullptr;
        ASSERT_NE(file_name, nullptr) << element;
        const fs::path file = file_name;
        if (!fs::exists(plugins / file.filename()))
            fs::create_symlink(file, plugins / file.filename());
    }
    const ProcessResult result = run_process({"env", "GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins.string(),
                                                 "GST_PLUGIN_PATH_1_0=", "GST_PLUGIN_PATH=",
                                                 "GST_REGISTRY_1_0=" + dir.file("registry.bin"), SKELV_GENERATE,
                                                 "--no-audio", "clip.mkv"},
        kRunTimeout, dir.path());
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.err, "skelv-generate: the GStreamer element x264enc is not installed; .mkv with h264 needs it\n");
    EXPECT_FALSE(fs::exists(dir.file("clip.mkv")));
}

} // namespace
