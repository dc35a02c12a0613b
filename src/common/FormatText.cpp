#include "common/FormatText.h"

#include <cstdio>

void AppendFormattedV(std::string& out, const char* format, va_list args) {
    if (!format) return;
    char text[512];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof text) {
        out.append(text, static_cast<std::size_t>(length));
    } else if (length >= 0) {
        const std::size_t start = out.size();
        out.resize(start + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(out.data() + start, static_cast<std::size_t>(length) + 1, format, again);
        out.pop_back();
    }
    va_end(again);
}

void AppendFormatted(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormattedV(out, format, args);
    va_end(args);
}
