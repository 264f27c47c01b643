#include "core/video_structure.h"

#include "core/clip_constants.h"

#include <algorithm>
#include <optional>

namespace {

using Codes = std::vector<std::string>;

// Stands for a letter that a short code lacks; no test accepts it.
constexpr char kMissingLetter = '\0';

char letter_at(const std::string& code, size_t column)
{
    return column < code.size() ? code[column] : kMissingLetter;
}

// Only the first marker_count letters decide, so with no markers every frame is white.
bool is_all_white(const std::string& code, size_t marker_count)
{
    return code.size() >= marker_count &&
           std::all_of(code.begin(), code.begin() + marker_count, [](char c) { return c == 'w'; });
}

// Frames from `start` for which the all-white test gives `white`.
size_t count_frames(const Codes& codes, size_t start, size_t marker_count, bool white)
{
    size_t count = 0;
    while (start + count < codes.size() && is_all_white(codes[start + count], marker_count) == white)
        ++count;
    return count;
}

// A locator is a run of at least two identical codes; a single frame is content.
size_t locator_length(const Codes& codes, size_t start)
{
    size_t equal_pairs = 0;
    while (start + equal_pairs + 1 < codes.size() &&
           codes[start + equal_pairs] == codes[start + equal_pairs + 1])
        ++equal_pairs;
    return equal_pairs == 0 ? 0 : equal_pairs + 1;
}

// One marker's letters in the locator and content spans.
struct Column {
    const Codes& codes;
    size_t index;          ///< marker column
    size_t locator_start;  ///< frame index of the first locator frame
    size_t locator_frames;
    size_t content_frames;

    bool has_locator() const { return locator_frames > 0; }
    // Locator codes are identical, so the first one speaks for the whole span.
    char locator() const { return letter_at(codes[locator_start], index); }
    char content(size_t offset) const
    {
        return letter_at(codes[locator_start + locator_frames + offset], index);
    }
};

bool black_from(const Column& column, size_t offset)
{
    for (; offset < column.content_frames; ++offset)
        if (column.content(offset) != 'k')
            return false;
    return true;
}

// Half-period in frames of a black/white square wave that starts black; 0 for a column
// that stays black, or that is white once and black after.
std::optional<int32_t> blink_interval(const Column& column)
{
    const size_t frames = column.content_frames;
    if (frames == 0)
        return 0;
    const char first = column.content(0);
    if (first == 'w')
        return black_from(column, 1) ? std::optional<int32_t>(0) : std::nullopt;
    if (first != 'k')
        return std::nullopt;

    size_t half_period = 1;
    while (half_period < frames && column.content(half_period) == 'k')
        ++half_period;
    if (half_period == frames)
        return 0;
    // Starting at the first non-black letter, which must be white.
    for (size_t offset = half_period; offset < frames; ++offset) {
        const char expected = offset % (2 * half_period) < half_period ? 'k' : 'w';
        if (column.content(offset) != expected)
            return std::nullopt;
    }
    return static_cast<int32_t>(half_period);
}

std::optional<MarkerClass> blink_class(const Column& column)
{
    int32_t type = MARKER_TYPE_SYNCMARK;
    if (column.has_locator()) {
        const char steady = column.locator();
        if (steady == 'k')
            type = MARKER_TYPE_FRAMEID;
        else if (steady != 'w')
            return std::nullopt;
    }
    const std::optional<int32_t> interval = blink_interval(column);
    if (!interval)
        return std::nullopt;
    return MarkerClass{type, *interval};
}

// A dropped colour may read black, but never two frames in a row; the cycle keeps
// counting through it.
bool is_color_cycle(const Column& column)
{
    if (column.has_locator() && column.locator() != 'w')
        return false;
    bool previous_black = false;
    for (size_t offset = 0; offset < column.content_frames; ++offset) {
        const char letter = column.content(offset);
        if (letter == clip::kColorCycle[offset % clip::kColorCycleLength])
            previous_black = false;
        else if (letter == 'k' && !previous_black)
            previous_black = true;
        else
            return false;
    }
    return true;
}

// Blinking is tested first: a column that passes both is a blinker.
MarkerClass classify(const Column& column)
{
    if (const std::optional<MarkerClass> blink = blink_class(column))
        return *blink;
    if (is_color_cycle(column))
        return MarkerClass{MARKER_TYPE_RGB6, 1};
    return MarkerClass{MARKER_TYPE_UNKNOWN, 0};
}

} // namespace

VideoStructure* video_structure_analyze(const std::vector<std::string>& frame_codes) noexcept
{
    const size_t marker_count = frame_codes.empty() ? 0 : frame_codes.front().size();
    const size_t header = count_frames(frame_codes, 0, marker_count, true);
    const size_t locator = locator_length(frame_codes, header);
    const size_t content = count_frames(frame_codes, header + locator, marker_count, false);
    const size_t trailer = count_frames(frame_codes, header + locator + content, marker_count, true);

    auto* structure = new VideoStructure{};
    structure->header_frames = static_cast<int32_t>(header);
    structure->locator_frames = static_cast<int32_t>(locator);
    structure->content_frames = static_cast<int32_t>(content);
    structure->trailer_frames = static_cast<int32_t>(trailer);
    structure->marker_count = static_cast<int32_t>(marker_count);
    structure->classes.reserve(marker_count);
    for (size_t index = 0; index < marker_count; ++index)
        structure->classes.push_back(classify(Column{frame_codes, index, header, locator, content}));
    return structure;
}

void video_structure_free(VideoStructure* structure)
{
    delete structure;
}
