#include "report/snapshot_png.h"

#include <png.h>

namespace skelv {

std::string png_encode_rgb(const uint8_t* rgb, int width, int height)
{
    if (rgb == nullptr || width <= 0 || height <= 0)
        return {};
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, rgb, 0, nullptr))
        return {};
    std::string png(size, '\0');
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgb, 0, nullptr))
        return {};
    png.resize(size);
    return png;
}

ShrunkSnapshot snapshot_shrink(const CheckSnapshot& snapshot, int max_width)
{
    ShrunkSnapshot shrunk;
    const bool complete = snapshot.width > 0 && snapshot.height > 0 &&
                          snapshot.rgb.size() == size_t(snapshot.width) * size_t(snapshot.height) * 3;
    if (!complete || max_width <= 0)
        return shrunk;
    const int factor = (snapshot.width + max_width - 1) / max_width;
    CheckSnapshot& out = shrunk.image;
    shrunk.factor = factor;
    out.width = snapshot.width / factor;
    out.height = snapshot.height / factor;
    out.time_ns = snapshot.time_ns;
    out.rgb.resize(size_t(out.width) * size_t(out.height) * 3);
    const int area = factor * factor;
    for (int y = 0; y < out.height; y++)
        for (int x = 0; x < out.width; x++)
            for (int channel = 0; channel < 3; channel++) {
                int sum = 0;
                for (int dy = 0; dy < factor; dy++) {
                    const size_t row = size_t(y * factor + dy) * size_t(snapshot.width);
                    for (int dx = 0; dx < factor; dx++)
                        sum += snapshot.rgb[(row + size_t(x * factor + dx)) * 3 + size_t(channel)];
                }
                out.rgb[(size_t(y) * size_t(out.width) + size_t(x)) * 3 + size_t(channel)] =
                    uint8_t((sum + area / 2) / area);
            }
    return shrunk;
}

} // namespace skelv
