// skelv-check's batch mode end to end: clips from skelv-generate with faults on purpose, an
// unreadable file, and the rows, folders and exit code that follow from their design.
#include "support/media.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class BatchEndToEnd : public ::testing::Test {
protected:
    // Shared by the cases: short, small clips, made once.
    static void SetUpTestSuite()
    {
        clips_ = new TempDir;
        const std::string in = clips_->file("in");
        fs::create_directories(in + "/sub");
        const struct {
            const char* name;
            std::vector<std::string> options;
        } designs[] = {{"in/good.mkv", {"--audio-delay", "20"}},
                       {"in/sub/good.mkv", {"--audio-delay", "-10"}},
                       {"in/late.mkv", {"--audio-delay", "150"}},
                       {"in/silent.mkv", {"--no-audio"}}};
        for (const auto& d : designs) {
            std::vector<std::string> args = d.options;
            args.insert(args.end(), {"--duration", "4", clips_->file(d.name)});
            ASSERT_EQ(generate(args, clips_->path()).exit_code, 0) << d.name;
        }
        write_file(clips_->file("in/broken.mkv"), std::string(4096, '\x5a'));
    }
    static void TearDownTestSuite()
    {
        delete clips_;
        clips_ = nullptr;
    }

    static ProcessResult check(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {SKELV_CHECK};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = run_process(argv, 4 * kRunTimeout);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.signal, 0) << result.err;
        return result;
    }

    // summary.json's rows by recording (its path under in/).
    static std::map<std::string, json> rows(const std::string& dir)
    {
        std::map<std::string, json> by_file;
        const json summary = json::parse(read_file(dir + "/summary.json"), nullptr, false);
        EXPECT_FALSE(summary.is_discarded());
        for (const json& row : summary.value("rows", json::array()))
            by_file[fs::path(row["file"].get<std::string>()).lexically_relative(clips_->file("in"))] = row;
        return by_file;
    }

    static TempDir* clips_;
};

TempDir* BatchEndToEnd::clips_ = nullptr;

TEST_F(BatchEndToEnd, RowsFollowTheClipsDesign)
{
    TempDir out;
    const ProcessResult run = check({"--out", out.path(), "-j", "2", clips_->file("in")});
    EXPECT_EQ(run.exit_code, 4) << run.out << run.err;
    std::map<std::string, json> found = rows(out.path());
    ASSERT_EQ(found.size(), 5u) << run.out;
    // Designed audio delays, read on a lossless chain to a tenth of a millisecond.
    const std::pair<const char*, double> delays[] = {{"good.mkv", 20}, {"sub/good.mkv", -10}, {"late.mkv", 150}};
    for (const auto& [file, delay] : delays) {
        const json& row = found[file];
        EXPECT_NEAR(row.value("median_ms", 0.0), delay, 0.1) << file;
        EXPECT_NEAR(row.value("min_ms", 0.0), delay, 0.1) << file;
        EXPECT_NEAR(row.value("max_ms", 0.0), delay, 0.1) << file;
        EXPECT_EQ(row["dropped"], 0) << file;
        EXPECT_EQ(row["repeated"], 0) << file;
        EXPECT_GE(row.value("events", 0), 2) << file;
        for (const char* output : {"result.json", "events.csv", "report.html", "timeline.csv"})
            EXPECT_TRUE(fs::exists(out.path() + "/" + row["folder"].get<std::string>() + "/" + output)) << file << output;
    }
    EXPECT_EQ(found["good.mkv"]["verdict"], "pass");
    EXPECT_EQ(found["sub/good.mkv"]["verdict"], "pass");
    EXPECT_EQ(found["late.mkv"]["verdict"], "fail") << "150 ms lag is beyond EBU R37's 60 ms";
    EXPECT_EQ(found["silent.mkv"]["verdict"], "unmeasurable");
    EXPECT_EQ(found["broken.mkv"]["verdict"], "error");
    EXPECT_FALSE(found["broken.mkv"].value("error", "").empty());
    EXPECT_NE(read_file(out.file("index.html")).find("report.html"), std::string::npos);

    // The batch's result of one recording is what a run on it alone writes.
    const std::string alone = out.file("alone.json");
    EXPECT_EQ(check({"-q", "--json", alone, clips_->file("in/late.mkv")}).exit_code, 4);
    json batch_result = json::parse(read_file(out.path() + "/" + found["late.mkv"]["folder"].get<std::string>() + "/result.json"));
    json alone_result = json::parse(read_file(alone));
    EXPECT_EQ(batch_result["sync"], alone_result["sync"]);
    EXPECT_EQ(batch_result["video"], alone_result["video"]);

    // Nothing done twice; with the designed offset subtracted, the late clip passes.
    const ProcessResult again = check({"--out", out.path(), clips_->file("in")});
    EXPECT_EQ(again.exit_code, 4);
    EXPECT_NE(again.out.find("5 recordings (5 already done)"), std::string::npos) << again.out;
    const ProcessResult offset = check({"--out", out.file("offset"), "--expect-delay", "150", clips_->file("in/late.mkv")});
    EXPECT_EQ(offset.exit_code, 0) << offset.out << offset.err;
}

TEST_F(BatchEndToEnd, OnlyUnreadableAndUnmeasurableMeansTwo)
{
    TempDir out;
    const ProcessResult run =
        check({"--out", out.path(), "-q", clips_->file("in/broken.mkv"), clips_->file("in/good.mkv"), clips_->file("in/silent.mkv")});
    EXPECT_EQ(run.exit_code, 2) << run.err;
    EXPECT_EQ(check({"merge", out.path()}).exit_code, 2);
    EXPECT_EQ(rows(out.path()).size(), 3u);
}

} // namespace
