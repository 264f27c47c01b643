// The batch itself with a stand-in analysis (tests/batch/fake_check.sh): children that crash or
// hang, resuming after a kill, interrupts, concurrent batches into one folder, shards and merges,
// names that are not UTF-8, results and standard output that cannot be written.
#include "batch/batch_entry.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace skelv;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Verdicts = std::map<std::string, std::string>;
using Rows = std::vector<std::pair<std::string, std::string>>;

constexpr double kBatchTimeout = 60; // seconds for one batch of stand-in analyses

// (file under `in`, verdict[: error]) of each row of summary.json in `where`, sorted.
Rows summary_rows(const std::string& where, const std::string& in)
{
    const json j = json_file(where + "/summary.json");
    Rows rows;
    for (const json& row : j.value("rows", json::array()))
        rows.emplace_back(fs::path(row["file"].get<std::string>()).lexically_relative(in),
                          row["verdict"].get<std::string>() + (row["error"].is_string() ? ": " + row["error"].get<std::string>() : ""));
    std::sort(rows.begin(), rows.end());
    return rows;
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override { setenv("FAKE_CHECK_LOG", dir_.file("runs.log").c_str(), 1); }
    void TearDown() override { unsetenv("FAKE_CHECK_LOG"); }

    // A recording whose analysis finds what `says`, e.g. "pass 21.5" (see fake_check.sh).
    void recording(const std::string& name, const std::string& says)
    {
        fs::create_directories(fs::path(dir_.file("in/" + name)).parent_path());
        write_file(dir_.file("in/" + name), says + "\n");
    }
    std::string out() const { return dir_.file("out"); }

    ProcessResult batch(std::vector<std::string> args)
    {
        args.insert(args.begin(), BATCH_DRIVER);
        ProcessResult result = run_process(args, kBatchTimeout);
        EXPECT_EQ(result.signal, 0) << result.err;
        return result;
    }

    // A batch whose standard output is `redirect` (a shell's, e.g. ">/dev/full", ">&-").
    ProcessResult batch_redirected(const std::string& redirect, const std::vector<std::string>& args)
    {
        std::vector<std::string> shell = {"sh", "-c", "exec \"$0\" \"$@\" " + redirect, BATCH_DRIVER};
        shell.insert(shell.end(), args.begin(), args.end());
        return run_process(shell, kBatchTimeout);
    }

    // A batch in the background, for a test to interrupt or kill.
    pid_t start_batch(const std::vector<std::string>& args)
    {
        std::vector<const char*> argv = {BATCH_DRIVER};
        for (const std::string& arg : args)
            argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, BATCH_DRIVER, nullptr, nullptr, const_cast<char**>(argv.data()), environ), 0);
        return pid;
    }

    // How often each recording's analysis started.
    std::map<std::string, int> runs() const
    {
        std::map<std::string, int> starts;
        for (const std::string& line : split_lines(read_file(dir_.file("runs.log"))))
            if (line.rfind("start ", 0) == 0)
                starts[fs::path(line.substr(6)).filename()]++;
        return starts;
    }

    bool entry_done(const std::string& name) const
    {
        return fs::exists(out() + "/" + make_recording(dir_.file("in/" + name)).id + "/" + batch_files::kStatus);
    }

    // verdict (and error) per recording (its path under in/), from summary.json
    Verdicts summary(const std::string& where) const
    {
        const Rows rows = summary_rows(where, dir_.file("in"));
        return {rows.begin(), rows.end()};
    }

    // Every folder in `out()` is a complete entry with the analysis' outputs; nothing else.
    void expect_only_whole_entries() const
    {
        for (const auto& entry : fs::directory_iterator(out())) {
            const std::string name = entry.path().filename();
            EntryStatus status;
            if (!entry.is_directory())
                continue;
            EXPECT_TRUE(!is_scratch_name(name) && read_entry_status(entry.path(), &status)) << "left behind: " << name;
            for (const char* file : {batch_files::kResult, batch_files::kEvents, batch_files::kReport, batch_files::kTimeline})
                EXPECT_TRUE(status.outcome == EntryOutcome::Error || fs::exists(entry.path() / file)) << name << "/" << file;
        }
    }

    TempDir dir_;
};

