// skelv-generate: the clip design, the expected report derived from it, and how the program fails.
#include "core/video_structure.h"
#include "generate/caps_check.h"
#include "generate/expected_report.h"
#include "generate/generate_options.h"
#include "media/gst_ptr.h"
#include "support/media.h"

#include <gst/app/gstappsrc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

using namespace skelv;

namespace {

namespace fs = std::filesystem;

struct Made {
    ClipDesign design;
    ExpectedReport report;
};

// What skelv-generate derives from `args` before encoding.
Made made(const std::vector<std::string>& args)
{
    GenerateOptions options;
    Encoding encoding;
    Made m;
    std::string error;
    EXPECT_TRUE(generate_options_parse(args, &options, &error) &&
        generate_options_encoding(&options, &encoding, &error) && clip_design_make(options.clip, &m.design, &error) &&
        expected_report_make(m.design, encoding, &m.report, &error)) << error;
    return m;
}

// "header locator content trailer: S4 F1 R ...", ? for UNKNOWN; `letter` and `interval` of each marker.
template <typename Spans, typename Markers, typename Type>
std::string summary(const Spans& s, const Markers& markers, Type type)
{
    std::string text = std::to_string(s.header_frames) + " " + std::to_string(s.locator_frames) + " " +
        std::to_string(s.content_frames) + " " + std::to_string(s.trailer_frames) + ":";
    for (const auto& m : markers) {
        const auto [letter, interval] = type(m);
        text += std::string(" ") + letter + (letter == 'S' || letter == 'F' ? std::to_string(interval) : "");
    }
    return text;
}

// The sidecar follows from the design; the structure reader agrees on its codes (the codec matrix reads whole clips).
TEST(ExpectedReport, FollowsFromTheDesign)
{
    const struct {
        std::vector<std::string> args;
        std::string structure;
        int video_markers;
        int64_t first_beep; ///< sample
    } cases[] = {
        // Flash at content frame 12 of 25 fps, 80 ms early at 48 kHz.
        {{"--audio-delay", "-80", "x.mkv"}, "5 5 110 5: S4 F1 F2 F4 F8 R", 4, 22 * 1920 - 3840},
        // Flash at content frame 15, 25 * 1001 / 30000 s.
        {{"--fps", "30000/1001", "--sync-period", "2", "--frameid-bits", "3", "--duration", "3", "--audio-rate",
             "44100", "--size", "1280x720", "x.mkv"},
            "5 5 75 5: S2 F1 F2 F4 R", 2, 36787},
        {{"--flash-period", "2", "--beep-ms", "20", "--frameid-bits", "5", "--content", "64", "--header", "0",
             "--audio-rate", "96000", "--audio-delay", "9.5", "--background", "black", "x.mkv"},
            "0 5 64 5: S4 F1 F2 F4 F8 F16 R", 32, 6 * 3840 + 912},
        // Repeating the last content frame breaks only the markers that were due to change.
        {{"--repeat", "119", "x.mkv"}, "5 5 111 5: S4 ? ? F4 F8 ?", 0, 22 * 1920},
        {{"--drop", "3,7", "--repeat", "40,50", "--size", "160x120", "x.mkv"}, "4 4 112 5: ? ? ? ? ? ?", 0, 22 * 1920},
    };
    for (const auto& c : cases) {
        const auto& [design, report] = made(c.args);
        SCOPED_TRACE(c.structure);
        EXPECT_EQ(summary(report, report.markers, [](const ExpectedMarker& m) {
            return std::pair(m.keeps_pattern ? "SFR"[int(m.box.kind)] : '?', m.box.half_period);
        }), c.structure);
        const VideoStructurePtr read(video_structure_analyze(report.codes));
        const auto read_type = [](const MarkerClass& m) { return std::pair("?SFR"[m.type], m.interval); };
        EXPECT_EQ(summary(*read, read->classes, read_type), c.structure);
        EXPECT_EQ(report.video_markers, c.video_markers);
        ASSERT_EQ(design.beep_starts.at(0), c.first_beep);
        const std::vector<int16_t> sound = clip_design_sound(design);
        EXPECT_TRUE(sound[size_t(c.first_beep) - 1] == 0 && sound[size_t(c.first_beep) + 1] != 0);
        EXPECT_EQ(report.beeps.size(), design.beep_starts.size());
    }
}

// The command line's own messages (a clip's and a play's), and how repeated options add up.
TEST(GeneratorCommandLine, ReadsOptionsAsGivenAndNamesWhatIsWrong)
{
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"x.mkv", "--size"}, "option --size needs a value"},
        {{"--size", "--fps", "25", "x.mkv"}, "bad value for --size: --fps"},
        {{"--fps=25/0", "x.mkv"}, "bad value for --fps: 25/0"},
        {{"--drop", "3,,4", "x.mkv"}, "bad value for --drop: 3,,4"},
        {{"--no-audio=3", "x.mkv"}, "bad value for --no-audio: 3"},
        {{"--colour=red", "x.mkv"}, "unknown option --colour=red"},
        {{"a.mkv", "b.mkv"}, "more than one output path: a.mkv, b.mkv"},
        {{"--size", "640x480"}, "no output path"},
        // What only a clip has, or only a play.
        {{"--play", "--content", "50"}, "--content does not apply to --play"},
        {{"--play", "--no-audio"}, "--no-audio does not apply to --play"},
        {{"--play", "--pipeline", "fakesink name=video", "udp://127.0.0.1:5000"},
            "give either a TARGET or --pipeline, not both"},
        {{"--pipeline", "fakesink name=video", "x.ts"}, "--pipeline needs --play"},
        {{"--locator-every", "1", "x.ts"}, "--locator-every needs --play"},
        {{"--play", "--locator-every", "0"}, "bad value for --locator-every: 0"},
        {{"--play", "--send-sidecar", "udp://:5000"}, "--send-sidecar takes udp://HOST:PORT, PORT from 1 to 65535: udp://:5000"},
        {{"--send-sidecar", "udp://h:5000", "x.ts"}, "--send-sidecar needs --play"},
        {{"--duration", "601", "x.ts"}, "bad value for --duration: 601"},
    };
    for (const auto& [args, message] : refused) {
        GenerateOptions options;
        std::string error;
        EXPECT_FALSE(generate_options_parse(args, &options, &error));
        EXPECT_EQ(error, message);
    }
    GenerateOptions options;
    std::string error;
    ASSERT_TRUE(generate_options_parse({"--drop", "3", "--audio-rate", "8000", "--drop=4,5", "--audio-delay", "-80",
                                           "--audio-rate=16000", "x.mkv", "--fps", "50"},
        &options, &error)) << error;
    EXPECT_EQ(options.clip.drop, (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(std::tuple(options.clip.audio_rate, options.clip.audio_delay_ms, options.output),
        std::tuple(16000, -80.0, "x.mkv"));
    // 5 s at 50 fps less 15 frames of header, locator and trailer; a flash a second.
    EXPECT_EQ(std::pair(options.clip.content, options.clip.flash_period), std::pair(235, 50));
    ASSERT_TRUE(generate_options_parse({"--help"}, &options, &error));
    EXPECT_TRUE(options.help);
    // A play of an hour: its content is a 5 s clip's, whatever the playing time.
    GenerateOptions play;
    ASSERT_TRUE(generate_options_parse({"--play", "--duration", "3600"}, &play, &error)) << error;
    EXPECT_EQ(std::tuple(play.output, play.play_seconds, play.sidecar, play.clip.content),
        std::tuple("auto", 3600.0, "play.ndjson", 110));
}

std::vector<std::string> files_in(const TempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One row per kind of limit (container, pictures, timing, sound, codec); exit 2 for what the installed elements
// cannot do.
TEST(Program, RefusesBeforeWritingAnything)
{
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--drop", "20", "clip.avi"}, 1,
            "a .avi file does not keep the gap of a dropped frame: use .mkv, .webm or .ts"},
        {{"--content", "10", "x.mkv"}, 1,
            "10 content frames are too few: the slowest marker blinks with a period of 16 frames"},
        {{"--drop", "5,6,7,8", "x.mkv"}, 1, "the dropped frames leave fewer than 2 locator frames"},
        {{"--audio-delay", "-1000", "x.mkv"}, 1, "the beep of the flash in frame 22 would lie at -0.120 s, outside the "
                                                 "sound track (0 to 5.000 s): lengthen the header or the trailer"},
        {{"--audio-rate", "8000", "--beep-ms", "20", "x.mkv"}, 1,
            "beeps of 20 ms at 8000 Hz are too short for the beep detector: lengthen them"},
        {{"--audio-rate", "96000", "clip.mov"}, 1,
            "a .mov file holds pcm audio up to 65535 Hz: use another audio codec or container"},
        {{"--video-codec", "vp8", "clip.mp4"}, 2, "a .mp4 file cannot hold vp8 video"},
        // mp4mux takes only VP9 that states its chroma format, which vp9enc leaves out.
        {{"--video-codec", "vp9", "clip.mp4"}, 2,
            "a .mp4 file cannot hold vp9 video as vp9enc gives it: mp4mux needs its chroma-format, which vp9enc does "
            "not state; use another video codec or container"},
        {{"--audio-rate", "192000", "clip.avi"}, 2,
            "a .avi file holds pcm audio at 1000 to 96000 Hz only (avimux): use another --audio-rate, audio codec or "
            "container"},
        // MPEG-1 Layer II has the rates of MPEG-1 and MPEG-2 only.
        {{"--audio-rate", "8000", "clip.ts"}, 2,
            "twolamemp2enc encodes mp2 audio (the .ts default) at 16000, 22050, 24000, 32000, 44100 or 48000 Hz only: "
            "use another --audio-rate or audio codec"},
    };
    TempDir dir;
    for (const auto& [args, exit_code, message] : cases) {
        const ProcessResult result = generate(args, dir.path());
        EXPECT_EQ(std::tuple(result.exit_code, result.err, result.out),
            std::tuple(exit_code,
                "skelv-generate: " + message + (exit_code == 1 ? "\nTry skelv-generate --help.\n" : "\n"), ""));
    }
    EXPECT_EQ(files_in(dir), std::vector<std::string>{});
}

