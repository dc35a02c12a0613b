#pragma once

// What the SVG plots (population bands, calibration predictions) share: the
// panel layout and the text of numbers, coordinates and labels.

#include <cstdio>
#include <string>

namespace svg {

constexpr double kWidth = 760, kPanelHeight = 240;
constexpr double kLeft = 86, kRight = 20, kTop = 34, kBottom = 40;

// An axis tick's value.
inline std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", v);
    return text;
}

inline std::string Coordinate(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

// Text escaped for XML.
inline std::string Escaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '&') escaped += "&amp;";
        else if (c == '<') escaped += "&lt;";
        else if (c == '>') escaped += "&gt;";
        else escaped += c;
    }
    return escaped;
}

// "t (h)", or "t" when the unit is unknown; escaped.
inline std::string Label(const std::string& name, const std::string& unit) {
    return Escaped(unit.empty() ? name : name + " (" + unit + ")");
}

}  // namespace svg
