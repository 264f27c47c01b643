// skelv-check's outputs: the summary in words, CSV rows in time order, and the visual report
// (numbers against the JSON, escaping, pages without sound or events, long recordings and the
// picture).
#include "check/check_report.h"
#include "check/live_report.h"
#include "outputs/html_text.h"
#include "report/check_html.h"
#include "report/check_plots.h"
#include "report/snapshot_png.h"
#include "rules/time_units.h"
#include "support/check_sample.h"
#include "support/media.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <set>

using namespace skelv;

namespace {

using nlohmann::json;

CheckResult result_with(const std::vector<double>& delays)
{
    CheckResult r;
    r.file = "rec.mkv";
    r.profile = sync_profiles().front();
    std::vector<Flash> flashes;
    std::vector<int64_t> beeps;
    for (size_t i = 0; i < delays.size(); i++) {
        flashes.push_back({int64_t(12 + 25 * i), 0, ns_of_ms(500.0 + 1000.0 * double(i))});
        beeps.push_back(flashes.back().video_ns + ns_of_ms(delays[i]));
    }
    beeps.push_back(9999 * kNsPerMs); // far from any flash
    r.pairing = sync_pair(flashes, beeps, 0);
    r.statistics = delay_statistics(r.pairing.events);
    r.judgement = sync_judge(r.pairing.events, r.profile, {0, 0, 10 * kNsPerSecond});
    r.audio.beeps = beeps.size();
    return r;
}

TEST(CheckSummary, SaysLeadsOrLagsInWords)
{
    EXPECT_EQ(describe_delay(-0.04e6), "audio in sync with video");
    const std::string text = check_summary_text(result_with({21.6, 21.5, 21.7}));
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "Lip-sync: audio lags video by 21.6 ms (median of 3 events, sd 0.1 ms, range 21.5\u202621.7), drift "
              "+3.0 ms/min \u2014 PASS (EBU R37: lead \u2264 40 ms, lag \u2264 60 ms)");
    EXPECT_NE(text.find("\nBeep at 9.999 s belongs to no flash\n"), std::string::npos) << text;
}

// events.csv: one row per event and stray beep in time order; timeline.csv: one per captured frame.
TEST(CheckCsv, EventsAndTimeline)
{
    CheckResult r = result_with({20, 20});
    r.pairing.missing_beeps.push_back({62, 0, 2500 * kNsPerMs});
    EXPECT_EQ(check_result_csv(r), "kind,flash_frame,loop,video_ms,audio_ms,delay_ms,within\n"
                                   "event,12,0,500.000,520.000,20.000,yes\n"
                                   "event,37,0,1500.000,1520.000,20.000,yes\n"
                                   "missing_beep,62,0,2500.000,,,\n"
                                   "unmatched_beep,,,,9999.000,,\n");
    EXPECT_TRUE(check_result_json(result_with({}))["sync"]["median_ms"].is_null()) << "no event, no median";
    constexpr int64_t period = 40 * kNsPerMs;
    std::string timeline = kTimelineCsvHeader;
    for (const CheckFrame& f : {CheckFrame{0, period, FrameKind::Header, -1, 0, false, false, 0},
                                CheckFrame{period, period, FrameKind::Content, 12, 0, true, false, 2},
                                CheckFrame{2 * period, period, FrameKind::Content, 12, 0, true, true, 0}})
        timeline += timeline_csv_row(f);
    EXPECT_EQ(timeline, "time_ms,duration_ms,kind,source_frame,loop,flash,repeated,dropped_before\n"
                        "0.000,40.000,header,,0,no,no,0\n"
                        "40.000,40.000,content,12,0,yes,no,2\n"
                        "80.000,40.000,content,12,0,yes,yes,0\n");
}

constexpr size_t npos = std::string::npos;

