#include "NumberText.h"

#include <charconv>
#include <cmath>

namespace {

template <typename Real>
void AppendShortest(std::string& text, Real value) {
    if (std::isnan(value)) {
        text += "nan";
        return;
    }
    if (std::isinf(value)) {
        text += value > 0 ? "inf" : "-inf";
        return;
    }
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec == std::errc())
        text.append(buffer, end);
    else
        text += "nan";
}

template <typename Real>
std::string ShortestText(Real value) {
    std::string text;
    AppendShortest(text, value);
    return text;
}

}  // namespace

std::string FormatReal(double value) { return ShortestText(value); }

void AppendReal(std::string& text, double value) { AppendShortest(text, value); }
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
