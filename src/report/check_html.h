// skelv-check's visual report: one self-contained HTML page per recording. Styles and the
// snapshot picture are inline, the plots are SVG, and nothing needs a script or the network.
#pragma once

#include "check/check_result.h"

#include <string>

namespace skelv {

// Every number the page shares with check_result_json() is written the same way, and the
// element holding it carries data-json="<JSON pointer>" so that the two can be compared.
// `reload_s` > 0: the page of a run still going, which a browser loads again that often.
std::string check_html(const CheckResult& result, int reload_s = 0);

} // namespace skelv
