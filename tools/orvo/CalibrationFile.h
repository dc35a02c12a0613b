#pragma once

// Calibration files: parameters with priors (`NAME ~ dist(...) [low, high]`,
// as in population files), fixed settings (`NAME = VALUE`), error models
// (`error VAR normal|lognormal SD [loq LIMIT]`, SD a number or a parameter)
// and `[experiment NAME]` sections with their own settings, `data = FILE`
// and `doses = FILE`. Data files are CSV: time,variable,value[,sd][,subject].
// `NAME[subject] ~ dist(...)` makes a parameter vary between the data's
// subjects: one value per subject, drawn from `dist`, whose parameters may
// name other (population) parameters: `ke[subject] ~ lognormal(ke_gm, ke_gsd)`.

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
    bool perSubject = false;
    int references[3] = {-1, -1, -1};  // parameters the prior's parameters name
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
    std::string subject;  // empty without a subject column
    int subjectIndex = -1;  // into CalibrationDefinition::subjects
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

// The sampled point: the shared parameters in file order (index k is
// parameter k), then per subject-level parameter one value per subject.
struct CalibrationDefinition {
    std::vector<CalibrationParameter> parameters;  // shared ones first, then per-subject ones
    std::size_t sharedCount = 0;
    std::vector<std::string> subjects;  // in order of first appearance in the data
    std::vector<Assignment> settings;
    std::vector<ErrorModel> errors;
    std::vector<Experiment> experiments;
    int ParameterIndex(const std::string& name) const;
    const ErrorModel* ErrorOf(const std::string& variable) const;
    bool Hierarchical() const { return sharedCount < parameters.size(); }
    std::size_t Dimension() const { return sharedCount + (parameters.size() - sharedCount) * subjects.size(); }
    // Where parameter k's value for `subject` is in the point (k shared: k).
    std::size_t Slot(std::size_t k, std::size_t subject) const {
        return k < sharedCount ? k : sharedCount + (k - sharedCount) * subjects.size() + subject;
    }
    // Column names of the point: NAME, or NAME[SUBJECT] per subject.
    std::vector<std::string> ColumnNames() const;
    // Parameter k's prior with its named parameters taken from the point.
    Distribution PriorAt(std::size_t k, const double* point) const;
    // Log prior density of the whole point (subject-level values under
    // their population distributions, normalized over their bounds).
    double LogPrior(const double* point) const;
    // Its parts: the shared parameters' priors, and one subject's values
    // under their population distributions.
    double LogSharedPrior(const double* point) const;
    double LogSubjectPrior(const double* point, std::size_t subject) const;
};

// Reads the file's lines (data files not yet). False with "FILE:LINE: ..."
// on a malformed line, a prior that is malformed or has no mass inside its bounds, a parameter
// given twice, an sd parameter never declared, or an experiment without data.
bool ReadCalibration(std::istream& in, const std::string& fileName, const std::string& folder,
                     CalibrationDefinition& definition, std::string& error);

// Reads one data file into `experiment.data`; checks that every variable has
// an error model and every number is one, and adds new subjects to
// definition.subjects (rows need one when a parameter varies by subject).
bool ReadObservations(std::istream& in, const std::string& fileName, CalibrationDefinition& definition,
                      Experiment& experiment, std::string& error);

// Log density of the (truncated) prior at x, up to a constant; -inf outside.
double LogPriorDensity(const Distribution& prior, double x);

// Log likelihood of one observation given the model's prediction there.
double LogLikelihoodOf(const ErrorModel& model, const Observation& observation, double prediction,
                       const double* parameters);
