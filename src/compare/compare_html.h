// The comparison as a page that works offline: both delay distributions over one axis and a
// row per tag value of each side.
#pragma once

#include "compare/compare_runs.h"

#include <string>

namespace skelv {

std::string comparison_html(const Comparison& c);

} // namespace skelv
