#include "loader.h"

#include "gst_ptr.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Delivery {
    int video_buffers = 0;
    size_t audio_bytes = 0;
    int calls_with_both = 0;
    std::string error;
};

Delivery drain(Loader* loader)
{
    Delivery delivery;
    GstBuffer* audio;
    GstBuffer* video;
    GError* error;
    while (loader_get_buffer(loader, &audio, &video, &error)) {
        GstBufferPtr audio_owner(audio), video_owner(video);
        GErrorPtr error_owner(error);
        delivery.video_buffers += video != nullptr;
        delivery.audio_bytes += audio != nullptr ? gst_buffer_get_size(audio) : 0;
        delivery.calls_with_both += audio != nullptr && video != nullptr;
        if (error != nullptr) {
            delivery.error = error->message;
            break;
        }
    }
    return delivery;
}

LoaderPtr open_ok(const std::string& path)
{
    GError* error = reinterpret_cast<GError*>(0x1); // must be cleared on entry
    LoaderPtr loader(loader_open(path.c_str(), &error));
    GErrorPtr owned(error);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    return loader;
}

// 10 frames of 160x120 at 25 fps and 0.4 s of 48 kHz stereo sound.
const std::vector<std::string> kSources = {"-f",        "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=0.4",
                                           "-f",        "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.4",
                                           "-ac",       "2"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

struct ContainerCase {
    const char* name;
    std::vector<std::string> codec_args;
};

void PrintTo(const ContainerCase& c, std::ostream* os)
{
    *os << c.name;
}

class LoaderContainers : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(LoaderContainers, DeliversBothStreamsToTheEndWithTheirProperties)
{
    TempDir dir;
    const std::string path = dir.file(GetParam().name);
    ASSERT_TRUE(ffmpeg(with(with(kSources, GetParam().codec_args), {path})));

    LoaderPtr loader = open_ok(path);
    ASSERT_TRUE(loader);
    gint32 width, height, stride;
    loader_get_video_size(loader.get(), &width, &height, &stride);
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 120);
    EXPECT_EQ(stride, 4 * 160);
    EXPECT_FLOAT_EQ(loader_get_framerate(loader.get()), 25.0f);
    EXPECT_EQ(loader_get_audio_rate(loader.get()), 48000);
    EXPECT_NE(loader->audiosink, nullptr);
    EXPECT_NE(loader->videosink, nullptr);

    Delivery delivery = drain(loader.get());
    EXPECT_EQ(delivery.error, "");
    EXPECT_EQ(delivery.video_buffers, 10);
    // Mono 16-bit: about 0.4 s worth, give or take the codec's padding.
    EXPECT_NEAR(double(delivery.audio_bytes) / 2, 19200, 2048);

    GstBuffer* audio;
    GstBuffer* video;
    GError* error;
    EXPECT_FALSE(loader_get_buffer(loader.get(), &audio, &video, &error)) << "finished stays finished";
    EXPECT_EQ(audio, nullptr);
    EXPECT_EQ(video, nullptr);
    EXPECT_EQ(error, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LoaderContainers,
    ::testing::Values(ContainerCase{"h264.mp4", {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}},
                      ContainerCase{"vp8.webm", {"-c:v", "libvpx", "-c:a", "libopus"}},
                      ContainerCase{"mpeg4.mkv", {"-c:v", "mpeg4", "-c:a", "pcm_s16le"}},
                      ContainerCase{"mjpeg.avi", {"-c:v", "mjpeg", "-c:a", "pcm_s16le"}},
                      ContainerCase{"theora.ogg", {"-c:v", "libtheora", "-c:a", "libvorbis"}}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(LoaderOpen, VideoOnlyFilePrunesTheAudioBranch)
{
    TempDir dir;
    const std::string path = dir.file("video.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-c:v", "mpeg4", path}));
    LoaderPtr loader = open_ok(path);
    EXPECT_EQ(loader->audiosink, nullptr);
    EXPECT_EQ(loader->audioconvert, nullptr);
    EXPECT_EQ(loader_get_audio_rate(loader.get()), 0);
    EXPECT_EQ(loader_get_audio_decoder(loader.get()), nullptr);
    Delivery delivery = drain(loader.get());
    EXPECT_EQ(delivery.video_buffers, 10);
    EXPECT_EQ(delivery.audio_bytes, 0u);
}

// The open wait may still be asking a sink whether it ended while a streaming thread prunes
// it: the loader's own reference keeps the pruned sink valid until loader_close.
TEST(LoaderOpen, PrunedSinkStaysValidUntilClose)
{
    TempDir dir;
    const std::string path = dir.file("video.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-c:v", "mpeg4", path}));
    LoaderPtr loader = open_ok(path);
    ASSERT_EQ(loader->audiosink, nullptr);
    ASSERT_NE(loader->audiosink_ref, nullptr);
    EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(loader->audiosink_ref), 1) << "only the loader holds it";
    EXPECT_EQ(GST_OBJECT_PARENT(loader->audiosink_ref), nullptr) << "out of the pipeline";
}

