// The analyser's one debug category, for every module that logs.
#pragma once

#include <gst/gstinfo.h>

GST_DEBUG_CATEGORY_EXTERN(skelv_analyzer_debug);

// Creates the category "skelv_analyzer" unless it already exists. Call after gst_init().
void skelv_log_init();

// True when the category exists and lets messages of `level` through; guards formatting
// on hot paths and keeps modules usable before the category is made (unit tests).
inline bool skelv_log_enabled(GstDebugLevel level)
{
    return skelv_analyzer_debug != nullptr &&
           gst_debug_category_get_threshold(skelv_analyzer_debug) >= level;
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

#define SKELV_LOG(level, object, ...)                                                    \
    do {                                                                                 \
        if (skelv_log_enabled(level))                                                    \
            GST_CAT_LEVEL_LOG(skelv_analyzer_debug, level, object, __VA_ARGS__);         \
    } while (0)
