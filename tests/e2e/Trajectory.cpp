#include "Trajectory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

std::size_t Trajectory::Column(const std::string& name) const {
    return static_cast<std::size_t>(std::find(names_.begin(), names_.end(), name) - names_.begin());
}

std::vector<double> Trajectory::ColumnValues(const std::string& name) const {
    std::vector<double> values;
    const std::size_t column = Column(name);
    if (column == names_.size()) return values;
    for (const auto& row : rows_) values.push_back(row[column]);
    return values;
}

double Trajectory::Last(const std::string& name) const {
    const std::size_t column = Column(name);
    if (rows_.empty() || column == names_.size()) return std::nan("");
    return rows_.back()[column];
}

bool Trajectory::WriteCsv(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    for (std::size_t c = 0; c < names_.size(); ++c) std::fprintf(file, "%s%s", c ? "," : "", names_[c].c_str());
    std::fprintf(file, "\n");
    for (const auto& row : rows_) {
        for (std::size_t c = 0; c < row.size(); ++c) std::fprintf(file, "%s%.17g", c ? "," : "", row[c]);
        std::fprintf(file, "\n");
    }
    return std::fclose(file) == 0;
}

Trajectory Trajectory::ReadCsv(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot open " + path;
        return {};
    }
    std::string line;
    std::getline(in, line);
    std::vector<std::string> names;
    std::stringstream header(line);
    for (std::string name; std::getline(header, name, ',');) names.push_back(name);
    Trajectory trajectory(names);
    for (std::size_t lineNumber = 2; std::getline(in, line); ++lineNumber) {
        if (line.empty()) continue;
        std::vector<double> row;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) {
            char* end = nullptr;
            row.push_back(std::strtod(field.c_str(), &end));
            if (end == field.c_str()) {
                *error = path + ":" + std::to_string(lineNumber) + ": not a number: " + field;
                return {};
            }
        }
        if (row.size() != names.size()) {
            *error = path + ":" + std::to_string(lineNumber) + ": " + std::to_string(row.size()) +
                     " fields for " + std::to_string(names.size()) + " columns";
            return {};
        }
        trajectory.AddRow(std::move(row));
    }
    return trajectory;
}

TrajectoryComparison Trajectory::Compare(const Trajectory& reference, const Trajectory& actual, double relative,
                                         double floor) {
    TrajectoryComparison result;
    if (reference.rows_.size() != actual.rows_.size()) {
        result.problem = std::to_string(actual.rows_.size()) + " output points, expected " +
                         std::to_string(reference.rows_.size());
        return result;
    }
    for (std::size_t r = 0; r < reference.rows_.size(); ++r) {
        const double tr = reference.rows_[r][0], ta = actual.rows_[r][0];
        if (std::fabs(tr - ta) > 1e-9 * std::max(1.0, std::fabs(tr))) {
            result.problem = "output point " + std::to_string(r) + " at t = " + std::to_string(ta) +
                             ", expected " + std::to_string(tr);
            return result;
        }
    }
    for (std::size_t c = 1; c < reference.names_.size(); ++c) {
        const std::size_t other = actual.Column(reference.names_[c]);
        if (other == actual.names_.size()) continue;
        for (std::size_t r = 0; r < reference.rows_.size(); ++r) {
            const double a = reference.rows_[r][c], b = actual.rows_[r][other];
            const double scale = std::max(std::fabs(a), std::fabs(b));
            const double difference = std::fabs(a - b);
            // NaN on either side never agrees; equal values always do (also
            // with zero tolerances).
            const double ratio = std::isnan(difference) ? INFINITY
                                 : difference == 0.0   ? 0.0
                                                       : difference / (relative * scale + floor);
            if (scale > floor && !std::isnan(difference))
                result.worstRelative = std::max(result.worstRelative, difference / scale);
            if (ratio > result.worstRatio || (std::isinf(ratio) && result.worstAt.empty())) {
                result.worstRatio = ratio;
                char where[160];
                std::snprintf(where, sizeof where, "%s at t = %g: %.10g vs %.10g", reference.names_[c].c_str(),
                              reference.rows_[r][0], a, b);
                result.worstAt = where;
            }
        }
    }
    return result;
}