TEST(LoaderOpen, AudioOnlyFilePrunesTheVideoBranch)
{
    TempDir dir;
    const std::string path = dir.file("audio.ogg");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=44100:duration=0.5", "-c:a", "libvorbis", path}));
    LoaderPtr loader = open_ok(path);
    EXPECT_EQ(loader->videosink, nullptr);
    EXPECT_EQ(loader->videoconvert, nullptr);
    gint32 width = -1, height = -1, stride = -1;
    loader_get_video_size(loader.get(), &width, &height, &stride);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(stride, 0);
    EXPECT_EQ(loader_get_framerate(loader.get()), 0.0f);
    EXPECT_EQ(loader_get_audio_rate(loader.get()), 44100);
    Delivery delivery = drain(loader.get());
    EXPECT_EQ(delivery.video_buffers, 0);
    EXPECT_NEAR(double(delivery.audio_bytes) / 2, 22050, 1024);
}

TEST(LoaderOpen, LinkedStreamEndingWithoutSamplesDoesNotHoldTheOpen)
{
    TempDir dir;
    const std::string path = dir.file("empty-audio.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-f", "lavfi", "-i",
                        "anullsrc=r=48000", "-map", "0", "-map", "1", "-c:v", "mpeg4", "-c:a", "pcm_s16le", "-af",
                        "atrim=end_sample=0", path}));
    LoaderPtr loader = open_ok(path);
    Delivery delivery = drain(loader.get());
    EXPECT_EQ(delivery.error, "");
    EXPECT_EQ(delivery.video_buffers, 10);
    EXPECT_EQ(delivery.audio_bytes, 0u);
}

TEST(LoaderOpen, MissingFileFailsWithTheSourceError)
{
    GError* error = nullptr;
    LoaderPtr loader(loader_open("/nonexistent/clip.mp4", &error));
    GErrorPtr owned(error);
    ASSERT_NE(loader, nullptr) << "a handle comes back even on failure";
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, GST_RESOURCE_ERROR);
    EXPECT_EQ(error->code, GST_RESOURCE_ERROR_NOT_FOUND);
    EXPECT_EQ(std::string(error->message).rfind("Error from filesrc0: ", 0), 0u) << error->message;
    EXPECT_NE(std::string(error->message).find('\n'), std::string::npos) << "debug text on its own line";
}

TEST(LoaderOpen, OnlyTheFirstAudioStreamIsLinked)
{
    TempDir dir;
    const std::string path = dir.file("two-audio.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-f", "lavfi", "-i",
                        "sine=sample_rate=48000:duration=1", "-f", "lavfi", "-i", "sine=sample_rate=8000:duration=1",
                        "-map", "0", "-map", "1", "-map", "2", "-c:v", "mpeg4", "-c:a", "pcm_s16le", path}));
    LoaderPtr loader = open_ok(path);
    const gint32 rate = loader_get_audio_rate(loader.get());
    EXPECT_TRUE(rate == 48000 || rate == 8000) << rate;
    Delivery delivery = drain(loader.get());
    EXPECT_EQ(delivery.error, "");
    EXPECT_EQ(delivery.video_buffers, 10);
    EXPECT_NEAR(double(delivery.audio_bytes) / 2, rate, rate / 20.0) << "one stream's worth of samples";
}

