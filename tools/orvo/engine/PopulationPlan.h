#pragma once

// A population as the workers run it: the settings every run gets, the
// elements varied per run with their values, the recorded elements and the
// output times. Resolved against the model once, in the parent process,
// before any run starts; plain data that forked workers inherit.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "DoseRecords.h"
#include "ModelVariables.h"
#include "PopulationFile.h"
#include "RunRecord.h"

struct ModelElement {
    ModelVariable variable;
    uint32_t offset = 0;
    std::string header;  // `name` or `name(2)`
};

// The same element of the same variable (a ModelElement, or a recorded
// column of the same shape).
template <class Element>
bool SameElement(const Element& a, const Element& b) {
    return a.variable.number == b.variable.number && a.offset == b.offset;
}

struct RunPlan {
    std::vector<std::pair<ModelVariable, std::string>> settings;  // applied in order before every run
    std::vector<ModelElement> inputs;
    std::vector<double> inputValues;  // runs x inputs, row-major
    std::size_t runs = 0;
    std::vector<ModelElement> outputs;
    std::vector<double> times;  // the output points of every run
    std::vector<DoseRecord> doses;  // scheduled per run, after its inputs are written
    StateTolerances tolerances;     // of every state in every run; none given: the model's

    const double* InputsOf(std::size_t run) const { return inputValues.data() + run * inputs.size(); }
};

// Applies the assignments (the later of two for one variable wins) and keeps
// them in the plan. False with `error` ("ORIGIN: ...") on an unknown or
// non-settable variable or a bad value.
bool ApplySettings(const ModelVariables& variables, const std::vector<Assignment>& assignments, RunPlan& plan,
                   std::string& error);

// "name" for a scalar, "name(i,j)" for an element of an array (1-based).
std::string ElementHeader(const ModelVariable& v, uint32_t offset);

// The storage offset of element `name` of `v` (its subscripts 1-based, one
// per dimension; none for a scalar). False with `error` when they do not fit.
bool ElementOffset(const ModelVariable& v, const ElementName& name, uint32_t& offset, std::string& error);

// A settable numeric element to vary per run; not the output grid's
// variables (cint, tstop, zzticg), which all runs share.
bool ResolveInput(const ModelVariables& variables, const ElementName& name, ModelElement& element, std::string& error);

// The recorded elements: every element of each named variable. `error`
// names the variable, not where the list came from.
bool ResolveOutputs(const ModelVariables& variables, const std::vector<std::string>& names, RunPlan& plan,
                    std::string& error);

// The output points from the applied settings: zzticg, zzticg + cint, ...
// up to tstop.
// Every input value of an integer or bool variable fits its type: false
// with `error` naming the input, the run and the value otherwise.
bool CheckInputRanges(const RunPlan& plan, std::string& error);

bool ComputeOutputTimes(const ModelVariables& variables, RunPlan& plan, std::string& error);

// Index of each time among the output points; false when one is none,
// with `error` starting with that time.
bool ResolveAtTimes(const std::vector<double>& atTimes, const std::vector<double>& times,
                    std::vector<std::size_t>& indices, std::string& error);

// Rounds the design's values of integer inputs to whole numbers and of
// logical inputs to 0 or 1, so that the tables show what the runs were given.
void RoundToInputTypes(RunPlan& plan);

// In a worker process: runs the plan's runs one after another on one
// instance. Every run gets the same settings and inputs written first, so
// its result does not depend on the runs before it.
class ModelRunner {
public:
    ModelRunner(const OrvoLibrary& library, uint32_t instance, const RunPlan& plan);
    RunRecord Run(uint32_t run);

private:
    const OrvoLibrary& library_;
    uint32_t instance_;
    const RunPlan& plan_;
    ModelVariables variables_;
};
