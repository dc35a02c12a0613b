#pragma once

#include <cstdarg>
#include <string>

// Appends printf-style text to `out`: formatted once on the stack, and again
// into the string only when longer than that buffer. An invalid format
// appends nothing.
void AppendFormattedV(std::string& out, const char* format, va_list args);
[[gnu::format(printf, 2, 3)]] void AppendFormatted(std::string& out, const char* format, ...);
