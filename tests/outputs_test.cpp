// Where results go: files that appear whole or not at all; devices, pipes and links written as
// what they are; two outputs in one place refused; and skelv-check writing through them.
#include "outputs/atomic_file.h"
#include "outputs/output_file.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace skelv;

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
    // A write cut short (a full disk; here a child's file-size limit): the old result stays, no scratch file.
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

mode_t kind_of(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// Lets a reader waiting for a writer of `fifo` go, with nothing, should the writer have failed.
void release_reader(const std::string& fifo)
{
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        close(fd);
}

TEST(WriteOutput, EachKindOfPlaceKeepsWhatItIs)
{
    TempDir dir;
    write_file(dir.file("old.json"), "old");
    write_file(dir.file("aimed.json"), "old");
    fs::create_directories(dir.file("real"));
    fs::create_directory_symlink("real", dir.file("linked"));
    fs::create_symlink("aimed.json", dir.file("link.json"));
    fs::create_symlink("linked/deep.json", dir.file("through.json")); // a link through a linked folder
    fs::create_symlink(dir.file("later.json"), dir.file("dangling.json"));
    const bool device = geteuid() == 0 && mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    const struct {
        std::string path;
        bool written;
        std::string lands_in; ///< where the text is to be found after; empty: nowhere
        mode_t kind_after;    ///< of `path` itself
    } cases[] = {
        {dir.file("new.json"), true, dir.file("new.json"), S_IFREG},
        {dir.file("old.json"), true, dir.file("old.json"), S_IFREG},
        {dir.file("link.json"), true, dir.file("aimed.json"), S_IFLNK},
        {dir.file("through.json"), true, dir.file("real/deep.json"), S_IFLNK},
        {dir.file("dangling.json"), true, dir.file("later.json"), S_IFLNK},
        {dir.file("real"), false, "", S_IFDIR},
        {dir.file("missing/r.json"), false, "", 0},
        {"/dev/full", false, "", S_IFCHR},
        {device ? dir.file("null") : "/dev/full", device, "", S_IFCHR}, // as root: a device is not replaced
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(write_output(c.path, "{\"verdict\": \"pass\"}\n", &error), c.written) << c.path << ": " << error;
        EXPECT_EQ(kind_of(c.path), c.kind_after) << c.path;
        if (!c.lands_in.empty()) {
            EXPECT_EQ(read_file(c.lands_in), "{\"verdict\": \"pass\"}\n") << c.path;
        }
        if (!c.written) {
            EXPECT_NE(error.find(c.path), std::string::npos) << error;
        }
    }
    EXPECT_EQ(fs::read_symlink(dir.file("link.json")), "aimed.json");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("real")), fs::directory_iterator()), 1) << "no scratch file";
}

TEST(WriteOutput, PipesGetTheWholeTextAndStayPipes)
{
    TempDir dir;
    const std::string text(200'000, 'x'); // more than a pipe holds: written as the reader reads
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0666), 0);
    std::string received;
    std::thread reader([&] { received = read_file(dir.file("fifo")); });
    std::string error;
    EXPECT_TRUE(write_output(dir.file("fifo"), text, &error)) << error;
    release_reader(dir.file("fifo"));
    reader.join();
    EXPECT_EQ(received.size(), text.size());
    EXPECT_EQ(kind_of(dir.file("fifo")), S_IFIFO);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string descriptor = "/dev/fd/" + std::to_string(ends[1]); // as a shell's >(...) names it
    EXPECT_TRUE(write_output(descriptor, "{}\n", &error)) << error;
    close(ends[1]);
    char got[16] = {};
    EXPECT_EQ(read(ends[0], got, sizeof got), 3);
    EXPECT_STREQ(got, "{}\n");
    close(ends[0]);
}

