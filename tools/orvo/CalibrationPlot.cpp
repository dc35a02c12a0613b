#include "CalibrationPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "SvgPlot.h"

using namespace svg;

void WritePredictionPlot(const std::vector<PredictionPanel>& panels, const std::string& timeUnit, std::ostream& out) {
    WriteHeader(out, panels.size());
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
        const Panel frame(p, t0, t1, lo, hi);
        const std::string variable = panel.title.substr(panel.title.rfind(' ') + 1);
        frame.WriteFrame(out, Escaped(panel.title) + ": data, posterior median and 95 % band",
                         Label(variable, panel.unit), Label("t", timeUnit));
        frame.WriteBand(out, panel.times, panel.low, panel.median, panel.high);
        for (std::size_t i = 0; i < panel.dataTimes.size(); ++i)
            if (std::isfinite(panel.dataValues[i]))
                out << "<circle cx=\"" << frame.X(panel.dataTimes[i]) << "\" cy=\"" << frame.Y(panel.dataValues[i])
                    << "\" r=\"3\" fill=\"#d95f02\" stroke=\"black\" stroke-width=\"0.5\"/>\n";
    }
    out << "</svg>\n";
}
