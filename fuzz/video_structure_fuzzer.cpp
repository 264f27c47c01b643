// Video structure on random lists of frame codes, of equal or unequal lengths: the spans
// cover at most every frame, in order, and every marker column gets a known type.
#include "fuzz_input.h"
#include "core/video_structure.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Mostly the letters real codes use, so that the spans and types are reached; now and then
// any byte, which the analysis must survive.
char letter(FuzzInput& input)
{
    const uint8_t value = input.byte();
    return value < 240 ? "krgybmcw"[value % 8] : char(value);
}

void check(const VideoStructure& s, const std::vector<std::string>& codes)
{
    const int64_t spans = int64_t{s.header_frames} + s.locator_frames + s.content_frames + s.trailer_frames;
    if (s.header_frames < 0 || s.locator_frames < 0 || s.content_frames < 0 || s.trailer_frames < 0 ||
        spans > int64_t(codes.size()) || s.locator_frames == 1)
        abort();
    const size_t columns = codes.empty() ? 0 : codes.front().size();
    if (s.marker_count != int32_t(columns) || s.classes.size() != columns)
        abort();
    for (const MarkerClass& c : s.classes) {
        if (c.type < MARKER_TYPE_UNKNOWN || c.type > MARKER_TYPE_RGB6 || c.interval < 0)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const size_t columns = input.byte() % 9;
    std::vector<std::string> codes;
    while (input.remaining() > 0) {
        // Now and then a code of another length.
        const uint8_t shape = input.byte();
        std::string code(shape < 224 ? columns : shape % 9, ' ');
        for (char& c : code)
            c = letter(input);
        codes.push_back(code);
    }
    VideoStructurePtr structure(video_structure_analyze(codes));
    check(*structure, codes);
    return 0;
}
