// skelv-check --sender: the pairing of arrivals with their sending, the refusals, and the
// latency of skelv-generate --play over UDP on loopback, read live against its sidecar.
#include "support/local_servers.h"
#include "support/media.h"
#include "check/sender_latency.h"
#include "sync/latency.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <sys/socket.h>
#include <thread>
#include <tuple>

namespace {

using nlohmann::json;
using namespace skelv;

constexpr int64_t kMs = 1000000;

// First arrivals count, repeats of a number do not, numbers never sent are unmatched.
TEST(LatencyFigures, PairsTheFirstArrivalOfEachNumberWithItsSending)
{
    const SentTimes sent{{0, 1000 * kMs}, {1, 1040 * kMs}, {2, 1080 * kMs}};
    struct Case {
        const char* what;
        std::vector<Arrival> arrivals;
        size_t count, unmatched;
        double median_ms, min_ms, max_ms;
    };
    const Case cases[] = {
        {"steady", {{0, 1100 * kMs}, {1, 1140 * kMs}, {2, 1180 * kMs}}, 3, 0, 100, 100, 100},
        {"a repeat is no arrival", {{0, 1100 * kMs}, {0, 1140 * kMs}, {1, 1150 * kMs}}, 2, 0, 105, 100, 110},
        {"never sent", {{1, 1060 * kMs}, {7, 1300 * kMs}}, 1, 1, 20, 20, 20},
    };
    for (const Case& c : cases) {
        const LatencyFigures f = latency_figures(sent, c.arrivals);
        EXPECT_EQ(f.statistics.count, c.count) << c.what;
        EXPECT_EQ(f.unmatched, c.unmatched) << c.what;
        EXPECT_DOUBLE_EQ(f.statistics.median_ns, c.median_ms * kMs) << c.what;
        EXPECT_EQ(f.statistics.min.delay_ns, int64_t(c.min_ms * kMs)) << c.what;
        EXPECT_EQ(f.statistics.max.delay_ns, int64_t(c.max_ms * kMs)) << c.what;
    }
}

// The trace the plot draws: the pairs by sending time in stretches of a second, doubled until
// at most 600 cover the run, each with the count, extremes and mean of its pairs.
void expect_trace_of(const LatencyTrace& trace, const std::vector<SyncEvent>& events, const char* what)
{
    const int64_t first = events.front().video_ns, last = events.back().video_ns;
    int64_t step = 1000 * kMs;
    while ((last - first) / step >= int64_t(LatencyTrace::kMaxStretches))
        step *= 2;
    std::map<int64_t, std::vector<int64_t>> stretches;
    for (const SyncEvent& e : events)
        stretches[(e.video_ns - first) / step].push_back(e.delay_ns);
    ASSERT_EQ(trace.step_ns, step) << what;
    ASSERT_EQ(trace.stretches.size(), stretches.rbegin()->first + 1) << what;
    for (const auto& [index, latencies] : stretches) {
        const LatencyStretch& got = trace.stretches[size_t(index)];
        const double mean = double(std::accumulate(latencies.begin(), latencies.end(), int64_t{0})) / double(latencies.size());
        EXPECT_EQ(std::tuple(got.count, got.min_ns, got.max_ns),
                  std::tuple(latencies.size(), *std::min_element(latencies.begin(), latencies.end()),
                             *std::max_element(latencies.begin(), latencies.end())))
            << what << " stretch " << index;
        EXPECT_NEAR(got.mean_ns, mean, 1e-3) << what << " stretch " << index;
    }
}

// The tally keeps no pair, yet gives the figures that the events themselves give.
TEST(LatencyTally, GivesTheFiguresOfAllThePairs)
{
    struct Case {
        const char* what;
        int pairs;
        std::function<int64_t(int)> latency_ns; // of pair i, sent at i * 20 ms
        double median_within_ns;                // the histogram's half bin
    };
    const Case cases[] = {
        {"steady with noise and drift", 5001,
         [](int i) { return 100 * kMs + i * 400 + ((i * 7919) % 1001 - 500) * 1000; }, 500},
        {"spread over more bins than kept: they widen", 3 * int(LatencyTally::kMaxBins),
         [](int i) { return 50 * kMs + int64_t((i * 48271LL) % (3 * LatencyTally::kMaxBins)) * 1000; }, 4000},
        {"one", 1, [](int) { return 7 * kMs; }, 0},
    };
    for (const Case& c : cases) {
        LatencyTally tally;
        std::vector<SyncEvent> events;
        for (int i = 0; i < c.pairs; i++) {
            const int64_t sent = 1'000'000 * kMs + i * 20 * kMs, arrived = sent + c.latency_ns(i);
            tally.add(sent, arrived);
            events.push_back({i, 0, sent, arrived, arrived - sent});
        }
        expect_trace_of(tally.trace(), events, c.what);
        const DelayStatistics got = tally.statistics(), want = delay_statistics(events);
        EXPECT_EQ(got.count, want.count) << c.what;
        EXPECT_NEAR(got.mean_ns, want.mean_ns, 1e-3) << c.what;
        EXPECT_NEAR(got.median_ns, want.median_ns, c.median_within_ns) << c.what;
        EXPECT_NEAR(got.sd_ns, want.sd_ns, 1e-3 * want.sd_ns + 1e-6) << c.what;
        EXPECT_EQ(got.min.delay_ns, want.min.delay_ns) << c.what;
        EXPECT_EQ(got.max.video_ns, want.max.video_ns) << c.what;
        ASSERT_EQ(got.drift.has_value(), want.drift.has_value()) << c.what;
        if (want.drift) {
            EXPECT_NEAR(got.drift->ns_per_min, want.drift->ns_per_min, 1e-6 * std::abs(want.drift->ns_per_min) + 1e-3);
            EXPECT_NEAR(*got.drift->ci95_high, *want.drift->ci95_high, 1e-6 * std::abs(*want.drift->ci95_high) + 1e-3);
        }
    }
}

std::string boot_id()
{
    std::string id = read_file("/proc/sys/kernel/random/boot_id");
    return id.substr(0, id.find('\n'));
}

std::string sidecar_header(const std::string& type, const std::string& boot)
{
    return json{{"type", "play"}, {"clock", {{"name", "GstSystemClock"}, {"type", type}, {"boot_id", boot},
                                              {"base_time_ns", 1}}}}
               .dump() +
        "\n";
}

// A sidecar still being written: lines are read as they come, a line half written waits for
// its end, frames that arrive before their line wait for it, and the figures stand at any time.
TEST(SenderLatencyReading, PairsFramesAsTheSidecarGrows)
{
    TempDir dir;
    const std::string sidecar = dir.file("s.ndjson");
    const auto frame_line = [](int number) {
        return json{{"type", "frame"}, {"content_offset", number}, {"clock_ns", number * 40 * kMs}}.dump() + "\n";
    };
    std::ofstream out(sidecar);
    out << sidecar_header("system monotonic", boot_id()) << frame_line(0) << frame_line(1) << frame_line(2).substr(0, 20);
    out.flush();
    SenderLatency latency;
    std::string error;
    ASSERT_TRUE(latency.open(sidecar, &error)) << error;
    ASSERT_TRUE(latency.use_clock(ClockIdentity{"GstSystemClock", "system monotonic", boot_id(), 0, "", -1}, &error));
    const auto arrive = [&](int number, bool repeated = false) {
        CheckFrame frame;
        frame.source_frame = number;
        frame.repeated = repeated;
        frame.time_ns = number * 40 * kMs + 100 * kMs; // each 100 ms after its sending
        latency.take_frame(frame);
    };
    CheckResult result;
    result.video.content_start_seen = true;
    arrive(0);
    arrive(1);
    arrive(1, true);
    arrive(2); // its line half written
    latency.describe(&result, false);
    EXPECT_EQ(result.latency->video.statistics.count, 2u);
    EXPECT_EQ(result.latency->video.unmatched, 0u);

    out << frame_line(2).substr(20) << frame_line(4) << frame_line(5);
    out.flush();
    arrive(3); // never sent: the sidecar went past it
    arrive(5);
    latency.describe(&result, true);
    EXPECT_EQ(result.latency->video.statistics.count, 4u);
    EXPECT_EQ(result.latency->video.unmatched, 1u);
    EXPECT_DOUBLE_EQ(result.latency->video.statistics.median_ns, 100 * kMs);
    EXPECT_EQ(result.latency->unmeasured_reason, "");
}

// Each a usage error, told before anything is read or as soon as the source is open.
TEST(SenderRefusals, SaysWhyAndExitsAsAWrongCommandLine)
{
    TempDir dir;
    write_file(dir.file("garbage.ndjson"), "not json\n");
    write_file(dir.file("realtime.ndjson"), sidecar_header("system realtime", boot_id()));
    write_file(dir.file("elsewhere.ndjson"), sidecar_header("system monotonic", "another-boot"));
    write_file(dir.file("good.ndjson"), sidecar_header("system monotonic", boot_id()));
    write_file(dir.file("clip.ts"), "");
    const std::string live = "videotestsrc is-live=true num-buffers=25 ! capsfilter caps=video/x-raw,width=64,height=48";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--sender", "missing.ndjson", "--pipeline", live}, "cannot read the sender's sidecar missing.ndjson"},
        {{"--sender", "garbage.ndjson", "--pipeline", live}, "does not start with the header of skelv-generate --play"},
        {{"--sender", "udp://127.0.0.1", "--pipeline", live}, "--sender takes a sidecar file or udp://[HOST]:PORT"},
        {{"--sender", "good.ndjson", "clip.ts"}, "--sender needs a live source"},
        {{"--sender", "realtime.ndjson", "--pipeline", live}, "only the system monotonic clock of one machine"},
        {{"--sender", "elsewhere.ndjson", "--pipeline", live}, "comes from another machine or an earlier boot"},
        {{"--clock", "net://127.0.0.1:9", "clip.ts"}, "--clock takes net://HOST:PORT (PORT from 1 to 65535), for a live"},
        {{"--clock", "net://:9", "--pipeline", live}, "--clock takes net://HOST:PORT"},
        {{"--clock", "net://h:65536", "--pipeline", live}, "--clock takes net://HOST:PORT"},
        {{"--clock", "ptp://0", "--pipeline", live}, "--clock takes net://HOST:PORT"},
    };
    for (const auto& [args, message] : cases) {
        const ProcessResult run = check(args, dir.path());
        EXPECT_EQ(run.exit_code, 1) << args[1];
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << args[1];
    }
}

