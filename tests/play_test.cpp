// skelv-generate --play end to end: the sidecar of a play into fakesinks against the design's
// numbers, a stop by SIGINT, and the signal sent over UDP, SRT, HLS and RTSP read live by skelv-check,
// whose delay must be the designed one plus what the codecs add to a file made with them.
#include "generate/clip_design.h"
#include "generate/folder_server.h"
#include "generate/hls_play.h"
#include "generate/play_timeline.h"
#include "generate/rtsp_play.h"
#include "support/local_servers.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;
using namespace skelv;

constexpr double kPlayTimeout = 30; // seconds for one play
constexpr const char* kFakeSinks = "fakesink name=video sync=true fakesink name=audio sync=true";

std::vector<json> sidecar_lines(const std::string& path)
{
    std::vector<json> lines;
    for (const std::string& text : split_lines(read_file(path))) {
        lines.push_back(json::parse(text, nullptr, false));
        EXPECT_FALSE(lines.back().is_discarded()) << "not a whole JSON line: " << text;
    }
    return lines;
}

ProcessResult play(const std::vector<std::string>& args, const std::string& cwd,
    const std::vector<TimedSignal>& signals = {})
{
    std::vector<std::string> argv{SKELV_GENERATE, "--play"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, kPlayTimeout, cwd, signals);
}

