#pragma once

// What a model's folder says about the model, as the generator writes it
// beside the library (liborvo_NAME.json): units and descriptions, the
// variables recorded by default, and the mass balances. Hosts take these from
// here, never from their own source.

#include <cmath>
#include <map>
#include <string>
#include <vector>

struct ModelBalance {
    std::string name;         // "iodide"
    std::string unaccounted;  // the variable holding dosed minus accounted for
    std::vector<std::string> dosed;
    double tolerance = HUGE_VAL;  // of the dose; HUGE_VAL: reported, not judged
};

struct ModelMetadata {
    bool found = false;
    std::string timeUnits;
    std::vector<std::string> record;             // run defaults, time first
    std::vector<std::string> populationOutputs;  // population defaults
    std::vector<ModelBalance> balances;
    std::map<std::string, std::string> units;         // by variable name
    std::map<std::string, std::string> descriptions;  // by variable name
};

// The metadata beside a library (the same path with .json for .so); `found`
// false when there is none. A file that cannot be read as metadata sets
// `error`.
ModelMetadata ReadModelMetadata(const std::string& libraryPath, std::string& error);
