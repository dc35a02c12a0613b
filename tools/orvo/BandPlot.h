#pragma once

// `--plot FILE.svg`: one panel per chosen output with the population median
// over time and the band from the 5th to the 95th percentile (90 % of the
// runs with status ok).

#include <ostream>
#include <string>
#include <vector>

#include "RunRecord.h"
#include "Statistics.h"

// The axis labels' units, from the model's metadata: empty when unknown.
struct BandPlotUnits {
    std::string time;
    std::vector<std::string> outputs;  // parallel to columns.outputs
};

// `outputs` are indices into columns.outputs; `summaries` are the summary
// table's (output-major), whose 5th, 50th and 95th percentiles draw the band.
void WriteBandPlot(const PopulationColumns& columns, const std::vector<PopulationSummary>& summaries,
                   const std::vector<std::size_t>& outputs, const BandPlotUnits& units, std::ostream& out);