// Streams that hold each other up: a 1080p frame and 12 s of 192 kHz sound each overflow a source
// queue, so neither may wait on the other; at 8 kHz, flacenc's last block (0.58 s) comes only at
// the sound's end, and the muxer holds the picture back until then. Every sample is written.
TEST(Program, WritesClipsWhoseStreamsHoldEachOtherUp)
{
    const struct {
        std::vector<std::string> args;
        std::string wrote;
        uintmax_t samples;
    } cases[] = {
        {{"--size", "1920x1080", "--fps", "1", "--duration", "12", "--audio-rate", "192000", "--frameid-bits", "1",
             "--sync-period", "1", "--header", "1", "--locator", "2", "--trailer", "1"},
            "h264 + flac, 12 frames", 12 * 192000},
        {{"--audio-rate", "8000"}, "h264 + flac, 125 frames", 5 * 8000},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<std::string> args = c.args;
        args.push_back("clip.mkv");
        const ProcessResult result = generate(args, dir.path());
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out,
            "Wrote clip.mkv (.mkv with " + c.wrote + ", audio delay +0.0 ms) and clip.mkv.expected.json\n");
        EXPECT_EQ(files_in(dir), (std::vector<std::string>{"clip.mkv", "clip.mkv.expected.json"}));
        ASSERT_TRUE(ffmpeg({"-i", dir.file("clip.mkv"), "-map", "0:a", "-f", "s16le", dir.file("sound.raw")}));
        EXPECT_EQ(fs::file_size(dir.file("sound.raw")), c.samples * sizeof(int16_t));
    }
}

