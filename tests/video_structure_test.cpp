#include "core/video_structure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Codes = std::vector<std::string>;

// Three markers: SYNCMARK 2, FRAMEID 1, and RGB6 with a black frame standing in for 'g'.
const Codes kExample = {
    "www", "www",                                           // header
    "wkw", "wkw", "wkw",                                    // locator
    "kkr", "kwy", "wkk", "wwc", "kkb", "kwm", "wkr", "wwy", // content
    "www", "www",                                           // trailer
};

// "header locator content trailer: classes", e.g. "2 3 8 2: SYNCMARK 2, FRAMEID 1, RGB6 1".
std::string summary(const Codes& codes)
{
    const VideoStructurePtr s(video_structure_analyze(codes));
    EXPECT_EQ(s->marker_count, int32_t(s->classes.size()));
    static const char* const names[] = {"UNKNOWN", "SYNCMARK", "FRAMEID", "RGB6"};
    std::string text = std::to_string(s->header_frames) + " " + std::to_string(s->locator_frames) + " " +
                       std::to_string(s->content_frames) + " " + std::to_string(s->trailer_frames) + ":";
    for (const MarkerClass& c : s->classes)
        text += (text.back() == ':' ? " " : ", ") + std::string(names[c.type]) +
            (c.type != MARKER_TYPE_UNKNOWN ? " " + std::to_string(c.interval) : "");
    return text;
}

TEST(VideoStructure, SpansAndClassesOfWholeClips)
{
    const std::pair<Codes, std::string> cases[] = {
        {kExample, "2 3 8 2: SYNCMARK 2, FRAMEID 1, RGB6 1"},
        {[] { Codes c = kExample; c[8] = "wwk"; return c; }(), "2 3 8 2: SYNCMARK 2, FRAMEID 1, UNKNOWN"},
        {[] { Codes c = kExample; c.insert(c.end(), {"kkr", "www"}); return c; }(),
         "2 3 8 2: SYNCMARK 2, FRAMEID 1, RGB6 1"}, // frames after the trailer change nothing
        {{}, "0 0 0 0:"}, {{"", "", ""}, "3 0 0 0:"}, {{"ww", "ww", "ww"}, "3 0 0 0: SYNCMARK 0, SYNCMARK 0"},
        {{"wkw", "wkw", "kkw", "www"}, "0 2 1 1: SYNCMARK 0, FRAMEID 0, SYNCMARK 0"},
        // A single frame is no locator; without one, black columns are SYNCMARK.
        {{"www", "kkk", "kwk", "www"}, "1 0 2 1: SYNCMARK 0, SYNCMARK 1, SYNCMARK 0"},
        {{"www", "wkw", "wkw", "wkw"}, "1 3 0 0: SYNCMARK 0, FRAMEID 0, SYNCMARK 0"},
        {{"www", "wkw"}, "1 0 1 0: SYNCMARK 0, SYNCMARK 0, SYNCMARK 0"},
        {{"w", "k", "y", "g", "w", "k"}, "1 0 3 1: RGB6 1"},
        {{"ww", "kw", "kw", "kk", "ww", "kk", "ww"}, "1 2 1 1: FRAMEID 0, SYNCMARK 0"},
    };
    for (const auto& [codes, expected] : cases)
        EXPECT_EQ(summary(codes), expected) << testing::PrintToString(codes);
}

TEST(VideoStructure, ClassOfOneMarker)
{
    const struct {
        char locator;        ///< letter of both locator frames
        std::string content; ///< one letter per content frame
        std::string expected;
    } cases[] = {
        {'w', "kkwwkkww", "SYNCMARK 2"}, {'k', "kwkwkwkw", "FRAMEID 1"},
        {'w', "kkkwwwkk", "SYNCMARK 3"}, // the wave may end mid-period
        {'w', "kwwk", "UNKNOWN"}, {'w', "kkwwkkkw", "UNKNOWN"}, {'w', "wkw", "UNKNOWN"},
        {'w', "kkkk", "SYNCMARK 0"}, {'k', "kkkk", "FRAMEID 0"}, {'k', "wkkk", "FRAMEID 0"}, {'w', "w", "SYNCMARK 0"},
        {'k', "kkr", "UNKNOWN"}, {'r', "kwkw", "UNKNOWN"},
        {'w', "k", "SYNCMARK 0"}, // also a colour cycle: blinking comes first
        {'w', "rygcbmrygc", "RGB6 1"}, {'w', "kygcbm", "RGB6 1"},
        {'w', "rkgc", "RGB6 1"}, // a black frame keeps counting
        {'w', "rkyg", "UNKNOWN"}, {'w', "rykkbm", "UNKNOWN"}, {'w', "rygwbm", "UNKNOWN"}, {'w', "rygcbmy", "UNKNOWN"},
        {'k', "rygcbm", "UNKNOWN"},
    };
    for (const auto& c : cases) {
        // A filler marker (UNKNOWN) keeps frames off all-white and the locator out of the content.
        Codes codes = {"ww", {c.locator, 'r'}, {c.locator, 'r'}};
        for (const char letter : c.content)
            codes.push_back({letter, 'k'});
        codes.push_back("ww");
        const std::string spans = "1 2 " + std::to_string(c.content.size()) + " 1: ";
        EXPECT_EQ(summary(codes), spans + c.expected + ", UNKNOWN") << c.locator << " then " << c.content;
    }
}

} // namespace
