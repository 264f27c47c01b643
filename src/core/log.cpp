#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace skelv {

namespace {

LogHook g_hook{nullptr, nullptr};

} // namespace

void log_connect(const LogHook& hook)
{
    g_hook = hook;
}

void log_disconnect()
{
    g_hook = LogHook{nullptr, nullptr};
}

bool log_enabled(LogLevel level)
{
    return g_hook.enabled != nullptr && g_hook.enabled(level);
}

void log_write(LogLevel level, const char* file, const char* function, int line, const char* format, ...)
{
    if (g_hook.write == nullptr)
        return;
    va_list args;
    va_start(args, format);
    char text[512];
    const int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < int(sizeof text)) {
        g_hook.write(level, file, function, line, text);
        return;
    }
    std::string long_text(size_t(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(long_text.data(), long_text.size(), format, args);
    va_end(args);
    g_hook.write(level, file, function, line, long_text.c_str());
}

} // namespace skelv
