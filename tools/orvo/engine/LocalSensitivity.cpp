#include "LocalSensitivity.h"

#include <cmath>

std::vector<double> LocalDesign(const std::vector<double>& base, double step) {
    const std::size_t d = base.size();
    std::vector<double> values;
    values.reserve((2 * d + 1) * d);
    for (std::size_t run = 0; run < 2 * d + 1; ++run)
        for (std::size_t j = 0; j < d; ++j) {
            double factor = 1.0;
            if (run == 2 * j + 1) factor = 1.0 + step;
            if (run == 2 * j + 2) factor = 1.0 - step;
            values.push_back(base[j] * factor);
        }
    return values;
}

std::optional<double> LocalCoefficient(double y, double raised, double lowered, double step) {
    const double coefficient = (raised - lowered) / (2.0 * step * y);
    if (y == 0.0 || !std::isfinite(coefficient)) return std::nullopt;
    return coefficient;
}
