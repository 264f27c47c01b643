#include "log.h"

GST_DEBUG_CATEGORY(skelv_analyzer_debug);

void skelv_log_init()
{
    if (skelv_analyzer_debug == nullptr)
        GST_DEBUG_CATEGORY_INIT(skelv_analyzer_debug, "skelv_analyzer", 0, "Quarnel Skelv Video Analyzer");
}
