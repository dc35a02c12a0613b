#include "ListCommand.h"

#include <algorithm>
#include <iostream>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ExitCodes.h"
#include "ModelVariables.h"
#include "SymbolText.h"

namespace {

constexpr std::size_t kColumns = 8;
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

// A text from the metadata on one line of the table: control characters
// (a line break, a terminal's escape) become blanks.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

}  // namespace

int ListVariables(const OrvoLibrary& library, const ModelMetadata& metadata, std::ostream& out) {
    // The symbol table needs no instance; 0 addresses none.
    const ModelVariables variables(library, 0);
    std::vector<Row> rows;
    rows.push_back({"#", "name", "symbol", "type", "dims", "settable", "units", "description"});
    const auto lookup = [](const std::map<std::string, std::string>& table, const std::string& name) {
        const auto it = table.find(name);
        return it == table.end() ? std::string() : OneLine(it->second);
    };
    const uint32_t count = library.OrvoGetNumberSymbols();
    for (uint32_t number = 1; number <= count; ++number) {
        const ModelVariable v = variables.At(number);
        const bool settable = WhyNotSettable(v.symbolType, v.constant).empty();
        rows.push_back({std::to_string(number), v.name, SymbolTypeName(v.symbolType),
                        DataTypeName(v.dataType), FormatDimensions(v.dims), settable ? "yes" : "",
                        lookup(metadata.units, v.name), lookup(metadata.descriptions, v.name)});
    }
    std::array<std::size_t, kColumns> width{};
    for (const Row& row : rows)
        for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], row[c].size());
    for (const Row& row : rows) PrintRow(out, row, width);
    out.flush();
    return out.good() ? 0 : 1;
}

int ListCommand(int argc, char** argv) {
    CLI::App app{"Prints the model's symbol table: one row per variable with its number, name,\n"
                 "symbol type, data type, dimensions, whether run --set accepts it, and the\n"
                 "units and description the model's metadata gives.",
                 "orvo list"};
    std::string libraryPath;
    AddLibrary(app, libraryPath);
    app.footer("\nExit status: 0 success, 1 the library could not be loaded, 2 bad command line.\n");
    if (const int parsed = ParseCommand(app, "list", argc, argv); parsed >= 0) return parsed;
    OrvoLibrary library;
    ModelMetadata metadata;
    if (!LoadModel(libraryPath, library, metadata)) return kExitRunFailed;
    library.OrvoInitialize();
    const int status = ListVariables(library, metadata, std::cout);
    library.OrvoFinalize();
    if (status != 0) Complain("writing standard output failed");
    return status;
}