// The play: 2 s of header for skelv-check to join before the content, then 6 s of content
// (a flash and its beep every second), 320x240 at 25 fps; its running time starts 0.7 s after
// its sidecar's first line, which skelv-check is started on.
constexpr const char* kPlaySeconds = "8";
constexpr const char* kCheckDuration = "9s";
constexpr const char* kHeaderFrames = "50";

// The udp:// target's own chain, written out so that a queue can go into the picture's part.
std::string udp_chain(int port, const std::string& picture_queue)
{
    return "capsfilter name=video caps=video/x-raw,format=I420 ! " + picture_queue +
        "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! h264parse ! mpegtsmux name=mux "
        "alignment=7 ! udpsink host=127.0.0.1 port=" +
        std::to_string(port) + " sync=true twolamemp2enc name=audio ! mpegaudioparse ! mux.";
}

// A play in the background, once its sidecar has its header (skelv-check reads it first).
std::unique_ptr<Background> start_play(const TempDir& dir, const std::string& sidecar, const std::string& play)
{
    auto player = std::make_unique<Background>("cd " + dir.path() + " && exec " + SKELV_GENERATE + " --play " + play +
        " --duration " + kPlaySeconds + " --header " + kHeaderFrames + " --sidecar " + sidecar + " >/dev/null");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_file(dir.file(sidecar)).find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return player;
}

