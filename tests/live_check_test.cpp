// skelv-check on live sources end to end: clips made by skelv-generate and sent in real time on
// 127.0.0.1 by GStreamer senders the tests start, read as they come and compared with the same
// clips read as files. Each run lasts at most about 20 s.
#include "support/local_servers.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <sys/socket.h>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The clips: 320x240 at 25 frames per second, a flash and a beep every second. clip.ts (12 s)
// and short.ts (6 s) carry MPEG-2 and MP2, clip.mkv (8 s) H.264 and FLAC.
constexpr double kListenSeconds = 1; ///< for skelv-check to bind its port before a sender starts
constexpr double kTimeoutSeconds = 40;
constexpr const char* kRtpCaps =
    "application/x-rtp, media=(string)video, clock-rate=(int)90000, encoding-name=(string)MP2T";

// A sender of a TS clip's streams at their times: the file's own packets would leave in bursts.
std::string send_ts(const std::string& clip, int port, const std::string& payloader = "")
{
    return "gst-launch-1.0 -q filesrc location=" + clip +
           " ! tsdemux name=d d. ! queue ! mpegvideoparse ! mux. d. ! queue ! mpegaudioparse ! mux. "
           "mpegtsmux name=mux alignment=7 ! " +
           payloader + "udpsink host=127.0.0.1 port=" + std::to_string(port) + " sync=true";
}

std::string after_listening(const std::string& command)
{
    return "sleep " + std::to_string(kListenSeconds) + "; " + command;
}

// A number of a result, or -1 when it has none there (a run that measured nothing).
double number_at(const json& result, const char* pointer)
{
    const json number = result.value(json::json_pointer(pointer), json());
    return number.is_number() ? number.get<double>() : -1;
}

// Events by their flash frame and loop, for comparing two reads of one clip.
std::map<std::pair<int, int>, double> delays_ms(const json& result)
{
    std::map<std::pair<int, int>, double> delays;
    for (const json& e : result["sync"]["events"])
        delays[{e["loop"].get<int>(), e["flash_frame"].get<int>()}] = e["delay_ms"].get<double>();
    return delays;
}

void expect_same_events(const json& live, const json& file, double tolerance_ms)
{
    const auto live_delays = delays_ms(live), file_delays = delays_ms(file);
    ASSERT_EQ(live_delays.size(), file_delays.size());
    for (const auto& [flash, delay] : file_delays) {
        ASSERT_TRUE(live_delays.count(flash)) << "flash at frame " << flash.second;
        EXPECT_NEAR(live_delays.at(flash), delay, tolerance_ms) << "flash at frame " << flash.second;
    }
}

class LiveCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        for (const auto& [name, seconds] : {std::pair{"clip.ts", "12"}, {"short.ts", "6"}, {"clip.mkv", "8"}})
            ASSERT_EQ(generate({"--size", "320x240", "--duration", seconds, name}, dir_->path()).exit_code, 0);
    }
    static void TearDownTestSuite() { delete dir_; }

    static std::string file(const std::string& name) { return dir_->file(name); }
    // The result of reading `clip` as a file.
    static json file_result(const std::string& clip)
    {
        return report_of(check({"--json", "-", file(clip)}, dir_->path()));
    }
    static ProcessResult live_check(const std::vector<std::string>& args, const std::vector<TimedSignal>& signals = {})
    {
        std::vector<std::string> argv{SKELV_CHECK};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, kTimeoutSeconds, dir_->path(), signals);
    }

    static TempDir* dir_;
};
TempDir* LiveCheck::dir_ = nullptr;

// What a reader of `--events -` saw: each line parsed as it came, and when.
struct EventLines {
    std::vector<json> lines;
    std::vector<double> arrivals_s; ///< from the start of the run
    int exit_code = -1;
};

EventLines read_events_as_they_come(const std::string& command)
{
    EventLines read;
    FILE* pipe = popen(("exec timeout -s KILL " + std::to_string(kTimeoutSeconds) + " " + command).c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return read;
    }
    const auto started = Clock::now();
    char line[65536];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        read.arrivals_s.push_back(std::chrono::duration<double>(Clock::now() - started).count());
        read.lines.push_back(json::parse(line, nullptr, false));
        EXPECT_FALSE(read.lines.back().is_discarded()) << "not a JSON line: " << line;
    }
    const int status = pclose(pipe);
    read.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return read;
}