// After a run-time refusal, the first link whose sink took no caps names the two elements.
TEST(GeneratorNegotiation, NamesTheTwoElementsThatCouldNotAgree)
{
    gst_init(nullptr, nullptr);
    const std::pair<std::string, std::string> cases[] = {
        {"audio/x-raw,rate=16000", "appsrc and capsfilter could not agree on a format: capsfilter does not take "
                                   "appsrc's audio/x-raw, format=(string)S16LE, layout=(string)interleaved, "
                                   "rate=(int)8000, channels=(int)1"},
        {"audio/x-raw,rate=8000", ""},
    };
    for (const auto& [filter, disagreement] : cases) {
        GError* raw_error = nullptr;
        GstElementPtr pipeline(gst_adopt_sink(gst_parse_launch(
            ("appsrc name=source caps=audio/x-raw,format=S16LE,layout=interleaved,rate=8000,channels=1 ! capsfilter "
             "caps=" + filter + " ! fakesink").c_str(),
            &raw_error)));
        GErrorPtr error(raw_error);
        ASSERT_TRUE(pipeline && !error);
        GstElementPtr source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
        GstBusPtr bus(gst_element_get_bus(pipeline.get()));
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
        gst_app_src_push_buffer(GST_APP_SRC(source.get()), gst_buffer_new_allocate(nullptr, 2048, nullptr));
        gst_app_src_end_of_stream(GST_APP_SRC(source.get()));
        const auto end = GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
        GstMessagePtr ended(gst_bus_timed_pop_filtered(bus.get(), 10 * GST_SECOND, end));
        EXPECT_TRUE(ended);
        EXPECT_EQ(caps_disagreement(source.get()), disagreement);
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    }
}

// Unwritable place, unwritable sidecar, and a file-size limit standing in for a full disk (SIGXFSZ ignored).
TEST(Program, FailedWritesLeaveNoClipAndKeepAnEarlierOne)
{
    TempDir dir;
    ASSERT_EQ(generate({"--size", "160x120", "--duration", "1.6", "--audio-codec", "pcm", "clip.mkv"}, dir.path())
                  .exit_code, 0);
    const auto earlier_size = fs::file_size(dir.file("clip.mkv"));
    fs::create_directory(dir.file("other.mkv.expected.json"));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{SKELV_GENERATE, "--size", "160x120", "--duration", "1.6", dir.file("missing/clip.mkv")},
            "cannot write " + dir.file("missing/clip.mkv.part: ")},
        {{SKELV_GENERATE, "--size", "160x120", "--duration", "1.6", "other.mkv"},
            "cannot write other.mkv.expected.json: "},
        {{"sh", "-c", "ulimit -f 40; trap '' XFSZ; exec \"$0\" \"$@\"", SKELV_GENERATE, "--size", "192x144",
             "--audio-codec", "pcm", "clip.mkv"}, "GStreamer error from filesink"},
    };
    for (const auto& [args, message] : cases) {
        const ProcessResult result = run_process(args, kRunTimeout, dir.path());
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.err.rfind("skelv-generate: " + message, 0), 0u) << result.err;
    }
    EXPECT_EQ(files_in(dir),
        (std::vector<std::string>{"clip.mkv", "clip.mkv.expected.json", "other.mkv.expected.json"}));
    EXPECT_EQ(fs::file_size(dir.file("clip.mkv")), earlier_size);
}

} // namespace
