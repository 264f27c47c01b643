#include "batch/batch_inputs.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <set>

namespace skelv {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxIdStem = 48; // characters of the base name kept in a folder name

const std::set<std::string> kMediaExtensions = {
    ".3gp", ".asf", ".avi", ".dv", ".flv", ".m2ts", ".m4v", ".mkv", ".mov", ".mp4", ".mpeg",
    ".mpg", ".mts", ".mxf", ".ogg", ".ogv", ".ts", ".vob", ".webm", ".wmv", ".y4m"};

// The base name reduced to characters that are safe in any file system and shell, then a
// short hash of the whole path, so that two clip.mkv in different folders never collide.
std::string stable_id(const std::string& key, uint64_t hash)
{
    std::string stem;
    for (char c : fs::path(key).filename().string()) {
        if (stem.size() == kMaxIdStem)
            break;
        const bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        stem += safe ? c : '_';
    }
    if (stem.empty() || stem[0] == '.') // a leading dot would hide the folder
        stem.insert(stem.begin(), '_');
    char suffix[16];
    snprintf(suffix, sizeof suffix, "-%08x", unsigned(hash >> 32));
    return stem + suffix;
}

bool hidden(const fs::path& path)
{
    const std::string name = path.filename().string();
    return !name.empty() && name[0] == '.';
}

void add_folder(const fs::path& folder, const std::string& skip_key, std::vector<BatchRecording>* found)
{
    std::error_code error;
    auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path& path = it->path();
        if (hidden(path) || make_recording(path.string()).key == skip_key) {
            if (it->is_directory(error))
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(error) && has_media_extension(path.string()))
            found->push_back(make_recording(path.string()));
    }
}

} // namespace

uint64_t stable_hash(const std::string& text)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

BatchRecording make_recording(const std::string& path)
{
    BatchRecording r;
    r.path = path;
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    r.key = (error ? fs::path(path) : absolute).lexically_normal().string();
    if (r.key.size() > 1 && r.key.back() == '/')
        r.key.pop_back();
    r.hash = stable_hash(r.key);
    r.id = stable_id(r.key, r.hash);
    return r;
}

bool has_media_extension(const std::string& path)
{
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return kMediaExtensions.count(extension) > 0;
}

std::vector<BatchRecording> find_recordings(const std::vector<std::string>& args, const std::string& skip)
{
    const std::string skip_key = skip.empty() ? "" : make_recording(skip).key;
    std::vector<BatchRecording> found;
    for (const std::string& arg : args) {
        std::error_code error;
        if (fs::is_directory(arg, error))
            add_folder(arg, skip_key, &found);
        else
            found.push_back(make_recording(arg));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    found.erase(std::unique(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.key == b.key; }),
                found.end());
    return found;
}

bool parse_shard(const std::string& text, BatchShard* shard, std::string* error)
{
    unsigned index = 0, count = 0;
    const char* end = text.data() + text.size();
    const auto [slash, index_error] = std::from_chars(text.data(), end, index);
    bool valid = index_error == std::errc() && slash != end && *slash == '/';
    if (valid) {
        const auto [rest, count_error] = std::from_chars(slash + 1, end, count);
        valid = count_error == std::errc() && rest == end && index < count;
    }
    if (!valid) {
        *error = "--shard wants K/N with 0 <= K < N (e.g. 0/4), not " + text;
        return false;
    }
    *shard = {index, count};
    return true;
}

bool in_shard(const BatchRecording& recording, const BatchShard& shard)
{
    return recording.hash % shard.count == shard.index;
}

} // namespace skelv
