// Results appear whole or not at all.
#include "check/atomic_file.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

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
