#pragma once

#include <cstdint>

// Codes with which the runtime calls the model's section function.
inline constexpr uint32_t kDestroySection = 1;
inline constexpr uint32_t kCommunicationPointSection = 2;
inline constexpr uint32_t kDefaultDerivativeSection = 500;
inline constexpr uint32_t kLastDerivativeSection = 999;
