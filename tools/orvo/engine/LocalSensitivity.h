#pragma once

// Local sensitivity by central differences: the design and the estimator.

#include <optional>
#include <vector>

// Runs of 2 d + 1 rows for the d parameters' base values: run 0 at the base
// values, runs 2j+1 and 2j+2 with parameter j raised and lowered by the
// relative `step`, the others at their base values. Row-major.
std::vector<double> LocalDesign(const std::vector<double>& base, double step);

// The normalised coefficient d ln y / d ln p = (y+ - y-) / (2 step y) from
// the output at the base values and with the parameter raised and lowered;
// none when y is 0 or the quotient is not finite.
std::optional<double> LocalCoefficient(double y, double raised, double lowered, double step);
