// Live sources in-process, each fed on 127.0.0.1 by a sender or server the test starts on a
// clip made by skelv-generate: MPEG-TS over UDP, the same as RTP, SRT both ways, RTSP, HLS
// growing while it is read, live launch descriptions; quiet spells, a server that goes away
// and comes back, and a reader too slow for its source.
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

// The clips' design: 160x120 at 25 frames per second, mono sound at 48 kHz, 2 s (the long one
// 12 s, the one for HLS 4 s); clip.ts and long.ts in MPEG-TS with MPEG-2 and MP2, clip.mkv and
// hls.mkv with H.264 and FLAC.
constexpr int kFrames = 50;
constexpr int64_t kFramePeriodNs = 40'000'000;
constexpr int64_t kSoundFrames = 96000;
constexpr double kReadSeconds = 20;  ///< no reading goes on longer
constexpr double kListenSeconds = 1; ///< for the source to bind its port before a sender starts
// Live MPEG-TS is timed by recovering the sender's clock from its arrival: over the first
// second that moves single frames by a few ms, more on a busy machine. Still far less than a
// period, so a frame lost or repeated shows.
constexpr double kClockRecoveryNs = 15e6;
constexpr const char* kRtpCaps = "application/x-rtp, media=(string)video, clock-rate=(int)90000, "
                                 "encoding-name=(string)MP2T";

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
    std::vector<Clock::time_point> frame_arrivals;
    std::map<int, int64_t> sound_frames; ///< per stream index
    int64_t first_sound_ns = -1;
    int idles = 0;
    int quiet = 0; ///< Idles since the latest frame or sound
    std::vector<std::string> interruptions;
    std::vector<size_t> frames_at_interruption;
    MediaItem last = MediaItem::Idle; ///< End or Failed, else what came before the reading stopped
    MediaError error;
};

using Until = std::function<bool(const LiveReading&)>;

// Until `frames` frames and `sound_frames` of sound (of any stream) have come.
Until read(size_t frames, int64_t sound_frames = 0)
{
    return [=](const LiveReading& reading) {
        int64_t sound = 0;
        for (const auto& [stream, count] : reading.sound_frames)
            sound += count;
        return reading.frame_times.size() >= frames && sound >= sound_frames;
    };
}

// Reads until the source ends or fails, or `until` holds, for at most kReadSeconds; `on_item`
// sees every item as it comes.
LiveReading read_live(MediaSource* source, const Until& until,
                      const std::function<void(MediaItem, const LiveReading&)>& on_item = nullptr)
{
    LiveReading reading;
    MediaFrame frame;
    MediaSound sound;
    const auto deadline = Clock::now() + std::chrono::duration<double>(kReadSeconds);
    while (!until(reading) && Clock::now() < deadline) {
        MediaError error;
        reading.last = source->next(&frame, &sound, &error);
        ++reading.quiet;
        switch (reading.last) {
        case MediaItem::Frame:
            reading.frame_times.push_back(frame.time_ns);
            reading.frame_indices.push_back(frame.index);
            reading.frame_arrivals.push_back(Clock::now());
            reading.quiet = 0;
            break;
        case MediaItem::Sound:
            if (reading.first_sound_ns < 0)
                reading.first_sound_ns = sound.time_ns;
            reading.sound_frames[sound.stream] += int64_t(sound.frames);
            reading.quiet = 0;
            break;
        case MediaItem::Idle: ++reading.idles; break;
        case MediaItem::Interrupted:
            reading.interruptions.push_back(error.message);
            reading.frames_at_interruption.push_back(reading.frame_times.size());
            break;
        case MediaItem::End:
        case MediaItem::Failed: reading.error = error; return reading;
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

std::string replaced(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values)
        for (size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, name.size(), value);
    return text;
}

class LiveSource : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        for (const auto& [name, seconds] :
             {std::pair{"clip.ts", "2"}, {"clip.mkv", "2"}, {"long.ts", "12"}, {"hls.mkv", "4"}})
            ASSERT_EQ(generate({"--size", "160x120", "--duration", seconds, name}, dir_->path()).exit_code, 0);
    }
    static void TearDownTestSuite() { delete dir_; }

    static std::string file(const std::string& name) { return dir_->file(name); }
    // `text` with {port}, {clip} and {long} (the clips' streams, sent at their times), {mkv},
    // {dir} and {server} filled in.
    static std::string filled(const std::string& text, int port = 0)
    {
        return replaced(text, {{"{port}", std::to_string(port)}, {"{clip}", stream_of(file("clip.ts"))},
                                  {"{long}", stream_of(file("long.ts"))}, {"{mkv}", file("clip.mkv")},
                                  {"{dir}", dir_->path()}, {"{server}", RTSP_TEST_SERVER}});
    }
    // The clip's streams muxed again, their times kept, so that a sink syncing on them sends
    // each picture at its time: the file's own packets would leave in bursts.
    static std::string stream_of(const std::string& clip)
    {
        return "filesrc location=" + clip + " ! tsdemux name=d d. ! queue ! mpegvideoparse ! mux. d. ! queue ! " +
               "mpegaudioparse ! mux. mpegtsmux name=mux alignment=7";
    }

    static TempDir* dir_;
};
TempDir* LiveSource::dir_ = nullptr;

