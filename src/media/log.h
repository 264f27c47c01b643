// The programs' one GStreamer debug category, and the bridge that carries the pure modules'
// log lines into it.
#pragma once

#include <gst/gstinfo.h>

GST_DEBUG_CATEGORY_EXTERN(skelv_analyzer_debug);

// Creates the category "skelv_analyzer" unless it already exists and connects the pure
// modules' log hook to it. Call after gst_init().
void skelv_log_init();

// True when the category exists and lets messages of `level` through.
inline bool skelv_log_enabled(GstDebugLevel level)
{
    return skelv_analyzer_debug != nullptr && gst_debug_category_get_threshold(skelv_analyzer_debug) >= level;
}

// A clock time split as GStreamer's time format does; an unset time reads 99:99:99.999999999.
struct SkelvClockParts {
    guint hours, minutes, seconds, nanoseconds;
};
inline SkelvClockParts skelv_split_time(guint64 t)
{
    if (t == G_MAXUINT64)
        return {99, 99, 99, 999999999};
    constexpr guint64 second = 1000000000;
    return {guint(t / (second * 3600)), guint((t / (second * 60)) % 60), guint((t / second) % 60),
            guint(t % second)};
}