std::string check_args(const std::string& sidecar, int port, const std::string& json_out)
{
    return std::string(SKELV_CHECK) + " --sender " + sidecar + " --duration " + kCheckDuration + " --json " + json_out +
        " udp://127.0.0.1:" + std::to_string(port);
}

// A free UDP port other than those `taken`, which may not be bound yet.
int another_free_port(std::initializer_list<int> taken)
{
    int port = free_port(SOCK_DGRAM);
    while (std::find(taken.begin(), taken.end(), port) != taken.end())
        port = free_port(SOCK_DGRAM);
    return port;
}

double ms_at(const json& result, const char* pointer)
{
    const json value = result.value(json::json_pointer(pointer), json());
    EXPECT_TRUE(value.is_number()) << pointer << " in " << result.dump();
    return value.is_number() ? value.get<double>() : -1e9;
}

// Both latencies within the chain's configured latencies (below), and, read on one clock, the
// picture's latency less the sound's is the lip-sync delay turned round.
void expect_latencies_of_the_chain(const json& result)
{
    for (const char* pointer : {"/latency/video/median_ms", "/latency/audio/median_ms"}) {
        EXPECT_GT(ms_at(result, pointer), 65) << pointer;
        EXPECT_LT(ms_at(result, pointer), 200) << pointer;
    }
    EXPECT_NEAR(ms_at(result, "/latency/video/median_ms") - ms_at(result, "/latency/audio/median_ms"),
        -ms_at(result, "/sync/median_ms"), 1.0);
}

