#pragma once

#include <cstdint>

// A model's own Jacobian of its ODE derivatives by its ODE states, both in
// storage order, as compressed sparse columns: column j holds the rows
// rowIndices[columnStarts[j] .. columnStarts[j + 1]), 0-based and ascending.
// `evaluate` evaluates the derivative section at the time, states and
// constants in the model's storage (the derivatives are left at that point)
// and writes the nonZeros partial derivatives in pattern order.
using AnalyticJacobianFunction = void (*)(uint32_t instance, double* values);

struct AnalyticJacobian {
    uint32_t numStates = 0;
    uint32_t nonZeros = 0;
    const int32_t* columnStarts = nullptr;
    const int32_t* rowIndices = nullptr;
    AnalyticJacobianFunction evaluate = nullptr;

    // Column j of `values` (pattern order) into the dense `column`; its
    // entries outside the pattern are left as they are.
    void ScatterColumn(uint32_t j, const double* values, double* column) const {
        for (int32_t k = columnStarts[j]; k < columnStarts[j + 1]; ++k) column[rowIndices[k]] = values[k];
    }

    // A well-formed pattern of n columns with its function.
    bool Describes(uint32_t n) const {
        if (evaluate == nullptr || columnStarts == nullptr || n == 0 || numStates != n) return false;
        if (nonZeros > 0 && rowIndices == nullptr) return false;
        if (columnStarts[0] != 0 || static_cast<uint32_t>(columnStarts[n]) != nonZeros) return false;
        for (uint32_t j = 0; j < n; ++j) {
            const int32_t begin = columnStarts[j], end = columnStarts[j + 1];
            if (end < begin) return false;
            for (int32_t k = begin; k < end; ++k) {
                const int32_t row = rowIndices[k];
                if (row < 0 || static_cast<uint32_t>(row) >= n || (k > begin && row <= rowIndices[k - 1]))
                    return false;
            }
        }
        return true;
    }
};
