#include "rules/names.h"

namespace skelv {

namespace {

constexpr const char* kFrameKinds[] = {"header", "locator", "content", "trailer", "unreadable", "unknown"};
constexpr const char* kRoles[] = {"unknown", "sync", "frameid", "lipsync"};
constexpr const char* kVerdicts[] = {"pass", "fail", "unmeasurable"};
constexpr const char* kVerdictWords[] = {"PASS", "FAIL", "UNMEASURABLE"};

} // namespace

const char* name_of(FrameKind kind)
{
    return kFrameKinds[size_t(kind)];
}

const char* name_of(MarkerRole role)
{
    return kRoles[size_t(role)];
}

const char* name_of(SyncVerdict verdict)
{
    return kVerdicts[size_t(verdict)];
}

const char* verdict_word(SyncVerdict verdict)
{
    return kVerdictWords[size_t(verdict)];
}

std::optional<SyncVerdict> verdict_named(std::string_view name)
{
    for (size_t i = 0; i < std::size(kVerdicts); ++i)
        if (name == kVerdicts[i])
            return SyncVerdict(i);
    return std::nullopt;
}

} // namespace skelv