TEST(LoaderOpen, SubtitleStreamIsIgnored)
{
    TempDir dir;
    const std::string subtitles = dir.file("subs.srt");
    write_file(subtitles, "1\n00:00:00,000 --> 00:00:00,500\nhello\n\n");
    const std::string path = dir.file("subtitled.mkv");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-i", subtitles, "-map", "0",
                        "-map", "1", "-c:v", "mpeg4", "-c:s", "srt", path}));
    LoaderPtr loader = open_ok(path);
    Delivery delivery = drain(loader.get());
    EXPECT_EQ(delivery.error, "");
    EXPECT_EQ(delivery.video_buffers, 10);
}

// The open wait may consume every "new-sample" message: samples already announced must
// then be handed out at once, not after a bus timeout.
TEST(LoaderDelivery, AnnouncedSamplesNeedNoFurtherMessage)
{
    TempDir dir;
    const std::string path = dir.file("short.wav");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=8000:duration=0.5", "-c:a", "pcm_s16le", path}));
    LoaderPtr loader = open_ok(path);
    // The whole file fits in the sink's queue, and its end is held back until the queue
    // is pulled: once the bus is quiet, no message comes before the next pull.
    while (GstMessagePtr(gst_bus_timed_pop(loader->bus, GST_SECOND / 5)))
        continue;

    const gint64 start = g_get_monotonic_time();
    GstBuffer* audio;
    GstBuffer* video;
    GError* error;
    ASSERT_TRUE(loader_get_buffer(loader.get(), &audio, &video, &error));
    GstBufferPtr audio_owner(audio), video_owner(video);
    GErrorPtr error_owner(error);
    EXPECT_NE(audio, nullptr);
    EXPECT_LT(g_get_monotonic_time() - start, G_USEC_PER_SEC / 2);
}

struct NamesCase {
    const char* file;
    std::vector<std::string> codec_args;
    const char* demuxer;
    const char* video_decoder;
    const char* audio_decoder;
    const char* muxer;
    const char* video_encoder;
    const char* audio_encoder;
};

void PrintTo(const NamesCase& c, std::ostream* os)
{
    *os << c.file;
}

class LoaderElementNames : public ::testing::TestWithParam<NamesCase> {};

std::string or_null(const gchar* name)
{
    return name != nullptr ? name : "(null)";
}

TEST_P(LoaderElementNames, NameTheChosenAndMatchingFactories)
{
    const NamesCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file(c.file);
    ASSERT_TRUE(ffmpeg(with(with(kSources, c.codec_args), {path})));
    LoaderPtr loader = open_ok(path);
    EXPECT_EQ(or_null(loader_get_demuxer(loader.get())), c.demuxer);
    EXPECT_EQ(or_null(loader_get_video_decoder(loader.get())), c.video_decoder);
    EXPECT_EQ(or_null(loader_get_audio_decoder(loader.get())), c.audio_decoder);
    EXPECT_EQ(or_null(loader_get_muxer(loader.get())), c.muxer);
    EXPECT_EQ(or_null(loader_get_video_encoder(loader.get())), c.video_encoder);
    EXPECT_EQ(or_null(loader_get_audio_encoder(loader.get())), c.audio_encoder);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LoaderElementNames,
    ::testing::Values(NamesCase{"h264.mp4", {"-c:v", "libx264", "-c:a", "aac"}, "qtdemux", "avdec_h264", "avdec_aac",
                                "mp4mux", "x264enc", "voaacenc"},
                      NamesCase{"vp8.webm", {"-c:v", "libvpx", "-c:a", "libvorbis"}, "matroskademux", "vp8dec",
                                "vorbisdec", "webmmux", "vp8enc", "vorbisenc"},
                      NamesCase{"mjpeg.avi", {"-c:v", "mjpeg", "-c:a", "pcm_s16le"}, "avidemux", "jpegdec", "(null)",
                                "avimux", "jpegenc", "(null)"}),
    [](const auto& info) { return std::string(info.param.demuxer); });

} // namespace
