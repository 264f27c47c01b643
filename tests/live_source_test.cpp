// Live sources in-process, each fed on 127.0.0.1 by a sender or server the test starts on a
// clip made by skelv-generate: SRT both ways, RTSP, HLS growing while it is read; a server that
// goes away and comes back, and a reader too slow for its live source.
// skelv-check on live sources (UDP and RTP, an outage, the sound from a second description,
// signals) is tested end to end in live_check_test.cpp.
#include "media/media_source.h"

#include "support/local_servers.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/socket.h>
#include <thread>

namespace {

using namespace skelv;
using Clock = std::chrono::steady_clock;

// The clips' design: 160x120 at 25 frames per second, mono sound at 48 kHz; long.ts (12 s) in
// MPEG-TS with MPEG-2 and MP2, hls.mkv (4 s) with H.264 and FLAC. Most reads stop after 2 s.
constexpr int kFrames = 50;
constexpr int64_t kFramePeriodNs = 40'000'000;
constexpr int64_t kSoundFrames = 96000;
constexpr double kReadSeconds = 20; ///< no reading goes on longer
// Live MPEG-TS is timed by recovering the sender's clock from its arrival: over the first
// second that moves single frames by a few ms, more on a busy machine. Still far less than a
// period, so a frame lost or repeated shows.
constexpr double kClockRecoveryNs = 15e6;

MediaSourceOptions live_options(bool reconnect = false)
{
    MediaSourceOptions options;
    options.idle_ns = 100'000'000;
    options.reconnect = reconnect;
    return options;
}

// What a live source handed out, in its order.
struct LiveReading {
    std::vector<int64_t> frame_times; ///< running times
    std::vector<int64_t> frame_indices;
    std::vector<int64_t> lost_before;
    std::vector<Clock::time_point> frame_arrivals;
    std::map<int, int64_t> sound_frames; ///< per stream index
    int64_t first_sound_ns = -1;
    std::vector<std::string> interruptions;
    std::vector<size_t> frames_at_interruption;
    MediaItem last = MediaItem::Idle; ///< End or Failed, else what came before the reading stopped
    MediaError error;
};

// Reads until the source ends or fails, or `frames` frames and `sound_frames` of sound have
// come, for at most kReadSeconds; `on_item` sees every item as it comes.
LiveReading read_live(MediaSource* source, size_t frames, int64_t sound_frames = 0,
                      const std::function<void(MediaItem, const LiveReading&)>& on_item = nullptr)
{
    LiveReading reading;
    MediaFrame frame;
    MediaSound sound;
    int64_t sound_read = 0;
    const auto deadline = Clock::now() + std::chrono::duration<double>(kReadSeconds);
    while ((reading.frame_times.size() < frames || sound_read < sound_frames) && Clock::now() < deadline) {
        MediaError error;
        reading.last = source->next(&frame, &sound, &error);
        if (reading.last == MediaItem::Frame) {
            reading.frame_times.push_back(frame.time_ns);
            reading.frame_indices.push_back(frame.index);
            reading.lost_before.push_back(frame.lost_before);
            reading.frame_arrivals.push_back(Clock::now());
        } else if (reading.last == MediaItem::Sound) {
            reading.first_sound_ns = reading.first_sound_ns < 0 ? sound.time_ns : reading.first_sound_ns;
            reading.sound_frames[sound.stream] += int64_t(sound.frames);
            sound_read += int64_t(sound.frames);
        } else if (reading.last == MediaItem::Interrupted) {
            reading.interruptions.push_back(error.message);
            reading.frames_at_interruption.push_back(reading.frame_times.size());
        } else if (reading.last == MediaItem::End || reading.last == MediaItem::Failed) {
            reading.error = error;
            return reading;
        }
        if (on_item)
            on_item(reading.last, reading);
    }
    return reading;
}

// Frames `from` to `to` (not included) one period apart: none lost, none twice.
void expect_steady_frames(const LiveReading& reading, size_t from, size_t to, double tolerance_ns = 0)
{
    for (size_t i = from + 1; i < to; ++i)
        EXPECT_NEAR(double(reading.frame_times[i] - reading.frame_times[i - 1]), kFramePeriodNs, tolerance_ns)
            << "frame " << i;
}

// The longest wait between two frames the reader was handed, in s.
double longest_wait_s(const LiveReading& reading)
{
    double longest = 0;
    for (size_t i = 1; i < reading.frame_arrivals.size(); ++i)
        longest = std::max(longest,
                           std::chrono::duration<double>(reading.frame_arrivals[i] - reading.frame_arrivals[i - 1]).count());
    return longest;
}

class LiveSource : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        for (const auto& [name, seconds] : {std::pair{"long.ts", "12"}, {"hls.mkv", "4"}})
            ASSERT_EQ(generate({"--size", "160x120", "--duration", seconds, name}, dir_->path()).exit_code, 0);
    }
    static void TearDownTestSuite() { delete dir_; }

    // `text` with {port}, {server} and {long} filled in: the long clip's streams muxed again,
    // their times kept, so that a sink syncing on them sends each picture at its time (the
    // file's own packets would leave in bursts).
    static std::string filled(std::string text, int port)
    {
        const std::string stream = "filesrc location=" + dir_->file("long.ts") +
            " ! tsdemux name=d d. ! queue ! mpegvideoparse ! mux. d. ! queue ! mpegaudioparse ! mux. "
            "mpegtsmux name=mux alignment=7";
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"{port}", std::to_string(port)}, {"{server}", RTSP_TEST_SERVER},
              {"{long}", stream}})
            for (size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, name.size(), value);
        return text;
    }

    static TempDir* dir_;
};
TempDir* LiveSource::dir_ = nullptr;

