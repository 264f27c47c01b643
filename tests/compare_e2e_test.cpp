// `skelv-check compare` end to end: clips from skelv-generate whose sound is 10 ms later in
// one, checked alone and in tagged batches, and the comparisons that follow from the design.
#include "support/media.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr double kDesignedShiftMs = 10; // b.mkv's sound against a.mkv's

class CompareEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        for (const auto& [name, delay] : {std::pair{"a.mkv", "0"}, std::pair{"b.mkv", "10"}})
            ASSERT_EQ(generate({"--size", "320x240", "--duration", "8", "--audio-delay", delay, name}, dir_->path())
                          .exit_code,
                      0);
        for (const char* name : {"a", "b"}) {
            const ProcessResult run = check({"-q", "--tag", "device=stb-42", "--tag", std::string("fw=") + name,
                                             "--json", std::string(name) + ".json", std::string(name) + ".mkv"},
                                            dir_->path());
            ASSERT_EQ(run.exit_code, 0) << run.err;
        }
    }
    static void TearDownTestSuite() { delete dir_; }

    static ProcessResult compare(std::vector<std::string> args)
    {
        args.insert(args.begin(), "compare");
        return check(args, dir_->path());
    }

    static TempDir* dir_;
};

TempDir* CompareEndToEnd::dir_ = nullptr;

TEST_F(CompareEndToEnd, ExitCodesFollowTheDesign)
{
    json empty = json::parse(read_file(dir_->file("a.json")), nullptr, false);
    empty["sync"]["events"] = json::array();
    write_file(dir_->file("no-events.json"), empty.dump());
    fs::create_directories(dir_->file("nothing"));
    const struct {
        const char* what;
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {
        {"a run against itself", {"a.json", "a.json"}, 0},
        {"10 ms later", {"a.json", "b.json"}, 4},
        {"a side without events", {"a.json", "no-events.json"}, 2},
        {"a folder without results", {"nothing", "a.json"}, 2},
        {"a tag no result has", {"--b-where", "fw=9", "a.json", "a.json,b.json"}, 2},
        {"a path that is not there", {"a.json", "gone.json"}, 1},
        {"a malformed tag", {"--a-where", "fw", "a.json", "b.json"}, 1},
        {"a negative margin", {"--equivalence", "-1", "a.json", "b.json"}, 1},
    };
    for (const auto& c : cases) {
        const ProcessResult run = compare(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.what << "\n" << run.out << run.err;
    }
}

TEST_F(CompareEndToEnd, TheShiftIsTheDesignedOne)
{
    const ProcessResult run = compare({"--json", "-", "--html", "compare.html", "a.json", "b.json"});
    ASSERT_EQ(run.exit_code, 4) << run.err;
    const json c = json::parse(run.out, nullptr, false);
    const json shift = c.value("delay_shift", json::object());
    // A lossless chain: every delay read to a tenth of a millisecond.
    EXPECT_NEAR(shift.value("estimate_ms", 0.0), kDesignedShiftMs, 0.2);
    ASSERT_EQ(shift.value("interval_ms", json()).size(), 2u);
    EXPECT_LE(shift["interval_ms"][0].get<double>(), kDesignedShiftMs + 0.2);
    EXPECT_GE(shift["interval_ms"][1].get<double>(), kDesignedShiftMs - 0.2);
    EXPECT_EQ(c.value("verdict", ""), "changed");
    EXPECT_EQ(c["a"].value("verdicts", json()), (json{{"pass", 1}}));
    EXPECT_GE(c["a"].value("events", 0), 4) << "a flash a second or so over 8 s";
    // The results carry their runs' tags into the comparison.
    EXPECT_EQ(c["b"]["tags"][1].value("value", ""), "b") << c["b"]["tags"].dump();
    const std::string html = read_file(dir_->file("compare.html"));
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("<td>stb-42</td>"), std::string::npos);
}

TEST_F(CompareEndToEnd, BatchTagsReachTheComparison)
{
    for (const auto& [clip, fw] : {std::pair{"a.mkv", "fw=2.2"}, std::pair{"b.mkv", "fw=2.3"}}) {
        const ProcessResult run = check({"-q", "--out", "runs", "--tag", fw, "--tag", "lab=x", clip}, dir_->path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
    }
    ASSERT_EQ(check({"merge", "-q", "runs", "--out", "merged", "--group-by", "fw"}, dir_->path()).exit_code, 0);
    const json summary = json::parse(read_file(dir_->file("merged/summary.json")), nullptr, false);
    for (const json& row : summary.value("rows", json::array()))
        EXPECT_EQ(row.value("tags", json::object()).value("lab", ""), "x") << row.dump();
    // The trend by firmware: a row per value with its designed delay, over the profile's band.
    const std::string index = read_file(dir_->file("merged/index.html"));
    EXPECT_NE(index.find("2.2</td><td class=\"n\">1</td><td class=\"n\">1</td><td class=\"n\">0.0 ms"), std::string::npos);
    EXPECT_NE(index.find("2.3</td><td class=\"n\">1</td><td class=\"n\">1</td><td class=\"n\">10.0 ms"), std::string::npos);
    EXPECT_NE(index.find("class=\"band\""), std::string::npos);
    // One folder holding both firmwares, compared with itself.
    const ProcessResult run = compare({"--json", "-", "--a-where", "fw=2.2", "--b-where", "fw=2.3", "merged", "merged"});
    ASSERT_EQ(run.exit_code, 4) << run.err;
    const json c = json::parse(run.out, nullptr, false);
    EXPECT_EQ(c["a"].value("results", 0), 1);
    EXPECT_NEAR(c["delay_shift"].value("estimate_ms", 0.0), kDesignedShiftMs, 0.2);
}

TEST_F(CompareEndToEnd, MalformedTagsAreRefused)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--tag", "fw", "a.mkv"}, {"--tag", "=2.3", "a.mkv"}, {"--tag", "f w=1", "a.mkv"},
             {"--tag", "fw=1", "--tag", "fw=2", "a.mkv"}, {"--out", "bad", "--tag", "fw=", "a.mkv"}}) {
        const ProcessResult run = check(args, dir_->path());
        EXPECT_EQ(run.exit_code, 1) << args[1] << " " << args[2];
        EXPECT_NE(run.err.find("tag"), std::string::npos) << run.err;
    }
}

} // namespace