// Every frame and every beep of 5 s once, in order, with the design's numbers: 25 fps, 5
// header and 5 locator frames, a flash every 10 content frames from the 5th on, each beep
// 40 ms after its flash.
TEST(Play, TheSidecarListsEveryFrameAndBeepOnce)
{
    TempDir dir;
    const ProcessResult run = play({"--pipeline", kFakeSinks, "--duration", "5", "--flash-period", "10",
                                       "--audio-delay", "40", "--sidecar", "s.ndjson"},
        dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::vector<json> lines = sidecar_lines(dir.file("s.ndjson"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front()["type"], "play");
    const uint64_t base = lines.front()["clock"]["base_time_ns"];
    EXPECT_EQ(lines.back(), (json{{"type", "end"}, {"frames", 125}, {"samples", 240000}, {"late", 0}, {"reason", "duration"}}));

    int64_t frames = 0, beeps = 0;
    for (size_t i = 1; i + 1 < lines.size(); i++) {
        const json& line = lines[i];
        if (line["type"] == "frame") {
            const int64_t n = frames++;
            const int64_t offset = n - 10;
            const json expected = {{"type", "frame"}, {"frame", n},
                {"span", n < 5 ? "header" : n < 10 ? "locator" : "content"},
                {"content_offset", offset >= 0 ? json(offset) : json(nullptr)},
                {"flash", offset >= 0 && offset % 10 == 5},
                {"running_ns", n * 40000000}, {"clock_ns", base + uint64_t(n) * 40000000}};
            ASSERT_EQ(line, expected);
        } else {
            const int64_t k = beeps++;
            const int64_t flash_frame = 10 + 5 + 10 * k;
            const uint64_t start_ns = uint64_t(flash_frame) * 40000000 + 40000000;
            const json expected = {{"type", "beep"}, {"beep", k}, {"flash_offset", 5 + 10 * k},
                {"sample", int64_t(start_ns / 1000000 * 48)}, {"running_ns", start_ns}, {"clock_ns", base + start_ns}};
            ASSERT_EQ(line, expected);
        }
    }
    EXPECT_EQ(frames, 125);
    EXPECT_EQ(beeps, 11); // flashes at frames 15, 25, ... 115: their beeps start before 5 s
}

// SIGINT ends an endless play as its duration would: exit 0, and a sidecar of whole lines
// that ends with the frames sent.
TEST(Play, SigintEndsThePlayWithAWholeSidecar)
{
    TempDir dir;
    const ProcessResult run = play({"--pipeline", kFakeSinks}, dir.path(), {{2, SIGINT}});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::vector<json> lines = sidecar_lines(dir.file("play.ndjson"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back()["reason"], "signal");
    int64_t frames = 0;
    for (const json& line : lines)
        frames += line["type"] == "frame";
    EXPECT_EQ(lines.back()["frames"], frames);
    EXPECT_GT(frames, 25); // a second or more
}

// Late buffers, counted in the sidecar's end line and a warning (sinks that keep up count none:
// the first test). A sink that drops what comes more than 20 ms late, behind an element that
// takes 60 ms over each 40 ms frame: the drops from its QoS messages. The same element before
// a sink that only waits: the picture's queue grows by half a second a second, and past 2 s of
// it what is due is left out, counted, and not listed.
TEST(Play, CountsTheBuffersThatASinkDropsLate)
{
    const struct {
        const char* sink;
        const char* sleep_us;
        int seconds;
        bool left_out;
    } cases[] = {
        {"fakesink sync=true qos=true max-lateness=20000000", "60000", 2, false},
        {"fakesink sync=true", "80000", 5, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const ProcessResult run = play({"--pipeline",
            std::string("identity name=video sleep-time=") + c.sleep_us + " ! " + c.sink + " fakesink name=audio sync=true",
            "--duration", std::to_string(c.seconds), "--size", "320x240"}, dir.path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const std::vector<json> lines = sidecar_lines(dir.file("play.ndjson"));
        const json end = lines.back();
        const int frames = 25 * c.seconds;
        EXPECT_EQ(end["frames"], frames) << c.sink;
        const auto listed = std::count_if(lines.begin(), lines.end(), [](const json& l) { return l["type"] == "frame"; });
        const int late = end.value("late", -1);
        if (c.left_out)
            EXPECT_EQ(late, frames - listed) << end;
        else
            EXPECT_EQ(listed, frames);
        ASSERT_GT(late, 0) << end;
        EXPECT_NE(run.err.find("warning: the pipeline dropped " + std::to_string(late) + " late buffers"),
            std::string::npos) << run.err;
    }
}

// The delay that the codecs of udp:// targets (H.264 and MP2 in MPEG-TS) add, read from a file
// that skelv-generate writes with them.
double codec_delay_ms(const TempDir& dir)
{
    EXPECT_EQ(generate({"--video-codec", "h264", "--audio-codec", "mp2", "--duration", "6", "codecs.ts"}, dir.path())
                  .exit_code,
        0);
    return report_of(check({"--json", "-", "codecs.ts"}, dir.path()))["sync"]["median_ms"].get<double>();
}

struct LivePlay {
    const char* name;
    int socket_type;      ///< of the port to find free
    const char* play_uri; ///< the target, %d the port
    const char* check_uri;
    double audio_delay_ms;
    int seconds; ///< of the play; 14 is more than two content lengths of a 5 s clip
    bool sees_start; ///< a receiver that listens sees the locator; a caller may come in after it
    int behind;      ///< seconds the receiver starts after the play (the server must be up) and reads behind it
    bool bursts;     ///< delivered a segment at a time: the pauses between them are no outages
    int unseen;      ///< seconds of the play that the receiver misses: it joins late a server that does not linger
    double tolerance_ms = 1; ///< of the median delay: an RTSP client's jitter buffer re-times what it receives
    const char* play_options = "";
    int locators = 0; ///< locator frames the receiver sees at least
};

void PrintTo(const LivePlay& play, std::ostream* os) { *os << play.name; }

class PlayLive : public ::testing::TestWithParam<LivePlay> {};

// skelv-check, listening (or calling) first, reads the designed delay plus the codecs' and a
// frame counter that never starts over.
TEST_P(PlayLive, SkelvCheckReadsTheDesignedDelayAndAnUnbrokenCount)
{
    const LivePlay& p = GetParam();
    TempDir dir;
    const double expected_ms = p.audio_delay_ms + codec_delay_ms(dir);
    const int port = free_port(p.socket_type);
    char play_uri[64], check_uri[64], delay[32];
    snprintf(play_uri, sizeof play_uri, p.play_uri, port);
    snprintf(check_uri, sizeof check_uri, p.check_uri, port);
    snprintf(delay, sizeof delay, "%g", p.audio_delay_ms);
    Background player("sleep 1; cd " + dir.path() + " && exec " + SKELV_GENERATE + " --play " + play_uri +
        " --duration " + std::to_string(p.seconds) + " --size 320x240 --audio-delay " + delay + " " + p.play_options);
    std::this_thread::sleep_for(std::chrono::seconds(p.behind));
    const json result =
        report_of(check({"--duration", std::to_string(p.seconds + 1 + p.behind) + "s", "--json", "-", "--timeline",
                             "frames.csv", check_uri},
            dir.path()));
    ASSERT_TRUE(result.contains("sync"));
    EXPECT_NEAR(result["sync"]["median_ms"].get<double>(), expected_ms, p.tolerance_ms);
    EXPECT_GE(result["sync"]["count"].get<int>(), p.seconds - 2 - p.unseen);
    const json& video = result["video"];
    for (const char* field : {"loops", "dropped", "repeated", "out_of_order"})
        EXPECT_EQ(video[field], 0) << field;
    if (p.sees_start) {
        EXPECT_EQ(video["sync_from"], "locator");
    }
    if (p.bursts) {
        EXPECT_EQ(result["outages"], json::array());
    }
    EXPECT_GT(video["source_frames_shown"].get<int>(), (p.seconds - 3 - p.unseen) * 25);
    const std::vector<std::string> rows = split_lines(read_file(dir.file("frames.csv")));
    int locators = 0, dropped = 0;
    for (size_t row = 1; row < rows.size(); ++row) { // after the column names
        locators += rows[row].find(",locator,") != std::string::npos;
        dropped += std::stoi(rows[row].substr(rows[row].rfind(',') + 1));
    }
    EXPECT_GE(locators, p.locators);
    EXPECT_EQ(dropped, 0);
}

INSTANTIATE_TEST_SUITE_P(Targets, PlayLive,
    ::testing::Values(LivePlay{"udp", SOCK_DGRAM, "udp://127.0.0.1:%d", "udp://127.0.0.1:%d", 0, 14, true, 0, false, 0},
        // The header and locator again every 6 s: the count reads on across them.
        LivePlay{"udp_late_sound", SOCK_DGRAM, "udp://127.0.0.1:%d", "udp://127.0.0.1:%d", 40, 14, true, 0, false, 0, 1,
            "--locator-every 0.1", 15},
        LivePlay{"srt_listener", SOCK_DGRAM, "srt://:%d", "srt://127.0.0.1:%d", 40, 8, false, 0, false, 0},
        // A few segments behind the live edge, once the first segment (1 s, from 0.7 s after the
        // play sets off) has made the playlist; the play serves the last ones a while longer.
        LivePlay{"hls_served", SOCK_STREAM, "http://127.0.0.1:%d/live.m3u8", "http://127.0.0.1:%d/live.m3u8", 40, 10,
            false, 4, true, 0},
        // The client comes once the server is up; it sets up its session and fills the server's
        // smoothing of the stream's timestamps first: about three seconds of the play it does not see.
        LivePlay{"rtsp_served", SOCK_STREAM, "rtsp://127.0.0.1:%d/skelv", "rtsp://127.0.0.1:%d/skelv", 40, 12, false,
            2, false, 3, 2}),
    [](const ::testing::TestParamInfo<LivePlay>& info) { return std::string(info.param.name); });

// What an HLS or RTSP target may name: a host (or none, or an IPv6 address), a port, a plain
// playlist or mount name; skelv-generate refuses any other rtsp:// target as a wrong command line.
TEST(PlayTargets, TakeOnlyAHostAPortAndAPlainName)
{
    const struct {
        bool (*is_target)(const std::string&);
        std::vector<const char*> taken, refused;
    } kinds[] = {
        {HlsPlay::is_target,
            {"http://127.0.0.1:8080/live.m3u8", "http://:8080/a_b-1.m3u8", "http://[::1]:8080/x.m3u8",
                "http://lab-pc.local:1/x.m3u8"},
            {"http://127.0.0.1/live.m3u8", "http://h:99999/x.m3u8", "http://h:0/x.m3u8", "http://h:80/../x.m3u8",
                "http://h:80/d/x.m3u8", "http://h:80/x.ts", "http://h:80/.m3u8", "http://h;rm:80/x.m3u8",
                "https://h:80/x.m3u8", "http://h:80/x y.m3u8", "http://h:8a/x.m3u8"}},
        {RtspPlay::is_target,
            {"rtsp://127.0.0.1:8554/skelv", "rtsp://:8554/a_b-1", "rtsp://[::1]:8554/x", "rtsp://lab-pc.local:1/x"},
            {"rtsp://127.0.0.1/skelv", "rtsp://127.0.0.1:/skelv", "rtsp://h:99999/x", "rtsp://h:0/x", "rtsp://h:8554/",
                "rtsp://h:8554", "rtsp://h:8554/a/b", "rtsp://h:8554/x y", "rtsp://h;rm:8554/x", "rtsp://h:85a4/x",
                "rtsps://h:8554/x"}},
    };
    for (const auto& kind : kinds) {
        for (const char* target : kind.taken)
            EXPECT_TRUE(kind.is_target(target)) << target;
        for (const char* target : kind.refused)
            EXPECT_FALSE(kind.is_target(target)) << target;
    }
    TempDir dir;
    for (const char* target : {"rtsp://127.0.0.1/skelv", "rtsp://h:65536/x", "rtsp://h:8554/"}) {
        const ProcessResult run = play({target, "--duration", "1"}, dir.path());
        EXPECT_EQ(run.exit_code, 1) << target;
        EXPECT_NE(run.err.find(std::string("cannot play to ") + target + ": an RTSP target is rtsp://[HOST]:PORT/NAME"),
            std::string::npos) << run.err;
    }
}

// A whole HTTP reply to one request sent to 127.0.0.1:`port`.
std::string http_reply(int port, const std::string& request)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    std::string reply;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char chunk[4096];
        for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;)
            reply.append(chunk, size_t(n));
    }
    close(fd);
    return reply;
}

// The HLS target's server hands out the folder's own files and nothing else.
TEST(FolderServer, ServesPlainNamesInItsFolderOnly)
{
    TempDir dir;
    write_file(dir.file("live.m3u8"), "#EXTM3U\n");
    std::filesystem::create_directories(dir.file("sub"));
    write_file(dir.file("sub/x.ts"), "x");
    write_file(dir.file(".hidden"), "x");
    FolderServer server;
    std::string error;
    ASSERT_TRUE(server.start("127.0.0.1", 0, dir.path(), &error)) << error;
    const std::pair<std::string, std::string> cases[] = {
        {"GET /live.m3u8 HTTP/1.1", "HTTP/1.0 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\nContent-Length: 8\r\n"},
        {"GET /live.m3u8?_HLS_msn=3 HTTP/1.1", "HTTP/1.0 200 OK\r\n"},
        {"HEAD /live.m3u8 HTTP/1.1", "HTTP/1.0 200 OK\r\n"},
        {"GET /../" + dir.path().substr(dir.path().rfind('/') + 1) + "/live.m3u8 HTTP/1.1", "HTTP/1.0 404 Not Found\r\n"},
        {"GET /sub/x.ts HTTP/1.1", "HTTP/1.0 404 Not Found\r\n"},
        {"GET /sub HTTP/1.1", "HTTP/1.0 404 Not Found\r\n"},
        {"GET /.hidden HTTP/1.1", "HTTP/1.0 404 Not Found\r\n"},
        {"GET /missing.ts HTTP/1.1", "HTTP/1.0 404 Not Found\r\n"},
        {"POST /live.m3u8 HTTP/1.1", "HTTP/1.0 405 Method Not Allowed\r\n"},
        {"garbage", "HTTP/1.0 400 Bad Request\r\n"},
    };
    for (const auto& [request, start] : cases) {
        const std::string reply = http_reply(server.port(), request + "\r\nHost: x\r\n\r\n");
        EXPECT_EQ(reply.substr(0, start.size()), start) << request;
        EXPECT_EQ(reply.find("#EXTM3U") != std::string::npos, request.rfind("GET /live.m3u8", 0) == 0) << request;
    }
    FolderServer taken;
    EXPECT_FALSE(taken.start("127.0.0.1", server.port(), dir.path(), &error));
    EXPECT_NE(error.find("cannot serve on port"), std::string::npos) << error;
}

// The start of the play is the clip of the same design: the same pictures and the same sound
// (at -400 ms, a beep across the two calls that fill it).
TEST(PlayTimeline, StartsAsTheClip)
{
    for (const double delay_ms : {0.0, 40.0, -400.0}) {
        ClipParams params;
        params.audio_delay_ms = delay_ms;
        ClipDesign clip;
        PlayTimeline timeline;
        std::string error;
        ASSERT_TRUE(clip_design_make(params, &clip, &error) && timeline.make(params, 0, &error)) << error;
        const int stride = params.width * 4;
        std::vector<uint8_t> painted(size_t(stride) * params.height), played(painted.size());
        for (int frame = 0; frame < params.design_frames() - params.trailer; frame++) {
            clip_design_paint(clip, frame, painted.data(), stride);
            timeline.paint(frame, played.data(), stride);
            ASSERT_EQ(painted, played) << "frame " << frame;
        }
        const std::vector<int16_t> sound = clip_design_sound(clip);
        std::vector<int16_t> sent(sound.size());
        const int64_t half = int64_t(sent.size() / 2); // in two calls, as the play sends it in chunks
        timeline.fill_sound(0, sent.data(), half);
        timeline.fill_sound(half, sent.data() + half, int64_t(sent.size()) - half);
        EXPECT_EQ(sent, sound) << "delay " << delay_ms;
    }
}

} // namespace
