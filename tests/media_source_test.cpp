// The media source in-process on media made at test time: a clip as a path, a file:// URI,
// over HTTP and as a FIFO; launch descriptions; every audio stream of a file; and failures.
#include "media/media_source.h"

#include "media/gst_ptr.h"
#include "support/local_servers.h"
#include "support/media.h"
#include "support/trial_errors.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sys/stat.h>

namespace {

using namespace skelv;

// The clip's design: 2 s of 160x120 at 25 frames per second, mono sound at 48 kHz.
constexpr int kFrames = 50;
constexpr int64_t kFramePeriodNs = 40'000'000;
constexpr int64_t kSoundFrames = 96000;
const std::vector<std::string> kClip = {"--size", "160x120", "--duration", "2"};

struct Reading {
    std::vector<MediaStream> streams;
    std::vector<int64_t> frame_times;
    int64_t frame_luma[2] = {-1, -1}; ///< first frame: inside the first marker, and on the background
    std::map<int, int64_t> sound_frames; ///< per stream index
    std::map<int, int> sound_rates;
    MediaError failure; ///< from open() or next(); empty when the source ended
    std::vector<std::string> warnings;
    bool live = false;
    std::optional<int64_t> duration_ns;
};

Reading read_all(const SourceRequest& request)
{
    Reading reading;
    std::unique_ptr<MediaSource> source = MediaSource::open(request, {}, &reading.failure);
    if (!source)
        return reading;
    MediaFrame frame;
    MediaSound sound;
    for (MediaItem item; (item = source->next(&frame, &sound, &reading.failure)) != MediaItem::End;) {
        if (item == MediaItem::Failed)
            break;
        if (item == MediaItem::Frame && frame.index == 0 && frame.view.width == 160 && frame.view.height == 120) {
            reading.frame_luma[0] = frame.view.y[32 * frame.view.y_stride + 32];
            reading.frame_luma[1] = frame.view.y[110 * frame.view.y_stride + 150];
        }
        if (item == MediaItem::Frame) {
            reading.frame_times.push_back(frame.time_ns);
        } else {
            reading.sound_frames[sound.stream] += int64_t(sound.frames);
            reading.sound_rates[sound.stream] = sound.rate;
        }
    }
    reading.streams = source->streams(); // with what the demuxer told as it went
    reading.warnings = source->take_warnings();
    reading.live = source->live();
    reading.duration_ns = source->duration_ns();
    return reading;
}

// Type, decoder, language and whether it is read, of each stream.
std::string streams_of(const Reading& reading)
{
    std::string text;
    for (const MediaStream& stream : reading.streams)
        text += std::to_string(stream.index) + (stream.type == StreamType::Video ? " video " : " audio ") +
                stream.decoder + " '" + stream.language + (stream.read ? "' read; " : "' not read; ");
    return text;
}

// `frames` frames `period_ns` apart from 0.
void expect_frames(const Reading& reading, int frames, int64_t period_ns)
{
    ASSERT_EQ(reading.frame_times.size(), size_t(frames)) << reading.failure.message;
    for (int i = 0; i < frames; ++i)
        EXPECT_EQ(reading.frame_times[i], i * period_ns) << "frame " << i;
}

class MediaSourceClip : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        std::vector<std::string> args = kClip;
        args.push_back("clip.mkv");
        ASSERT_EQ(generate(args, dir_->path()).exit_code, 0);
    }
    static void TearDownTestSuite() { delete dir_; }

    static std::string clip() { return dir_->file("clip.mkv"); }

    static TempDir* dir_;
};
TempDir* MediaSourceClip::dir_ = nullptr;

TEST(SourceRequestOf, SchemeMakesAUri)
{
    const std::pair<const char*, SourceKind> cases[] = {{"clip.mkv", SourceKind::File},
        {"/data/a b:c.mkv", SourceKind::File}, {"file:///data/clip.mkv", SourceKind::Uri},
        {"rtsp://camera/stream", SourceKind::Uri}, {"srt://:9000?mode=listener", SourceKind::Uri},
        {"://clip.mkv", SourceKind::File}, {"1x://clip.mkv", SourceKind::File}};
    for (const auto& [argument, kind] : cases)
        EXPECT_EQ(source_request_of(argument).kind, kind) << argument;
}