struct WayIn {
    const char* name;
    const char* uri;    ///< {port} and the other names as LiveSource::filled takes them
    const char* sender; ///< started after a second for the source to bind its port, or first if a server
    int port_type;
    bool listens;
    // How far a frame may stray from one period after the one before, by clock recovery
    // (kClockRecoveryNs) or more: SRT's listening sender holds what it sends until its caller
    // comes, then sends it at once, and the arrival of that burst times the first second.
    double tolerance_ns = kClockRecoveryNs;
};

// UDP and RTP go through skelv-check itself in live_check_test.cpp.
const WayIn kWaysIn[] = {
    {"srt_listener", "srt://127.0.0.1:{port}?mode=listener",
        "gst-launch-1.0 -q {long} ! srtsink uri=srt://127.0.0.1:{port} sync=true", SOCK_DGRAM, false},
    {"srt_caller", "srt://127.0.0.1:{port}",
        "gst-launch-1.0 -q {long} ! srtsink uri='srt://127.0.0.1:{port}?mode=listener' sync=true", SOCK_DGRAM, false,
        30e6},
    {"rtsp", "rtsp://127.0.0.1:{port}/clip", "{server} {port} /clip '( {long} ! rtpmp2tpay name=pay0 )'",
        SOCK_STREAM, true},
};

class LiveWayIn : public LiveSource, public ::testing::WithParamInterface<WayIn> {};

void PrintTo(const WayIn& way, std::ostream* out)
{
    *out << way.name;
}

