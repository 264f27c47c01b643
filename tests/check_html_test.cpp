// skelv-check's visual report: its numbers against the JSON, escaping of what the recording
// says, pages without sound or events, the size of long recordings, and the plot helpers.
#include "check/check_html.h"
#include "check/check_plots.h"
#include "check/check_report.h"
#include "check/html_text.h"
#include "check/snapshot_png.h"
#include "check/svg_chart.h"
#include "support/check_sample.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <numeric>
#include <random>
#include <set>

namespace {

using nlohmann::json;

// libstdc++'s regex recurses per character, so the page (megabytes, with a picture inside one
// attribute) is cut up by hand.

// The value of attribute `name` in the tag `tag`, or "" without it.
std::string attribute(const std::string& tag, const std::string& name)
{
    const size_t at = tag.find(" " + name + "=\"");
    if (at == std::string::npos)
        return "";
    const size_t start = at + name.size() + 3;
    return tag.substr(start, tag.find('"', start) - start);
}

// Each tag `<name ...>` of `html` in [from, to) with the text up to the next tag.
struct Tag {
    std::string name, text, inner; ///< inner: the text between < and >
    bool closing, self_closing;
};
std::vector<Tag> tags(const std::string& html, size_t from = 0, size_t to = std::string::npos)
{
    std::vector<Tag> found;
    to = std::min(to, html.size());
    for (size_t open = html.find('<', from); open < to; open = html.find('<', open + 1)) {
        const size_t close = html.find('>', open);
        if (close == std::string::npos)
            break;
        Tag tag;
        tag.inner = html.substr(open + 1, close - open - 1);
        tag.closing = !tag.inner.empty() && tag.inner[0] == '/';
        tag.self_closing = !tag.inner.empty() && tag.inner.back() == '/';
        const size_t name_start = tag.closing ? 1 : 0;
        tag.name = tag.inner.substr(name_start, tag.inner.find_first_of(" /", name_start) - name_start);
        tag.text = html.substr(close + 1, std::min(html.find('<', close), to) - close - 1);
        found.push_back(tag);
        open = close;
    }
    return found;
}

// `shown` equals `value` to the digits it shows.
::testing::AssertionResult shows(const std::string& shown, const json& value, const std::string& where)
{
    char* end = nullptr;
    const double number = strtod(shown.c_str(), &end);
    if (!value.is_number() || shown.empty() || *end != '\0')
        return ::testing::AssertionFailure() << where << ": page \"" << shown << "\", JSON " << value.dump();
    const size_t point = shown.find('.');
    const int decimals = point == std::string::npos ? 0 : int(shown.size() - point - 1);
    if (std::fabs(number - value.get<double>()) > 0.5 * std::pow(10, -decimals) + 1e-9)
        return ::testing::AssertionFailure() << where << ": page " << shown << ", JSON " << value.dump();
    return ::testing::AssertionSuccess();
}

struct TableRow {
    std::string pointer;
    std::vector<std::string> cells;
};

// The events table: the JSON key of each column, and each row's pointer and cells.
std::pair<std::vector<std::string>, std::vector<TableRow>> events_table(const std::string& html)
{
    const size_t start = html.find("<table class=\"events\">");
    if (start == std::string::npos)
        return {};
    std::vector<std::string> keys;
    std::vector<TableRow> rows;
    for (const Tag& tag : tags(html, start, html.find("</table>", start))) {
        if (tag.closing)
            continue;
        if (tag.name == "th")
            keys.push_back(attribute(tag.inner, "data-key"));
        else if (tag.name == "tr" && !attribute(tag.inner, "data-json").empty())
            rows.push_back({attribute(tag.inner, "data-json"), {}});
        else if (tag.name == "td" && !rows.empty())
            rows.back().cells.push_back(tag.text);
    }
    return {keys, rows};
}

// Elements that do not nest properly, or are left open; empty when the page is well formed.
std::string tag_errors(const std::string& html)
{
    std::vector<std::string> open;
    for (const Tag& tag : tags(html)) {
        if (tag.name == "meta" || tag.name == "!DOCTYPE" || tag.self_closing)
            continue;
        if (!tag.closing) {
            open.push_back(tag.name);
            continue;
        }
        if (open.empty() || open.back() != tag.name)
            return "</" + tag.name + "> closes <" + (open.empty() ? std::string("nothing") : open.back()) + ">";
        open.pop_back();
    }
    return open.empty() ? "" : "<" + open.back() + "> left open";
}

std::string between(const std::string& html, const std::string& from, const std::string& to)
{
    const size_t start = html.find(from);
    return start == std::string::npos ? "" : html.substr(start, html.find(to, start) - start);
}

TEST(CheckHtml, NumbersEqualTheJson)
{
    const CheckResult result = check_sample({});
    const std::string html = check_html(result);
    const json j = check_result_json(result);
    ASSERT_EQ(tag_errors(html), "");

    // Every `<span data-json="<pointer>">number</span>`.
    std::set<std::string> pointers;
    for (const Tag& tag : tags(html))
        if (const std::string pointer = attribute(tag.inner, "data-json"); tag.name == "span" && !pointer.empty()) {
            EXPECT_TRUE(shows(tag.text, j.at(json::json_pointer(pointer)), pointer));
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
    const auto [keys, rows] = events_table(html);
    ASSERT_EQ(j["sync"]["missing_beeps"].size(), 1u);
    ASSERT_EQ(j["sync"]["unmatched_beeps"].size(), 1u);
    ASSERT_EQ(rows.size(), j["sync"]["events"].size() + 2);
    std::set<std::string> seen;
    double previous_ms = -INFINITY;
    for (const TableRow& row : rows) {
        ASSERT_EQ(row.cells.size(), keys.size()) << row.pointer;
        EXPECT_TRUE(seen.insert(row.pointer).second) << row.pointer << " twice";
        const json& object = j.at(json::json_pointer(row.pointer));
        for (size_t c = 0; c < keys.size(); c++) {
            if (keys[c].empty())
                continue;
            if (object.contains(keys[c]))
                EXPECT_TRUE(shows(row.cells[c], object[keys[c]], row.pointer + "/" + keys[c]));
            else
                EXPECT_EQ(row.cells[c], "") << row.pointer << "/" << keys[c];
        }
        const double at_ms = object.value("video_ms", object.value("audio_ms", 0.0));
        EXPECT_GE(at_ms, previous_ms) << "rows out of time order at " << row.pointer;
        previous_ms = at_ms;
    }

    // The banner: the JSON's verdict, and its median in words.
    ASSERT_EQ(j["verdict"], "fail"); // the sample holds one event beyond EBU R37
    EXPECT_NE(html.find("data-verdict=\"fail\""), std::string::npos);
    char words[64];
    snprintf(words, sizeof words, "audio lags video by %.1f ms", j["sync"]["median_ms"].get<double>());
    EXPECT_NE(between(html, "<header", "</header>").find(words), std::string::npos) << words;
}

TEST(CheckHtml, EscapesWhatTheRecordingSays)
{
    const struct {
        std::string raw, shown;
    } cases[] = {
        {"a\"b'c.mkv", "a&quot;b&#39;c.mkv"},
        {"</title><script>alert(1)</script>", "&lt;/title&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"R&D <HDMI>", "R&amp;D &lt;HDMI&gt;"},
        {"bad\xff\xfe" "bytes", "bad\uFFFD\uFFFDbytes"},
        {"over\xc0\xaflong", "over\uFFFD\uFFFDlong"},
        {"cut\xe2\x82", "cut\uFFFD\uFFFD"},
        {std::string("nul\0bell\x07", 9), "nul\uFFFDbell\uFFFD"},
        {"Z\u00fcrich \u2713", "Z\u00fcrich \u2713"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(html_escape(c.raw), c.shown);
        CheckResult result = check_sample({});
        result.file = result.streams.demuxer = c.raw;
        result.warnings = {"warning " + c.raw};
        const std::string html = check_html(result);
        EXPECT_TRUE(g_utf8_validate(html.data(), gssize(html.size()), nullptr));
        EXPECT_EQ(tag_errors(html), "");
        EXPECT_EQ(html.find("<script"), std::string::npos);
        EXPECT_GE(count_of(html, c.shown), 4u); // title, heading, facts, container
        EXPECT_NE(html.find("<li>warning " + c.shown + "</li>"), std::string::npos);
        EXPECT_NE(html.find("<li>Warning: warning " + c.shown + "</li>"), std::string::npos);
    }
}

TEST(CheckHtml, SaysWhyNothingWasMeasured)
{
    const CheckResult without_sound = check_sample({.audio = false});
    CheckResult without_beeps = without_sound;
    without_beeps.audio = {48000, 2, 0};
    CheckResult without_flashes = check_sample({.faults = false});
    without_flashes.pairing.unmatched_beeps.clear();
    for (const SyncEvent& e : without_flashes.pairing.events)
        without_flashes.pairing.unmatched_beeps.push_back(e.audio_ms);
    without_flashes.pairing.events.clear();
    without_flashes.statistics = delay_statistics({});
    without_flashes.judgement = {};
    CheckResult without_markers = without_flashes;
    without_markers.video.markers.clear();
    without_markers.video.snapshot = {};
    for (CheckFrame& f : without_markers.video.timeline)
        f = {f.time_ms, f.duration_ms, FrameKind::Unknown};
    CheckResult without_picture = without_markers;
    without_picture.video = {};
    const struct {
        const CheckResult& result;
        const char* reason;
    } cases[] = {
        {without_sound, "The recording has no sound, so no beep can be timed."},
        {without_beeps, "No beep was heard in the sound."},
        {without_flashes, "No lip-sync flash was seen in the picture."},
        {without_markers, "No marker of the test clip was found in the picture."},
        {without_picture, "The recording has no picture, so no flash can be seen."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ASSERT_EQ(c.result.judgement.verdict, SyncVerdict::Unmeasurable);
        const std::string html = check_html(c.result);
        EXPECT_EQ(tag_errors(html), "");
        EXPECT_NE(html.find("<div class=\"word\">UNMEASURABLE</div>"), std::string::npos);
        EXPECT_NE(between(html, "<header", "</header>").find(c.reason), std::string::npos);
        EXPECT_NE(between(html, "id=\"histogram\"", "</section>").find("No event to count. " + std::string(c.reason)),
                  std::string::npos);
        EXPECT_EQ(html.find("id=\"delay-histogram\""), std::string::npos);
        // Flashes or beeps alone still have their place in time.
        EXPECT_NE(html.find("id=\"delay-plot\""), std::string::npos);
        EXPECT_NE(between(html, "id=\"delay-over-time\"", "</section>").find("No event to plot. " + std::string(c.reason)),
                  std::string::npos);
        EXPECT_EQ(html.find("<circle"), std::string::npos);
    }
    // The run's own words come first.
    CheckResult told = without_sound;
    told.unmeasurable_reason = "the sound's level never rose above <-90 dBFS>";
    EXPECT_NE(between(check_html(told), "<header", "</header>")
                  .find("The sound&#39;s level never rose above &lt;-90 dBFS&gt;."),
              std::string::npos);
    // Without sound, every flash is still marked where it happened, and the picture is there.
    const std::string quiet = check_html(without_sound);
    EXPECT_EQ(count_of(quiet, "class=\"missing_beep\""), without_sound.pairing.missing_beeps.size());
    EXPECT_NE(quiet.find("<tr><th>Audio</th><td>none</td></tr>"), std::string::npos);
    EXPECT_NE(quiet.find("<image "), std::string::npos);
    // Without a picture there is nothing to map or to time.
    const std::string blind = check_html(without_picture);
    EXPECT_EQ(blind.find("id=\"frame-timeline\""), std::string::npos);
    EXPECT_EQ(blind.find("id=\"marker-map\""), std::string::npos);
    EXPECT_NE(blind.find("The recording has no picture.</p>"), std::string::npos);
}

TEST(CheckHtml, TwoHoursAtSixtyFramesStayLight)
{
    CheckResult result = check_sample({.frames = 2 * 3600 * 60, .fps = 60, .width = 1920, .height = 1080});
    // A camera's noise: the worst case for the picture's size.
    std::mt19937 noise(7);
    for (uint8_t& v : result.video.snapshot.rgb)
        v = uint8_t(noise());
    const std::string html = check_html(result);
    const SyncPairing& p = result.pairing;
    ASSERT_GT(p.events.size(), 17000u);

    EXPECT_LT(html.size(), 3'000'000u);
    EXPECT_EQ(tag_errors(html), "");
    const double plot_width = ChartFrame{}.plot_right() - ChartFrame{}.plot_left();
    EXPECT_LE(double(count_of(html, "<circle")), plot_width * kMaxMarksPerColumn);
    const auto [keys, rows] = events_table(html);
    ASSERT_EQ(rows.size(), 2000u);
    const size_t total = p.events.size() + p.missing_beeps.size() + p.unmatched_beeps.size();
    EXPECT_NE(html.find("2000 of " + std::to_string(total) + " rows"), std::string::npos);
    // The rows shown keep every problem (the event beyond the limits and both strays) and
    // sample the rest over the whole recording.
    EXPECT_EQ(count_of(html, "<tr class=\"event out\""), 1u);
    EXPECT_EQ(count_of(html, "<tr class=\"missing_beep\""), 1u);
    EXPECT_EQ(count_of(html, "<tr class=\"unmatched_beep\""), 1u);
    const std::string prefix = "/sync/events/";
    std::vector<double> times_ms;
    for (const TableRow& row : rows)
        if (row.pointer.rfind(prefix, 0) == 0) {
            const SyncEvent& e = p.events.at(std::stoul(row.pointer.substr(prefix.size())));
            EXPECT_TRUE(shows(row.cells[6], report_ms(e.delay_ms), row.pointer));
            times_ms.push_back(e.video_ms);
        }
    EXPECT_LT(times_ms.front(), 60'000);
    EXPECT_GT(times_ms.back(), 119 * 60'000);
    // The timeline is drawn per pixel column, not per frame.
    EXPECT_LE(double(count_of(between(html, "id=\"frame-timeline\"", "</svg>"), "M")), 3 * plot_width);
}

// The picture in the page, decoded back: the snapshot (noise, so that no pixel equals its
// neighbours) shrunk by two, each pixel the mean of four; and the choice of other factors.
TEST(CheckHtml, PictureIsTheSnapshotShrunk)
{
    constexpr size_t kWidth = 1280, kHeight = 720; // shrunk to 640 x 360 to stay under 960 wide
    CheckResult result = check_sample({.width = kWidth, .height = kHeight});
    std::mt19937 noise(7);
    for (uint8_t& v : result.video.snapshot.rgb)
        v = uint8_t(noise());
    const std::string html = check_html(result);
    const size_t at = html.find("<image ");
    ASSERT_NE(at, std::string::npos);
    const std::string image = html.substr(at, html.find('>', at) - at);
    EXPECT_EQ(attribute(image, "width"), std::to_string(kWidth));
    EXPECT_EQ(attribute(image, "height"), std::to_string(kHeight));
    const std::string href = attribute(image, "href"), prefix = "data:image/png;base64,";
    ASSERT_EQ(href.substr(0, prefix.size()), prefix);
    gsize size = 0;
    std::unique_ptr<guchar, decltype(&g_free)> png(g_base64_decode(href.substr(prefix.size()).c_str(), &size), g_free);
    const CheckSnapshot shown = decode_png(std::string(reinterpret_cast<const char*>(png.get()), size));
    ASSERT_EQ(size_t(shown.width), kWidth / 2);
    ASSERT_EQ(size_t(shown.height), kHeight / 2);
    const std::vector<uint8_t>& rgb = result.video.snapshot.rgb;
    size_t wrong = 0;
    for (size_t i = 0; i < shown.rgb.size(); i++) {
        const size_t x = i / 3 % (kWidth / 2), y = i / 3 / (kWidth / 2), top_left = (2 * y * kWidth + 2 * x) * 3 + i % 3;
        const size_t below = top_left + kWidth * 3;
        const double mean = (rgb[top_left] + rgb[top_left + 3] + rgb[below] + rgb[below + 3]) / 4.0;
        wrong += std::fabs(shown.rgb[i] - mean) > 0.5;
    }
    EXPECT_EQ(wrong, 0u) << "bytes of the picture that are not the mean of their four";

    CheckSnapshot small{5, 3, {}, 0};
    for (int i = 0; i < 5 * 3 * 3; i++)
        small.rgb.push_back(uint8_t(i * 5));
    EXPECT_EQ(snapshot_shrink(small, 5).image.rgb, small.rgb);
    EXPECT_EQ(snapshot_shrink(small, 4).factor, 2);
    EXPECT_EQ(snapshot_shrink(small, 2).factor, 3);
    EXPECT_TRUE(snapshot_shrink(CheckSnapshot{5, 3, {1, 2, 3}, 0}, 4).image.rgb.empty()) << "too few bytes";
}

TEST(SvgChart, RoundTicksAndNumbers)
{
    const struct {
        double span;
        int count;
        double step;
    } steps[] = {{10, 5, 2}, {100, 6, 20}, {0.4, 8, 0.05}, {7200, 10, 1000}, {1, 24, 0.05}, {3, 1, 5}};
    for (const auto& s : steps)
        EXPECT_DOUBLE_EQ(nice_step(s.span, s.count), s.step) << s.span << " / " << s.count;
    EXPECT_EQ(ticks_between(-45, 65, 20), (std::vector<double>{-40, -20, 0, 20, 40, 60}));
    EXPECT_EQ(ticks_between(0.1, 0.35, 0.1).size(), 3u);
    EXPECT_DOUBLE_EQ((LinearScale{{-40, 60}, 254, 14}(10)), 134); // y grows downwards
    EXPECT_EQ(fixed(-0.0004, 3), "0.000");
    EXPECT_EQ(fixed(-3.25, 1), "-3.2"); // halves to even, as printf does
    EXPECT_EQ(shortest(12.5), "12.5");
}

TEST(DelayBins, StrayEventsStandApart)
{
    const struct {
        std::vector<double> delays;
        size_t below, above;
        Range binned; // the delays the bins hold: the bins cover them and no more
    } cases[] = {
        {{21.5, 21.6, 21.6, 21.7}, 0, 0, {21.5, 21.7}},
        {{21.5, 21.6, 21.6, 21.6, 21.7, 81.5}, 0, 1, {21.5, 21.7}},
        {{-300, 0, 0.2, 0.1, 0, 0.3, 0.1}, 1, 0, {0, 0.3}},
        {{5, 5, 5}, 0, 0, {5, 5}},
        {{-40.2, -39.9, -40.0, -38.8, -41.0}, 0, 0, {-41.0, -38.8}},
    };
    for (const auto& c : cases) {
        const DelayBins bins = delay_bins(c.delays);
        EXPECT_EQ(bins.below, c.below);
        EXPECT_EQ(bins.above, c.above);
        EXPECT_EQ(std::accumulate(bins.counts.begin(), bins.counts.end(), size_t(0)), c.delays.size() - c.below - c.above);
        EXPECT_LE(bins.width, 0.1) << "bins too coarse to show a tenth of a millisecond";
        EXPECT_GT(bins.width, 0.01) << "bins finer than the delays are measured";
        // Edges to a nanosecond: the bins are binary, the delays decimal.
        const double slack = 1e-9, end = bins.first + bins.width * double(bins.counts.size());
        EXPECT_LE(bins.first, c.binned.lo + slack);
        EXPECT_GT(bins.first + bins.width, c.binned.lo + slack);
        EXPECT_LE(end - bins.width, c.binned.hi + slack);
        EXPECT_GT(end, c.binned.hi + slack);
        EXPECT_DOUBLE_EQ(bins.lowest, *std::min_element(c.delays.begin(), c.delays.end()));
        EXPECT_DOUBLE_EQ(bins.highest, *std::max_element(c.delays.begin(), c.delays.end()));
    }
}

} // namespace