// Every way in reads the clip's frames at their design times and its sound, and lists both
// streams with their decoders; none is live, each tells the clip's length. (A finished HLS
// playlist is read in live_source_test.cpp.)
TEST_F(MediaSourceClip, ReadsTheClipThroughEveryWayIn)
{
    FileServer server(dir_->path());
    const std::pair<const char*, SourceRequest> cases[] = {{"path", {SourceKind::File, clip()}},
        {"file URI", {SourceKind::Uri, "file://" + clip()}}, {"http", {SourceKind::Uri, server.url("clip.mkv")}}};
    for (const auto& [name, request] : cases) {
        SCOPED_TRACE(name);
        Reading reading = read_all(request);
        EXPECT_EQ(reading.failure.message, "");
        EXPECT_EQ(streams_of(reading), "0 video avdec_h264 '' read; 1 audio flacdec 'en' read; ");
        expect_frames(reading, kFrames, kFramePeriodNs);
        EXPECT_GT(reading.frame_luma[0], 200) << "the first frame's markers are white";
        EXPECT_LT(reading.frame_luma[1], 180) << "the background is grey";
        EXPECT_EQ(reading.sound_frames[1], kSoundFrames);
        EXPECT_EQ(reading.sound_rates[1], 48000);
        EXPECT_EQ(reading.warnings, std::vector<std::string>{});
        EXPECT_FALSE(reading.live);
        EXPECT_NEAR(double(reading.duration_ns.value_or(0)), kFrames * kFramePeriodNs, kFramePeriodNs);
    }
}

// Raw pads go straight to the converters, encoded ones through a decoder; each source's
// timestamps are its buffers' count times their length.
TEST(MediaSourceLaunch, ReadsRawAndEncodedPads)
{
    const std::string video = "videotestsrc num-buffers=10 ! capsfilter caps=video/x-raw,width=64,height=48,"
                              "framerate=10/1";
    const struct {
        std::string description;
        std::string streams;
        std::map<int, int64_t> sound_frames;
    } cases[] = {
        {video + " audiotestsrc num-buffers=5 samplesperbuffer=4800 ! capsfilter caps=audio/x-raw,rate=48000,channels=2",
            "0 video  '' read; 1 audio  '' read; ", {{1, 24000}}},
        {video + " ! jpegenc", "0 video jpegdec '' read; ", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        const Reading reading = read_all({SourceKind::Pipeline, c.description});
        EXPECT_EQ(reading.failure.message, "");
        EXPECT_EQ(streams_of(reading), c.streams);
        expect_frames(reading, 10, 100'000'000);
        EXPECT_EQ(reading.sound_frames, c.sound_frames);
    }
}

// Hides every decoder of `caps` from the decoding bins while it lives.
class HiddenDecoders {
public:
    explicit HiddenDecoders(const char* caps)
    {
        GstCapsPtr hidden(gst_caps_from_string(caps));
        GList* decoders = gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_DECODER, GST_RANK_NONE);
        for (GList* node = decoders; node != nullptr; node = node->next) {
            auto* feature = GST_PLUGIN_FEATURE(node->data);
            if (!gst_element_factory_can_sink_any_caps(GST_ELEMENT_FACTORY(feature), hidden.get()))
                continue;
            ranks_.emplace_back(GstObjectPtr<GstPluginFeature>(GST_PLUGIN_FEATURE(gst_object_ref(feature))),
                gst_plugin_feature_get_rank(feature));
            gst_plugin_feature_set_rank(feature, GST_RANK_NONE);
        }
        gst_plugin_feature_list_free(decoders);
    }
    ~HiddenDecoders()
    {
        for (const auto& [feature, rank] : ranks_)
            gst_plugin_feature_set_rank(feature.get(), rank);
    }

private:
    std::vector<std::pair<GstObjectPtr<GstPluginFeature>, guint>> ranks_;
};

