// skelv-check's batch mode end to end: clips from skelv-generate with faults on purpose, an
// unreadable file, names that are not UTF-8, and the rows, folders and exit code that follow
// from their design.
#include "support/media.h"
#include "support/same_result.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(BatchEndToEnd, RowsFollowTheClipsDesign)
{
    TempDir dir; // short, small clips: the batch is under test, not the analysis
    fs::create_directories(dir.file("in"));
    const std::pair<const char*, std::vector<std::string>> designs[] = {{"good.mkv", {"--audio-delay", "20"}},
                                                                        {"late.mkv", {"--audio-delay", "150"}},
                                                                        {"silent.mkv", {"--no-audio"}}};
    for (const auto& [name, options] : designs) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--duration", "4", dir.file(std::string("in/") + name)});
        ASSERT_EQ(generate(args, dir.path()).exit_code, 0) << name;
    }
    write_file(dir.file("in/broken.mkv"), std::string(4096, '\x5a'));
    // Latin-1 names, of a file and of a folder: analysed by their real bytes, shown with U+FFFD.
    fs::create_directories(dir.file("in/d\xe9j"));
    fs::copy_file(dir.file("in/good.mkv"), dir.file("in/caf\xe9.mkv"));
    fs::copy_file(dir.file("in/good.mkv"), dir.file("in/d\xe9j/good.mkv"));
    const std::string cafe = "caf\xEF\xBF\xBD.mkv", deja = "d\xEF\xBF\xBDj/good.mkv";

    const std::string out = dir.file("out");
    const ProcessResult run = check({"--out", out, "-j", "2", dir.file("in")}, dir.path());
    EXPECT_EQ(run.exit_code, 4) << run.out << run.err;
    std::map<std::string, json> rows;
    std::map<std::string, std::string> verdicts;
    for (const json& row : json::parse(read_file(out + "/summary.json"), nullptr, false).value("rows", json::array())) {
        const std::string file = fs::path(row["file"].get<std::string>()).lexically_relative(dir.file("in"));
        rows[file] = row;
        verdicts[file] = row.value("verdict", "");
    }
    ASSERT_EQ(verdicts, (std::map<std::string, std::string>{{"good.mkv", "pass"}, {cafe, "pass"}, {deja, "pass"},
                                                            {"late.mkv", "fail"}, {"silent.mkv", "unmeasurable"},
                                                            {"broken.mkv", "error"}}))
        << "150 ms lag is beyond EBU R37's 60 ms\n" << run.out << run.err;
    EXPECT_NE(rows["silent.mkv"].value("error", "").find("no sound"), std::string::npos) << "the clip has no audio track";
    // Designed audio delays, read on a lossless chain to a tenth of a millisecond.
    const std::pair<std::string, double> delays[] = {{"good.mkv", 20}, {cafe, 20}, {deja, 20}, {"late.mkv", 150}};
    for (const auto& [file, delay] : delays) {
        EXPECT_NEAR(rows[file].value("median_ms", 0.0), delay, 0.1) << file;
        EXPECT_GE(rows[file].value("events", 0), 2) << file;
        for (const char* output : {"result.json", "events.csv", "report.html", "timeline.csv"})
            EXPECT_TRUE(fs::exists(out + "/" + rows[file]["folder"].get<std::string>() + "/" + output)) << file << output;
    }
    EXPECT_FALSE(rows["broken.mkv"].value("error", "").empty());
    EXPECT_NE(read_file(out + "/index.html").find("report.html"), std::string::npos);

    // With the designed offset subtracted, the late clip passes.
    const ProcessResult offset = check({"--out", "offset", "--expect-delay", "150", "in/late.mkv"}, dir.path());
    EXPECT_EQ(offset.exit_code, 0) << offset.out << offset.err;
}

// summary.json of a batch, without what says when and how fast it ran.
json summary_of(const std::string& out)
{
    json summary = json::parse(read_file(out + "/summary.json"), nullptr, false);
    for (json& row : summary["rows"]) {
        row.erase("seconds");
        row.erase("finished");
    }
    return summary;
}

// --split 3: each recording read as three parts at once, then merged, into the folder and row
// a whole reading gives; a file no part can read is an error that names the part.
TEST(BatchEndToEnd, SplitRecordingsGiveTheWholeReadingsRows)
{
    TempDir dir;
    fs::create_directories(dir.file("in"));
    for (const auto& [name, delay] : {std::pair{"on-time.mkv", "30"}, std::pair{"late.mkv", "120"}}) {
        const std::string clip = dir.file(std::string("in/") + name);
        ASSERT_EQ(generate({"--size", "192x144", "--duration", "15", "--audio-delay", delay, clip}, dir.path()).exit_code, 0);
    }
    write_file(dir.file("in/broken.mkv"), std::string(4096, '\x5a'));
    const ProcessResult whole = check({"--out", "whole", "-j", "2", "in"}, dir.path());
    const ProcessResult split = check({"--out", "split", "--split", "3", "-j", "2", "in"}, dir.path());
    EXPECT_EQ(whole.exit_code, 4) << whole.out << whole.err;
    EXPECT_EQ(split.exit_code, 4) << split.out << split.err;
    std::string expected_out = whole.out; // but for the folder and the part that could not be read
    const std::pair<std::string, std::string> changes[] = {{"whole/", "split/"},
                                                           {"broken.mkv: ", "broken.mkv: part 1 of 3: "}};
    for (const auto& [from, to] : changes)
        for (size_t at = expected_out.find(from); at != std::string::npos; at = expected_out.find(from, at + to.size()))
            expected_out.replace(at, from.size(), to);
    EXPECT_EQ(split.out, expected_out);

    json whole_summary = summary_of(dir.file("whole")), split_summary = summary_of(dir.file("split"));
    EXPECT_EQ(whole_summary["counts"], json({{"pass", 1}, {"fail", 1}, {"unmeasurable", 0}, {"error", 1}}))
        << "120 ms lag is beyond EBU R37's 60 ms, 30 ms is within";
    for (json& row : whole_summary["rows"]) {
        const std::string file = fs::path(row["file"].get<std::string>()).filename();
        SCOPED_TRACE(file);
        const std::string folder = row["folder"];
        const auto files_of = [&](const std::string& out) {
            std::set<std::string> names;
            for (const auto& entry : fs::directory_iterator(dir.file(out + "/" + folder)))
                names.insert(entry.path().filename());
            return names;
        };
        EXPECT_EQ(files_of("split"), files_of("whole")) << "no part file is left in the folder";
        if (file == "broken.mkv") {
            ASSERT_TRUE(row["error"].is_string());
            row["error"] = "part 1 of 3: " + row["error"].get<std::string>();
            continue;
        }
        EXPECT_NEAR(row.value("median_ms", 0.0), file == "late.mkv" ? 120 : 30, 0.1);
        for (const char* output : {"summary.txt", "events.csv", "timeline.csv"})
            EXPECT_EQ(read_file(dir.file("split/" + folder + "/" + output)),
                      read_file(dir.file("whole/" + folder + "/" + output))) << output;
        expect_same_result(json_file(dir.file("whole/" + folder + "/result.json")),
                           json_file(dir.file("split/" + folder + "/result.json")));
    }
    expect_same(whole_summary, split_summary);
}

} // namespace
