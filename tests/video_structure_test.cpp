#include "video_structure.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using Codes = std::vector<std::string>;
using Spans = std::array<int32_t, 4>; // header, locator, content, trailer

// Three markers: SYNCMARK 2, FRAMEID 1, and RGB6 with a black frame standing in for 'g'.
const Codes kExampleClip = {
    "www", "www",                                           // header
    "wkw", "wkw", "wkw",                                    // locator
    "kkr", "kwy", "wkk", "wwc", "kkb", "kwm", "wkr", "wwy", // content
    "www", "www",                                           // trailer
};

Codes with_frame(Codes codes, size_t index, const std::string& code)
{
    codes[index] = code;
    return codes;
}

Codes with_extra_frames(Codes codes, const Codes& extra)
{
    codes.insert(codes.end(), extra.begin(), extra.end());
    return codes;
}

VideoStructurePtr analyze(const Codes& codes)
{
    return VideoStructurePtr(video_structure_analyze(codes));
}

Spans spans_of(const VideoStructure& structure)
{
    return {structure.header_frames, structure.locator_frames, structure.content_frames,
            structure.trailer_frames};
}

// Readable form for failure messages: "SYNCMARK 2", "RGB6 1", "UNKNOWN".
std::string describe(const MarkerClass& marker)
{
    static const std::array<std::string, 4> names = {"UNKNOWN", "SYNCMARK", "FRAMEID", "RGB6"};
    if (marker.type == MARKER_TYPE_UNKNOWN)
        return names[0]; // its interval means nothing
    return names.at(marker.type) + " " + std::to_string(marker.interval);
}

std::vector<std::string> classes_of(const VideoStructure& structure)
{
    std::vector<std::string> described;
    for (const MarkerClass& marker : structure.classes)
        described.push_back(describe(marker));
    return described;
}

struct ClipCase {
    const char* name;
    Codes codes;
    Spans spans;
    std::vector<std::string> classes;
};

void PrintTo(const ClipCase& clip, std::ostream* os)
{
    *os << clip.name;
}

const auto param_name = [](const auto& info) { return std::string(info.param.name); };

class WholeClip : public testing::TestWithParam<ClipCase> {};

TEST_P(WholeClip, SplitsSpansAndClassifiesEveryMarker)
{
    const ClipCase& clip = GetParam();
    const VideoStructurePtr structure = analyze(clip.codes);
    EXPECT_EQ(spans_of(*structure), clip.spans);
    EXPECT_EQ(structure->marker_count, static_cast<int32_t>(clip.classes.size()));
    EXPECT_EQ(classes_of(*structure), clip.classes);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, WholeClip,
    testing::Values(
        ClipCase{"example", kExampleClip, {2, 3, 8, 2}, {"SYNCMARK 2", "FRAMEID 1", "RGB6 1"}},
        ClipCase{"example_with_two_black_in_a_row", with_frame(kExampleClip, 8, "wwk"),
                 {2, 3, 8, 2}, {"SYNCMARK 2", "FRAMEID 1", "UNKNOWN"}},
        ClipCase{"frames_after_trailer_ignored", with_extra_frames(kExampleClip, {"kkr", "www"}),
                 {2, 3, 8, 2}, {"SYNCMARK 2", "FRAMEID 1", "RGB6 1"}},
        ClipCase{"no_frames", {}, {0, 0, 0, 0}, {}},
        ClipCase{"empty_codes_are_all_white", {"", "", ""}, {3, 0, 0, 0}, {}},
        ClipCase{"all_white", {"ww", "ww", "ww"}, {3, 0, 0, 0}, {"SYNCMARK 0", "SYNCMARK 0"}},
        ClipCase{"no_header", {"wkw", "wkw", "kkw", "www"}, {0, 2, 1, 1},
                 {"SYNCMARK 0", "FRAMEID 0", "SYNCMARK 0"}},
        // Without a locator the steady state is unknown, so black columns are SYNCMARK.
        ClipCase{"single_frame_is_no_locator", {"www", "kkk", "kwk", "www"}, {1, 0, 2, 1},
                 {"SYNCMARK 0", "SYNCMARK 1", "SYNCMARK 0"}},
        ClipCase{"locator_reaching_last_frame", {"www", "wkw", "wkw", "wkw"}, {1, 3, 0, 0},
                 {"SYNCMARK 0", "FRAMEID 0", "SYNCMARK 0"}},
        ClipCase{"single_frame_after_header", {"www", "wkw"}, {1, 0, 1, 0},
                 {"SYNCMARK 0", "SYNCMARK 0", "SYNCMARK 0"}},
        ClipCase{"single_marker_content_ends_at_first_white", {"w", "k", "y", "g", "w", "k"},
                 {1, 0, 3, 1}, {"RGB6 1"}},
        ClipCase{"non_white_frame_ends_trailer", {"ww", "kw", "kw", "kk", "ww", "kk", "ww"},
                 {1, 2, 1, 1}, {"FRAMEID 0", "SYNCMARK 0"}}),
    param_name);

