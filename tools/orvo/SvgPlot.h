#pragma once

// What the SVG plots (population bands, calibration predictions) share: the
// document, the panel layout, its frame and band, and the text of numbers,
// coordinates and labels.

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

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

// The document's opening for `panels` panels one below the other.
inline void WriteHeader(std::ostream& out, std::size_t panels) {
    const double height = kPanelHeight * static_cast<double>(panels);
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
}

// Panel `index` over the times [t0, t1] (t1 > t0) and the values from lo to
// hi as found: without finite values 0 to 1, a positive range from zero when
// lo is below half of hi, and an empty one widened.
class Panel {
public:
    Panel(std::size_t index, double t0, double t1, double lo, double hi)
        : top_(kPanelHeight * static_cast<double>(index) + kTop), t0_(t0), t1_(t1), lo_(lo), hi_(hi) {
        if (!std::isfinite(lo_)) lo_ = 0.0, hi_ = 1.0;
        if (lo_ > 0.0 && lo_ < 0.5 * hi_) lo_ = 0.0;  // amounts and concentrations: from zero
        if (hi_ <= lo_) hi_ = lo_ + (lo_ == 0.0 ? 1.0 : std::fabs(lo_) * 0.1);
    }

    std::string X(double t) const { return Coordinate(kLeft + (t - t0_) / (t1_ - t0_) * kPlotWidth); }
    std::string Y(double v) const { return Coordinate(top_ + kPlotHeight - (v - lo_) / (hi_ - lo_) * kPlotHeight); }

    // The title (escaped by the caller), the value axis label, the frame,
    // five ticks on each axis and the time axis label.
    void WriteFrame(std::ostream& out, const std::string& title, const std::string& valueLabel,
                    const std::string& timeLabel) const {
        out << "<text x=\"" << kLeft << "\" y=\"" << top_ - 10 << "\" font-weight=\"bold\">" << title << "</text>\n";
        out << "<text transform=\"translate(16," << Coordinate(top_ + kPlotHeight / 2)
            << ") rotate(-90)\" text-anchor=\"middle\">" << valueLabel << "</text>\n";
        out << "<rect x=\"" << kLeft << "\" y=\"" << top_ << "\" width=\"" << kPlotWidth << "\" height=\""
            << kPlotHeight << "\" fill=\"none\" stroke=\"#888\"/>\n";
        for (int k = 0; k <= 4; ++k) {
            const double v = lo_ + (hi_ - lo_) * k / 4.0, t = t0_ + (t1_ - t0_) * k / 4.0;
            out << "<text x=\"" << kLeft - 6 << "\" y=\"" << Y(v) << "\" text-anchor=\"end\" dy=\"4\">" << Number(v)
                << "</text>\n";
            out << "<text x=\"" << X(t) << "\" y=\"" << top_ + kPlotHeight + 16 << "\" text-anchor=\"middle\">"
                << Number(t) << "</text>\n";
        }
        out << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << top_ + kPlotHeight + 32
            << "\" text-anchor=\"middle\">" << timeLabel << "</text>\n";
    }

    // The band from low to high and the median line over `times`, leaving
    // out the values that are not finite.
    void WriteBand(std::ostream& out, const std::vector<double>& times, const std::vector<double>& low,
                   const std::vector<double>& median, const std::vector<double>& high) const {
        std::string polygon, line;
        for (std::size_t i = 0; i < times.size(); ++i)
            if (std::isfinite(high[i])) polygon += X(times[i]) + "," + Y(high[i]) + " ";
        for (std::size_t i = times.size(); i-- > 0;)
            if (std::isfinite(low[i])) polygon += X(times[i]) + "," + Y(low[i]) + " ";
        for (std::size_t i = 0; i < times.size(); ++i)
            if (std::isfinite(median[i])) line += X(times[i]) + "," + Y(median[i]) + " ";
        out << "<polygon points=\"" << polygon << "\" fill=\"#9ecae1\" fill-opacity=\"0.7\" stroke=\"none\"/>\n";
        out << "<polyline points=\"" << line << "\" fill=\"none\" stroke=\"#08519c\" stroke-width=\"2\"/>\n";
    }

private:
    static constexpr double kPlotHeight = kPanelHeight - kTop - kBottom, kPlotWidth = kWidth - kLeft - kRight;
    double top_, t0_, t1_, lo_, hi_;
};

}  // namespace svg
