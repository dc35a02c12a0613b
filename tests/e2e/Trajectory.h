#pragma once

// Values of named variables at a sequence of output points, one row per
// point; column 0 is the time.

#include <cstddef>
#include <string>
#include <vector>

struct TrajectoryComparison {
    // Largest |a - b| / (relative x max(|a|, |b|) + floor) over all compared
    // entries: at most 1 means every entry is within tolerance.
    double worstRatio = 0.0;
    // Largest |a - b| / max(|a|, |b|) among entries above the floor.
    double worstRelative = 0.0;
    std::string worstAt;  // "column at t = ..." of the worst ratio
    std::string problem;  // shape mismatch; empty when the rows line up
    bool Agrees() const { return problem.empty() && worstRatio <= 1.0; }
};

class Trajectory {
public:
    Trajectory() = default;
    explicit Trajectory(std::vector<std::string> names) : names_(std::move(names)) {}

    const std::vector<std::string>& Names() const { return names_; }
    const std::vector<std::vector<double>>& Rows() const { return rows_; }
    void AddRow(std::vector<double> row) { rows_.push_back(std::move(row)); }
    // Column number of a name; Names().size() when absent.
    std::size_t Column(const std::string& name) const;
    std::vector<double> ColumnValues(const std::string& name) const;
    // The last row as name -> value lookups.
    double Last(const std::string& name) const;

    // Round-trip exact text (17 significant digits).
    bool WriteCsv(const std::string& path) const;
    // An empty trajectory with `error` set when the file cannot be read.
    static Trajectory ReadCsv(const std::string& path, std::string* error);

    // Compares the columns of `reference` (all but the time) present in both,
    // row by row; the times must agree to 1e-9 relative. An entry passes
    // when |a - b| <= relative x max(|a|, |b|) + floor.
    static TrajectoryComparison Compare(const Trajectory& reference, const Trajectory& actual,
                                        double relative, double floor);

private:
    std::vector<std::string> names_;
    std::vector<std::vector<double>> rows_;
};
