// The loader in-process: what it opens, links, prunes and hands out, and how it fails.
#include "media/loader.h"

#include "media/gst_ptr.h"
#include "support/trial_errors.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace {

struct Delivery {
    int video_buffers = 0;
    size_t audio_bytes = 0; ///< mono 16-bit
    std::string error;
};

Delivery drain(Loader* loader)
{
    Delivery delivery;
    GstBuffer *audio, *video;
    GError* error;
    while (loader_get_buffer(loader, &audio, &video, &error)) {
        GstBufferPtr audio_owner(audio), video_owner(video);
        GErrorPtr error_owner(error);
        delivery.video_buffers += video != nullptr;
        delivery.audio_bytes += audio != nullptr ? gst_buffer_get_size(audio) : 0;
        if (error != nullptr) {
            delivery.error = error->message;
            return delivery;
        }
    }
    EXPECT_FALSE(loader_get_buffer(loader, &audio, &video, &error)) << "finished stays finished";
    EXPECT_TRUE(audio == nullptr && video == nullptr && error == nullptr);
    return delivery;
}

// Writes a clip with ffmpeg from `args` and opens it; null with a test failure otherwise.
LoaderPtr open_clip(const TempDir& dir, const std::string& name, std::vector<std::string> args)
{
    args.push_back(dir.file(name));
    if (!ffmpeg(args))
        return nullptr;
    GError* error = reinterpret_cast<GError*>(0x1); // must be cleared on entry
    LoaderPtr loader(loader_open(dir.file(name).c_str(), &error));
    GErrorPtr owned(error);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    return error == nullptr ? std::move(loader) : nullptr;
}

// Frame size/stride, frame and sample rates, branches still linked, then the element names.
std::string opened(Loader* loader)
{
    gint32 width = -1, height = -1, stride = -1;
    loader_get_video_size(loader, &width, &height, &stride);
    std::ostringstream text;
    text << width << "x" << height << "/" << stride << " " << loader_get_framerate(loader) << " fps "
         << loader_get_audio_rate(loader) << " Hz" << (loader->videoconvert ? " videoconvert" : "")
         << (loader->videosink ? "+sink" : "") << (loader->audioconvert ? " audioconvert" : "")
         << (loader->audiosink ? "+sink" : "") << ":";
    for (auto name : {loader_get_demuxer, loader_get_video_decoder, loader_get_audio_decoder, loader_get_muxer,
             loader_get_video_encoder, loader_get_audio_encoder})
        text << " " << (name(loader) != nullptr ? name(loader) : "(null)");
    return text.str();
}

// 10 frames of 64x48 at 10 fps.
#define VIDEO "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1"

// Odd shapes (the codec matrix has the common ones); a pruned sink stays valid until loader_close.
TEST(LoaderStreams, OpensLinksAndDeliversToTheEnd)
{
    const std::string kMkv = "64x48/256 10 fps 48000 Hz videoconvert+sink audioconvert+sink: matroskademux "
                             "avdec_mpeg4 (null) matroskamux avenc_mpeg4 (null)";
    const struct {
        const char* file;
        std::vector<std::string> args;
        std::string opened;
        int frames;
        int samples, tolerance; ///< mono samples delivered, give or take a codec's padding
    } cases[] = {
        {"audio_only.ogg", {"-f", "lavfi", "-i", "sine=sample_rate=44100:duration=0.5", "-c:a", "libvorbis"},
            "0x0/0 0 fps 44100 Hz audioconvert+sink: oggdemux (null) vorbisdec oggmux (null) vorbisenc", 0, 22050,
            1024},
        // Only the first audio stream is linked, and no subtitles (one line, as a data: URL).
        {"streams.mkv", {VIDEO, "-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1", "-f", "lavfi", "-i",
            "sine=sample_rate=8000:duration=1", "-f", "srt", "-i",
            "data:text/plain;base64,MQowMDowMDowMCwwMDAgLS0+IDAwOjAwOjAwLDUwMApoZWxsbwoK", "-map", "0", "-map", "1",
            "-map", "2", "-map", "3", "-c:v", "mpeg4", "-c:a", "pcm_s16le", "-c:s", "srt"},
            kMkv, 10, 48000, 2400},
        // A linked stream that ends without a sample must not hold the open.
        {"empty_audio.mkv", {VIDEO, "-f", "lavfi", "-i", "anullsrc=r=48000", "-map", "0", "-map", "1", "-c:v", "mpeg4",
            "-c:a", "pcm_s16le", "-af", "atrim=end_sample=0"},
            kMkv, 10, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        LoaderPtr loader = open_clip(dir, c.file, c.args);
        ASSERT_TRUE(loader);
        EXPECT_EQ(opened(loader.get()), c.opened);
        for (auto [sink, kept] :
            {std::pair(loader->videosink, loader->videosink_ref), {loader->audiosink, loader->audiosink_ref}})
            if (sink == nullptr) {
                ASSERT_NE(kept, nullptr);
                EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(kept), 1) << "only the loader holds the pruned sink";
                EXPECT_EQ(GST_OBJECT_PARENT(kept), nullptr) << "out of the pipeline";
            }
        const Delivery delivery = drain(loader.get());
        EXPECT_EQ(std::pair(delivery.error, delivery.video_buffers), std::pair(std::string(), c.frames));
        EXPECT_NEAR(double(delivery.audio_bytes) / 2, c.samples, c.tolerance);
    }
}

