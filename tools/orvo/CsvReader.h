#pragma once

// Reads the records CsvWriter writes: one per line, fields quoted RFC 4180
// style where needed (no line breaks inside fields).

#include <string>
#include <string_view>
#include <vector>

// False when a quoted field is not closed.
bool SplitCsvRecord(std::string_view line, std::vector<std::string>& fields);
