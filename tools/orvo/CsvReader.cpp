#include "CsvReader.h"

bool SplitCsvRecord(std::string_view line, std::vector<std::string>& fields) {
    fields.clear();
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            fields.push_back(std::move(field));
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    fields.push_back(std::move(field));
    return !quoted;
}
