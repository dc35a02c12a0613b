#include "PopulationFile.h"

#include <charconv>
#include <strings.h>

#include "CsvReader.h"

namespace {

bool ParseCount(std::string_view text, uint64_t& value) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    return ec == std::errc() && end == last && !text.empty();
}

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

bool SameElement(const ElementName& a, const ElementName& b) {
    return SameName(a.name, b.name) && a.subscripts == b.subscripts;
}

}  // namespace

std::string ElementName::Text() const {
    std::string text = name;
    for (std::size_t k = 0; k < subscripts.size(); ++k)
        text.append(1, k == 0 ? '(' : ',').append(std::to_string(subscripts[k]));
    return subscripts.empty() ? text : text + ")";
}

bool ParseElementName(std::string_view text, ElementName& element, std::string& error) {
    element = ElementName{};
    text = Trim(text);
    const std::size_t open = text.find('(');
    element.name = std::string(Trim(text.substr(0, open)));
    const bool plainName = !element.name.empty() && element.name.find_first_of(" \t,()[]~=") == std::string::npos;
    if (!plainName) {
        error = "expected a variable name or NAME(INDEX), got '" + std::string(text) + "'";
        return false;
    }
    if (open == std::string_view::npos) return true;
    if (text.back() != ')') {
        error = "expected NAME(INDEX), got '" + std::string(text) + "'";
        return false;
    }
    std::vector<std::string> items;
    std::string why;
    if (!SplitNameList(text.substr(open + 1, text.size() - open - 2), items, why) || items.size() > 6) {
        error = "bad subscripts in '" + std::string(text) + "'";
        return false;
    }
    for (const std::string& item : items) {
        uint64_t index = 0;
        if (!ParseCount(item, index) || index == 0 || index > UINT32_MAX) {
            error = "subscripts count from 1: '" + std::string(text) + "'";
            return false;
        }
        element.subscripts.push_back(static_cast<uint32_t>(index));
    }
    return true;
}

bool IsPopulationSetting(const std::string& name) {
    return SameName(name, "runs") || SameName(name, "seed") || SameName(name, "sampling") ||
           SameName(name, "doses");
}

bool ApplyPopulationSetting(const Assignment& a, PopulationDefinition& population, std::string& error) {
    const std::string where = a.origin.empty() ? "" : a.origin + ": ";
    if (population.designLine.empty() && !SameName(a.name, "doses")) population.designLine = where + a.name;
    if (SameName(a.name, "runs")) {
        // Two runs lines in the files are a mistake; --set may override one.
        if (!population.runsOrigin.empty() && a.origin.find(':') != std::string::npos &&
            population.runsOrigin.find(':') != std::string::npos) {
            error = where + "runs is given twice (also " + population.runsOrigin + ")";
            return false;
        }
        if (!ParseCount(a.value, population.runs) || population.runs == 0 || population.runs > 100000000) {
            error = where + "runs must be a whole number from 1 to 100000000, got '" + a.value + "'";
            return false;
        }
        population.runsOrigin = a.origin;
    } else if (SameName(a.name, "doses")) {
        // As with runs: two files naming dose records is a mistake, --set may override.
        if (!population.dosesOrigin.empty() && a.origin.find(':') != std::string::npos &&
            population.dosesOrigin.find(':') != std::string::npos) {
            error = where + "doses is given twice (also " + population.dosesOrigin + ")";
            return false;
        }
        if (a.value.empty()) {
            error = where + "doses names a dose-record file, got nothing";
            return false;
        }
        population.doses = a.value;
        population.dosesOrigin = a.origin;
    } else if (SameName(a.name, "seed")) {
        if (!ParseCount(a.value, population.seed)) {
            error = where + "seed must be a whole number >= 0, got '" + a.value + "'";
            return false;
        }
    } else {
        if (SameName(a.value, "random")) {
            population.sampling = SamplingMethod::Random;
        } else if (SameName(a.value, "lhs")) {
            population.sampling = SamplingMethod::LatinHypercube;
        } else {
            error = where + "sampling must be random or lhs, got '" + a.value + "'";
            return false;
        }
    }
    return true;
}