// ---------------------------------------------------------------- over the network

struct WayIn {
    const char* name;
    const char* uri; ///< {port} and the other names as LiveSource::filled takes them
    const char* caps;
    const char* sender;
    int port_type;
    bool listens; ///< the sender is a server, started first
    // How far a frame may stray from one period after the one before, by clock recovery
    // (kClockRecoveryNs) or more: SRT's listening sender holds what it sends until its caller
    // comes, then sends it at once, and the arrival of that burst times the first second.
    double tolerance_ns = kClockRecoveryNs;
};

const WayIn kWaysIn[] = {
    {"udp_ts", "udp://127.0.0.1:{port}", "", "gst-launch-1.0 -q {long} ! udpsink host=127.0.0.1 port={port} sync=true",
        SOCK_DGRAM, false},
    {"udp_rtp", "udp://127.0.0.1:{port}", kRtpCaps,
        "gst-launch-1.0 -q {long} ! rtpmp2tpay ! udpsink host=127.0.0.1 port={port} sync=true", SOCK_DGRAM, false},
    {"srt_listener", "srt://127.0.0.1:{port}?mode=listener", "",
        "gst-launch-1.0 -q {long} ! srtsink uri=srt://127.0.0.1:{port} sync=true", SOCK_DGRAM, false},
    {"srt_caller", "srt://127.0.0.1:{port}", "",
        "gst-launch-1.0 -q {long} ! srtsink uri='srt://127.0.0.1:{port}?mode=listener' sync=true", SOCK_DGRAM, false,
        30e6},
    {"rtsp", "rtsp://127.0.0.1:{port}/clip", "", "{server} {port} /clip '( {long} ! rtpmp2tpay name=pay0 )'",
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
    SourceSpec spec(SourceKind::Uri, filled(way.uri, port));
    spec.caps = way.caps;
    Background sender(way.listens ? filled(way.sender, port)
                                  : "sleep " + std::to_string(kListenSeconds) + "; " + filled(way.sender, port));
    if (way.listens) {
        ASSERT_TRUE(accepts_within(port, 10));
    }
    MediaError error;
    std::unique_ptr<MediaSource> source = MediaSource::open(spec, live_options(), &error);
    ASSERT_TRUE(source) << error.message << " " << error.detail;
    EXPECT_TRUE(source->live());
    EXPECT_EQ(source->duration_ns(), std::nullopt);
    ASSERT_EQ(source->streams().size(), 2u);
    EXPECT_EQ(source->streams()[0].type, StreamType::Video);
    EXPECT_EQ(source->streams()[1].type, StreamType::Audio);

    const LiveReading reading = read_live(source.get(), read(kFrames, kSoundFrames));
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

// The sender sends the clip, stops for 3 s, then starts the long clip: meanwhile the source is
// idle, never failed nor interrupted; all of the clip's frames come before the gap in time,
// which is as long as the reader waited (give or take the frames the demuxer and decoder held
// until the stream came back).
TEST_F(LiveSource, AnOutageKeepsItsLength)
{
    const int port = free_port(SOCK_DGRAM);
    const std::string send = "gst-launch-1.0 -q {clip} ! udpsink host=127.0.0.1 port={port} sync=true";
    Background sender(filled("sleep " + std::to_string(kListenSeconds) + "; " + send + "; sleep 3; " +
                                 replaced(send, {{"{clip}", "{long}"}}),
                             port));
    MediaError error;
    std::unique_ptr<MediaSource> source =
        MediaSource::open({SourceKind::Uri, filled("udp://127.0.0.1:{port}", port)}, live_options(), &error);
    ASSERT_TRUE(source) << error.message;

    int longest_quiet = 0;
    const LiveReading reading = read_live(source.get(), read(2 * kFrames), [&](MediaItem, const LiveReading& r) {
        longest_quiet = std::max(longest_quiet, r.quiet);
    });
    EXPECT_EQ(reading.interruptions, std::vector<std::string>{});
    ASSERT_EQ(reading.frame_times.size(), size_t(2 * kFrames)) << reading.error.message;
    EXPECT_GE(longest_quiet, 25) << "idle through the outage";
    expect_steady_frames(reading, 0, kFrames, kClockRecoveryNs);
    expect_steady_frames(reading, kFrames, 2 * kFrames, kClockRecoveryNs);
    const double gap_s = double(reading.frame_times[kFrames] - reading.frame_times[kFrames - 1]) / 1e9;
    EXPECT_GT(gap_s, 3.0);
    EXPECT_NEAR(gap_s, longest_wait_s(reading), 0.5);
}

// The RTSP server goes away while its clip plays. Without reconnection the source fails; with
// it, it is interrupted, tries again after 1 s (the server is still away: interrupted again),
// then after 2 s finds it back: frames again, their indices and times going on from before.
TEST_F(LiveSource, ReconnectsWhenTheServerComesBack)
{
    const struct {
        bool reconnect;
        MediaItem last;
        size_t interruptions;
    } cases[] = {{false, MediaItem::Failed, 0}, {true, MediaItem::Frame, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reconnect ? "reconnect" : "no reconnect");
        const int port = free_port(SOCK_STREAM);
        const std::string serve =
            filled("exec {server} {port} /clip '( {long} ! rtpmp2tpay name=pay0 )'", port);
        std::optional<Background> server(std::in_place, serve);
        ASSERT_TRUE(accepts_within(port, 10));
        MediaError error;
        std::unique_ptr<MediaSource> source = MediaSource::open(
            {SourceKind::Uri, filled("rtsp://127.0.0.1:{port}/clip", port)}, live_options(c.reconnect), &error);
        ASSERT_TRUE(source) << error.message;

        const LiveReading reading = read_live(
            source.get(),
            [](const LiveReading& r) { return r.frame_times.size() >= size_t(2 * kFrames); },
            [&](MediaItem item, const LiveReading& r) {
                if (item == MediaItem::Frame && r.frame_times.size() == size_t(kFrames))
                    server->stop();
                else if (item == MediaItem::Interrupted && r.interruptions.size() == 2)
                    server.emplace(serve);
            });
        EXPECT_EQ(reading.last, c.last) << reading.error.message;
        ASSERT_EQ(reading.interruptions.size(), c.interruptions);
        if (!c.reconnect) {
            EXPECT_EQ(reading.error.message, "Could not open resource for reading and writing.");
            continue;
        }
        for (const std::string& why : reading.interruptions)
            EXPECT_EQ(why, "Could not open resource for reading and writing.");
        ASSERT_EQ(reading.frame_times.size(), size_t(2 * kFrames));
        const size_t back = reading.frames_at_interruption.front();
        EXPECT_EQ(reading.frame_indices[back], int64_t(back));
        const double gap_s = double(reading.frame_times[back] - reading.frame_times[back - 1]) / 1e9;
        EXPECT_GT(gap_s, 3.0) << "1 s and 2 s of back-off";
        EXPECT_NEAR(gap_s, longest_wait_s(reading), 0.5);
        expect_steady_frames(reading, back, 2 * kFrames, kClockRecoveryNs);
        EXPECT_EQ(source->streams().size(), 2u);
        EXPECT_EQ(reading.sound_frames.size(), 1u) << "the sound keeps its stream index";
    }
}

// ---------------------------------------------------------------- HLS

// hlssink2 cuts the clip, encoded again in real time with a keyframe every second, into
// segments of 1 s. Read while it grows, the playlist is live, tells no length and ends with
// the clip; read again once finished, it is a file like any other.
TEST_F(LiveSource, ReadsAPlaylistWhileItGrowsAndOnceFinished)
{
    const std::string playlist = file("live.m3u8");
    Background sender(filled("gst-launch-1.0 -q filesrc location={dir}/hls.mkv ! matroskademux name=d d.video_0 ! "
                             "queue ! h264parse ! avdec_h264 ! clocksync ! x264enc key-int-max=25 "
                             "speed-preset=ultrafast ! h264parse ! hls.video d.audio_0 ! queue ! flacparse ! flacdec ! "
                             "audioconvert ! clocksync ! avenc_aac ! aacparse ! hls.audio hlssink2 name=hls "
                             "target-duration=1 playlist-location={dir}/live.m3u8 location={dir}/segment%05d.ts"));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(playlist) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    FileServer server(dir_->path());
    const struct {
        const char* name;
        bool live;
    } cases[] = {{"growing", true}, {"finished", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MediaError error;
        std::unique_ptr<MediaSource> source =
            MediaSource::open({SourceKind::Uri, server.url("live.m3u8")}, live_options(), &error);
        ASSERT_TRUE(source) << error.message;
        EXPECT_EQ(source->live(), c.live);
        EXPECT_EQ(source->duration_ns().has_value(), !c.live);
        LiveReading reading = read_live(source.get(), read(SIZE_MAX));
        EXPECT_EQ(reading.last, MediaItem::End) << reading.error.message;
        ASSERT_EQ(reading.frame_times.size(), size_t(2 * kFrames));
        expect_steady_frames(reading, 0, 2 * kFrames);
        EXPECT_NEAR(double(reading.sound_frames[1]), 2 * kSoundFrames, 2048) << "AAC's priming and padding";
        EXPECT_EQ(source->frames_lost(), 0);
    }
}

// ---------------------------------------------------------------- launch descriptions

// The picture from one description and the sound from another, in one source on one clock,
// listed in that order. Both play in real time, so both are live: the clip keeps its own
// times, the test sources are stamped from the pipeline clock as they go.
// Either ends for good at its end, also when the source would reconnect.
TEST_F(LiveSource, TakesTheSoundFromASecondDescription)
{
    const struct {
        const char* name;
        std::string picture, sound;
        bool clip_times;
    } cases[] = {
        {"clip in real time", filled("filesrc location={mkv} ! matroskademux ! h264parse ! avdec_h264 ! clocksync"),
            filled("filesrc location={mkv} ! matroskademux ! flacparse ! flacdec ! clocksync"), true},
        {"live capture",
            "videotestsrc is-live=true num-buffers=50 ! capsfilter caps=video/x-raw,width=160,height=120,framerate=25/1",
            "audiotestsrc is-live=true num-buffers=50 samplesperbuffer=1920 ! "
            "capsfilter caps=audio/x-raw,rate=48000,channels=1",
            false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SourceSpec spec(SourceKind::Pipeline, c.picture);
        spec.sound_location = c.sound;
        MediaError error;
        std::unique_ptr<MediaSource> source = MediaSource::open(spec, live_options(true), &error);
        ASSERT_TRUE(source) << error.message;
        EXPECT_TRUE(source->live());
        ASSERT_EQ(source->streams().size(), 2u);
        EXPECT_EQ(source->streams()[0].type, StreamType::Video);
        EXPECT_EQ(source->streams()[1].type, StreamType::Audio);
        LiveReading reading = read_live(source.get(), read(SIZE_MAX));
        EXPECT_EQ(reading.last, MediaItem::End) << reading.error.message;
        EXPECT_EQ(reading.interruptions, std::vector<std::string>{});
        ASSERT_EQ(reading.frame_times.size(), size_t(kFrames));
        expect_steady_frames(reading, 0, kFrames);
        EXPECT_EQ(reading.sound_frames[1], kSoundFrames);
        // The test sources stamp their first buffer when they get to it: on a busy machine not
        // quite together.
        EXPECT_NEAR(double(reading.first_sound_ns - reading.frame_times[0]), 0, c.clip_times ? 0 : 0.5e9);
        EXPECT_TRUE(!c.clip_times || reading.frame_times[0] == 0) << reading.frame_times[0];
    }
}

// A reader slower than its live source loses frames rather than holding the source up: 50
// frames a second for 2 s, read at about 16 a second; every frame is either read, in its
// order, or counted as lost.
TEST_F(LiveSource, CountsTheFramesASlowReaderLoses)
{
    constexpr int kMade = 100;
    constexpr int64_t kPeriodNs = 20'000'000;
    MediaError error;
    std::unique_ptr<MediaSource> source = MediaSource::open(
        {SourceKind::Pipeline, "videotestsrc is-live=true num-buffers=" + std::to_string(kMade) +
                                   " ! capsfilter caps=video/x-raw,width=64,height=48,framerate=50/1"},
        live_options(), &error);
    ASSERT_TRUE(source) << error.message;
    ASSERT_TRUE(source->live());
    const LiveReading reading = read_live(source.get(), read(SIZE_MAX), [](MediaItem item, const LiveReading&) {
        if (item == MediaItem::Frame)
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
    });
    EXPECT_EQ(reading.last, MediaItem::End) << reading.error.message;
    EXPECT_GT(source->frames_lost(), 0);
    EXPECT_EQ(int64_t(reading.frame_times.size()) + source->frames_lost(), kMade);
    for (size_t i = 1; i < reading.frame_times.size(); ++i) {
        const int64_t step = reading.frame_times[i] - reading.frame_times[i - 1];
        EXPECT_TRUE(step > 0 && step % kPeriodNs == 0) << "frame " << i << ": " << step;
        EXPECT_EQ(reading.frame_indices[i], int64_t(i));
    }
}

} // namespace