// Each way in reads the long clip as it is sent in real time, its first 2 s here: every frame
// one period after the one before, the sound beside them, nothing lost; the source is live
// and tells no length. A server starts first; SRT's caller knocks until its listener comes.
TEST_P(LiveWayIn, ReadsTheClipAsItIsSent)
{
    const WayIn& way = GetParam();
    const int port = free_port(way.port_type);
    Background sender((way.listens ? "" : "sleep 1; ") + filled(way.sender, port));
    if (way.listens) {
        ASSERT_TRUE(accepts_within(port, 10));
    }
    MediaError error;
    std::unique_ptr<MediaSource> source =
        MediaSource::open({SourceKind::Uri, filled(way.uri, port)}, live_options(), &error);
    ASSERT_TRUE(source) << error.message << " " << error.detail;
    EXPECT_TRUE(source->live());
    EXPECT_EQ(source->duration_ns(), std::nullopt);
    ASSERT_EQ(source->streams().size(), 2u);
    EXPECT_EQ(source->streams()[1].type, StreamType::Audio);

    const LiveReading reading = read_live(source.get(), kFrames, kSoundFrames);
    EXPECT_TRUE(reading.last == MediaItem::Frame || reading.last == MediaItem::Sound) << reading.error.message;
    EXPECT_EQ(reading.interruptions, std::vector<std::string>{});
    ASSERT_GE(reading.frame_times.size(), size_t(kFrames));
    expect_steady_frames(reading, 0, kFrames, way.tolerance_ns);
    EXPECT_EQ(reading.sound_frames.size(), 1u);
    EXPECT_NEAR(double(reading.first_sound_ns - reading.frame_times[0]), 0, 0.3e9) << "on one timeline";
    EXPECT_EQ(source->frames_lost(), 0);
}

INSTANTIATE_TEST_SUITE_P(Network, LiveWayIn, ::testing::ValuesIn(kWaysIn),
                         [](const ::testing::TestParamInfo<WayIn>& info) { return std::string(info.param.name); });

// The RTSP server goes away while its clip plays. Without reconnection the source fails; with
// it, it is interrupted, tries again after 1 s (the server is still away: interrupted again),
// then after 2 s finds it back: frames again, their indices and times going on from before.
// The loss itself is told as a failed read or, when the server went first, a failed open.
TEST_F(LiveSource, ReconnectsWhenTheServerComesBack)
{
    const std::string gone = "Could not open resource for reading and writing.";
    const auto lost = [&](const std::string& why) { return why == gone || why == "Could not read from resource."; };
    for (const bool reconnect : {false, true}) {
        SCOPED_TRACE(reconnect ? "reconnect" : "no reconnect");
        const int port = free_port(SOCK_STREAM);
        const std::string serve = filled("exec {server} {port} /clip '( {long} ! rtpmp2tpay name=pay0 )'", port);
        std::optional<Background> server(std::in_place, serve);
        ASSERT_TRUE(accepts_within(port, 10));
        MediaError error;
        std::unique_ptr<MediaSource> source = MediaSource::open(
            {SourceKind::Uri, filled("rtsp://127.0.0.1:{port}/clip", port)}, live_options(reconnect), &error);
        ASSERT_TRUE(source) << error.message;

        const LiveReading reading =
            read_live(source.get(), 2 * kFrames, 0, [&](MediaItem item, const LiveReading& r) {
                if (item == MediaItem::Frame && r.frame_times.size() == size_t(kFrames))
                    server->stop();
                else if (item == MediaItem::Interrupted && r.interruptions.size() == 2)
                    server.emplace(serve);
            });
        if (!reconnect) {
            EXPECT_EQ(reading.last, MediaItem::Failed);
            EXPECT_TRUE(lost(reading.error.message)) << reading.error.message;
            EXPECT_EQ(reading.interruptions.size(), 0u);
            continue;
        }
        ASSERT_EQ(reading.interruptions.size(), 2u);
        EXPECT_TRUE(lost(reading.interruptions[0])) << reading.interruptions[0];
        EXPECT_EQ(reading.interruptions[1], gone) << "the server still away";
        ASSERT_EQ(reading.frame_times.size(), size_t(2 * kFrames)) << reading.error.message;
        const size_t back = reading.frames_at_interruption.front();
        EXPECT_EQ(reading.frame_indices[back], int64_t(back));
        const double gap_s = double(reading.frame_times[back] - reading.frame_times[back - 1]) / 1e9;
        EXPECT_GT(gap_s, 3.0) << "1 s and 2 s of back-off";
        EXPECT_NEAR(gap_s, longest_wait_s(reading), 0.5) << "the gap is as long as the wait";
        expect_steady_frames(reading, back, 2 * kFrames, kClockRecoveryNs);
        EXPECT_EQ(source->streams().size(), 2u);
        EXPECT_EQ(reading.sound_frames.size(), 1u) << "the sound keeps its stream index";
    }
}

