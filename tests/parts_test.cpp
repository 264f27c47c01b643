// One recording read in parts and joined: the joined result against the reading of the whole,
// field by field, with seams where reading is hardest, in every container the generator makes.
#include "check/check_parts.h"
#include "check/check_report.h"
#include "check/check_run.h"
#include "support/media.h"
#include "support/same_result.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace {

using nlohmann::json;
using namespace skelv;

constexpr int64_t kMs = 1'000'000;

json whole_read(const std::string& path)
{
    CheckResult result;
    MediaError error;
    EXPECT_TRUE(check_recording(source_request_of(path), {}, &result, &error)) << error.message;
    return check_result_json(result);
}

// The recording read in parts cut at `seams` (ms, ascending), then joined.
json joined_read(const std::string& path, const std::vector<int64_t>& seams_ms)
{
    std::vector<PartRecord> parts(seams_ms.size() + 1);
    for (size_t k = 0; k < parts.size(); ++k) {
        const PartWindow window{k == 0 ? INT64_MIN : seams_ms[k - 1] * kMs,
                                k == seams_ms.size() ? INT64_MAX : seams_ms[k] * kMs};
        parts[k].part = int(k) + 1;
        parts[k].parts = int(parts.size());
        MediaError error;
        EXPECT_TRUE(read_part_window(source_request_of(path), {}, window, &parts[k], &error)) << error.message;
    }
    CheckResult result;
    std::string error;
    EXPECT_TRUE(join_parts(parts, nullptr, &result, &error)) << error;
    return check_result_json(result);
}

class Parts : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        // Two passes of a 20 s clip with a frame repeated at 18 s, blended from 25 to 30 fps
        // (seams can fall in a blend anywhere), three captured frames lost at 16 s.
        const ProcessResult made = generate(
            {"--size", "192x144", "--duration", "20", "--audio-delay", "20", "--repeat", "450", "pass.mkv"}, dir_->path());
        ASSERT_EQ(made.exit_code, 0) << made.err;
        write_file(dir_->file("passes.txt"), "file 'pass.mkv'\nfile 'pass.mkv'\n");
        ASSERT_TRUE(ffmpeg({"-f", "concat", "-safe", "0", "-i", dir_->file("passes.txt"), "-vf",
                            "framerate=fps=30,select='not(between(n,480,482))'", "-c:v", "libx264", "-g", "30", "-c:a",
                            "flac", dir_->file("soak.mkv")}));
        whole_ = new json(whole_read(dir_->file("soak.mkv")));
    }
    static void TearDownTestSuite()
    {
        delete whole_;
        delete dir_;
    }

    static TempDir* dir_;
    static json* whole_;
};
TempDir* Parts::dir_ = nullptr;
json* Parts::whole_ = nullptr;

TEST_F(Parts, SeamsWhereReadingIsHardestJoinAsTheWholeReads)
{
    const json& whole = *whole_;
    // What the recording is designed to hold, so that the seams fall where they should.
    ASSERT_EQ(json::array({whole["video"]["dropped"], whole["video"]["loops"], whole["sync"]["events"].size()}),
              json::array({2, 1, 38}));
    // In the drop, at a repeat, at the second pass's start, at a flash's frame and in its beep
    // (the flash shows at 23.900 s, the beep 20 ms later), in a frame that blends two.
    const std::vector<int64_t> seams = {16'050, 18'000, 20'000, 23'900, 23'930, 31'517};
    expect_same_result(whole, joined_read(dir_->file("soak.mkv"), seams));
}

// skelv-check --part K/N for K = 1..N, then merge: the same JSON, summary and exit code as
// skelv-check on the whole, for 2, 3 and 7 parts, with the run's tags kept.
TEST_F(Parts, EqualPartsThroughTheProgramsMergeAsTheWholeReads)
{
    const ProcessResult whole = check({"--tag", "fw=2.3", "--json", "whole.json", "soak.mkv"}, dir_->path());
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    const json whole_json = json::parse(read_file(dir_->file("whole.json")));
    for (int n : {2, 3, 7}) {
        std::vector<std::string> merge = {"merge", "--json", "joined.json"};
        for (int k = n; k >= 1; --k) { // any order
            const std::string part = "soak." + std::to_string(k) + "-of-" + std::to_string(n) + ".part";
            const ProcessResult run = check({"--part", std::to_string(k) + "/" + std::to_string(n), "--tag", "fw=2.3",
                                             "--part-out", part, "soak.mkv"},
                                            dir_->path());
            ASSERT_EQ(run.exit_code, 0) << run.err;
            merge.push_back(part);
        }
        const ProcessResult joined = check(merge, dir_->path());
        EXPECT_EQ(joined.exit_code, whole.exit_code) << n << joined.err;
        EXPECT_EQ(joined.out, whole.out) << n;
        SCOPED_TRACE(std::to_string(n) + " parts");
        expect_same_result(whole_json, json::parse(read_file(dir_->file("joined.json"))));
    }
}

