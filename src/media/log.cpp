#include "media/log.h"

#include "core/log.h"

GST_DEBUG_CATEGORY(skelv_analyzer_debug);

namespace {

bool category_enabled(skelv::LogLevel level)
{
    return skelv_log_enabled(static_cast<GstDebugLevel>(level));
}

void category_write(skelv::LogLevel level, const char* file, const char* function, int line, const char* message)
{
    gst_debug_log(skelv_analyzer_debug, static_cast<GstDebugLevel>(level), file, function, line, nullptr, "%s",
                  message);
}

} // namespace

void skelv_log_init()
{
    if (skelv_analyzer_debug == nullptr)
        GST_DEBUG_CATEGORY_INIT(skelv_analyzer_debug, "skelv_analyzer", 0, "Quarnel Skelv Video Analyzer");
    skelv::log_connect({category_enabled, category_write});
}
