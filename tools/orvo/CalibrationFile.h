#pragma once

// Calibration files: parameters with priors (`NAME ~ dist(...) [low, high]`,
// as in population files), fixed settings (`NAME = VALUE`), error models
// (`error VAR normal|lognormal SD [loq LIMIT]`, SD a number or a parameter)
// and `[experiment NAME]` sections with their own settings, `data = FILE`
// and `doses = FILE`. Data files are CSV: time,variable,value[,sd][,subject].

#include <cmath>
#include <istream>
#include <string>
#include <vector>

#include "Distribution.h"
#include "ValueParser.h"

struct CalibrationParameter {
    std::string name;
    Distribution prior;
    std::string origin;  // "FILE:LINE"
};

struct ErrorModel {
    std::string variable;
    bool lognormal = false;
    double sd = 0.0;  // when sdParameter < 0
    int sdParameter = -1;  // index into the parameters
    double loq = -HUGE_VAL;  // values below are censored
    std::string origin;
};

struct Observation {
    double time = 0.0;
    std::string variable;
    double value = 0.0;
    double sd = NAN;  // NaN: the error model's
    std::string origin;
};

struct Experiment {
    std::string name;
    std::vector<Assignment> settings;
    std::string dataFile;  // as resolved against the calibration file's folder
    std::string dosesFile;
    std::vector<Observation> data;
    std::string origin;
};

struct CalibrationDefinition {
    std::vector<CalibrationParameter> parameters;
    std::vector<Assignment> settings;
    std::vector<ErrorModel> errors;
    std::vector<Experiment> experiments;
    int ParameterIndex(const std::string& name) const;
    const ErrorModel* ErrorOf(const std::string& variable) const;
};

// Reads the file's lines (data files not yet). False with "FILE:LINE: ..."
// on a malformed line, a prior that is malformed or has no mass inside its bounds, a parameter
// given twice, an sd parameter never declared, or an experiment without data.
bool ReadCalibration(std::istream& in, const std::string& fileName, const std::string& folder,
                     CalibrationDefinition& definition, std::string& error);

// Reads one data file into `experiment.data`; checks that every variable has
// an error model and every number is one.
bool ReadObservations(std::istream& in, const std::string& fileName, const CalibrationDefinition& definition,
                      Experiment& experiment, std::string& error);

// Log density of the (truncated) prior at x, up to a constant; -inf outside.
double LogPriorDensity(const Distribution& prior, double x);

// Log likelihood of one observation given the model's prediction there.
double LogLikelihoodOf(const ErrorModel& model, const Observation& observation, double prediction,
                       const double* parameters);