TEST_F(Batch, MixOfRecordingsGivesOneRowEachAndTheExitCodeThenResumes)
{
    recording("good.mkv", "pass 21.5");
    recording("late.mkv", "fail 80.25");
    recording("silent.mkv", "unmeasurable");
    recording("broken.mkv", "\x01\x02garbage");
    recording("crash.mkv", "crash");
    recording("sub/good.mkv", "pass -3"); // the same name in another folder
    recording("notes.txt", "pass 1");     // not media: not searched for
    const ProcessResult run = batch({"--out", out(), "-j", "2", dir_.file("in"), dir_.file("in/missing.mkv")});
    EXPECT_EQ(run.exit_code, 4) << "a failure wins over recordings not analysed\n" << run.err;
    EXPECT_EQ(summary(out()), (Verdicts{{"good.mkv", "pass"}, {"sub/good.mkv", "pass"}, {"late.mkv", "fail"},
                                        {"silent.mkv", "unmeasurable: no beep found"},
                                        {"broken.mkv", "error: cannot be decoded"}, {"missing.mkv", "error: cannot be decoded"},
                                        {"crash.mkv", "error: analysis crashed (signal 11, Segmentation fault)"}}));
    EXPECT_NE(run.out.find("7 recordings (0 already done): 2 passed, 1 failed, 4 could not be analysed"),
              std::string::npos) << run.out;
    const std::string csv = read_file(out() + "/summary.csv");
    EXPECT_NE(csv.find(dir_.file("in/late.mkv") + ",fail,3,80.25,80.25,80.25,0.5,2,1,ebu-r37,,late.mkv-"), std::string::npos)
        << csv;
    expect_only_whole_entries();
    // Two at a time: each analysis decodes on one thread.
    const std::vector<std::string> log = split_lines(read_file(dir_.file("runs.log")));
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.ends_with(" threads=1"); }), 4)
        << "the four that ran to the end";

    // Again: only the crash and the missing file (it may have come) are tried again; the failure still counts.
    const ProcessResult again = batch({"--out", out(), dir_.file("in"), dir_.file("in/missing.mkv")});
    EXPECT_EQ(again.exit_code, 4);
    EXPECT_NE(again.out.find("7 recordings (5 already done)"), std::string::npos) << again.out;
    EXPECT_EQ(runs(), (std::map<std::string, int>{{"good.mkv", 2}, {"late.mkv", 1}, {"silent.mkv", 1}, {"broken.mkv", 1},
                                                  {"crash.mkv", 2}, {"missing.mkv", 2}})); // good.mkv: two folders
    recording("late.mkv", "pass 5"); // a new take under the same name
    batch({"--out", out(), dir_.file("in")});
    EXPECT_EQ(std::pair(runs()["late.mkv"], runs()["silent.mkv"]), std::pair(2, 1));
    EXPECT_EQ(summary(out())["late.mkv"], "pass");
    batch({"--out", out(), "--profile", "atsc-is191", dir_.file("in")});
    EXPECT_EQ(runs()["silent.mkv"], 2) << "other options, other results";
    batch({"--out", out(), "--force", "--profile", "atsc-is191", dir_.file("in")});
    EXPECT_EQ(runs()["silent.mkv"], 3);
    expect_only_whole_entries();
}

TEST_F(Batch, HangingAnalysisTimesOutAndTheBatchGoesOn)
{
    recording("hang.mkv", "hang");
    recording("good.mkv", "pass 1");
    const ProcessResult run = batch({"--out", out(), "-j", "1", "--timeout", "1", dir_.file("in")});
    EXPECT_EQ(run.exit_code, 2) << run.err;
    EXPECT_EQ(summary(out()), (Verdicts{{"hang.mkv", "error: analysis timed out after 1 s"}, {"good.mkv", "pass"}}));
    EXPECT_NE(read_file(dir_.file("runs.log")).find(" threads=auto\n"), std::string::npos) << "one at a time: as the decoder likes";
}

