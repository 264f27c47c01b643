// The kinds a result is told in, and the one table of their names as every output writes
// them: what a captured frame shows, what a marker is, how a recording was judged.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace skelv {

// What one captured frame of a recording shows.
enum class FrameKind : uint8_t {
    Header,     ///< all markers white, before the content
    Locator,    ///< sync mark and lip-sync marker white, counter bits black
    Content,    ///< a content frame: its source frame number is known or not
    Trailer,    ///< all markers white after the content (a later loop's header reads the same)
    Unreadable, ///< markers between their levels (a blend) or contradicting each other
    Unknown,    ///< none of these: a black screen, a picture of another size, a flash out of place
};

// What a marker area of the picture is.
enum class MarkerRole : uint8_t { Unknown, Sync, FrameId, LipSync };

enum class SyncVerdict : uint8_t { Pass, Fail, Unmeasurable };

// "header", "locator", "content", "trailer", "unreadable", "unknown".
const char* name_of(FrameKind kind);
// "unknown", "sync", "frameid", "lipsync".
const char* name_of(MarkerRole role);
// "pass", "fail", "unmeasurable": as result.json and the batch's rows write it.
const char* name_of(SyncVerdict verdict);
// "PASS", "FAIL", "UNMEASURABLE": as the human summary writes it.
const char* verdict_word(SyncVerdict verdict);

std::optional<SyncVerdict> verdict_named(std::string_view name);

} // namespace skelv