// An outage of a live source in every output: the JSON list, a start and an end row of the
// events CSV at its stream's time column, a problem line; and on the page, a band.
TEST(CheckOutputs, OutagesAreResults)
{
    CheckResult r = result_with({20, 20});
    r.outages = {{false, 1000 * kNsPerMs, 3012 * kNsPerMs, "Could not receive any UDP packets"},
                 {true, 1200 * kNsPerMs, 500 * kNsPerMs, ""}};
    const json j = check_result_json(r);
    EXPECT_EQ(j["outages"][0], json::parse(R"({"stream":"video","start_ms":1000.0,"length_ms":3012.0,
                                              "message":"Could not receive any UDP packets"})"));
    EXPECT_EQ(j["outages"][1]["message"], nullptr);
    const std::string csv = check_result_csv(r);
    for (const char* row : {"\noutage_start,,,1000.000,,,\n", "\noutage_end,,,4012.000,,,\n", "\noutage_start,,,,1200.000,,\n",
                            "\noutage_end,,,,1700.000,,\n"})
        EXPECT_NE(csv.find(row), npos) << row << csv;
    EXPECT_NE(check_summary_text(r).find("\nOutage of the picture at 1.000 s, 3.012 s long: Could not receive any UDP packets\n"),
              npos);
    CheckResult sample = check_sample({});
    sample.outages = r.outages;
    EXPECT_EQ(count_of(check_html(sample), "<rect class=\"outage\""), 2u);
    EXPECT_EQ(count_of(check_html(sample, 30), "<meta http-equiv=\"refresh\" content=\"30\">"), 1u);
    EXPECT_EQ(check_html(sample).find("http-equiv=\"refresh\""), npos) << "a finished run's page stays";
}

