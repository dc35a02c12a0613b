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
    WriteHeader(out, outputs.size());
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
        const Panel frame(p, t0, t1, lo, hi);
        const std::string unit = outputs[p] < units.outputs.size() ? units.outputs[outputs[p]] : std::string();
        const std::string label = Label(table.outputs[outputs[p]], unit);
        frame.WriteFrame(out, label + ": median and 90 % band", label, Label("t", units.time));
        frame.WriteBand(out, table.times, band.low, band.median, band.high);
    }
    out << "</svg>\n";
}
