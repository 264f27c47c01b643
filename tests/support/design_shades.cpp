#include "design_shades.h"

#include <cstring>

namespace skelv {

MarkerRole role_of(MarkerKind kind)
{
    return kind == MarkerKind::SyncMark ? MarkerRole::Sync : kind == MarkerKind::FrameId ? MarkerRole::FrameId
                                                                                          : MarkerRole::LipSync;
}

ReadingPlan plan_of(const ClipDesign& design, double source_fps)
{
    ReadingPlan plan;
    plan.source_fps = source_fps;
    for (size_t m = 0; m < design.markers.size(); ++m) {
        const MarkerBox& box = design.markers[m];
        MarkerPlan marker;
        marker.half_period = box.half_period;
        marker.role = role_of(box.kind);
        if (box.kind == MarkerKind::SyncMark) {
            plan.sync = int32_t(m);
            plan.sync_from = SyncEvidence::Locator;
        } else if (box.kind == MarkerKind::FrameId) {
            marker.bit = __builtin_ctz(unsigned(box.half_period));
            plan.counter_bits++;
        } else {
            plan.lipsync = int32_t(m);
        }
        plan.markers.push_back(marker);
    }
    return plan;
}

std::vector<int8_t> design_shades(const ClipDesign& design, int frame)
{
    return code_shades(clip_design_code(design, frame));
}

std::vector<int8_t> code_shades(const std::string& code)
{
    std::vector<int8_t> shades;
    for (const char letter : code)
        shades.push_back(letter == 'k' ? int8_t(kShadeBlack)
                : letter == 'w'        ? int8_t(kShadeWhite)
                                       : int8_t(kShadeFirstColour + (std::strchr("rygcbm", letter) - "rygcbm")));
    return shades;
}

int content_offset(const ClipDesign& design, int frame)
{
    const int offset = frame - design.params.header - design.params.locator;
    return offset >= 0 && offset < design.params.content ? offset : -1;
}

} // namespace skelv