// What a live run tells as it goes: a line and a JSON object per event, status and outage.
TEST(LiveReport, LinesAndJsonLines)
{
    const LiveClock recording{false, 0};
    const SyncEvent event{1234, 0, 41520 * kNsPerMs, 41558 * kNsPerMs + 200'000, 38200 * kNsPerMs / 1000};
    EXPECT_EQ(live_event_line(recording, event, true), "0:41.520  #1234  +38.2 ms  within");
    EXPECT_EQ(live_event_line(recording, {1, 0, 3723 * kNsPerSecond, 0, -5 * kNsPerMs}, false),
              "1:02:03.000  #1  -5.0 ms  beyond");
    // A calibration of +23 ms taken off: the delay before it beside the corrected one.
    EXPECT_EQ(live_event_line(recording, event, true, 23 * kNsPerMs), "0:41.520  #1234  +38.2 ms  within  (raw +61.2 ms)");
    const LiveClock wall{true, 1'700'000'000 * kNsPerSecond}; // 2023-11-14T22:13:20Z
    EXPECT_EQ(live_event_json(wall, event, true)["time"], "2023-11-14T22:14:01.520Z");
    EXPECT_FALSE(live_event_json(wall, event, true).contains("raw_delay_ms"));
    EXPECT_EQ(live_event_json(wall, event, true, 23 * kNsPerMs)["raw_delay_ms"], 61.2);
    EXPECT_EQ(live_outage_line(recording, {true, 2 * kNsPerSecond, 3500 * kNsPerMs, ""}, true),
              "0:05.500  outage over: the sound was away 3.500 s");
    LiveStatus status;
    status.running_ns = 60 * kNsPerSecond;
    status.whole = delay_statistics({event, event});
    status.judgement.verdict = SyncVerdict::Pass;
    const std::string line = live_status_line(recording, status, sync_profiles().front(), 60 * kNsPerSecond);
    EXPECT_EQ(line.substr(0, line.find("  |  frames")),
              "1:00.000  last 60 s: no events  |  whole run: 2 events, median +38.2 ms, sd 0.0 ms, range "
              "+38.2\u2026+38.2 ms");
    EXPECT_EQ(live_status_json(recording, status, 60 * kNsPerSecond)["whole"]["median_ms"], 38.2);
}

TEST(LiveReport, DurationsAsTheCommandLineGivesThem)
{
    const std::pair<const char*, int64_t> cases[] = {
        {"90s", 90 * kNsPerSecond}, {"45m", 45 * kNsPerMinute}, {"48h", 48 * 60 * kNsPerMinute}, {"2.5", 2500 * kNsPerMs},
        {"0", -1}, {"-3s", -1}, {"10d", -1}, {"nan", -1}, {"s", -1}, {"", -1}, {"9000h", -1},
    };
    for (const auto& [text, ns] : cases) {
        int64_t parsed = -1;
        EXPECT_EQ(parse_duration(text, &parsed), ns >= 0) << text;
        EXPECT_EQ(parsed, ns) << text;
    }
}


// The text between the first `from` at or after `at` and the next `to` ("" without `from`).
std::string cut(const std::string& html, size_t at, const std::string& from, const std::string& to)
{
    const size_t start = html.find(from, at);
    return start == npos ? "" : html.substr(start + from.size(), html.find(to, start + from.size()) - start - from.size());
}

// `shown` equals `value` to the digits it shows.
::testing::AssertionResult shows(const std::string& shown, const json& value, const std::string& where)
{
    char* end = nullptr;
    const double number = strtod(shown.c_str(), &end);
    const size_t point = shown.find('.');
    const int decimals = point == npos ? 0 : int(shown.size() - point - 1);
    if (value.is_number() && !shown.empty() && *end == '\0' &&
        std::fabs(number - value.get<double>()) <= 0.5 * std::pow(10, -decimals) + 1e-9)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << where << ": page \"" << shown << "\", JSON " << value.dump();
}

// Each row of the events table: the JSON object it names, and its cells.
std::vector<std::pair<std::string, std::vector<std::string>>> event_rows(const std::string& html)
{
    std::vector<std::pair<std::string, std::vector<std::string>>> rows;
    const size_t body = html.find("<tbody>", html.find("<table class=\"events\">")), end = html.find("</tbody>", body);
    for (size_t at = html.find("<tr ", body); at < end; at = html.find("<tr ", at + 1)) {
        rows.push_back({cut(html, at, "data-json=\"", "\""), {}});
        for (size_t td = html.find("<td", at); td < html.find("</tr>", at); td = html.find("<td", td + 1))
            rows.back().second.push_back(cut(html, td, ">", "</td>"));
    }
    return rows;
}
// The JSON key each column of the events table shows.
const std::vector<std::string> kColumns = {"", "", "flash_frame", "loop", "video_ms", "audio_ms", "delay_ms", ""};

TEST(CheckHtml, NumbersEqualTheJson)
{
    const CheckResult result = check_sample({});
    const std::string html = check_html(result);
    const json j = check_result_json(result);

    // Every `<span data-json="<pointer>">number</span>`.
    std::set<std::string> pointers;
    for (size_t at = html.find("<span data-json="); at != npos; at = html.find("<span data-json=", at + 1)) {
        const std::string pointer = cut(html, at, "\"", "\"");
        EXPECT_TRUE(shows(cut(html, at, "\">", "<"), j.at(json::json_pointer(pointer)), pointer));
        pointers.insert(pointer);
    }
    for (const char* needed :
         {"/sync/count", "/sync/median_ms", "/sync/mean_ms", "/sync/sd_ms", "/sync/min_ms", "/sync/max_ms",
          "/sync/drift_ms_per_min", "/sync/drift_ci95_ms_per_min/0", "/sync/judged", "/profile/lead_ms",
          "/profile/lag_ms", "/video/frames", "/video/dropped", "/video/repeated", "/video/unreadable", "/video/loops",
          "/video/display_counts/2", "/audio/rate", "/audio/beeps", "/streams/resolution/0", "/streams/framerate",
          "/streams/end_ms"})
        EXPECT_TRUE(pointers.count(needed)) << needed << " is not on the page";

    // Every event, flash without a beep and beep without a flash: one row each, cells as in the JSON.
    const auto rows = event_rows(html);
    ASSERT_EQ(std::pair(j["sync"]["missing_beeps"].size(), j["sync"]["unmatched_beeps"].size()), std::pair(1ul, 1ul));
    ASSERT_EQ(rows.size(), j["sync"]["events"].size() + 2);
    std::set<std::string> seen;
    double previous_ms = -INFINITY;
    for (const auto& [pointer, cells] : rows) {
        ASSERT_EQ(cells.size(), kColumns.size()) << pointer;
        EXPECT_TRUE(seen.insert(pointer).second) << pointer << " twice";
        const json& object = j.at(json::json_pointer(pointer));
        for (size_t c = 0; c < kColumns.size(); c++) {
            const std::string& key = kColumns[c];
            if (object.contains(key)) {
                EXPECT_TRUE(shows(cells[c], object[key], pointer + "/" + key));
            } else if (!key.empty()) {
                EXPECT_EQ(cells[c], "") << pointer << "/" << key;
            }
        }
        const double at_ms = object.value("video_ms", object.value("audio_ms", 0.0));
        EXPECT_GE(at_ms, previous_ms) << "rows out of time order at " << pointer;
        previous_ms = at_ms;
    }

    // The event beyond the limits stands apart from the histogram's bins, labelled with its delay.
    char stray[64];
    snprintf(stray, sizeof stray, "above the bins, as far as %.3f ms: 1 event", j["sync"]["max_ms"].get<double>());
    EXPECT_NE(cut(html, 0, "id=\"delay-histogram\"", "</svg>").find(stray), npos) << stray;
    // The banner: the JSON's verdict, and its median in words.
    ASSERT_EQ(j["verdict"], "fail"); // the sample holds one event beyond EBU R37
    EXPECT_NE(html.find("data-verdict=\"fail\""), npos);
    char words[64];
    snprintf(words, sizeof words, "audio lags video by %.1f ms", j["sync"]["median_ms"].get<double>());
    EXPECT_NE(cut(html, 0, "<header", "</header>").find(words), npos) << words;
}

// A camera's rolling shutter: the correction of the flashes' times is on the page, as in the JSON,
// and a line time measured from the recording says how well.
TEST(CheckHtml, ARollingShuttersCorrectionIsShown)
{
    LineTimeEstimate measured;
    measured.measured = true;
    measured.line_time_ns = 29'600;
    measured.uncertainty_ns = 412.4; // ±0.412 µs
    measured.edges = 21;
    measured.edges_fitted = 19;
    measured.row_spread = 7.3;
    const struct {
        const char* name;
        std::optional<LineTimeEstimate> measurement;
        std::vector<std::string> pointers; ///< besides the correction's own
    } cases[] = {
        {"given", std::nullopt, {}},
        {"measured", measured, {"/video/line_time_measurement/frames_fitted", "/video/line_time_measurement/uncertainty_us"}},
    };
    for (const auto& c : cases) {
        CheckResult result = check_sample({});
        result.video.line_time_ns = 29'600; // 29.6 µs a row, the lip-sync marker's middle at row 410
        result.video.shutter_row = 410;
        result.video.shutter_offset_ns = 410 * 29'600;
        result.video.line_time_measurement = c.measurement;
        const std::string html = check_html(result);
        const json j = check_result_json(result);
        std::vector<std::string> pointers = {"/video/line_time_us", "/video/shutter_row", "/video/shutter_correction_ms"};
        pointers.insert(pointers.end(), c.pointers.begin(), c.pointers.end());
        for (const std::string& pointer : pointers) {
            const size_t at = html.find("<span data-json=\"" + pointer + "\"");
            ASSERT_NE(at, npos) << c.name << ": " << pointer << " is not on the page";
            EXPECT_TRUE(shows(cut(html, at, "\">", "<"), j.at(json::json_pointer(pointer)), pointer)) << c.name;
        }
        EXPECT_NE(html.find("A rolling shutter exposed each row"), npos) << c.name;
        EXPECT_EQ(html.find("(measured on ") != npos, bool(c.measurement)) << c.name;
        const json expected = c.measurement ? json::parse(R"({"measured": true, "frames": 21, "frames_fitted": 19,
            "uncertainty_us": 0.412, "row_spread": 7.3, "why_not": null})") : json();
        EXPECT_EQ(j["video"].value("line_time_measurement", json()), expected) << c.name;
    }
    EXPECT_EQ(check_html(check_sample({})).find("rolling shutter"), npos) << "a global shutter's page says nothing of it";
}

TEST(CheckHtml, EscapesWhatTheRecordingSays)
{
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b'c.mkv", "a&quot;b&#39;c.mkv"},
        {"</title><script>alert(1)</script> R&D", "&lt;/title&gt;&lt;script&gt;alert(1)&lt;/script&gt; R&amp;D"},
        // One U+FFFD per maximal ill-formed subpart, as every output writes it.
        {"bad\xff\xfe over\xc0\xaf cut\xe2\x82", "bad\uFFFD\uFFFD over\uFFFD\uFFFD cut\uFFFD"},
        {std::string("nul\0bell\x07", 9), "nul\uFFFDbell\uFFFD"},
        {"Z\u00fcrich \u2713", "Z\u00fcrich \u2713"},
    };
    for (const auto& [raw, shown] : cases) {
        SCOPED_TRACE(shown);
        EXPECT_EQ(html_escape(raw), shown);
        CheckResult result = check_sample({});
        result.file = result.streams.demuxer = raw;
        result.warnings = {"warning " + raw};
        const std::string html = check_html(result);
        EXPECT_TRUE(g_utf8_validate(html.data(), gssize(html.size()), nullptr));
        EXPECT_EQ(html.find("<script"), npos);
        EXPECT_GE(count_of(html, shown), 4u); // title, heading, facts, container
        EXPECT_NE(html.find("<li>Warning: warning " + shown + "</li>"), npos);
    }
}

