#include "outputs/printf_text.h"

#include <cstdarg>
#include <cstdio>

namespace skelv {

std::string printf_text(const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

} // namespace skelv
