#include "same_result.h"

#include <gtest/gtest.h>

#include <cmath>

using nlohmann::json;

namespace {

// Numbers in ms may differ by this much: a beep's onset is fitted on blocks of samples that
// start where the reading of its part started.
constexpr double kEventToleranceMs = 0.01;
// A stream's length may differ by its last frame or sound packet: a Matroska demuxer that was
// sought ends its streams at the declared length, and the decoders trim the last to it.
constexpr double kLengthToleranceS = 0.025;

// The time an argmin or argmax names may move between events whose values tie within the
// tolerance: those values are compared instead.
bool ties_at(const json& whole, const json& joined, const std::string& key)
{
    const auto delay_at = [](const json& result, double at_ms) {
        for (const json& e : result["sync"]["events"])
            if (e["video_ms"] == at_ms)
                return e["delay_ms"].get<double>();
        return std::nan("");
    };
    return std::abs(delay_at(whole, whole["sync"][key].get<double>()) -
                    delay_at(joined, joined["sync"][key].get<double>())) <= kEventToleranceMs;
}

} // namespace

void expect_same(const json& whole, const json& joined, const std::string& path)
{
    if (whole.is_number() && joined.is_number()) {
        if (path.ends_with("_ms"))
            EXPECT_NEAR(whole.get<double>(), joined.get<double>(), kEventToleranceMs) << path;
        else if (path.ends_with("_length_s"))
            EXPECT_NEAR(whole.get<double>(), joined.get<double>(), kLengthToleranceS) << path;
        else
            EXPECT_EQ(whole, joined) << path;
        return;
    }
    ASSERT_EQ(whole.type(), joined.type()) << path;
    if (whole.is_object()) {
        for (const auto& [key, value] : whole.items()) {
            ASSERT_TRUE(joined.contains(key)) << path << "/" << key;
            if ((key == "min_at_ms" || key == "max_at_ms") && value != joined[key])
                continue; // told by the caller, who sees both results
            expect_same(value, joined[key], path + "/" + key);
        }
        EXPECT_EQ(whole.size(), joined.size()) << path;
    } else if (whole.is_array()) {
        ASSERT_EQ(whole.size(), joined.size()) << path;
        for (size_t i = 0; i < whole.size(); ++i)
            expect_same(whole[i], joined[i], path + "/" + std::to_string(i));
    } else {
        EXPECT_EQ(whole, joined) << path;
    }
}

void expect_same_result(const json& whole, const json& joined)
{
    expect_same(whole, joined);
    for (const char* key : {"min_at_ms", "max_at_ms"}) {
        if (whole["sync"].contains(key)) {
            EXPECT_TRUE(ties_at(whole, joined, key)) << key;
        }
    }
}