TEST(CheckHtml, SaysWhyNothingWasMeasured)
{
    const CheckResult without_sound = check_sample({.audio = false});
    CheckResult without_flashes = check_sample({.faults = false}); // no stray beep either
    for (const SyncEvent& e : without_flashes.pairing.events)
        without_flashes.pairing.unmatched_beeps.push_back(e.audio_ns);
    without_flashes.pairing.events.clear();
    without_flashes.statistics = delay_statistics({});
    without_flashes.judgement = {};
    without_flashes.unmeasurable_reason = "the lip-sync marker never flashed";
    CheckResult without_picture = without_flashes;
    without_picture.video = {};
    without_picture.unmeasurable_reason = "the recording has no picture";
    // The run's own reason, as a sentence.
    const std::pair<const CheckResult&, std::string> cases[] = {
        {without_sound, "The recording has no sound to search for beeps."},
        {without_flashes, "The lip-sync marker never flashed."},
        {without_picture, "The recording has no picture."},
    };
    for (const auto& [result, reason] : cases) {
        SCOPED_TRACE(reason);
        ASSERT_EQ(result.judgement.verdict, SyncVerdict::Unmeasurable);
        const std::string html = check_html(result);
        EXPECT_NE(html.find("<div class=\"word\">UNMEASURABLE</div>"), npos);
        EXPECT_NE(cut(html, 0, "<header", "</header>").find(reason), npos);
        EXPECT_NE(cut(html, 0, "id=\"histogram\"", "</section>").find("No event to count. " + reason), npos);
        EXPECT_EQ(html.find("id=\"delay-histogram\""), npos);
        EXPECT_NE(html.find("id=\"delay-plot\""), npos) << "flashes or beeps alone still have their place in time";
        EXPECT_NE(cut(html, 0, "id=\"delay-over-time\"", "</section>").find("No event to plot. " + reason), npos);
        EXPECT_EQ(html.find("<circle"), npos);
    }
    // Without sound, every flash is still marked where it happened, and the picture is there.
    const std::string quiet = check_html(without_sound);
    EXPECT_EQ(count_of(quiet, "class=\"missing_beep\""), without_sound.pairing.missing_beeps.size());
    EXPECT_NE(quiet.find("<tr><th>Audio</th><td>none</td></tr>"), npos);
    EXPECT_NE(quiet.find("<image "), npos);
}

