// Batch summaries rebuilt from result folders: rows, CSV quoting, the index page.
#include "check/batch_summary.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A finished entry as a batch leaves it: DIR/<id>/status.json, with figures unless an error.
EntryStatus add_entry(const std::string& dir, const std::string& file, EntryOutcome outcome, double median,
                      const std::string& error = "")
{
    const BatchRecording recording = make_recording(file);
    EntryStatus s;
    s.file = file;
    s.key = recording.key;
    s.id = recording.id;
    s.stamp = {10, 20};
    s.options = {"--profile", "ebu-r37"};
    s.outcome = outcome;
    s.error = error;
    s.finished = "2026-01-01T00:00:00Z";
    if (outcome != EntryOutcome::Error) {
        s.figures = {{"verdict", entry_outcome_name(outcome)}, {"profile", "ebu-r37"}, {"events", 11},
                     {"median_ms", median}, {"min_ms", median - 0.25}, {"max_ms", median + 0.5},
                     {"drift_ms_per_min", -0.5}, {"dropped", 0}, {"repeated", 2}};
        s.outputs = {"report.html", "result.json"};
    }
    fs::create_directories(dir + "/" + s.id);
    write_file(dir + "/" + s.id + "/status.json", entry_status_json(s).dump());
    return s;
}

TEST(BatchSummary, RowsInFileOrderQuotedInCsvEscapedInTheIndex)
{
    TempDir dir;
    add_entry(dir.path(), "/lab/b.mkv", EntryOutcome::Pass, 21.6);
    add_entry(dir.path(), "/lab/<script>alert(1)</script>, \"take 2\".mkv", EntryOutcome::Fail, 71.5);
    const EntryStatus bad = add_entry(dir.path(), "/lab/c.mkv", EntryOutcome::Error, 0, "bad \"header\" & <worse>");
    add_entry(dir.path(), "/lab/m.mkv", EntryOutcome::Unmeasurable, 0, "no beep");
    const EntryStatus cut = add_entry(dir.path(), "/lab/d.mkv", EntryOutcome::Pass, 1);
    write_file(dir.file(cut.id + "/status.json"), "{\"file\": \"/lab/d.mkv\""); // a cut status is no row
    fs::create_directories(dir.file(".partial.1.2.host/x"));                      // nor a scratch folder
    fs::create_directories(dir.file("unfinished"));                               // nor one without status
    const std::vector<BatchRow> rows = scan_entries({dir.path()}, dir.path());
    ASSERT_EQ(rows.size(), 4u);
    const std::vector<std::string> lines = split_lines(summary_csv(rows));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "file,verdict,events,median_ms,min_ms,max_ms,drift_ms_per_min,dropped,repeated,profile,error,folder");
    EXPECT_EQ(lines[1], "\"/lab/<script>alert(1)</script>, \"\"take 2\"\".mkv\",fail,11,71.5,71.25,72.0,-0.5,0,2,ebu-r37,," +
                            rows[0].status.id);
    EXPECT_EQ(lines[3], "/lab/c.mkv,error,,,,,,,,,\"bad \"\"header\"\" & <worse>\"," + bad.id);

    const json j = summary_json(rows);
    EXPECT_EQ(j["counts"], json({{"pass", 1}, {"fail", 1}, {"unmeasurable", 1}, {"error", 1}}));
    EXPECT_EQ(j["rows"][1]["median_ms"], 21.6);
    EXPECT_EQ(j["rows"][1]["report"], rows[1].status.id + "/report.html");
    EXPECT_TRUE(j["rows"][2]["report"].is_null());

    const std::string html = index_html(rows);
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;, &quot;take 2&quot;.mkv</a>"), std::string::npos);
    EXPECT_NE(html.find("bad &quot;header&quot; &amp; &lt;worse&gt;"), std::string::npos);
    const size_t error = html.find(">error</td>"), fail = html.find(">fail</td>"),
                 unmeasurable = html.find(">unmeasurable</td>"), pass = html.find(">pass</td>");
    ASSERT_NE(pass, std::string::npos);
    EXPECT_TRUE(error < fail && fail < unmeasurable && unmeasurable < pass) << "readable without the script";
    EXPECT_NE(html.find("href=\"" + make_recording("/lab/b.mkv").id + "/report.html\""), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos) << "no external resource";
}

} // namespace
