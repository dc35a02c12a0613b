#include "NumberText.h"

#include <charconv>
#include <cmath>

namespace {

template <typename Real>
std::string ShortestText(Real value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
}

}  // namespace

std::string FormatReal(double value) { return ShortestText(value); }

void AppendReal(std::string& text, double value) {
    if (!std::isfinite(value)) {
        text += ShortestText(value);
        return;
    }
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    text.append(buffer, ec == std::errc() ? end : buffer);
}
std::string FormatReal(float value) { return ShortestText(value); }

bool ReadReal(std::string_view text, double& value) {
    if (text == "nan") {
        value = NAN;
        return true;
    }
    if (text == "inf" || text == "-inf") {
        value = text[0] == '-' ? -INFINITY : INFINITY;
        return true;
    }
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value, std::chars_format::general);
    return ec == std::errc() && end == last && !text.empty();
}
