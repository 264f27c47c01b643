// Log lines of the pure modules. They know nothing of where lines go: the program connects a
// hook (the media layer routes them to its debug category); without one nothing is logged.
#pragma once

namespace skelv {

// Same numbers as GStreamer's debug levels, so that the bridge passes them through.
enum class LogLevel : int { Warning = 2, Info = 4, Debug = 5 };

struct LogHook {
    bool (*enabled)(LogLevel level);
    void (*write)(LogLevel level, const char* file, const char* function, int line, const char* message);
};

// Replaces the hook; `nullptr` members are not allowed.
void log_connect(const LogHook& hook);
void log_disconnect();

// True when a hook is connected and lets `level` through; guards formatting on hot paths.
bool log_enabled(LogLevel level);
void log_write(LogLevel level, const char* file, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

} // namespace skelv

#define SKELV_LOG(level, ...)                                                                    \
    do {                                                                                         \
        if (::skelv::log_enabled(level))                                                         \
            ::skelv::log_write(level, __FILE__, __FUNCTION__, __LINE__, __VA_ARGS__);            \
    } while (0)
