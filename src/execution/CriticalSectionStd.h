#pragma once

#include <mutex>

#include "execution/CriticalSection.h"

// The critical section of this platform: a recursive mutex. Only
// CriticalSectionFactory names this class.
class CriticalSectionStd final : public CriticalSection {
public:
    CriticalSectionStd() = default;
    ~CriticalSectionStd() override = default;

    void Lock() override;
    void Unlock() override;

private:
    std::recursive_mutex mutex_;
};
