#include "CalibrationPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "SvgPlot.h"

using namespace svg;

void WritePredictionPlot(const std::vector<PredictionPanel>& panels, const std::string& timeUnit, std::ostream& out) {
    const double height = kPanelHeight * static_cast<double>(panels.size());
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (std::size_t p = 0; p < panels.size(); ++p) {
        const PredictionPanel& panel = panels[p];
        double t0 = INFINITY, t1 = -INFINITY, lo = INFINITY, hi = -INFINITY;
        const auto extend = [](double v, double& a, double& b) {
            if (std::isfinite(v)) a = std::min(a, v), b = std::max(b, v);
        };
        for (double t : panel.times) extend(t, t0, t1);
        for (double t : panel.dataTimes) extend(t, t0, t1);
        for (double v : panel.low) extend(v, lo, hi);
        for (double v : panel.high) extend(v, lo, hi);
        for (double v : panel.dataValues) extend(v, lo, hi);
        if (!std::isfinite(t0)) t0 = 0.0, t1 = 1.0;
        if (t1 <= t0) t1 = t0 + 1.0;
        if (!std::isfinite(lo)) lo = 0.0, hi = 1.0;
        if (lo > 0.0 && lo < 0.5 * hi) lo = 0.0;  // amounts and concentrations: from zero
        if (hi <= lo) hi = lo + (lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1);
        const double top = kPanelHeight * static_cast<double>(p) + kTop;
        const double plotHeight = kPanelHeight - kTop - kBottom, plotWidth = kWidth - kLeft - kRight;
        const auto x = [&](double t) { return Coordinate(kLeft + (t - t0) / (t1 - t0) * plotWidth); };
        const auto y = [&](double v) { return Coordinate(top + plotHeight - (v - lo) / (hi - lo) * plotHeight); };

        out << "<text x=\"" << kLeft << "\" y=\"" << top - 10 << "\" font-weight=\"bold\">" << Escaped(panel.title)
            << ": data, posterior median and 95 % band</text>\n";
        const std::string variable = panel.title.substr(panel.title.rfind(' ') + 1);
        out << "<text transform=\"translate(16," << Coordinate(top + plotHeight / 2)
            << ") rotate(-90)\" text-anchor=\"middle\">" << Label(variable, panel.unit) << "</text>\n";
        out << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << plotWidth << "\" height=\"" << plotHeight
            << "\" fill=\"none\" stroke=\"#888\"/>\n";
        for (int k = 0; k <= 4; ++k) {
            const double v = lo + (hi - lo) * k / 4.0, t = t0 + (t1 - t0) * k / 4.0;
            out << "<text x=\"" << kLeft - 6 << "\" y=\"" << y(v) << "\" text-anchor=\"end\" dy=\"4\">" << Number(v)
                << "</text>\n";
            out << "<text x=\"" << x(t) << "\" y=\"" << top + plotHeight + 16 << "\" text-anchor=\"middle\">"
                << Number(t) << "</text>\n";
        }
        out << "<text x=\"" << kLeft + plotWidth / 2 << "\" y=\"" << top + plotHeight + 32
            << "\" text-anchor=\"middle\">" << Label("t", timeUnit) << "</text>\n";
        std::string polygon, line;
        for (std::size_t i = 0; i < panel.times.size(); ++i)
            if (std::isfinite(panel.high[i])) polygon += x(panel.times[i]) + "," + y(panel.high[i]) + " ";
        for (std::size_t i = panel.times.size(); i-- > 0;)
            if (std::isfinite(panel.low[i])) polygon += x(panel.times[i]) + "," + y(panel.low[i]) + " ";
        for (std::size_t i = 0; i < panel.times.size(); ++i)
            if (std::isfinite(panel.median[i])) line += x(panel.times[i]) + "," + y(panel.median[i]) + " ";
        out << "<polygon points=\"" << polygon << "\" fill=\"#9ecae1\" fill-opacity=\"0.7\" stroke=\"none\"/>\n";
        out << "<polyline points=\"" << line << "\" fill=\"none\" stroke=\"#08519c\" stroke-width=\"2\"/>\n";
        for (std::size_t i = 0; i < panel.dataTimes.size(); ++i)
            if (std::isfinite(panel.dataValues[i]))
                out << "<circle cx=\"" << x(panel.dataTimes[i]) << "\" cy=\"" << y(panel.dataValues[i])
                    << "\" r=\"3\" fill=\"#d95f02\" stroke=\"black\" stroke-width=\"0.5\"/>\n";
    }
    out << "</svg>\n";
}
