#pragma once

#include <cstdint>
#include <string>

// A debugger breakpoint: a source line in a model block. The file name is
// kept for the host's benefit but never compared.
class Breakpoint {
public:
    Breakpoint() = default;
    Breakpoint(uint32_t line, std::string blockName, std::string fileName)
        : lineNumber(line), blockName(std::move(blockName)), fileName(std::move(fileName)) {}
    virtual ~Breakpoint() = default;

    bool Matches(uint32_t line, const std::string& block) const {
        return lineNumber == line && blockName == block;
    }

    uint32_t lineNumber = 0;
    std::string blockName;
    std::string fileName;
};
