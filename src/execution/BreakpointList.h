#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "execution/Breakpoint.h"

// Ordered set of breakpoints; two are the same when line and block name match
// exactly (case-sensitive).
class BreakpointList {
public:
    virtual ~BreakpointList() = default;

    void AddBreakpoint(uint32_t line, const std::string& fileName, const std::string& blockName);
    void RemoveBreakpoint(uint32_t line, const std::string& fileName, const std::string& blockName);
    bool ContainsBreakpoint(uint32_t line, const std::string& fileName,
                            const std::string& blockName) const;
    void ClearAllBreakpoints() { breakpoints_.clear(); }
    std::size_t Count() const { return breakpoints_.size(); }

private:
    std::list<std::unique_ptr<Breakpoint>> breakpoints_;
};
