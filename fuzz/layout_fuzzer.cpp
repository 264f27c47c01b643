// Pixel history and marker extraction on random frames: every marker lies inside the frame,
// extraction can be repeated, and sampling the markers reads only inside a frame.
#include "fuzz_input.h"
#include "core/layout.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

bool same_markers(const std::vector<MarkerRect>& a, const std::vector<MarkerRect>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const MarkerRect& x, const MarkerRect& y) {
        return x.left == y.left && x.top == y.top && x.right == y.right && x.bottom == y.bottom &&
               x.colored == y.colored && x.crc == y.crc;
    });
}

void check_markers(const std::vector<MarkerRect>& markers, int32_t width, int32_t height)
{
    for (const MarkerRect& m : markers) {
        if (m.left < 0 || m.top < 0 || m.left > m.right || m.top > m.bottom || m.right >= width ||
            m.bottom >= height || m.crc == 0)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const int32_t width = input.in_range(1, 48);
    const int32_t height = input.in_range(1, 48);
    const int32_t stride = 4 * width + 4 * input.in_range(0, 3);
    const int32_t frames = input.in_range(1, 8);

    // Exactly the bytes a frame of this stride covers, so that the sanitizer sees any read
    // past the last pixel.
    const size_t frame_bytes = size_t(stride) * size_t(height - 1) + 4 * size_t(width);
    std::vector<std::vector<uint8_t>> images;
    LayoutPtr layout(layout_new(width, height));
    for (int32_t f = 0; f < frames; ++f) {
        std::vector<uint8_t>& image = images.emplace_back(frame_bytes);
        input.bytes(image.data(), image.size());
        layout_process(layout.get(), image.data(), stride);
    }
    const std::vector<MarkerRect> markers = layout_get_markers(layout.get());
    check_markers(markers, width, height);
    if (!same_markers(layout_get_markers(layout.get()), markers))
        abort();
    for (const std::vector<uint8_t>& image : images) {
        if (frame_code_sample(markers, image.data(), stride).size() != markers.size())
            abort();
    }
    return 0;
}
