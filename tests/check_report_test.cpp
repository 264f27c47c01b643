// skelv-check's outputs: the summary in words, CSV rows in time order, the JSON without events,
// and files that appear whole or not at all.
#include "check/atomic_file.h"
#include "check/check_report.h"
#include "support/media.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

CheckResult result_with(const std::vector<double>& delays)
{
    CheckResult r;
    r.file = "rec.mkv";
    r.profile = *sync_profile_find("ebu-r37");
    std::vector<Flash> flashes;
    std::vector<double> beeps;
    for (size_t i = 0; i < delays.size(); i++) {
        flashes.push_back({int64_t(12 + 25 * i), 0, 500.0 + 1000.0 * double(i)});
        beeps.push_back(flashes.back().video_ms + delays[i]);
    }
    beeps.push_back(9999); // far from any flash
    r.pairing = sync_pair(flashes, beeps, 0);
    r.statistics = delay_statistics(r.pairing.events);
    r.judgement = sync_judge(r.pairing.events, r.profile, 0, 0, 10000);
    r.audio.beeps = beeps.size();
    return r;
}

TEST(CheckSummary, SaysLeadsOrLagsInWords)
{
    EXPECT_EQ(describe_delay(-0.04), "audio in sync with video");
    const std::string text = check_summary_text(result_with({21.6, 21.5, 21.7}));
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "Lip-sync: audio lags video by 21.6 ms (median of 3 events, sd 0.1 ms, range 21.5\u202621.7), drift "
              "+3.0 ms/min \u2014 PASS (EBU R37: lead \u2264 40 ms, lag \u2264 60 ms)");
    EXPECT_NE(text.find("\nBeep at 9.999 s belongs to no flash\n"), std::string::npos) << text;
    const std::string drifting = check_summary_text(result_with({20, 21, 22}));
    EXPECT_NE(drifting.find("drift +60.0 ms/min (95 % CI +60.0\u2026+60.0)"), std::string::npos) << drifting;
}

TEST(CheckCsv, OneRowPerEventAndStrayBeepInTimeOrder)
{
    CheckResult r = result_with({20, 20});
    r.pairing.missing_beeps.push_back({62, 0, 2500});
    EXPECT_EQ(check_result_csv(r), "kind,flash_frame,loop,video_ms,audio_ms,delay_ms,within\n"
                                   "event,12,0,500.000,520.000,20.000,yes\n"
                                   "event,37,0,1500.000,1520.000,20.000,yes\n"
                                   "missing_beep,62,0,2500.000,,,\n"
                                   "unmatched_beep,,,,9999.000,,\n");
    EXPECT_TRUE(check_result_json(result_with({}))["sync"]["median_ms"].is_null()) << "no event, no median";
}

TEST(CheckTimeline, OneRowPerCapturedFrame)
{
    CheckResult r;
    r.video.timeline = {{0, 40, FrameKind::Header, -1, 0, false, false, 0},
                        {40, 40, FrameKind::Content, 12, 0, true, false, 2},
                        {80, 40, FrameKind::Content, 12, 0, true, true, 0}};
    EXPECT_EQ(check_timeline_csv(r), "time_ms,duration_ms,kind,source_frame,loop,flash,repeated,dropped_before\n"
                                     "0.000,40.000,header,,0,no,no,0\n"
                                     "40.000,40.000,content,12,0,yes,no,2\n"
                                     "80.000,40.000,content,12,0,yes,yes,0\n");
}

TEST(AtomicFile, ReplacesWholeAndLeavesNothingOnFailure)
{
    TempDir dir;
    std::string error;
    ASSERT_TRUE(write_file_atomically(dir.file("r.json"), "first", &error)) << error;
    ASSERT_TRUE(write_file_atomically(dir.file("r.json"), "second", &error)) << error;
    EXPECT_EQ(read_file(dir.file("r.json")), "second");
    struct stat info {};
    ASSERT_EQ(stat(dir.file("r.json").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IRGRP, 0u) << "readable beyond its owner, as files made with the umask";

    EXPECT_FALSE(write_file_atomically(dir.file("missing/r.json"), "x", &error));
    EXPECT_NE(error.find("missing/r.json"), std::string::npos) << error;
    // A write that stops short (as on a full disk; here a file-size limit in a child
    // process): the old result stays and the scratch file goes away.
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4, 4};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string child_error;
        _exit(write_file_atomically(dir.file("r.json"), "longer than four bytes", &child_error) ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(read_file(dir.file("r.json")), "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "a scratch file left";
}

} // namespace
