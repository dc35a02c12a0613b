#pragma once

#include <cstdint>

// Codes with which the runtime calls the model's section function.
inline constexpr uint32_t kDestroySection = 1;
inline constexpr uint32_t kCommunicationPointSection = 2;
// A host wrote a variable: what the model derives from constants alone may be stale.
inline constexpr uint32_t kConstantsChangedSection = 3;
inline constexpr uint32_t kDefaultDerivativeSection = 500;
inline constexpr uint32_t kLastDerivativeSection = 999;