TEST_F(Batch, KilledRunLeavesNoHalfResultAndTheNextFinishesIt)
{
    recording("quick1.mkv", "pass 1");
    recording("quick2.mkv", "pass 2");
    recording("slow.mkv", "pass 3 1");
    // An interrupt, then a kill as of a machine going down (no chance to clean up), while the slow one runs.
    for (const int sig : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(sig);
        const int starts = runs()["slow.mkv"];
        const pid_t pid = start_batch({"--out", out(), "-j", "3", "-q", dir_.file("in")});
        const auto ready = [&] { return entry_done("quick1.mkv") && entry_done("quick2.mkv") && runs()["slow.mkv"] > starts; };
        for (int waited_ms = 0; !ready() && waited_ms < kBatchTimeout * 1000; waited_ms += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(ready());
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the slow analysis would be done by now
        EXPECT_EQ(split_lines(read_file(dir_.file("runs.log"))).size(), 5u + starts)
            << "the slow analysis died with its batch:\n" << read_file(dir_.file("runs.log"));
        EXPECT_FALSE(fs::exists(out() + "/" + make_recording(dir_.file("in/slow.mkv")).id));
        if (sig == SIGINT) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
            EXPECT_EQ(summary(out()), (Verdicts{{"quick1.mkv", "pass"}, {"quick2.mkv", "pass"}}));
        }
    }
    const ProcessResult resumed = batch({"--out", out(), "-j", "3", dir_.file("in")});
    EXPECT_EQ(resumed.exit_code, 0) << resumed.err;
    EXPECT_EQ(runs(), (std::map<std::string, int>{{"quick1.mkv", 1}, {"quick2.mkv", 1}, {"slow.mkv", 3}}));
    expect_only_whole_entries(); // the killed run's scratch folder is gone too
    EXPECT_EQ(summary(out()).size(), 3u);
}

TEST_F(Batch, ConcurrentBatchesIntoOneFolder)
{
    for (int i = 0; i < 8; i++)
        recording("clip" + std::to_string(i) + ".mkv", i == 5 ? "fail 70 0.2" : "pass 10 0.2");
    ProcessResult first, second;
    std::thread other([&] { second = batch({"--out", out(), "-j", "2", "--force", dir_.file("in")}); });
    first = batch({"--out", out(), "-j", "2", "--force", dir_.file("in")});
    other.join();
    EXPECT_EQ(first.exit_code, 4) << first.err;
    EXPECT_EQ(second.exit_code, 4) << second.err;
    const Verdicts rows = summary(out());
    EXPECT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows.at("clip5.mkv"), "fail");
    EXPECT_EQ(split_lines(read_file(out() + "/summary.csv")).size(), 9u);
    expect_only_whole_entries();
}

