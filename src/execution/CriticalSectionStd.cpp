#include "execution/CriticalSectionStd.h"

void CriticalSectionStd::Lock() { mutex_.lock(); }

void CriticalSectionStd::Unlock() { mutex_.unlock(); }
