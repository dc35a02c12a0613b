#pragma once

// How the host names and judges symbol-table entries: readable type names,
// shapes, and which variables a user may set before a run.

#include <cstdint>
#include <string>

const char* DataTypeName(uint32_t dataType);
const char* SymbolTypeName(uint32_t symbolType);

// "scalar", "16", "3x4", ... from the six extents.
std::string FormatDimensions(const uint32_t* dims);

// Number of elements: the product of the leading non-zero extents (1 for a scalar).
uint32_t ElementCount(const uint32_t* dims);

// The six 1-based indices of element `offset` in column-major order (first
// index fastest); 0 for unused dimensions, all 0 for a scalar.
void ElementIndices(const uint32_t* dims, uint32_t offset, uint32_t* indices);

// Empty when a user may set the variable before a run; otherwise why not.
// `constant` is the variable's attribute flag 2.
std::string WhyNotSettable(uint32_t symbolType, bool constant);
