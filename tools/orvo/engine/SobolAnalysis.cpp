#include "SobolAnalysis.h"

#include <algorithm>
#include <cmath>

#include "NumberText.h"
#include "PopulationEngine.h"

SobolAnalysis AnalyseSobol(const PopulationTable& table, std::size_t baseRuns, std::size_t bootstrap, uint64_t seed) {
    const SaltelliLayout layout{baseRuns, table.inputs.size()};
    if (layout.Runs() != table.records.size())
        throw PopulationError(PopulationError::Kind::Failure,
                              "the runs do not form a Sobol design of " + std::to_string(baseRuns) + " base rows");
    SobolAnalysis analysis;
    analysis.results.resize(table.outputs.size());
    analysis.usable.resize(table.outputs.size());
    const std::size_t minimum = std::min<std::size_t>(kMinSobolRows, baseRuns);
    std::vector<double> y(layout.Runs());
    for (std::size_t o = 0; o < table.outputs.size(); ++o)
        for (const std::size_t at : table.atIndices) {
            for (std::size_t run = 0; run < y.size(); ++run) {
                const RunRecord& r = table.records[run];
                y[run] = r.status == RunStatus::Ok ? table.Value(r, o, at) : NAN;
            }
            analysis.results[o].push_back(EstimateSobol(layout, y, bootstrap, seed));
            const SobolResult& result = analysis.results[o].back();
            analysis.usable[o].push_back(result.rowsUsed >= minimum);
            const std::string what = table.outputs[o] + " at t = " + FormatReal(table.times[at]);
            if (result.rowsUsed < minimum) {
                analysis.notes.push_back("warning: " + what + ": only " + std::to_string(result.rowsUsed) + " of " +
                                         std::to_string(baseRuns) +
                                         " base rows usable (failed runs): its indices are left empty");
                continue;
            }
            if (result.constantOutput) analysis.notes.push_back("warning: " + what + " does not vary: its indices are 0");
            if (result.rowsUsed < baseRuns)
                analysis.notes.push_back(what + ": " + std::to_string(baseRuns - result.rowsUsed) + " of " +
                                         std::to_string(baseRuns) + " base rows left out (failed runs)");
        }
    return analysis;
}
