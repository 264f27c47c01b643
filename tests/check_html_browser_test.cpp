// The visual report in headless Chromium: no console message, plots and picture kept and painted.
#include "report/check_html.h"
#include "support/check_sample.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace skelv;

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr double kBrowserTimeout = 45; // seconds; Chromium is slow to start on a busy machine

constexpr uint32_t kBackdrop = 0x11c95d; // the snapshot's colour (RGB), which nothing else on the page uses

// Byte `i` of an RGB picture in `colour`.
uint8_t channel(uint32_t colour, size_t i) { return uint8_t(colour >> (16 - 8 * (i % 3))); }

// Pixels within 3 of `colour` in every channel.
size_t pixels_of(const CheckSnapshot& shot, uint32_t colour)
{
    size_t n = 0;
    for (size_t i = 0; i + 2 < shot.rgb.size(); i += 3)
        n += std::abs(shot.rgb[i] - channel(colour, 0)) <= 3 && std::abs(shot.rgb[i + 1] - channel(colour, 1)) <= 3 &&
             std::abs(shot.rgb[i + 2] - channel(colour, 2)) <= 3;
    return n;
}

// One Chromium run on the sample's page gives its console, its document and its picture.
TEST(Browser, LoadsWithoutConsoleMessagesAndPaintsThePlotsAndThePicture)
{
    if (access(kChromium, X_OK) != 0)
        GTEST_SKIP() << kChromium << " is missing: the browser checks need the Debian package chromium (make deps)";
    TempDir dir;
    CheckResult result = check_sample({});
    for (size_t i = 0; i < result.video.snapshot.rgb.size(); i++)
        result.video.snapshot.rgb[i] = channel(kBackdrop, i);
    const std::string html = check_html(result);
    // One image from outside, which the page's policy refuses: the console check sees that
    // refusal, and nothing else, or the page logged something of its own.
    const size_t end = html.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    write_file(dir.file("report.html"),
               html.substr(0, end) + "<img src=\"http://example.invalid/a.png\">" + html.substr(end));
    // A fresh profile and nothing that reaches the network; console messages are "CONSOLE" lines.
    const ProcessResult run = run_process(
        {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync", "--enable-logging=stderr",
         "--v=0", "--user-data-dir=" + dir.file("profile"), "--dump-dom", "--hide-scrollbars", "--window-size=1000,5000",
         "--screenshot=" + dir.file("report.png"), dir.file("report.html")},
        kBrowserTimeout);
    ASSERT_FALSE(run.timed_out) << "Chromium did not finish in " << kBrowserTimeout << " s";
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::vector<std::string> console;
    for (const std::string& line : split_lines(run.err))
        if (line.find(":CONSOLE") != std::string::npos)
            console.push_back(line);
    EXPECT_EQ(console.size(), 1u) << run.err;
    EXPECT_TRUE(!console.empty() && console[0].find("example.invalid") != std::string::npos) << run.err;
    const std::string& dom = run.out;
    for (const char* id : {"delay-plot", "delay-histogram", "frame-timeline", "marker-map"})
        EXPECT_NE(dom.find(std::string("<svg id=\"") + id + "\""), std::string::npos) << id << " is not in the document";
    EXPECT_NE(dom.find("<image "), std::string::npos);
    // The parser kept every event row and every event's mark.
    EXPECT_EQ(count_of(dom, "<tr class=\"event"), count_of(html, "<tr class=\"event"));
    EXPECT_EQ(count_of(dom, "<circle "), count_of(html, "<circle "));
    EXPECT_GT(count_of(dom, "<circle "), 5u);

    const CheckSnapshot shot = decode_png(read_file(dir.file("report.png")));
    ASSERT_EQ(std::pair(shot.width, shot.height), std::pair(1000, 5000));
    // Colours of the page's own style, each of one part of it.
    const std::tuple<const char*, uint32_t, size_t> parts[] = { // part, colour, pixels at least
        {"the FAIL banner", 0xc62828, 20000},
        {"the events within the limits", 0x1f5fbf, 150}, // the legend's dot alone has 64
        {"a histogram bin", 0x5b7fb3, 1000},
        {"the content span of the timeline", 0xeaf5e3, 20000},
        {"the snapshot", kBackdrop, 100000},
        {"the lip-sync marker's outline", 0xff40ff, 300},
    };
    for (const auto& [part, colour, at_least] : parts)
        EXPECT_GE(pixels_of(shot, colour), at_least) << part;
}

} // namespace
