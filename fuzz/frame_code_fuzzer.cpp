// Frame code sampling with random markers inside a random frame: one letter per marker,
// each a colour class letter, nothing read outside the frame.
#include "fuzz_input.h"
#include "core/clip_constants.h"
#include "core/layout.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

MarkerRect marker_inside(FuzzInput& input, int32_t width, int32_t height)
{
    MarkerRect m{};
    m.left = input.in_range(0, width - 1);
    m.top = input.in_range(0, height - 1);
    m.right = input.in_range(m.left, width - 1);
    m.bottom = input.in_range(m.top, height - 1);
    m.crc = 1;
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const int32_t width = input.in_range(1, 256);
    const int32_t height = input.in_range(1, 256);
    const int32_t stride = 4 * width + 4 * input.in_range(0, 3);
    std::vector<MarkerRect> markers(size_t(input.in_range(0, 32)));
    for (MarkerRect& m : markers)
        m = marker_inside(input, width, height);

    std::vector<uint8_t> image(size_t(stride) * size_t(height - 1) + 4 * size_t(width));
    input.bytes(image.data(), image.size());
    const std::string code = frame_code_sample(markers, image.data(), stride);
    if (code.size() != markers.size() || code.find_first_not_of(clip::kColorLetters) != std::string::npos)
        abort();
    return 0;
}
