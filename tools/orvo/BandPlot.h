#pragma once

// `--plot FILE.svg`: one panel per chosen output with the population median
// over time and the band from the 5th to the 95th percentile (90 % of the
// runs with status ok).

#include <ostream>
#include <string>
#include <vector>

#include "RunRecord.h"

// The axis labels' units, from the model's metadata: empty when unknown.
struct BandPlotUnits {
    std::string time;
    std::vector<std::string> outputs;  // parallel to table.outputs
};

// `outputs` are indices into table.outputs.
void WriteBandPlot(const PopulationTable& table, const std::vector<std::size_t>& outputs, const BandPlotUnits& units,
                   std::ostream& out);