TEST(DistinctOutputs, TwoOutputsInOnePlaceAreRefused)
{
    TempDir dir;
    write_file(dir.file("x"), "");
    fs::create_hard_link(dir.file("x"), dir.file("hard"));
    fs::create_symlink("x", dir.file("soft"));
    const struct {
        std::string first, second;
        bool distinct;
    } cases[] = {
        {dir.file("x"), dir.file("x"), false},
        {dir.file("x"), dir.path() + "/./x", false},
        {dir.file("x"), dir.file("hard"), false},
        {dir.file("x"), dir.file("soft"), false},
        {dir.file("new"), dir.path() + "//new", false},
        {"-", "-", false},
        {"-", "/dev/stdout", false},
        {dir.file("x"), dir.file("new"), true},
        {"/dev/null", "/dev/null", true}, // nothing written there replaces anything
        {"", "", true},                   // neither asked for
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(distinct_outputs({{"--json", c.first}, {"--html", "elsewhere"}, {"--csv", c.second}}, &error), c.distinct)
            << c.first << " " << c.second;
        if (!c.distinct) {
            EXPECT_NE(error.find("--json " + c.first + " and --csv " + c.second), std::string::npos) << error;
        }
    }
    const std::pair<std::string, bool> standard[] = {
        {"-", true}, {"/dev/stdout", true}, {"/dev/fd/1", true}, {dir.file("x"), false}, {"/dev/null", false}};
    for (const auto& [path, is] : standard)
        EXPECT_EQ(is_standard_output(path), is) << path;
}

// skelv-check itself on a real clip: its outputs through links, pipes and a full device, and
// its command line refusing two outputs in one place before any analysis.
TEST(CheckOutputs, WrittenWhereTheyLeadAndNeverTwiceInOnePlace)
{
    TempDir dir;
    ASSERT_EQ(generate({"--duration", "2", dir.file("clip.mkv")}, dir.path()).exit_code, 0);
    write_file(dir.file("aimed.json"), "old");
    fs::create_symlink("aimed.json", dir.file("link.json"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0666), 0);
    std::string from_fifo;
    std::thread reader([&] { from_fifo = read_file(dir.file("fifo")); });
    const ProcessResult run = check({"--json", "link.json", "--csv", "fifo", "clip.mkv"}, dir.path());
    release_reader(dir.file("fifo"));
    reader.join();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(kind_of(dir.file("link.json")), S_IFLNK);
    EXPECT_EQ(nlohmann::json::parse(read_file(dir.file("aimed.json")), nullptr, false).value("verdict", ""), "pass");
    EXPECT_EQ(from_fifo.rfind("kind,flash_frame,", 0), 0u) << from_fifo;
    EXPECT_EQ(run.out.rfind("Lip-sync:", 0), 0u) << "the summary on standard output";

    // An output on standard output, also through a pipe's /dev/fd/1: the summary gives way.
    const ProcessResult piped = run_process(
        {"sh", "-c", "{ \"$0\" \"$@\"; echo \"exit $?\" >&2; } | cat", SKELV_CHECK, "--csv", "/dev/fd/1", "clip.mkv"},
        kRunTimeout, dir.path());
    EXPECT_NE(piped.err.find("exit 0"), std::string::npos) << piped.err;
    EXPECT_EQ(piped.out.rfind("kind,flash_frame,", 0), 0u) << piped.out;
    EXPECT_EQ(piped.out.find("Lip-sync:"), std::string::npos) << piped.out;

    const ProcessResult full = check({"--timeline", "/dev/full", "clip.mkv"}, dir.path());
    EXPECT_EQ(full.exit_code, 3);
    EXPECT_NE(full.err.find("cannot write /dev/full: No space left on device"), std::string::npos) << full.err;

    fs::create_hard_link(dir.file("aimed.json"), dir.file("again.json"));
    const std::vector<std::string> collisions[] = {{"--json", "x", "--csv", "x"},
                                                   {"--json", "-", "--csv", "-"},
                                                   {"--html", "link.json", "--timeline", "again.json"}};
    for (std::vector<std::string> args : collisions) {
        args.push_back("clip.mkv");
        const ProcessResult refused = check(args, dir.path());
        EXPECT_EQ(refused.exit_code, 1) << args[0];
        EXPECT_NE(refused.err.find("write to the same place"), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_FALSE(fs::exists(dir.file("x")));
}

} // namespace
