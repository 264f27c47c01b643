// Recordings of a batch: what a folder yields, folder names that never collide, shares that
// cover every recording once.
#include "check/batch_inputs.h"
#include "support/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

namespace {

namespace fs = std::filesystem;

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
        {"/r/caf\xc3\xa9.ts", "caf__.ts-"},
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

} // namespace