// hlssink2 cuts the clip, encoded again in real time with a keyframe every second, into
// segments of 1 s, served by the test's own HTTP server. Read while it grows, the playlist is
// live, tells no length and ends with the clip; read again once finished, it is a file like
// any other.
TEST_F(LiveSource, ReadsAPlaylistWhileItGrowsAndOnceFinished)
{
    const std::string dir = dir_->path(), playlist = dir_->file("live.m3u8");
    Background sender("gst-launch-1.0 -q filesrc location=" + dir + "/hls.mkv ! matroskademux name=d d.video_0 ! "
                      "queue ! h264parse ! avdec_h264 ! clocksync ! x264enc key-int-max=25 speed-preset=ultrafast ! "
                      "h264parse ! hls.video d.audio_0 ! queue ! flacparse ! flacdec ! audioconvert ! clocksync ! "
                      "avenc_aac ! aacparse ! hls.audio hlssink2 name=hls target-duration=1 playlist-location=" +
                      playlist + " location=" + dir + "/segment%05d.ts");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(playlist) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    FileServer server(dir);
    for (const bool growing : {true, false}) {
        SCOPED_TRACE(growing ? "growing" : "finished");
        MediaError error;
        std::unique_ptr<MediaSource> source =
            MediaSource::open({SourceKind::Uri, server.url("live.m3u8")}, live_options(), &error);
        ASSERT_TRUE(source) << error.message;
        EXPECT_EQ(source->live(), growing);
        EXPECT_TRUE(source->segmented());
        EXPECT_EQ(source->duration_ns().has_value(), !growing);
        const LiveReading reading = read_live(source.get(), SIZE_MAX);
        EXPECT_EQ(reading.last, MediaItem::End) << reading.error.message;
        ASSERT_EQ(reading.frame_times.size(), size_t(2 * kFrames));
        expect_steady_frames(reading, 0, 2 * kFrames);
        EXPECT_NEAR(double(reading.sound_frames.at(1)), 2 * kSoundFrames, 2048) << "AAC's priming and padding";
        EXPECT_EQ(source->frames_lost(), 0);
    }
}

// A reader slower than its live source loses frames rather than holding the source up: 50
// frames a second for 2 s, read at about 16 a second; every frame is either read, in its
// order, or counted as lost, right before the frame that follows the gap. At its end the
// description ends for good, though the source would reconnect.
TEST_F(LiveSource, CountsTheFramesASlowReaderLoses)
{
    constexpr int kMade = 100;
    constexpr int64_t kPeriodNs = 20'000'000;
    MediaError error;
    std::unique_ptr<MediaSource> source = MediaSource::open(
        {SourceKind::Pipeline, "videotestsrc is-live=true num-buffers=" + std::to_string(kMade) +
                                   " ! capsfilter caps=video/x-raw,width=64,height=48,framerate=50/1"},
        live_options(true), &error);
    ASSERT_TRUE(source) << error.message;
    ASSERT_TRUE(source->live());
    EXPECT_FALSE(source->segmented());
    const LiveReading reading = read_live(source.get(), SIZE_MAX, 0, [](MediaItem item, const LiveReading&) {
        if (item == MediaItem::Frame)
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
    });
    EXPECT_EQ(reading.last, MediaItem::End) << reading.error.message;
    EXPECT_GT(source->frames_lost(), 0);
    EXPECT_EQ(int64_t(reading.frame_times.size()) + source->frames_lost(), kMade);
    for (size_t i = 1; i < reading.frame_times.size(); ++i) {
        const int64_t step = reading.frame_times[i] - reading.frame_times[i - 1];
        EXPECT_TRUE(step > 0 && step % kPeriodNs == 0) << "frame " << i << ": " << step;
        EXPECT_EQ(reading.lost_before[i], step / kPeriodNs - 1) << "frame " << i;
        EXPECT_EQ(reading.frame_indices[i], int64_t(i));
    }
}

} // namespace
