#include "execution/BreakpointList.h"

#include <algorithm>

void BreakpointList::AddBreakpoint(uint32_t line, const std::string& fileName,
                                   const std::string& blockName) {
    if (ContainsBreakpoint(line, fileName, blockName)) return;
    breakpoints_.push_back(std::make_unique<Breakpoint>(line, blockName, fileName));
}

void BreakpointList::RemoveBreakpoint(uint32_t line, const std::string&,
                                      const std::string& blockName) {
    auto it = std::find_if(breakpoints_.begin(), breakpoints_.end(),
                           [&](const auto& b) { return b->Matches(line, blockName); });
    if (it != breakpoints_.end()) breakpoints_.erase(it);
}

bool BreakpointList::ContainsBreakpoint(uint32_t line, const std::string&,
                                        const std::string& blockName) const {
    return std::any_of(breakpoints_.begin(), breakpoints_.end(),
                       [&](const auto& b) { return b->Matches(line, blockName); });
}
