#include "CsvWriter.h"

std::string CsvWriter::Field(std::string_view text) {
    std::string field;
    AppendField(field, text);
    return field;
}

void CsvWriter::AppendField(std::string& line, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += text;
        return;
    }
    line += '"';
    for (const char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

void CsvWriter::WriteRow(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        AppendField(line, fields[i]);
    }
    line += '\n';
    out_ << line;
}

bool CsvWriter::Flush() {
    out_.flush();
    return out_.good();
}
