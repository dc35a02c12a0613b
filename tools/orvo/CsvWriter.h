#pragma once

// Comma-separated output, one record per line; fields that need it are
// quoted (RFC 4180 style).

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

class CsvWriter {
public:
    explicit CsvWriter(std::ostream& out) : out_(out) {}

    void WriteRow(const std::vector<std::string>& fields);
    // False once a write has failed.
    bool Good() const { return out_.good(); }
    bool Flush();

    static std::string Field(std::string_view text);
    // Field(text) appended to `line`.
    static void AppendField(std::string& line, std::string_view text);

private:
    std::ostream& out_;
};
