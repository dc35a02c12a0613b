#include "ListCommand.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "ModelVariables.h"
#include "SymbolText.h"

namespace {

constexpr std::size_t kColumns = 6;
using Row = std::array<std::string, kColumns>;

void PrintRow(std::ostream& out, const Row& row, const std::array<std::size_t, kColumns>& width) {
    std::string line;
    for (std::size_t c = 0; c < kColumns; ++c) {
        const std::size_t pad = width[c] - row[c].size();
        if (c == 0) line.append(pad, ' ');  // numbers right-aligned
        line += row[c];
        if (c + 1 < kColumns) line.append((c == 0 ? 0 : pad) + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << '\n';
}

}  // namespace

int ListCommand(const OrvoLibrary& library, std::ostream& out) {
    // The symbol table needs no instance; 0 addresses none.
    const ModelVariables variables(library, 0);
    std::vector<Row> rows;
    rows.push_back({"#", "name", "symbol", "type", "dims", "settable"});
    const uint32_t count = library.OrvoGetNumberSymbols();
    for (uint32_t number = 1; number <= count; ++number) {
        const ModelVariable v = variables.At(number);
        const bool settable = WhyNotSettable(v.symbolType, v.constant).empty();
        rows.push_back({std::to_string(number), v.name, SymbolTypeName(v.symbolType),
                        DataTypeName(v.dataType), FormatDimensions(v.dims), settable ? "yes" : ""});
    }
    std::array<std::size_t, kColumns> width{};
    for (const Row& row : rows)
        for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], row[c].size());
    for (const Row& row : rows) PrintRow(out, row, width);
    out.flush();
    return out.good() ? 0 : 1;
}