// SKELV_DECODER_THREADS reaches the libav decoder that decodebin picks; without it, its default (0: auto).
TEST(LoaderDecoderThreads, SetFromTheEnvironment)
{
    TempDir dir;
    for (const auto& [setting, threads] : {std::pair("1", 1), {"3", 3}, {"many", 0}, {nullptr, 0}}) {
        if (setting != nullptr)
            setenv("SKELV_DECODER_THREADS", setting, 1);
        LoaderPtr loader = open_clip(dir, "clip.mkv", {VIDEO, "-c:v", "mpeg4"});
        unsetenv("SKELV_DECODER_THREADS");
        ASSERT_TRUE(loader);
        ASSERT_STREQ(loader_get_video_decoder(loader.get()), "avdec_mpeg4");
        std::unique_ptr<GstIterator, decltype(&gst_iterator_free)> decoders(
            gst_bin_iterate_all_by_element_factory_name(GST_BIN(loader->pipeline), "avdec_mpeg4"), gst_iterator_free);
        GValue decoder = G_VALUE_INIT;
        ASSERT_EQ(gst_iterator_next(decoders.get(), &decoder), GST_ITERATOR_OK);
        gint value = -1;
        g_object_get(g_value_get_object(&decoder), "max-threads", &value, nullptr);
        g_value_unset(&decoder);
        EXPECT_EQ(value, threads) << (setting ? setting : "unset");
    }
}

// Holds the streaming thread `hold_ms` before each video frame, or before the first only.
struct Hold { int hold_ms; bool every; };
GstPadProbeReturn hold_frame(GstPad*, GstPadProbeInfo*, gpointer data)
{
    auto* hold = static_cast<Hold*>(data);
    std::this_thread::sleep_for(std::chrono::milliseconds(hold->hold_ms));
    hold->hold_ms = hold->every ? hold->hold_ms : 0;
    return GST_PAD_PROBE_OK;
}

// Only time without a sign of life counts: a slowed decode moves, a held one stalls. Ten frames
// may be queued before the probe; the other ten, held 200 ms each, outlast the limit.
TEST(LoaderWatchdog, SlowDecodeMovesAndAHeldOneStalls)
{
    TempDir dir;
    for (Hold hold : {Hold{200, true}, Hold{1500, false}}) {
        LoaderPtr loader = open_clip(dir, "slow.mkv", {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=2",
            "-c:v", "mpeg4"});
        ASSERT_TRUE(loader);
        loader->stall_limit = G_USEC_PER_SEC;
        GstPadPtr pad(gst_element_get_static_pad(loader->videoconvert, "sink"));
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, hold_frame, &hold, nullptr);
        const gint64 start = g_get_monotonic_time();
        const Delivery delivery = drain(loader.get());
        if (hold.every) {
            EXPECT_EQ(delivery.error, "");
            EXPECT_EQ(delivery.video_buffers, 20);
            EXPECT_GT(g_get_monotonic_time() - start, 3 * G_USEC_PER_SEC / 2) << "slower in all than the limit";
        } else {
            EXPECT_EQ(delivery.error, "Decoding stalled: no buffer, message or end of stream from the pipeline for "
                                      "1 s (the limit is set by SKELV_STALL_SECONDS)");
        }
    }
}

// An error that a demuxer posts while the decoding bin tries it never reaches the bus; the bin
// keeps the demuxer, and the clip would read as whole. The open ends with that error instead.
TEST(LoaderErrors, OneTheDecodingBinDropsStillEndsTheOpen)
{
    TempDir dir;
    ASSERT_TRUE(ffmpeg({VIDEO, "-c:v", "mpeg4", dir.file("clip.mkv")}));
    const ErrorsDuringDemuxerTrials trials("posted on trial");
    GError* error = nullptr;
    LoaderPtr loader(loader_open(dir.file("clip.mkv").c_str(), &error));
    GErrorPtr owned(error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error->message).substr(0, std::string(error->message).find('\n')),
        "Error from matroskademux0: posted on trial");
}

// A frame stamped outside its segment is shown at the segment's edge, never at an unset time.
TEST(LoaderRunningTime, OutsideTheSegmentTakesTheNearerEdge)
{
    Loader loader{};
    gst_segment_init(&loader.video_segment, GST_FORMAT_TIME);
    loader.video_segment.start = 1 * GST_SECOND;
    loader.video_segment.stop = 3 * GST_SECOND;
    loader.video_segment.base = 10 * GST_SECOND;
    loader.audio_segment = loader.video_segment;
    const std::pair<GstClockTime, GstClockTime> cases[] = {{GST_SECOND / 2, 10 * GST_SECOND},
        {GST_SECOND * 3 / 2, GST_SECOND * 21 / 2}, {4 * GST_SECOND, 12 * GST_SECOND},
        {GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE}};
    for (const auto& [timestamp, running_time] : cases) {
        EXPECT_EQ(loader_get_video_running_time(&loader, timestamp), running_time) << timestamp;
        EXPECT_EQ(loader_get_audio_running_time(&loader, timestamp), running_time) << timestamp;
    }
}

} // namespace
