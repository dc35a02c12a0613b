#include "ValueParser.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <strings.h>
#include <unordered_map>

namespace {

// A leading '+' is allowed once ("+5"), but not before another sign.
std::string_view StripPlus(std::string_view text, bool& valid) {
    valid = !text.empty();
    if (valid && text.front() == '+') {
        text.remove_prefix(1);
        valid = !text.empty() && text.front() != '-' && text.front() != '+';
    }
    return text;
}

bool ParseInteger(std::string_view text, int64_t low, int64_t high, const char* typeName,
                  int32_t& out, std::string& error) {
    bool valid = false;
    const std::string_view digits = StripPlus(text, valid);
    int64_t value = 0;
    const char* last = digits.data() + digits.size();
    const auto [end, ec] = std::from_chars(digits.data(), last, value);
    if (!valid || ec == std::errc::invalid_argument || end != last) {
        error = std::string("expected an integer (") + typeName + ")";
        return false;
    }
    if (ec == std::errc::result_out_of_range || value < low || value > high) {
        error = std::string("integer out of range for ") + typeName + " (" + std::to_string(low) +
                ".." + std::to_string(high) + ")";
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool ParseReal(std::string_view text, bool single, double& out, std::string& error) {
    const char* typeName = single ? "float" : "double";
    bool valid = false;
    const std::string_view digits = StripPlus(text, valid);
    double value = 0.0;
    const char* last = digits.data() + digits.size();
    const auto [end, ec] = std::from_chars(digits.data(), last, value, std::chars_format::general);
    if (!valid || ec == std::errc::invalid_argument || end != last) {
        error = std::string("expected a number (") + typeName + ")";
        return false;
    }
    // Infinities and NaN would only poison the run.
    if (ec == std::errc() && !std::isfinite(value)) {
        error = std::string("expected a finite number (") + typeName + ")";
        return false;
    }
    if (ec == std::errc::result_out_of_range ||
        (single && std::fabs(value) > std::numeric_limits<float>::max())) {
        error = std::string("number out of range for ") + typeName;
        return false;
    }
    out = single ? static_cast<double>(static_cast<float>(value)) : value;
    return true;
}

bool ParseBool(std::string_view text, int32_t& out, std::string& error) {
    const std::string word(text);
    if (word == "1" || strcasecmp(word.c_str(), "true") == 0) {
        out = 1;
        return true;
    }
    if (word == "0" || strcasecmp(word.c_str(), "false") == 0) {
        out = 0;
        return true;
    }
    error = "expected a logical value (0, 1, true or false)";
    return false;
}

}  // namespace

std::string_view Trim(std::string_view text) {
    const std::string_view blanks = " \t\r\n\f\v";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool ParseValue(uint32_t dataType, std::string_view text, TypedValue& value, std::string& error) {
    value = TypedValue{};
    value.dataType = dataType;
    switch (dataType) {
        case 0: return ParseInteger(text, INT16_MIN, INT16_MAX, "short", value.integer, error);
        case 1: return ParseInteger(text, INT32_MIN, INT32_MAX, "long", value.integer, error);
        case 2:
        case 4: return ParseReal(text, false, value.real, error);
        case 3: return ParseReal(text, true, value.real, error);
        case 5: return ParseBool(text, value.integer, error);
        case 6: value.text = std::string(text); return true;
        default: error = "variable has no settable data type"; return false;
    }
}

bool ParseAssignment(std::string_view text, Assignment& assignment, std::string& error) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        error = "expected NAME=VALUE, got '" + Clip(text) + "'";
        return false;
    }
    assignment.name = std::string(Trim(text.substr(0, equals)));
    assignment.value = std::string(Trim(text.substr(equals + 1)));
    if (assignment.name.empty()) {
        error = "missing variable name in '" + Clip(text) + "'";
        return false;
    }
    if (assignment.value.empty()) {
        error = "missing value for '" + Clip(assignment.name) + "'";
        return false;
    }
    return true;
}

std::string Clip(std::string_view text) {
    return text.size() > 64 ? std::string(text.substr(0, 64)) + "..." : std::string(text);
}

void DropByteOrderMark(std::string& text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
}

std::string FoldedName(std::string_view name) {
    std::string folded;
    for (const char c : name) {
        if (c == ' ' || c == '\t') continue;
        folded += c == '[' ? '(' : c == ']' ? ')' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

bool ReadScenario(std::istream& in, const std::string& fileName, std::vector<Assignment>& out,
                  std::string& error) {
    // A name set twice in one file leaves which value was meant to chance.
    std::unordered_map<std::string, std::string> seen;
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        if (lineNumber == 1) DropByteOrderMark(line);
        std::string_view content = line;
        content = Trim(content.substr(0, content.find('#')));
        if (content.empty()) continue;
        const std::string origin = fileName + ":" + std::to_string(lineNumber);
        Assignment assignment;
        if (!ParseAssignment(content, assignment, error)) {
            // A population file's distribution line.
            if (content.find('=') == std::string_view::npos && content.find('~') != std::string_view::npos)
                error = "'" + Clip(content) + "' is a distribution: a population file runs with orvo batch";
            error = origin + ": " + error;
            return false;
        }
        assignment.origin = origin;
        if (const auto [earlier, added] = seen.emplace(FoldedName(assignment.name), origin); !added) {
            error = origin + ": '" + assignment.name + "' is set twice in this file (also " + earlier->second + ")";
            return false;
        }
        out.push_back(std::move(assignment));
    }
    if (in.bad()) {
        error = "cannot read '" + fileName + "'";
        return false;
    }
    return true;
}

bool SplitNameList(std::string_view text, std::vector<std::string>& names, std::string& error) {
    names.clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = Trim(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
        if (item.empty()) {
            error = "empty name in list '" + Clip(text) + "'";
            return false;
        }
        names.emplace_back(item);
        if (comma == std::string_view::npos) return true;
        start = comma + 1;
    }
}
