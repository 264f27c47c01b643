// The clip design as the numbering modules see it: a reading plan made from the design's
// marker boxes, and the shades each design frame shows.
#pragma once

#include "generate/clip_design.h"
#include "picture/marker_roles.h"

#include <string>
#include <vector>

namespace skelv {

// The role a reader gives a marker of this kind.
MarkerRole role_of(MarkerKind kind);
// Roles and half-periods straight from the design (levels are left empty).
ReadingPlan plan_of(const ClipDesign& design, double source_fps = 25);
// One shade per letter of a code of "krgybmcw".
std::vector<int8_t> code_shades(const std::string& code);
// One shade per marker for design frame `frame`.
std::vector<int8_t> design_shades(const ClipDesign& design, int frame);
// Content offset of design frame `frame`, or -1 outside the content.
int content_offset(const ClipDesign& design, int frame);

} // namespace skelv