bool ReadPopulation(std::istream& in, const std::string& fileName, PopulationDefinition& population,
                    std::string& error) {
    // A name set twice in one file leaves which value was meant to chance.
    const std::size_t firstSetting = population.settings.size();
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        std::string_view content = Trim(std::string_view(line).substr(0, line.find('#')));
        if (content.empty()) continue;
        const std::string origin = fileName + ":" + std::to_string(lineNumber);
        const std::size_t tilde = content.find('~');
        if (tilde != std::string_view::npos && tilde < content.find('=')) {
            SampledVariable sampled;
            sampled.origin = origin;
            if (!ParseElementName(content.substr(0, tilde), sampled.element, error) ||
                !ParseDistribution(std::string(content.substr(tilde + 1)), sampled.distribution, error)) {
                error = origin + ": " + error;
                return false;
            }
            for (const SampledVariable& other : population.sampled)
                if (SameElement(other.element, sampled.element)) {
                    error = origin + ": '" + sampled.element.Text() + "' is already sampled (" + other.origin + ")";
                    return false;
                }
            population.sampled.push_back(std::move(sampled));
            continue;
        }
        Assignment assignment;
        if (!ParseAssignment(content, assignment, error)) {
            error = origin + ": " + error;
            return false;
        }
        assignment.origin = origin;
        if (SameName(assignment.name, "doses") && !assignment.value.empty() && assignment.value.front() != '/') {
            const std::size_t slash = fileName.rfind('/');
            if (slash != std::string::npos) assignment.value = fileName.substr(0, slash + 1) + assignment.value;
        }
        if (IsPopulationSetting(assignment.name)) {
            if (!ApplyPopulationSetting(assignment, population, error)) return false;
        } else {
            for (std::size_t k = firstSetting; k < population.settings.size(); ++k)
                if (FoldedName(population.settings[k].name) == FoldedName(assignment.name)) {
                    error = origin + ": '" + assignment.name + "' is set twice in this file (also " +
                            population.settings[k].origin + ")";
                    return false;
                }
            population.settings.push_back(std::move(assignment));
        }
    }
    if (in.bad()) {
        error = "cannot read '" + fileName + "'";
        return false;
    }
    return true;
}

bool ReadParameterTable(std::istream& in, const std::string& fileName, ParameterTable& table, std::string& error) {
    table = ParameterTable{};
    std::string line;
    std::vector<std::string> fields;
    int lineNumber = 0;
    bool haveHeader = false;
    while (std::getline(in, line)) {
        ++lineNumber;
        const std::string origin = fileName + ":" + std::to_string(lineNumber);
        if (Trim(line).empty() || Trim(line).front() == '#') continue;
        if (!SplitCsvRecord(line, fields)) {
            error = origin + ": unclosed quote";
            return false;
        }
        if (!haveHeader) {
            haveHeader = true;
            for (const std::string& field : fields) {
                ElementName element;
                if (!ParseElementName(field, element, error)) {
                    error = origin + ": " + error;
                    return false;
                }
                for (const ElementName& other : table.columns)
                    if (SameElement(other, element)) {
                        error = origin + ": column '" + element.Text() + "' appears twice";
                        return false;
                    }
                table.columns.push_back(std::move(element));
                table.columnOrigins.push_back(origin);
            }
            continue;
        }
        if (fields.size() != table.columns.size()) {
            error = origin + ": " + std::to_string(fields.size()) + " fields, the header has " +
                    std::to_string(table.columns.size());
            return false;
        }
        for (std::size_t c = 0; c < fields.size(); ++c) {
            TypedValue value;
            std::string why;
            if (!ParseValue(4, Trim(fields[c]), value, why)) {
                error = origin + ": bad value '" + Clip(fields[c]) + "' for '" + table.columns[c].Text() + "': " + why;
                return false;
            }
            table.values.push_back(value.real);
        }
    }
    if (in.bad()) {
        error = "cannot read '" + fileName + "'";
        return false;
    }
    if (table.Rows() == 0) {
        error = fileName + ": no parameter sets (expected a header line and one row per run)";
        return false;
    }
    return true;
}
