// The recordings of a batch: files and folders given on the command line, each with a stable
// identity (its folder name under the output directory) and its share under --shard.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skelv {

struct BatchRecording {
    std::string path; ///< as given, or as found under a given folder
    std::string key;  ///< absolute, lexically normal path: the identity of the recording
    uint64_t hash = 0; ///< FNV-1a of `key`
    std::string id;   ///< folder name under the output directory
};

// Which share of the recordings one run takes: those whose hash modulo `count` is `index`.
struct BatchShard {
    unsigned index = 0;
    unsigned count = 1;
};

BatchRecording make_recording(const std::string& path);

// Files are taken as given, whatever their name (an unreadable one gets an error row);
// folders are searched, recursively and in name order, for files with a media extension,
// leaving out `skip` (the output directory) and hidden entries. A path that is neither is
// kept, so that its row says why it could not be analysed. Recordings named twice are
// kept once. The result is sorted by key.
std::vector<BatchRecording> find_recordings(const std::vector<std::string>& args, const std::string& skip);

bool has_media_extension(const std::string& path);

// "K/N" with 0 <= K < N. False with a message otherwise.
bool parse_shard(const std::string& text, BatchShard* shard, std::string* error);

bool in_shard(const BatchRecording& recording, const BatchShard& shard);

// 64-bit FNV-1a: the same on every machine and build, unlike std::hash.
uint64_t stable_hash(const std::string& text);

} // namespace skelv
