#include "picture/level_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace skelv {

float yuv_distance(const Yuv& a, const Yuv& b)
{
    const float dy = a.y - b.y, du = a.u - b.u, dv = a.v - b.v;
    return std::sqrt(dy * dy + du * du + dv * dv);
}

Yuv densest_centre(const std::vector<Yuv>& samples, float radius, int* members)
{
    size_t best = 0;
    int most = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        int near = 0;
        for (const Yuv& other : samples)
            near += yuv_distance(samples[i], other) <= radius;
        if (near > most)
            most = near, best = i;
    }
    if (members != nullptr)
        *members = most;
    if (most == 0)
        return {};
    Yuv sum;
    for (const Yuv& other : samples)
        if (yuv_distance(samples[best], other) <= radius) {
            sum.y += other.y;
            sum.u += other.u;
            sum.v += other.v;
        }
    return {sum.y / float(most), sum.u / float(most), sum.v / float(most)};
}

int classify_level(const std::vector<Yuv>& centres, const Yuv& value)
{
    if (centres.size() < 2)
        return -1;
    size_t nearest = 0;
    float nearest_distance = std::numeric_limits<float>::max();
    for (size_t i = 0; i < centres.size(); ++i) {
        const float d = yuv_distance(centres[i], value);
        if (d < nearest_distance)
            nearest_distance = d, nearest = i;
    }
    float spacing = std::numeric_limits<float>::max();
    for (size_t i = 0; i < centres.size(); ++i)
        if (i != nearest)
            spacing = std::min(spacing, yuv_distance(centres[i], centres[nearest]));
    if (!(spacing > 0))
        return -1;
    return nearest_distance <= kAcceptShare * spacing ? int(nearest) : -1;
}

float quantile_of(std::vector<float> values, float q)
{
    if (values.empty())
        return 0;
    const size_t rank = std::min(values.size() - 1, size_t(std::clamp(q, 0.0f, 1.0f) * float(values.size())));
    std::nth_element(values.begin(), values.begin() + long(rank), values.end());
    return values[rank];
}

} // namespace skelv