// The marker under test beside a filler marker that keeps every frame from being
// all-white and the last locator code from equalling the first content code.
struct ColumnCase {
    const char* name;
    char locator;        ///< letter of both locator frames
    std::string content; ///< one letter per content frame
    std::string expected;
};

void PrintTo(const ColumnCase& column, std::ostream* os)
{
    *os << column.name;
}

Codes column_clip(const ColumnCase& column)
{
    const std::string locator = {column.locator, 'r'};
    Codes codes = {"ww", locator, locator};
    for (const char letter : column.content)
        codes.push_back({letter, 'k'});
    codes.push_back("ww");
    return codes;
}

class MarkerColumn : public testing::TestWithParam<ColumnCase> {};

TEST_P(MarkerColumn, GetsItsClass)
{
    const ColumnCase& column = GetParam();
    const VideoStructurePtr structure = analyze(column_clip(column));
    ASSERT_EQ(spans_of(*structure), (Spans{1, 2, static_cast<int32_t>(column.content.size()), 1}));
    EXPECT_EQ(describe(structure->classes[0]), column.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blink, MarkerColumn,
    testing::Values(ColumnCase{"white_locator_gives_syncmark", 'w', "kkwwkkww", "SYNCMARK 2"},
                    ColumnCase{"black_locator_gives_frameid", 'k', "kwkwkwkw", "FRAMEID 1"},
                    ColumnCase{"wave_may_end_mid_period", 'w', "kkkwwwkk", "SYNCMARK 3"},
                    ColumnCase{"white_run_too_long", 'w', "kwwk", "UNKNOWN"},
                    ColumnCase{"black_run_too_long", 'w', "kkwwkkkw", "UNKNOWN"},
                    ColumnCase{"black_after_white_locator", 'w', "kkkk", "SYNCMARK 0"},
                    ColumnCase{"black_after_black_locator", 'k', "kkkk", "FRAMEID 0"},
                    ColumnCase{"white_then_black", 'k', "wkkk", "FRAMEID 0"},
                    ColumnCase{"white_alone", 'w', "w", "SYNCMARK 0"},
                    ColumnCase{"white_then_white", 'w', "wkw", "UNKNOWN"},
                    ColumnCase{"color_in_black_run", 'k', "kkr", "UNKNOWN"},
                    ColumnCase{"color_locator", 'r', "kwkw", "UNKNOWN"},
                    // A lone black frame would also pass as a colour cycle.
                    ColumnCase{"preferred_to_color_cycle", 'w', "k", "SYNCMARK 0"}),
    param_name);

INSTANTIATE_TEST_SUITE_P(
    ColorCycle, MarkerColumn,
    testing::Values(ColumnCase{"full_cycle_wraps", 'w', "rygcbmrygc", "RGB6 1"},
                    ColumnCase{"starts_black", 'w', "kygcbm", "RGB6 1"},
                    ColumnCase{"black_keeps_counting", 'w', "rkgc", "RGB6 1"},
                    ColumnCase{"black_does_not_pause", 'w', "rkyg", "UNKNOWN"},
                    ColumnCase{"black_every_other_frame", 'w', "rkgkbk", "RGB6 1"},
                    ColumnCase{"two_black_in_a_row", 'w', "rykkbm", "UNKNOWN"},
                    ColumnCase{"two_black_at_start", 'w', "kkgc", "UNKNOWN"},
                    ColumnCase{"white_in_content", 'w', "rygwbm", "UNKNOWN"},
                    ColumnCase{"no_restart_after_magenta", 'w', "rygcbmy", "UNKNOWN"},
                    ColumnCase{"black_locator", 'k', "rygcbm", "UNKNOWN"}),
    param_name);

// Codes of the wrong length come from a broken decode: a missing letter fails whatever
// test reads it, and letters past the first code's length are ignored.
INSTANTIATE_TEST_SUITE_P(
    MalformedCodes, WholeClip,
    testing::Values(
        ClipCase{"short_code_is_not_white", {"www", "ww", "www"}, {1, 0, 1, 1},
                 {"SYNCMARK 0", "SYNCMARK 0", "UNKNOWN"}},
        ClipCase{"short_locator", {"www", "wk", "wk", "kkr", "www"}, {1, 2, 1, 1},
                 {"SYNCMARK 0", "FRAMEID 0", "UNKNOWN"}},
        ClipCase{"short_code_in_wave", {"ww", "kw", "kw", "kk", "kw", "k", "kw", "ww"},
                 {1, 2, 4, 1}, {"FRAMEID 0", "UNKNOWN"}},
        ClipCase{"short_code_in_color_cycle", {"ww", "kw", "kw", "kr", "k", "kg", "ww"},
                 {1, 2, 3, 1}, {"FRAMEID 0", "UNKNOWN"}},
        ClipCase{"long_code_white_in_first_letters", {"ww", "www", "wwk", "kw"}, {3, 0, 1, 0},
                 {"SYNCMARK 0", "SYNCMARK 0"}},
        ClipCase{"long_code_after_empty_first", {"", "kk", "w"}, {3, 0, 0, 0}, {}}),
    param_name);

} // namespace
