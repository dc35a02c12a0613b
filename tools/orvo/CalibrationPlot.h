#pragma once

// The posterior predictive plot of `orvo calibrate`: per experiment and
// observed variable a panel with the data points and the posterior median
// and 95 % band of the model over time.

#include <ostream>
#include <string>
#include <vector>

struct PredictionPanel {
    std::string title;  // "EXPERIMENT: VARIABLE"
    std::string unit;   // of the variable, empty when unknown
    std::vector<double> times, low, median, high;  // the band over a time grid
    std::vector<double> dataTimes, dataValues;
};

void WritePredictionPlot(const std::vector<PredictionPanel>& panels, const std::string& timeUnit, std::ostream& out);