// Two hours at 60 frames per second, and a 1080p snapshot of camera noise (the worst case for
// the picture's size, and no pixel equals its neighbours).
TEST(CheckHtml, TwoHoursAtSixtyFramesStayLight)
{
    constexpr size_t kWidth = 1920, kHeight = 1080;
    CheckResult result = check_sample({.frames = 2 * 3600 * 60, .fps = 60, .width = kWidth, .height = kHeight});
    std::mt19937 noise(7);
    for (uint8_t& v : result.video.snapshot.rgb)
        v = uint8_t(noise());
    const std::string html = check_html(result);
    const SyncPairing& p = result.pairing;
    ASSERT_GT(p.events.size(), 17000u);
    EXPECT_LT(html.size(), 3'000'000u);
    const double plot_width = ChartFrame{}.plot_right() - ChartFrame{}.plot_left();
    EXPECT_LE(double(count_of(html, "<circle")), plot_width * kMaxMarksPerColumn);
    // The timeline is drawn per pixel column, not per frame.
    EXPECT_LE(double(count_of(cut(html, 0, "id=\"frame-timeline\"", "</svg>"), "M")), 3 * plot_width);
    const auto rows = event_rows(html);
    ASSERT_EQ(rows.size(), 2000u);
    // The rows shown keep every problem (the event beyond the limits and both strays) and
    // sample the rest over the whole recording.
    for (const char* problem : {"<tr class=\"event out\"", "<tr class=\"missing_beep\"", "<tr class=\"unmatched_beep\""})
        EXPECT_EQ(count_of(html, problem), 1u) << problem;
    std::vector<int64_t> times_ns;
    for (const auto& [pointer, cells] : rows)
        if (pointer.rfind("/sync/events/", 0) == 0) {
            const SyncEvent& e = p.events.at(std::stoul(pointer.substr(13)));
            EXPECT_TRUE(shows(cells[6], report_ms(double(e.delay_ns)), pointer));
            times_ns.push_back(e.video_ns);
        }
    EXPECT_LT(times_ns.front(), kNsPerMinute);
    EXPECT_GT(times_ns.back(), 119 * kNsPerMinute);

    // The picture decoded back: shrunk by two to stay within 960 wide, each pixel the mean of four.
    const size_t image = html.find("<image ");
    ASSERT_NE(image, npos);
    EXPECT_EQ(cut(html, image, " width=\"", "\""), std::to_string(kWidth));
    gsize size = 0;
    std::unique_ptr<guchar, decltype(&g_free)> png(
        g_base64_decode(cut(html, image, "href=\"data:image/png;base64,", "\"").c_str(), &size), g_free);
    const CheckSnapshot shown = decode_png(std::string(reinterpret_cast<const char*>(png.get()), size));
    ASSERT_EQ(std::pair(size_t(shown.width), size_t(shown.height)), std::pair(kWidth / 2, kHeight / 2));
    const std::vector<uint8_t>& rgb = result.video.snapshot.rgb;
    size_t wrong = 0;
    for (size_t i = 0; i < shown.rgb.size(); i++) {
        const size_t x = i / 3 % (kWidth / 2), y = i / 3 / (kWidth / 2), top_left = (2 * y * kWidth + 2 * x) * 3 + i % 3;
        const size_t below = top_left + kWidth * 3;
        wrong += std::fabs(shown.rgb[i] - (rgb[top_left] + rgb[top_left + 3] + rgb[below] + rgb[below + 3]) / 4.0) > 0.5;
    }
    EXPECT_EQ(wrong, 0u) << "bytes of the picture that are not the mean of their four";
    // Three when two is not enough; nothing from too few bytes.
    const CheckSnapshot small{5, 3, std::vector<uint8_t>(45, 9), 0};
    EXPECT_EQ(snapshot_shrink(small, 2).factor, 3);
    EXPECT_TRUE(snapshot_shrink(CheckSnapshot{5, 3, {1, 2, 3}, 0}, 4).image.rgb.empty());
}

} // namespace
