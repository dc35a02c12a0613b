#pragma once

// Population files: the scenario format (NAME = VALUE) plus distribution
// lines `NAME ~ normal(72.3, 8.0) [45, 120]` and the population settings
// `runs`, `seed`, `sampling` and `doses`. Also the --params design table.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "Distribution.h"
#include "Sampling.h"
#include "ValueParser.h"

// A variable or one array element: `name` or `name(2)`, `name(1,3)`.
struct ElementName {
    std::string name;
    std::vector<uint32_t> subscripts;  // 1-based; empty for the whole variable
    std::string Text() const;  // as written in column headers
};
bool ParseElementName(std::string_view text, ElementName& element, std::string& error);

struct SampledVariable {
    ElementName element;
    Distribution distribution;
    std::string origin;  // "FILE:LINE"
};

struct PopulationDefinition {
    std::vector<Assignment> settings;  // model variables, in file order
    std::vector<SampledVariable> sampled;
    uint64_t runs = 0;  // 0: not given
    std::string runsOrigin;
    uint64_t seed = 1;
    SamplingMethod sampling = SamplingMethod::Random;
    std::string doses;  // a dose-record file applied in every run; empty: none
    std::string dosesOrigin;
    std::string designLine;  // the first runs, seed or sampling line, as "ORIGIN: NAME"
};

// Adds the lines of one file. False with `error` ("FILE:LINE: ...") on a
// malformed line, a bad distribution or setting, or a variable sampled twice.
bool ReadPopulation(std::istream& in, const std::string& fileName, PopulationDefinition& population,
                    std::string& error);

// `runs`, `seed`, `sampling` and `doses` are the population's own settings,
// not model variables: true when `assignment` is one (then applied, or
// `error` set). A `doses` file named in a population file is found relative
// to that file's folder.
bool IsPopulationSetting(const std::string& name);
bool ApplyPopulationSetting(const Assignment& assignment, PopulationDefinition& population, std::string& error);

// A design made elsewhere: one column per element, one run per row.
struct ParameterTable {
    std::vector<ElementName> columns;
    std::vector<std::string> columnOrigins;
    std::vector<double> values;  // row-major
    std::size_t Rows() const { return columns.empty() ? 0 : values.size() / columns.size(); }
};
bool ReadParameterTable(std::istream& in, const std::string& fileName, ParameterTable& table, std::string& error);