// Over loopback both latencies lie where the chain's configured latencies put them: the
// receiver times a frame by the stream's PCR as it arrives, which mpegtsmux writes 125 ms
// behind the frames' timestamps; the sender's pipeline latency is 20 ms, and its multiplexer
// may send a frame's packets up to a frame period (40 ms) before or after the frame's time.
// The sound adds the MP2 codec's delay (about 10 ms). So both lie within 125 - 20 - 40 and
// 125 + 20 + 40 + 15 ms.
TEST(LatencyOverUdp, BothLatenciesLieWithinTheChainsConfiguredLatencies)
{
    TempDir dir;
    const int port = free_port(SOCK_DGRAM);
    const auto player = start_play(dir, "s.ndjson", "udp://127.0.0.1:" + std::to_string(port));
    const ProcessResult run =
        check({"--sender", "s.ndjson", "--duration", kCheckDuration, "--json", "r.json", "--html", "r.html",
                  "udp://127.0.0.1:" + std::to_string(port)},
            dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const json result = json::parse(read_file(dir.file("r.json")));
    ASSERT_TRUE(result.contains("latency")) << run.out;
    // The plot: a second's frames a dot, and each beep.
    const std::string html = read_file(dir.file("r.html"));
    std::string plot = html.substr(std::min(html.find("<svg id=\"latency-plot\""), html.size()));
    plot = plot.substr(0, plot.find("</svg>"));
    const auto dots = [&](const std::string& css) {
        size_t count = 0;
        for (size_t at = plot.find(css); at != std::string::npos; at = plot.find(css, at + 1))
            count++;
        return count;
    };
    EXPECT_GE(dots("<circle class=\"in\""), 5u);
    EXPECT_GE(dots("<circle class=\"sound\""), 4u);
    const json& latency = result["latency"];
    EXPECT_EQ(latency["clock"]["type"], "system monotonic");
    EXPECT_EQ(latency["clock"]["boot_id"], boot_id());
    EXPECT_GE(latency["video"]["count"].get<int>(), 140); // 6 s of content frames, less the last ones
    EXPECT_GE(latency["audio"]["count"].get<int>(), 4);
    expect_latencies_of_the_chain(result);
    EXPECT_NE(run.out.find("Picture latency: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Sound latency: "), std::string::npos) << run.out;
}

// Two machines as one on loopback: the player serves its clock on the network and sends its
// sidecar's lines there, and the reader follows the clock and takes the lines, as a reader on
// another machine would. The latencies read as on one clock.
TEST(LatencyOverUdp, ANetworkClockServedByThePlayerTimesTheArrivals)
{
    TempDir dir;
    const int port = free_port(SOCK_DGRAM);
    const int clock_port = another_free_port({port});
    const int sidecar_port = another_free_port({port, clock_port});
    const std::string clock = "net://127.0.0.1:" + std::to_string(clock_port);
    const auto player = start_play(dir, "s.ndjson", "udp://127.0.0.1:" + std::to_string(port) + " --clock " + clock +
            " --send-sidecar udp://127.0.0.1:" + std::to_string(sidecar_port));
    const ProcessResult run = check({"--sender", "udp://:" + std::to_string(sidecar_port), "--clock", clock,
                                        "--duration", kCheckDuration, "--json", "r.json",
                                        "udp://127.0.0.1:" + std::to_string(port)},
        dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const json sent = json::parse(split_lines(read_file(dir.file("s.ndjson"))).at(0));
    EXPECT_EQ(sent["clock"]["network"], "127.0.0.1:" + std::to_string(clock_port));
    const json result = json::parse(read_file(dir.file("r.json")));
    const json& followed = result["latency"]["clock"];
    EXPECT_EQ(followed["network"], "127.0.0.1:" + std::to_string(clock_port));
    EXPECT_GE(followed["error_ms"].get<double>(), 0);
    EXPECT_LT(followed["error_ms"].get<double>(), 5); // half a loopback round trip
    expect_latencies_of_the_chain(result); // both mapped alike
    EXPECT_NE(run.out.find("Clock: the network clock of 127.0.0.1:" + std::to_string(clock_port) + ", within \u00b1"),
        std::string::npos)
        << run.out;
}

// A queue that holds the picture 200 ms (min-threshold-time) reports that as latency, and
// GStreamer then holds every sink of the sender by it: both streams leave 200 ms later than
// those of the same chain without it, played alongside, and their lip-sync stays the same.
TEST(LatencyOverUdp, AQueueHeldPictureDelaysBothStreamsBy200ms)
{
    TempDir dir;
    const int plain_port = free_port(SOCK_DGRAM);
    const int queued_port = another_free_port({plain_port});
    const std::string queue =
        "queue min-threshold-time=200000000 max-size-time=1000000000 max-size-buffers=0 max-size-bytes=0 ! ";
    const auto plain = start_play(dir, "plain.ndjson", "--pipeline '" + udp_chain(plain_port, "") + "'");
    const auto queued = start_play(dir, "queued.ndjson", "--pipeline '" + udp_chain(queued_port, queue) + "'");
    Background plain_check("cd " + dir.path() + " && exec " + check_args("plain.ndjson", plain_port, "plain.json") +
        " >/dev/null 2>&1");
    const ProcessResult run = check({"--sender", "queued.ndjson", "--duration", kCheckDuration, "--json", "queued.json",
                                        "udp://127.0.0.1:" + std::to_string(queued_port)},
        dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (plain_check.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const json with = json::parse(read_file(dir.file("queued.json")));
    const json without = json::parse(read_file(dir.file("plain.json")), nullptr, false);
    ASSERT_FALSE(without.is_discarded());
    for (const char* pointer : {"/latency/video/median_ms", "/latency/audio/median_ms"})
        EXPECT_NEAR(ms_at(with, pointer) - ms_at(without, pointer), 200, 2) << pointer;
    EXPECT_NEAR(ms_at(with, "/sync/median_ms"), ms_at(without, "/sync/median_ms"), 2);
}

} // namespace
