#include "execution/CriticalSectionFactory.h"

#include "execution/CriticalSectionStd.h"

std::unique_ptr<CriticalSection> CriticalSectionFactory::newCriticalSection() {
    return std::make_unique<CriticalSectionStd>();
}