// Noise (A-law, 44.1 kHz) first, the clip's sound second: both listed in that order and read
// with their own indices and rates; with no decoder for the noise, it is listed and warned
// about, not read.
TEST_F(MediaSourceClip, ListsAndReadsEveryAudioStream)
{
    const struct {
        const char* name;
        const char* hidden; ///< caps whose decoders are hidden
        std::string streams;
        std::map<int, int64_t> sound_frames;
        std::vector<std::string> warnings;
    } cases[] = {
        {"both.mkv", nullptr, "0 video avdec_h264 'en' read; 1 audio alawdec 'fi' read; 2 audio flacdec 'sv' read; ",
            {{1, 44100}, {2, kSoundFrames}}, {}},
        {"undecodable.mkv", "audio/x-alaw",
            "0 video avdec_h264 'en' read; 1 audio  'fi' not read; 2 audio flacdec 'sv' read; ", {{2, kSoundFrames}},
            {"No decoder for audio/x-alaw; the stream is not read"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ffmpeg({"-i", clip(), "-f", "lavfi", "-i", "anoisesrc=d=1:r=44100", "-map", "0:v", "-map", "1:a",
            "-map", "0:a", "-c:v", "copy", "-c:a:0", "pcm_alaw", "-c:a:1", "flac", "-metadata:s:a:0", "language=fin",
            "-metadata:s:a:1", "language=swe", dir_->file(c.name)}));
        std::optional<HiddenDecoders> hidden;
        if (c.hidden != nullptr)
            hidden.emplace(c.hidden);
        Reading reading = read_all({SourceKind::File, dir_->file(c.name)});
        EXPECT_EQ(reading.failure.message, "");
        EXPECT_EQ(streams_of(reading), c.streams);
        EXPECT_EQ(reading.sound_frames, c.sound_frames);
        EXPECT_EQ(reading.sound_rates[2], 48000);
        expect_frames(reading, kFrames, kFramePeriodNs);
        EXPECT_EQ(reading.warnings, c.warnings);
        ASSERT_EQ(reading.streams.size(), 3u);
        EXPECT_EQ(reading.streams[1].format, "audio/x-alaw, rate=(int)44100, channels=(int)1");
    }
}

// A FIFO reads like the file while its writer sends the clip; without a writer, or with one
// that goes quiet holding the pipe open, the watchdog ends the source while the writer still
// waits, and closing it does not hang.
TEST_F(MediaSourceClip, FifoEndsWithItsWriterOrTheWatchdog)
{
    const std::string stalled = "Decoding stalled: no buffer, message or end of stream from the pipeline for 2 s (the "
                                "limit is set by SKELV_STALL_SECONDS)";
    const std::string half = std::to_string(std::filesystem::file_size(clip()) / 2);
    const std::string fifo = dir_->file("fifo.mkv");
    const struct {
        const char* name;
        std::string writer; ///< shell command writing to the FIFO; none when empty
        std::string failure;
        bool some_frames;
    } cases[] = {
        {"whole clip", "cat '" + clip() + "' > '" + fifo + "'", "", true},
        {"no writer", "", stalled, false},
        {"half, then quiet", "{ head -c " + half + " '" + clip() + "'; sleep 60; } > '" + fifo + "'", stalled, true},
    };
    setenv("SKELV_STALL_SECONDS", "2", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(fifo);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::optional<Background> writer;
        if (!c.writer.empty())
            writer.emplace(c.writer);
        const Reading reading = read_all({SourceKind::File, fifo});
        EXPECT_EQ(reading.failure.message, c.failure);
        EXPECT_EQ(reading.failure.detail, "");
        if (c.failure.empty())
            expect_frames(reading, kFrames, kFramePeriodNs);
        EXPECT_EQ(!reading.frame_times.empty(), c.some_frames);
        EXPECT_TRUE(c.failure.empty() || !writer || writer->running()) << "ended by the writer, not the watchdog";
    }
    unsetenv("SKELV_STALL_SECONDS");
}

// What a user reads is GStreamer's message; the element and its debug text go to the detail.
TEST_F(MediaSourceClip, FailuresSayWhatGStreamerSays)
{
    std::string random(100000, '\0');
    for (char& byte : random)
        byte = char(std::rand());
    write_file(dir_->file("random.bin"), random);
    ASSERT_TRUE(ffmpeg({"-i", clip(), "-c:v", "copy", "-c:a", "aac", "-movflags", "+faststart", dir_->file("a.mp4")}));
    write_file(dir_->file("cut.mp4"), read_file(dir_->file("a.mp4")).substr(0, 600)); // inside its index
    const struct {
        SourceRequest request;
        std::string message;
        std::string detail_start, detail_part;
    } cases[] = {
        {{SourceKind::File, dir_->file("missing.mkv")}, "Resource not found.", "filesrc",
            "No such file \"" + dir_->file("missing.mkv") + "\""},
        {{SourceKind::File, dir_->file("random.bin")}, "Could not determine type of stream.", "typefind",
            "gsttypefindelement.c"},
        {{SourceKind::File, dir_->file("cut.mp4")}, "This file is incomplete and cannot be played.", "qtdemux",
            "We got less than expected"},
        {{SourceKind::Pipeline, "nosuchelement ! fakesink"}, "no element \"nosuchelement\"", "nosuchelement ! fakesink",
            ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.location);
        const Reading reading = read_all(c.request);
        EXPECT_EQ(reading.failure.message, c.message);
        EXPECT_EQ(reading.failure.detail.rfind(c.detail_start, 0), 0u) << reading.failure.detail;
        EXPECT_NE(reading.failure.detail.find(c.detail_part), std::string::npos) << reading.failure.detail;
    }
}

// An error that a demuxer posts while the decoding bin tries it never reaches the bus, yet the
// bin keeps the demuxer: the source fails with that error all the same.
TEST_F(MediaSourceClip, AnErrorTheDecodingBinDropsStillFails)
{
    const ErrorsDuringDemuxerTrials trials("posted on trial");
    const Reading reading = read_all({SourceKind::File, clip()});
    EXPECT_EQ(reading.failure.message, "posted on trial");
    EXPECT_EQ(reading.failure.detail.rfind("matroskademux", 0), 0u) << reading.failure.detail;
}

} // namespace
