#pragma once

#include <memory>

#include "execution/CriticalSection.h"

// Creates the platform's critical section; the caller owns it.
class CriticalSectionFactory {
public:
    static std::unique_ptr<CriticalSection> newCriticalSection();
};
