// A batch's recordings (what a folder yields, folder names that never collide, shares that cover
// every recording once) and its summary rebuilt from their folders (rows, CSV quoting, index).
#include "batch/batch_inputs.h"
#include "batch/batch_summary.h"
#include "batch/batch_trend.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

using namespace skelv;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(BatchInputs, FoldersYieldMediaFilesAndFilesAreKeptAsGiven)
{
    TempDir dir;
    for (const char* folder : {"a/sub", "a/.hidden", "a/out", "a/b.mkv.d"})
        fs::create_directories(dir.file(folder));
    for (const char* file : {"a/clip.mkv", "a/sub/clip.mkv", "a/notes.txt", "a/.hidden/x.mkv", "a/out/prev.mkv",
                             "a/.dot.mkv", "b.MP4", "odd.name"})
        write_file(dir.file(file), "x");
    const std::vector<BatchRecording> found = find_recordings(
        {dir.file("a"), dir.file("b.MP4"), dir.file("a/../a/clip.mkv"), dir.file("odd.name"), dir.file("missing.mkv")},
        dir.file("a/out"));
    std::vector<std::string> keys;
    for (const BatchRecording& r : found)
        keys.push_back(r.key);
    ASSERT_EQ(keys, (std::vector<std::string>{dir.file("a/clip.mkv"), dir.file("a/sub/clip.mkv"), dir.file("b.MP4"),
                                              dir.file("missing.mkv"), dir.file("odd.name")}));
    EXPECT_NE(found[0].id, found[1].id) << "two clip.mkv in different folders";

    // The same recording from another working directory: same key, same folder.
    const std::string old_cwd = fs::current_path();
    fs::current_path(dir.file("a/sub"));
    const BatchRecording relative = make_recording("./x/../../clip.mkv");
    fs::current_path(old_cwd);
    EXPECT_EQ(std::tie(relative.key, relative.id), std::tie(found[0].key, found[0].id));
    EXPECT_EQ(relative.path, "./x/../../clip.mkv") << "the path as given is kept for the rows";
}

TEST(BatchInputs, IdsAreSafeVisibleFolderNamesWithAStableHash)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/r/a;rm -rf $HOME (1).mkv", "a_rm_-rf__HOME__1_.mkv-"}, {"/r/.hidden.mkv", "_.hidden.mkv-"},
        {"/r/caf\xc3\xa9.ts", "caf__.ts-"}, {"/r/caf\xe9.ts", "caf_.ts-"},
        {"/r/x_123456789012345678901234567890123456789012345678901234567890.mkv",
         "x_1234567890123456789012345678901234567890123456-"}};
    for (const auto& [path, stem] : cases) {
        const std::string id = make_recording(path).id;
        EXPECT_EQ(id.substr(0, id.size() - 8), stem) << path;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef", id.size() - 8), std::string::npos) << id;
    }
    // Published FNV-1a 64 test vectors: every machine of a cluster must agree on shares.
    EXPECT_EQ(stable_hash(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(stable_hash("foobar"), 0x85944171f73967e8ull);
}

TEST(BatchShard, EveryRecordingInExactlyOneShardWhateverTheOrder)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 300; i++)
        paths.push_back("/lab/device" + std::to_string(i % 7) + "/take" + std::to_string(i) + ".mkv");
    std::vector<std::string> shuffled = paths;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (unsigned n = 1; n <= 5; n++) {
        std::map<std::string, unsigned> shard_of;
        for (unsigned k = 0; k < n; k++) {
            size_t share = 0;
            for (const BatchRecording& r : find_recordings(k % 2 ? shuffled : paths, ""))
                if (in_shard(r, {k, n})) {
                    EXPECT_TRUE(shard_of.emplace(r.key, k).second) << r.key << " in two of " << n << " shards";
                    share++;
                }
            EXPECT_GT(share, paths.size() / n / 2) << "shard " << k << "/" << n << " gets a fair share";
        }
        EXPECT_EQ(shard_of.size(), paths.size()) << n;
        // The same recording lands in the same shard when run alone, as on another node.
        for (const std::string& path : {paths[3], paths[200]})
            EXPECT_TRUE(in_shard(make_recording(path), {shard_of[path], n}));
    }
}

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

BatchRow trend_row(const char* finished, const char* fw, std::optional<double> median, int dropped, int shown)
{
    BatchRow row;
    row.status.finished = finished;
    row.status.outcome = median ? EntryOutcome::Pass : EntryOutcome::Unmeasurable;
    row.status.figures = {{"median_ms", median ? json(*median) : json(nullptr)}, {"dropped", dropped}, {"shown", shown},
                          {"band_lo_ms", -40.0}, {"band_hi_ms", 60.0}, {"tags", json::object()}};
    if (fw)
        row.status.figures["tags"]["fw"] = fw;
    return row;
}

TEST(BatchTrend, GroupsByTheTagInTheOrderOfTheirFirstRun)
{
    const std::vector<BatchRow> rows = {
        trend_row("2026-03-03T09:00:00Z", "2.3", 30.0, 2, 998),
        trend_row("2026-03-01T09:00:00Z", "2.2", 10.0, 0, 1000),
        trend_row("2026-03-02T09:00:00Z", "2.2", 14.0, 1, 999),
        trend_row("2026-03-04T09:00:00Z", nullptr, std::nullopt, 0, 0),
        trend_row("2026-03-05T09:00:00Z", "<2.4>", 20.0, 0, 500),
        trend_row("2026-03-06T09:00:00Z", "2.2", 12.0, 0, 1000),
    };
    const Trend trend = trend_of(rows, "fw");
    ASSERT_EQ(trend.runs.size(), 6u);
    EXPECT_EQ(trend.runs.front().finished, "2026-03-01T09:00:00Z");
    ASSERT_EQ(trend.groups.size(), 4u);
    const TrendGroup& old = trend.groups[0];
    EXPECT_EQ(old.value, "2.2");
    EXPECT_EQ(old.runs, (std::vector<size_t>{0, 1, 5}));
    EXPECT_EQ(old.median_ms, 12.0);
    EXPECT_DOUBLE_EQ(*old.drop_percent, 100.0 * 1 / 3000);
    EXPECT_EQ(old.passes, 3u);
    EXPECT_EQ(trend.groups[1].value, "2.3");
    EXPECT_DOUBLE_EQ(*trend.groups[1].drop_percent, 0.2);
    EXPECT_EQ(trend.groups[2].value, "") << "runs without the tag are a group of their own";
    EXPECT_FALSE(trend.groups[2].median_ms);
    EXPECT_FALSE(trend.groups[2].drop_percent);

    const std::string html = trend_html(trend);
    EXPECT_NE(html.find("(no fw)"), std::string::npos);
    EXPECT_NE(html.find("&lt;2.4&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<2.4>"), std::string::npos);
    EXPECT_NE(html.find("class=\"band\""), std::string::npos);
    EXPECT_NE(index_html(rows, "fw").find("<section id=\"trend\">"), std::string::npos);
    EXPECT_EQ(index_html(rows).find("<section id=\"trend\">"), std::string::npos);
}

} // namespace