// RTP over UDP, its caps given: every event of the clip read as the file reads it (within the
// few tenths of a ms that recovering the sender's clock moves the times), every frame of the
// content shown, none dropped, repeated or lost; each JSON line of `--events -` whole as it
// arrives, events among them long before the run ends; the final JSON written at the end.
TEST_F(LiveCheck, ReadsAnRtpStreamAsTheFileReadsIt)
{
    const json expected = file_result("clip.ts");
    const int port = free_port(SOCK_DGRAM);
    Background sender(after_listening(send_ts(file("clip.ts"), port, "rtpmp2tpay ! ")));
    const EventLines events = read_events_as_they_come(
        std::string(SKELV_CHECK) + " --duration 15s --caps '" + kRtpCaps + "' --json " + file("rtp.json") +
        " --events - udp://127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(events.exit_code, 0);

    const json live = json_file(file("rtp.json"));
    expect_same_events(live, expected, 1.0);
    EXPECT_NEAR(number_at(live, "/sync/median_ms"), number_at(expected, "/sync/median_ms"), 1.0);
    for (const char* field : {"source_frames_shown", "dropped", "repeated", "loops"})
        EXPECT_EQ(live["video"][field], expected["video"][field]) << field;
    EXPECT_EQ(live["video"]["lost_by_tool"], 0);
    EXPECT_EQ(live["verdict"], "pass");
    for (const json& warning : live["warnings"])
        EXPECT_EQ(warning.get<std::string>().find("Gap in"), std::string::npos) << warning;

    size_t event_lines = 0;
    double first_event_s = 0;
    for (size_t i = 0; i < events.lines.size(); ++i)
        if (events.lines[i].value("type", "") == "event" && event_lines++ == 0)
            first_event_s = events.arrivals_s[i];
    EXPECT_EQ(event_lines, expected["sync"]["events"].size());
    EXPECT_LT(first_event_s, events.arrivals_s.back() - 2) << "events come as they are paired";
}

// The clip played in real time by one description and its sound by a second, on one clock:
// the clip keeps its own times, so the live result equals the file's, event by event.
TEST_F(LiveCheck, ReadsTwoDescriptionsAsTheFileReadsIt)
{
    const json expected = file_result("clip.mkv");
    const std::string demuxed = "filesrc location=" + file("clip.mkv") + " ! matroskademux ! ";
    const ProcessResult run = live_check({"--pipeline", demuxed + "h264parse ! avdec_h264 ! clocksync",
        "--sound-pipeline", demuxed + "flacparse ! flacdec ! clocksync", "--json", "live.json"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const json live = json_file(file("live.json"));
    expect_same_events(live, expected, 0.1);
    EXPECT_EQ(live["video"]["frames"], expected["video"]["frames"]);
    EXPECT_EQ(live["outages"].size(), 0u);
}

// The sender stops for 3 s and starts the clip again: one outage of about 3 s for the picture
// and one for the sound, events paired on both sides of it (the restart is a new loop), and
// the verdict drawn from all of them.
TEST_F(LiveCheck, RecordsAnOutageAndGoesOn)
{
    const int port = free_port(SOCK_DGRAM);
    Background sender(
        after_listening(send_ts(file("short.ts"), port) + "; sleep 3; " + send_ts(file("clip.ts"), port)));
    const ProcessResult run = live_check({"--duration", "17s", "--json", "outage.json", "--csv", "outage.csv",
        "udp://127.0.0.1:" + std::to_string(port)});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const json result = json_file(file("outage.json"));
    ASSERT_EQ(result["outages"].size(), 2u) << result["outages"];
    for (const json& outage : result["outages"]) {
        EXPECT_NEAR(outage["length_ms"].get<double>(), 3300, 700) << outage; // and the new sender's start
        EXPECT_NEAR(outage["start_ms"].get<double>(), kListenSeconds * 1000 + 6000, 1000) << outage;
    }
    std::map<int, int> events_per_loop;
    for (const json& e : result["sync"]["events"])
        ++events_per_loop[e["loop"].get<int>()];
    EXPECT_GE(events_per_loop[0], 4);
    EXPECT_GE(events_per_loop[1], 4);
    EXPECT_EQ(number_at(result, "/sync/count"), events_per_loop[0] + events_per_loop[1]);
    EXPECT_EQ(result["verdict"], "pass");
    EXPECT_NE(read_file(file("outage.csv")).find("outage_start"), std::string::npos);
}

// SIGINT while the clip is sent ends the run with every output whole and the exit code of its
// verdict; a second SIGINT right after does too.
TEST_F(LiveCheck, ASignalEndsTheRunWithWholeOutputs)
{
    for (const int signals : {1, 2}) {
        SCOPED_TRACE(std::to_string(signals) + " signals");
        const int port = free_port(SOCK_DGRAM);
        Background sender(after_listening(send_ts(file("clip.ts"), port)));
        std::vector<TimedSignal> sent{{7, SIGINT}};
        if (signals == 2)
            sent.push_back({7.05, SIGINT});
        const std::string name = "stopped" + std::to_string(signals);
        const ProcessResult run = live_check({"--json", name + ".json", "--csv", name + ".csv", "--html",
            name + ".html", "udp://127.0.0.1:" + std::to_string(port)}, sent);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        const json result = json_file(file(name + ".json"));
        EXPECT_EQ(result["verdict"], "pass");
        EXPECT_GE(number_at(result, "/sync/count"), 3);
        EXPECT_EQ(result["sync"]["missing_beeps"].size(), 0u) << "nothing lost at the cut";
        EXPECT_EQ(result["sync"]["unmatched_beeps"].size(), 0u) << "nothing lost at the cut";
        EXPECT_EQ(split_lines(read_file(file(name + ".csv"))).size(),
            1 + result["sync"]["events"].size() + 2 * result["outages"].size());
        EXPECT_NE(read_file(file(name + ".html")).find("</html>"), std::string::npos);
    }
}

} // namespace
