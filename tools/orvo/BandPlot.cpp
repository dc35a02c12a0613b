#include "BandPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Statistics.h"
#include "SvgPlot.h"

using namespace svg;

namespace {

struct Band {
    std::vector<double> low, median, high;
};

// The 5th, 50th and 95th percentiles of the summary.
Band BandOf(const PopulationColumns& columns, const std::vector<PopulationSummary>& summaries, std::size_t output) {
    static_assert(kSummaryProbabilities[1] == 0.05 && kSummaryProbabilities[3] == 0.5 &&
                  kSummaryProbabilities[5] == 0.95);
    Band band;
    for (std::size_t i = 0; i < columns.times.size(); ++i) {
        const PopulationSummary& s = summaries[output * columns.times.size() + i];
        band.low.push_back(s.percentiles[1]);
        band.median.push_back(s.percentiles[3]);
        band.high.push_back(s.percentiles[5]);
    }
    return band;
}

}  // namespace

void WriteBandPlot(const PopulationColumns& table, const std::vector<PopulationSummary>& summaries,
                   const std::vector<std::size_t>& outputs, const BandPlotUnits& units, std::ostream& out) {
    const double height = kPanelHeight * static_cast<double>(outputs.size());
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const double t0 = table.times.empty() ? 0.0 : table.times.front();
    const double t1 = table.times.empty() ? 1.0 : std::max(table.times.back(), t0 + 1e-12);
    for (std::size_t p = 0; p < outputs.size(); ++p) {
        const Band band = BandOf(table, summaries, outputs[p]);
        double lo = INFINITY, hi = -INFINITY;
        for (std::size_t i = 0; i < band.low.size(); ++i)
            if (std::isfinite(band.low[i])) {
                lo = std::min(lo, band.low[i]);
                hi = std::max(hi, band.high[i]);
            }
        if (!std::isfinite(lo)) lo = 0.0, hi = 1.0;
        if (lo > 0.0 && lo < 0.5 * hi) lo = 0.0;  // amounts and concentrations: from zero
        if (hi <= lo) hi = lo + (lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1);
        const double top = kPanelHeight * static_cast<double>(p) + kTop;
        const double plotHeight = kPanelHeight - kTop - kBottom, plotWidth = kWidth - kLeft - kRight;
        const auto x = [&](double t) { return Coordinate(kLeft + (t - t0) / (t1 - t0) * plotWidth); };
        const auto y = [&](double v) { return Coordinate(top + plotHeight - (v - lo) / (hi - lo) * plotHeight); };

        const std::string unit = outputs[p] < units.outputs.size() ? units.outputs[outputs[p]] : std::string();
        out << "<text x=\"" << kLeft << "\" y=\"" << top - 10 << "\" font-weight=\"bold\">"
            << Label(table.outputs[outputs[p]], unit) << ": median and 90 % band</text>\n";
        out << "<text transform=\"translate(16," << Coordinate(top + plotHeight / 2)
            << ") rotate(-90)\" text-anchor=\"middle\">" << Label(table.outputs[outputs[p]], unit) << "</text>\n";
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
            << "\" text-anchor=\"middle\">" << Label("t", units.time) << "</text>\n";
        std::string polygon, line;
        for (std::size_t i = 0; i < table.times.size(); ++i)
            if (std::isfinite(band.high[i])) polygon += x(table.times[i]) + "," + y(band.high[i]) + " ";
        for (std::size_t i = table.times.size(); i-- > 0;)
            if (std::isfinite(band.low[i])) polygon += x(table.times[i]) + "," + y(band.low[i]) + " ";
        for (std::size_t i = 0; i < table.times.size(); ++i)
            if (std::isfinite(band.median[i])) line += x(table.times[i]) + "," + y(band.median[i]) + " ";
        out << "<polygon points=\"" << polygon << "\" fill=\"#9ecae1\" fill-opacity=\"0.7\" stroke=\"none\"/>\n";
        out << "<polyline points=\"" << line << "\" fill=\"none\" stroke=\"#08519c\" stroke-width=\"2\"/>\n";
    }
    out << "</svg>\n";
}
