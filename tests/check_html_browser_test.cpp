// The visual report in a real browser: headless Chromium loads it without a console message,
// keeps the plots and the picture in its document, and paints them.
#include "check/check_html.h"
#include "support/check_sample.h"
#include "support/media.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>

#include <unistd.h>

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr double kBrowserTimeout = 45; // seconds; Chromium is slow to start on a busy machine

// A colour of the snapshot's background that nothing else on the page uses.
constexpr uint8_t kBackdrop[3] = {17, 201, 93};

bool have_chromium()
{
    return access(kChromium, X_OK) == 0;
}

#define SKIP_WITHOUT_CHROMIUM()                                                                                        \
    if (!have_chromium())                                                                                              \
    GTEST_SKIP() << kChromium << " is missing: the browser checks need the Debian package chromium (make deps)"

// Chromium with a fresh profile and nothing that reaches the network; console messages go to
// standard error as "CONSOLE" lines.
ProcessResult chromium(const TempDir& dir, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {kChromium,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--enable-logging=stderr",
                                     "--v=0",
                                     "--user-data-dir=" + dir.file("profile")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult run = run_process(argv, kBrowserTimeout);
    EXPECT_FALSE(run.timed_out) << "Chromium did not finish in " << kBrowserTimeout << " s";
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return run;
}

std::vector<std::string> console_lines(const std::string& log)
{
    std::vector<std::string> found;
    for (const std::string& line : split_lines(log))
        if (line.find(":CONSOLE") != std::string::npos)
            found.push_back(line);
    return found;
}

// The sample recording, its snapshot's grey backdrop repainted in a colour of its own.
std::string sample_page()
{
    CheckResult result = check_sample({});
    std::vector<uint8_t>& rgb = result.video.snapshot.rgb;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3)
        if (rgb[i] == rgb[i + 1] && rgb[i + 1] == rgb[i + 2] && rgb[i] > 0 && rgb[i] < 255)
            std::copy(kBackdrop, kBackdrop + 3, rgb.begin() + long(i));
    return check_html(result);
}

struct Screenshot {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;

    // Pixels within 3 of `colour` in every channel.
    size_t count(const uint8_t colour[3]) const
    {
        size_t n = 0;
        for (size_t i = 0; i + 2 < rgb.size(); i += 3)
            n += std::abs(rgb[i] - colour[0]) <= 3 && std::abs(rgb[i + 1] - colour[1]) <= 3 &&
                 std::abs(rgb[i + 2] - colour[2]) <= 3;
        return n;
    }
};

Screenshot read_png(const std::string& path)
{
    Screenshot shot;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return shot;
    image.format = PNG_FORMAT_RGB;
    shot.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, shot.rgb.data(), 0, nullptr))
        return {};
    shot.width = int(image.width);
    shot.height = int(image.height);
    return shot;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        count++;
    return count;
}

TEST(Browser, LoadsWithoutConsoleMessages)
{
    SKIP_WITHOUT_CHROMIUM();
    TempDir dir;
    const std::string html = sample_page();
    write_file(dir.file("report.html"), html);
    const ProcessResult run = chromium(dir, {"--dump-dom", dir.file("report.html")});
    EXPECT_EQ(console_lines(run.err), std::vector<std::string>{});
    const std::string& dom = run.out;
    for (const char* id : {"delay-plot", "delay-histogram", "frame-timeline", "marker-map"})
        EXPECT_NE(dom.find(std::string("<svg id=\"") + id + "\""), std::string::npos)
            << id << " is not in the document";
    EXPECT_NE(dom.find("<image "), std::string::npos);
    // The parser kept every event row and every event's mark.
    EXPECT_EQ(count_of(dom, "<tr class=\"event"), count_of(html, "<tr class=\"event"));
    EXPECT_EQ(count_of(dom, "<circle "), count_of(html, "<circle "));
    EXPECT_GT(count_of(dom, "<circle "), 5u);

    // The same check on a page that reaches outside and logs: both are seen.
    write_file(dir.file("bad.html"),
               "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><meta http-equiv=\"Content-Security-Policy\" "
               "content=\"default-src 'none'\"><title>t</title></head><body><img src=\"http://example.invalid/a.png\">"
               "</body></html>");
    const ProcessResult bad = chromium(dir, {"--dump-dom", dir.file("bad.html")});
    EXPECT_EQ(console_lines(bad.err).size(), 1u) << bad.err;
}

TEST(Browser, PaintsThePlotsAndThePicture)
{
    SKIP_WITHOUT_CHROMIUM();
    TempDir dir;
    write_file(dir.file("report.html"), sample_page());
    const ProcessResult run = run_process({"sh", SKELV_SOURCE_DIR "/scripts/html-to-png.sh", dir.file("report.html"),
                                           dir.file("report.png"), "1000", "5000"},
                                          2 * kBrowserTimeout);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const Screenshot shot = read_png(dir.file("report.png"));
    ASSERT_EQ(shot.width, 1000);
    ASSERT_EQ(shot.height, 5000);

    // Colours of the page's own style, each of one part of it.
    const struct {
        const char* part;
        uint8_t colour[3];
        size_t at_least; // pixels
    } parts[] = {
        {"the FAIL banner", {0xc6, 0x28, 0x28}, 20000},
        {"the events within the limits", {0x1f, 0x5f, 0xbf}, 150}, // the legend's dot alone has 64
        {"a histogram bin", {0x5b, 0x7f, 0xb3}, 1000},
        {"the content span of the timeline", {0xea, 0xf5, 0xe3}, 20000},
        {"the snapshot's backdrop", {kBackdrop[0], kBackdrop[1], kBackdrop[2]}, 100000},
        {"the lip-sync marker's outline", {0xff, 0x40, 0xff}, 300},
    };
    for (const auto& p : parts)
        EXPECT_GE(shot.count(p.colour), p.at_least) << p.part << ": " << shot.count(p.colour) << " pixels";
}

TEST(Browser, ScriptRefusesAMissingPage)
{
    TempDir dir;
    const ProcessResult run = run_process(
        {"sh", SKELV_SOURCE_DIR "/scripts/html-to-png.sh", dir.file("none.html"), dir.file("none.png")}, 10);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "no such page: " + dir.file("none.html") + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.png")));
}

} // namespace
