// skelv-check's batch mode end to end: clips from skelv-generate with faults on purpose, an
// unreadable file, names that are not UTF-8, and the rows, folders and exit code that follow
// from their design.
#include "support/media.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

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

} // namespace
