#include "CsvWriter.h"

std::string CsvWriter::Field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

void CsvWriter::AppendField(std::string& line, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += text;
        return;
    }
    line += Field(text);
}

void CsvWriter::WriteRow(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        line += Field(fields[i]);
    }
    line += '\n';
    out_ << line;
}

bool CsvWriter::Flush() {
    out_.flush();
    return out_.good();
}