TEST_F(Batch, ShardsThenMerge)
{
    for (int i = 0; i < 9; i++)
        recording("take" + std::to_string(i) + ".mkv", "pass " + std::to_string(i));
    for (int k = 0; k < 3; k++) // reordered arguments on every node
        batch({"--out", dir_.file("shard #" + std::to_string(k)), "--shard", std::to_string(k) + "/3", "-q",
               k == 1 ? dir_.file("in") : dir_.file("in/take8.mkv"), dir_.file("in")});
    EXPECT_EQ(runs().size(), 9u); // each once
    const ProcessResult merged =
        batch({"merge", "--out", dir_.file("all"), dir_.file("shard #0"), dir_.file("shard #1"), dir_.file("shard #2")});
    EXPECT_EQ(merged.exit_code, 0) << merged.err;
    EXPECT_EQ(summary(dir_.file("all")).size(), 9u);
    EXPECT_NE(read_file(dir_.file("all/index.html")).find("href=\"../shard%20%23"), std::string::npos) << "a URL";
    // Analysed again later into another folder: the merge keeps the newer result, whatever the order.
    recording("take0.mkv", "fail 99");
    batch({"--out", dir_.file("later"), "-q", dir_.file("in/take0.mkv")});
    const std::string id = make_recording(dir_.file("in/take0.mkv")).id;
    for (int k = 0; k < 3; k++) {
        const std::string status = dir_.file("shard #" + std::to_string(k)) + "/" + id + "/" + batch_files::kStatus;
        if (!fs::exists(status))
            continue;
        json earlier = json::parse(read_file(status));
        earlier["finished"] = "2000-01-01T00:00:00Z";
        write_file(status, earlier.dump());
    }
    const std::vector<std::string> shards = {dir_.file("shard #0"), dir_.file("shard #1"), dir_.file("shard #2")};
    for (const bool later_first : {true, false}) {
        std::vector<std::string> args = {"merge", "--out", dir_.file("again")};
        args.insert(args.end(), shards.begin(), shards.end());
        args.insert(later_first ? args.begin() + 3 : args.end(), dir_.file("later"));
        batch(args);
        EXPECT_EQ(summary(dir_.file("again")).at("take0.mkv"), "fail") << later_first;
    }
    EXPECT_EQ(batch({"merge", dir_.file("all")}).exit_code, 2) << "no results in it";
    EXPECT_EQ(batch({"merge", dir_.file("nowhere")}).exit_code, 1);
    // A wrong command line analyses and writes nothing, and names what is wrong.
    const std::pair<const char*, const char*> wrong[] = {
        {"--shard", "3/3"}, {"--shard", "1/+3"}, {"--shard", "1/3x"}, {"--profile", "nope"}, {"--lead-ms", "20"},
        {"--timeout", "1e10"}, {"--timeout", "nan"}, {"--timeout", "0.5"}, {"--jobs", "0"}, {"--jobs", "100000"},
        {"--expect-delay", "nan"}, {"--expect-delay", "1e10"}};
    for (const auto& [option, value] : wrong) {
        const ProcessResult run = batch({"--out", out(), dir_.file("in"), option, value});
        EXPECT_EQ(run.exit_code, 1) << option << " " << value;
        EXPECT_TRUE(run.err.find(option) != std::string::npos || run.err.find(value) != std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(out()));
    write_file(dir_.file("afile"), "mine");
    const std::vector<std::string> into_a_file[] = {{"--out", dir_.file("afile"), dir_.file("in")},
                                                    {"merge", "--out", dir_.file("afile"), dir_.file("all")}};
    for (const std::vector<std::string>& args : into_a_file) {
        const ProcessResult run = batch(args);
        EXPECT_EQ(run.exit_code, 1) << args[0];
        EXPECT_NE(run.err.find("is not a folder"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << "no summary is announced";
    }
    EXPECT_EQ(read_file(dir_.file("afile")), "mine");
    EXPECT_EQ(split_lines(read_file(dir_.file("runs.log"))).size(), 20u) << "a start and an end for each of the nine, and take0's again";
}

TEST_F(Batch, NamesThatAreNotUtf8ReadWithReplacementCharacters)
{
    recording("caf\xe9.mkv", "pass 1"); // Latin-1 names
    recording("caf\xe8.mkv", "fail 90");
    recording("d\xe9j\xe0/x.mkv", "unmeasurable");
    recording("ok.mkv", "pass 2");
    const ProcessResult run = batch({"--out", out(), dir_.file("in")});
    EXPECT_EQ(run.exit_code, 4) << run.err;
    const std::string fffd = "\xEF\xBF\xBD"; // one per lone byte: each Latin-1 letter is one here
    const Rows rows = {{"caf" + fffd + ".mkv", "fail"}, {"caf" + fffd + ".mkv", "pass"},
                       {"d" + fffd + "j" + fffd + "/x.mkv", "unmeasurable: no beep found"}, {"ok.mkv", "pass"}};
    EXPECT_EQ(summary_rows(out(), dir_.file("in")), rows) << "each file analysed by its real name";
    EXPECT_NE(read_file(out() + "/summary.csv").find("/in/caf" + fffd + ".mkv,fail,3,90,"), std::string::npos);
    expect_only_whole_entries();
    const ProcessResult again = batch({"--out", out(), dir_.file("in")});
    EXPECT_NE(again.out.find("4 recordings (4 already done)"), std::string::npos) << again.out << again.err;
    EXPECT_EQ(runs(), (std::map<std::string, int>{{"caf\xe9.mkv", 1}, {"caf\xe8.mkv", 1}, {"x.mkv", 1}, {"ok.mkv", 1}}));

    // A results folder whose own name is not UTF-8, merged elsewhere.
    fs::rename(out(), dir_.file("out\xff"));
    const ProcessResult merged = batch({"merge", "--out", dir_.file("all"), dir_.file("out\xff")});
    EXPECT_EQ(merged.exit_code, 4) << merged.err;
    EXPECT_EQ(summary_rows(dir_.file("all"), dir_.file("in")), rows);
    const json summary = json::parse(read_file(dir_.file("all/summary.json")));
    for (const json& row : summary["rows"])
        EXPECT_EQ(row["folder"].get<std::string>().rfind("../out" + fffd + "/", 0), 0u) << row;
    EXPECT_NE(read_file(dir_.file("all/index.html")).find("href=\"../out%FF/"), std::string::npos) << "links keep the real bytes";
}

TEST_F(Batch, ResultThatCannotBeWrittenExitsThreeAndIsTriedAgain)
{
    recording("unwritable.mkv", "unwritable");
    recording("good.mkv", "pass 1");
    const std::string error = "error: analysis could not write its results: cannot write result.json: No space left on device";
    const ProcessResult run = batch({"--out", out(), dir_.file("in")});
    EXPECT_EQ(run.exit_code, 3) << run.err;
    EXPECT_NE(run.err.find("unwritable.mkv: analysis could not write its results"), std::string::npos) << run.err;
    EXPECT_EQ(summary(out()), (Verdicts{{"good.mkv", "pass"}, {"unwritable.mkv", error}}));
    EXPECT_EQ(batch({"--out", out(), dir_.file("in")}).exit_code, 3);
    EXPECT_EQ(runs(), (std::map<std::string, int>{{"good.mkv", 1}, {"unwritable.mkv", 2}}));
}

// A tmpfs of 64 KiB, unmounted at the end.
struct SmallDisk {
    explicit SmallDisk(const std::string& at) : path(at)
    {
        fs::create_directories(path);
        mounted = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    bool mounted = false;
};

TEST_F(Batch, FullDiskLeavesNoScratchFolder)
{
    recording("good.mkv", "pass 1");
    const SmallDisk disk(dir_.file("disk"));
    if (!disk.mounted)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    fs::create_directories(dir_.file("disk/out"));
    run_process({"sh", "-c", "cat /dev/zero > fill"}, kBatchTimeout, disk.path); // to the last byte
    const ProcessResult run = batch({"--out", dir_.file("disk/out"), dir_.file("in")});
    EXPECT_EQ(run.exit_code, 3) << run.err;
    EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("Summary:"), std::string::npos) << "none was written";
    for (const auto& entry : fs::directory_iterator(dir_.file("disk/out")))
        EXPECT_FALSE(is_scratch_name(entry.path().filename())) << "left behind: " << entry.path();
}

TEST_F(Batch, StandardOutputThatFailsIsSaid)
{
    recording("good.mkv", "pass 1");
    const struct {
        const char* redirect;
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {
        {">/dev/full", {"--out", out(), dir_.file("in")}, 3},
        {">&-", {"--out", out(), dir_.file("in")}, 3},
        {">&-", {"--out", out(), "-q", dir_.file("in")}, 0}, // nothing to write
        {">/dev/full", {"merge", out()}, 3},
        {">&-", {"merge", out()}, 3},
    };
    for (const auto& c : cases) {
        const ProcessResult run = batch_redirected(c.redirect, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.redirect << " " << c.args[0] << "\n" << run.err;
        EXPECT_EQ(run.err.find("cannot write the closing lines to standard output") != std::string::npos, c.exit_code == 3)
            << run.err;
        EXPECT_EQ(summary(out()), (Verdicts{{"good.mkv", "pass"}}));
    }
}

} // namespace