TEST_F(Parts, PartsThatDoNotFitTogetherAreRefused)
{
    ASSERT_EQ(check({"--part", "1/2", "--part-out", "a1.part", "soak.mkv"}, dir_->path()).exit_code, 0);
    ASSERT_EQ(check({"--part", "2/3", "--part-out", "b2.part", "soak.mkv"}, dir_->path()).exit_code, 0);
    ASSERT_EQ(check({"--part", "2/2", "--part-out", "c2.part", "--expect-delay", "20", "soak.mkv"}, dir_->path())
                  .exit_code,
              0);
    write_file(dir_->file("other.part"), "not a part at all");
    write_file(dir_->file("cut.part"), read_file(dir_->file("c2.part")).substr(0, 200));
    // Whole parts whose numbers could not come from a reading: a shade beyond any marker's
    // levels, a lip-sync marker that is not among the markers.
    const std::string text = read_file(dir_->file("a1.part"));
    const size_t header = text.find('\n') + 1;
    const auto damaged = [&](const std::function<void(json*)>& damage) {
        json part = json::from_cbor(text.substr(header));
        damage(&part);
        const std::vector<uint8_t> bytes = json::to_cbor(part);
        return text.substr(0, header) + std::string(bytes.begin(), bytes.end());
    };
    write_file(dir_->file("shade.part"), damaged([](json* p) { (*p)["frames"][0][5].get_binary()[0] = 100; }));
    write_file(dir_->file("lipsync.part"), damaged([](json* p) { (*p)["planning"][6][1] = 99; }));
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"merge", "a1.part"}, "give every part of the recording once: parts 1 to 2"},
        {{"merge", "a1.part", "b2.part"}, "give every part of the recording once"},
        {{"merge", "a1.part", "c2.part"}, "part 2 is not of the recording the first part read"},
        {{"merge", "a1.part", "other.part"}, "other.part: not a part of a recording"},
        {{"merge", "a1.part", "cut.part"}, "cut.part: a damaged part"},
        {{"merge", "a1.part", "gone.part"}, "gone.part: cannot be read: No such file or directory"},
        {{"merge", "shade.part", "c2.part"}, "shade.part: a damaged part"},
        {{"merge", "lipsync.part", "c2.part"}, "lipsync.part: a damaged part"},
        {{"--part", "0/3", "soak.mkv"}, "--part takes K/N"},
        {{"--part", "2/1", "soak.mkv"}, "--part takes K/N"},
        {{"--part", "1/2", "--json", "r.json", "soak.mkv"}, "the outputs come from skelv-check merge"},
    };
    for (const auto& c : cases) {
        const ProcessResult run = check(c.args, dir_->path());
        EXPECT_EQ(run.exit_code, 1) << c.args.at(1);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
}

// Each container skelv-generate writes, cut where a later part seeks past the markers' search.
TEST(PartsOfEveryContainer, JoinAsTheWholeReads)
{
    TempDir dir;
    for (const char* extension : {"mp4", "mov", "mkv", "webm", "avi", "ts", "ogg"}) {
        SCOPED_TRACE(extension);
        const std::string clip = std::string("clip.") + extension;
        ASSERT_EQ(generate({"--size", "192x144", "--duration", "24", "--audio-delay", "-30", clip}, dir.path()).exit_code,
                  0);
        expect_same_result(whole_read(dir.file(clip)), joined_read(dir.file(clip), {7'900, 16'020}));
    }
}

// skelv-check on `args` while the clip is written into the FIFO pipe.mkv.
ProcessResult check_through_pipe(const TempDir& dir, const std::vector<std::string>& args)
{
    std::thread writer([&] { run_process({"sh", "-c", "cat clip.mkv > pipe.mkv"}, kRunTimeout, dir.path()); });
    const ProcessResult run = check(args, dir.path());
    writer.join(); // a reader that took only what it needed leaves the writer a broken pipe
    return run;
}

// A recording that comes through a pipe cannot seek and tells no length: its first part reads
// it whole, saying so, and the others own nothing.
TEST(PartsOfAPipe, AreReadWholeByTheFirstPart)
{
    TempDir dir;
    ASSERT_EQ(generate({"--size", "192x144", "--duration", "8", "clip.mkv"}, dir.path()).exit_code, 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.mkv").c_str(), 0600), 0);
    ASSERT_EQ(check_through_pipe(dir, {"--json", "whole.json", "pipe.mkv"}).exit_code, 0);
    for (const char* part : {"1/2", "2/2"}) {
        const ProcessResult run = check_through_pipe(dir, {"--part", part, "--part-out", std::string(part, 1) + ".part", "pipe.mkv"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
    }
    const ProcessResult merged = check({"merge", "--json", "joined.json", "1.part", "2.part"}, dir.path());
    ASSERT_EQ(merged.exit_code, 0) << merged.err;
    json joined = json::parse(read_file(dir.file("joined.json")));
    EXPECT_EQ(joined["warnings"].back(), "The recording's length is unknown: its first part read it whole");
    joined["warnings"].erase(joined["warnings"].size() - 1);
    expect_same_result(json::parse(read_file(dir.file("whole.json"))), joined);
}

} // namespace
