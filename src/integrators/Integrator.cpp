#include "integrators/Integrator.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "common/AllWithin.h"
#include "common/FormatText.h"
#include "common/ForcedUnwind.h"
#include "common/TextException.h"
#include "common/ScopeExit.h"

namespace {

constexpr double kSqrtEpsilon = 1.4901161193847656e-08;  // 2^-26
constexpr double kEpsilon = 2.220446049250313e-16;       // 2^-52
constexpr double kTiny = 2.2250738585072014e-308;        // smallest normal double
constexpr std::size_t kMessageReserve = 4096;
constexpr int kFloatingPointFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// The perturbation of a difference quotient at y, for a state allowed maxError.
double DifferenceStep(double y, double maxError) { return std::max({std::fabs(y) * kSqrtEpsilon, maxError, kEpsilon}); }

// Puts a value back when the scope ends, also when an evaluation throws, so a
// failed difference never leaves the model perturbed.
class ValueRestore {
public:
    ValueRestore(double* slot, double value) : slot_(slot), value_(value) {}
    ~ValueRestore() { if (slot_) *slot_ = value_; }
    ValueRestore(const ValueRestore&) = delete;
    ValueRestore& operator=(const ValueRestore&) = delete;

private:
    double* slot_;
    double value_;
};

// A stop requested by the model during perturbed evaluations is discarded;
// one the host requested meanwhile is kept.
class StopFlagRestore {
public:
    explicit StopFlagRestore(IntegratorSettings& settings)
        : settings_(settings), value_(settings.GetStopFlag()), hostStops_(settings.HostStops()) {}
    ~StopFlagRestore() { settings_.SetStopFlag(value_ || settings_.HostStops() != hostStops_); }
    StopFlagRestore(const StopFlagRestore&) = delete;
    StopFlagRestore& operator=(const StopFlagRestore&) = delete;

private:
    IntegratorSettings& settings_;
    bool value_;
    uint32_t hostStops_;
};

// Appends one value as "%12.6lf"; fixed notation of huge values needs over
// 300 characters.
void AppendFixed(std::string& line, double value) {
    char text[400];
    const int length = std::snprintf(text, sizeof text, "%12.6lf", value);
    if (length > 0) line.append(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
}

}  // namespace

Integrator::Integrator() {
    settings.SetStopFlag(false);
    messageBuffer.reserve(kMessageReserve);
}

Integrator::~Integrator() = default;

bool Integrator::Initialize(double* indVarIn, uint32_t numOdeStatesIn, double* statesIn,
                            double* derivativesIn, double* initialConditionsIn,
                            uint32_t numAlgStatesIn, double* algStatesIn, double* residualsIn,
                            double* algInitialConditionsIn, DerivativeFunction function) {
    ReleaseWorkAreas();
    indVar = indVarIn;
    numOdeStates = numOdeStatesIn;
    states = statesIn;
    derivatives = derivativesIn;
    initialConditions = initialConditionsIn;
    numAlgStates = numAlgStatesIn;
    algStates = algStatesIn;
    residuals = residualsIn;
    algInitialConditions = algInitialConditionsIn;
    derivativeFunction = function;
    numStates = numOdeStates + numAlgStates;
    if (numStates != 0) AllocateWorkAreas();
    return InitializeMethod();
}

void Integrator::AllocateWorkAreas() {
    const std::size_t n = numStates;
    currentErrors.assign(n, 0.0);
    maxErrors.assign(n, 0.0);
    errorControlCounts.assign(n, 0);
    absErrorStore_.assign(n, 1e-4);
    relErrorStore_.assign(n, 1e-4);
    maxAbsErrors = absErrorStore_.data();
    maxRelErrors = relErrorStore_.data();
    for (auto& vector : workVectors) vector.assign(n, 0.0);
    for (auto& vector : jacobianWork) vector.assign(n, 0.0);
    rowReported.assign(n, 0);
    algColumnScale.assign(n, 0.0);
    algRowScale.assign(n, 0.0);
    algPivots.assign(n, 0);
    if (numAlgStates != 0) {
        algJacobian.Allocate(numAlgStates, numAlgStates);
        algInverse.Allocate(numAlgStates, numAlgStates);
        for (auto& vector : algWork) vector.assign(numAlgStates, 0.0);
    }
    timePartialBase_.assign(numOdeStates, 0.0);
    analyticValues_.assign(analyticJacobian ? analyticJacobian->nonZeros : 0, 0.0);
    // Longest trace line: a matrix row or a state list, about 16 characters a value.
    lineBuffer_.reserve(64 + 16 * n);
}

void Integrator::Finalize() { ReleaseWorkAreas(); }

bool Integrator::ConsumeRestart(double* lastStates) {
    bool restart = false;
    for (uint32_t i = 0; i < numOdeStates; ++i) {
        if (!(states[i] == lastStates[i])) {
            lastStates[i] = states[i];
            restart = true;
        }
    }
    if (restartRequested) {
        restartRequested = false;
        restart = true;
    }
    return restart;
}

void Integrator::ReleaseWorkAreas() {
    auto release = [](auto& vector) { std::decay_t<decltype(vector)>().swap(vector); };
    release(currentErrors);
    release(maxErrors);
    release(errorControlCounts);
    release(absErrorStore_);
    release(relErrorStore_);
    maxAbsErrors = nullptr;
    maxRelErrors = nullptr;
    for (auto& vector : workVectors) release(vector);
    for (auto& vector : jacobianWork) release(vector);
    release(rowReported);
    release(algColumnScale);
    release(algRowScale);
    release(algPivots);
    algJacobian.Release();
    algInverse.Release();
    for (auto& vector : algWork) release(vector);
    release(timePartialBase_);
    release(analyticValues_);
}

void Integrator::CalculateDerivatives() {
    if (derivativeFunction == nullptr) return;
    CallModel(nullptr);
}

void Integrator::EvaluateAnalyticJacobian() {
    double* values = analyticValues_.data();
    CallModel(values);
    const AnalyticJacobian& jacobian = *analyticJacobian;
    bool repaired = false;
    for (uint32_t j = 0; j < numOdeStates; ++j) {
        const int32_t begin = jacobian.columnStarts[j], end = jacobian.columnStarts[j + 1];
        bool finite = true;
        for (int32_t k = begin; k < end; ++k) finite = finite && std::isfinite(values[k]);
        if (finite) continue;
        // A singular point of the formulas (a root or a fractional power of
        // zero): this column by a forward difference quotient instead.
        double* base = jacobianWork[1].data();
        if (!repaired) std::copy_n(derivatives, numOdeStates, base);
        repaired = true;
        const double y = states[j];
        const double d = DifferenceStep(y, maxErrors[j]);
        {
            ValueRestore restore(&states[j], y);
            states[j] = y + d;
            const double width = states[j] - y;
            CalculateDerivatives();
            for (int32_t k = begin; k < end; ++k) {
                const uint32_t row = static_cast<uint32_t>(jacobian.rowIndices[k]);
                values[k] = (derivatives[row] - base[row]) / width;
            }
        }
    }
    // The derivatives are left at the point, as the model's own call leaves them.
    if (repaired) CalculateDerivatives();
}

ORVO_LETS_FORCED_UNWIND_PASS void Integrator::CallModel(double* jacobianValues) {
    const auto call = [this, jacobianValues] {
        if (jacobianValues)
            analyticJacobian->evaluate(derivFuncArg1, jacobianValues);
        else
            derivativeFunction(derivFuncArg1, derivFuncArg2);
    };
    ++evaluations_;
    if (initializationInProgress) {
        call();
        return;
    }
    // Testing the flags is far cheaper than clearing them: clear only when set.
    if (std::fetestexcept(kFloatingPointFaults)) std::feclearexcept(kFloatingPointFaults);
    try {
        call();
    } catch (const TextException&) {
        throw;
    } catch (const abi::__forced_unwind&) {
        throw;  // a cancelled thread unwinds to its end
    } catch (...) {
        throw TextException("unknown exception");
    }
    if (std::fetestexcept(kFloatingPointFaults)) throw TextException("floating point error");
}

ORVO_LETS_FORCED_UNWIND_PASS bool Integrator::EvaluateForPackage(double t, const double* y, uint32_t count,
                                                                bool jacobian, std::exception_ptr& failure) {
    if (failure) return false;
    try {
        if (y != states) std::copy_n(y, count, states);
        *indVar = t;
        if (jacobian) {
            EvaluateAnalyticJacobian();
            ++numJacobianEvals;
        } else {
            AlgebraicUpdate();
            CalculateDerivatives();
        }
        return true;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
        return false;
    }
}

void Integrator::UpdateMaxErrorVector(bool includeAlgebraic) {
    if (maxErrors.size() < numStates) return;
    for (uint32_t i = 0; i < numOdeStates; ++i)
        maxErrors[i] = std::max(std::fabs(states[i]) * maxRelErrors[i], maxAbsErrors[i]);
    if (!includeAlgebraic) return;
    for (uint32_t i = 0; i < numAlgStates; ++i) {
        const uint32_t k = numOdeStates + i;
        maxErrors[k] = std::max(std::fabs(algStates[i]) * maxRelErrors[k], maxAbsErrors[k]);
    }
}

double& Integrator::JacobianVariable(JacobianType type, uint32_t k) {
    if (type == AlgebraicJacobian) return algStates[k];
    return k < numOdeStates ? states[k] : algStates[k - numOdeStates];
}

double Integrator::JacobianFunction(JacobianType type, uint32_t k) const {
    if (type == AlgebraicJacobian) return residuals[k];
    return k < numOdeStates ? derivatives[k] : residuals[k - numOdeStates];
}

bool Integrator::CalculateJacobian(JacobianType type, double** columns) {
    uint32_t n = 0;
    uint32_t errorOffset = 0;
    bool needOde = false;
    bool needAlg = false;
    switch (type) {
        case OdeJacobian: n = numOdeStates; needOde = true; break;
        case AlgebraicJacobian: n = numAlgStates; errorOffset = numOdeStates; needAlg = true; break;
        case FullJacobian: n = numStates; needOde = numOdeStates != 0; needAlg = numAlgStates != 0; break;
        default: return true;
    }
    if (n == 0 || columns == nullptr || n > numStates) return true;
    if (needOde && (states == nullptr || derivatives == nullptr)) return true;
    if (needAlg && (algStates == nullptr || residuals == nullptr)) return true;

    if (analyticJacobian && type != AlgebraicJacobian && n == numOdeStates) {
        EvaluateAnalyticJacobian();
        for (uint32_t j = 0; j < n; ++j) {
            std::fill_n(columns[j], n, 0.0);
            analyticJacobian->ScatterColumn(j, analyticValues_.data(), columns[j]);
        }
        return true;
    }
    std::fill_n(rowReported.begin(), n, uint8_t{0});
    StopFlagRestore stopRestore(settings);
    double* lower = jacobianWork[0].data();
    double* base = jacobianWork[1].data();
    double* upper = jacobianWork[2].data();

    CalculateDerivatives();
    for (uint32_t i = 0; i < n; ++i) base[i] = JacobianFunction(type, i);

    const bool central = twoSidedMatrixEval || computeJacobValidity;
    bool reported = false;
    for (uint32_t j = 0; j < n; ++j) {
        double& variable = JacobianVariable(type, j);
        const double y = variable;
        ValueRestore restore(&variable, y);
        const double d = DifferenceStep(y, maxErrors[errorOffset + j]);

        double dPlus = 0.0;
        if (central) {
            variable = y + d;
            dPlus = variable - y;
            CalculateDerivatives();
            for (uint32_t i = 0; i < n; ++i) upper[i] = JacobianFunction(type, i);
        }
        variable = y - d;
        const double lowered = variable;
        const double dMinus = y - lowered;
        CalculateDerivatives();
        if (variable != lowered) WriteFormatted("State changed in Jacobian evaluation: %u.", j);
        for (uint32_t i = 0; i < n; ++i) lower[i] = JacobianFunction(type, i);

        if (computeJacobValidity) {
            variable = y + d;
            CalculateDerivatives();
            for (uint32_t i = 0; i < n; ++i) {
                const double a = (lower[i] + upper[i]) / 2.0 - base[i];
                const double b = std::fabs(upper[i] - lower[i]);
                if (std::fabs(a) >= jacobNonlinThresh * b && b > std::fabs(base[i]) * 1e-15 &&
                    (base[i] - lower[i]) * (upper[i] - base[i]) > 0.0) {
                    WriteFormatted("Jacobian non-linear measure for row %u and column %u is %lf.", i, j,
                                   a / (upper[i] - lower[i] + kTiny));
                    reported = true;
                }
                if (rowReported[i] == 0 && JacobianFunction(type, i) != upper[i]) {
                    rowReported[i] = 1;
                    WriteFormatted("Derivative function evaluation not repeatable for row number %u.", i);
                    reported = true;
                }
            }
        }

        double* column = columns[j];
        if (central) {
            const double width = dPlus + dMinus;
            for (uint32_t i = 0; i < n; ++i) column[i] = (upper[i] - lower[i]) / width;
        } else {
            for (uint32_t i = 0; i < n; ++i) column[i] = (base[i] - lower[i]) / dMinus;
        }
    }
    if (reported) WriteFormatted("Independent variable value %lf.\n", indVar ? *indVar : 0.0);
    CalculateDerivatives();
    return true;
}

bool Integrator::CalculateSecondDerivatives(double* output) {
    if (output == nullptr || indVar == nullptr) return false;
    if (numOdeStates == 0) return true;
    if (derivatives == nullptr || timePartialBase_.size() < numOdeStates) return false;
    const double t = *indVar;
    CalculateDerivatives();
    std::copy_n(derivatives, numOdeStates, output);
    std::copy_n(derivatives, numOdeStates, timePartialBase_.data());
    const double d = std::max(std::fabs(t) * kSqrtEpsilon, kEpsilon);
    {
        ValueRestore restore(indVar, t);
        *indVar = t - d;
        CalculateDerivatives();
        for (uint32_t i = 0; i < numOdeStates; ++i) output[i] = (output[i] - derivatives[i]) / d;
    }
    std::copy_n(timePartialBase_.data(), numOdeStates, derivatives);
    return true;
}

void Integrator::WriteMessage(const char* text) {
    if (text) messageBuffer.append(text);
    messageBuffer.push_back('\n');
}

void Integrator::WriteFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormattedV(messageBuffer, format, args);
    va_end(args);
    messageBuffer.push_back('\n');
}

std::string Integrator::TakeMessages() {
    if (messageBuffer.empty()) return {};
    std::string taken(messageBuffer);
    messageBuffer.clear();  // keeps the reserved capacity
    return taken;
}

void Integrator::AppendValues(const double* values, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (i != 0) lineBuffer_.append(", ");
        AppendFixed(lineBuffer_, values[i]);
    }
}

void Integrator::WriteStateGroup(const char* title, const double* values, const double* derivs,
                                 uint32_t count) {
    if (count == 0) return;
    WriteMessage(title);
    lineBuffer_.assign("  States: ");
    if (values) AppendValues(values, count);
    WriteMessage(lineBuffer_.c_str());
    lineBuffer_.assign("  Derivs: ");
    if (derivs) AppendValues(derivs, count);
    WriteMessage(lineBuffer_.c_str());
}

void Integrator::WriteStates() {
    WriteFormatted("Ind Var: %12.6lf", indVar ? *indVar : 0.0);
    WriteStateGroup("ODE States: ", states, derivatives, numOdeStates);
    WriteStateGroup("DAE States: ", algStates, residuals, numAlgStates);
}

void Integrator::WriteDerivatives() {}

void Integrator::WriteCurrentErrors() {
    if (numStates == 0 || currentErrors.size() < numStates) return;
    WriteMessage("Current Errors: ");
    lineBuffer_.clear();
    AppendValues(currentErrors.data(), numStates);
    WriteMessage(lineBuffer_.c_str());
}

void Integrator::WriteMatrix(double** columns, uint32_t rows, uint32_t cols) {
    if (columns == nullptr) return;
    for (uint32_t i = 0; i < rows; ++i) {
        lineBuffer_.clear();
        for (uint32_t j = 0; j < cols; ++j) {
            AppendFixed(lineBuffer_, columns[j][i]);
            lineBuffer_.push_back(' ');
        }
        WriteMessage(lineBuffer_.c_str());
    }
}

void Integrator::WriteStatistics() {
    if (algorithm != AlgorithmRungeKuttaFehlberg2 && algorithm != AlgorithmRungeKuttaFehlberg5) return;
    WriteMessage("Count of times state controlled step size");
    for (uint32_t i = 0; i < numStates && i < errorControlCounts.size(); ++i)
        WriteFormatted("State: %5u,  Error Controlled: %5d", i, errorControlCounts[i]);
}

void Integrator::CopyInitCondsToStates() {
    if (states && initialConditions) std::copy_n(initialConditions, numOdeStates, states);
    if (algStates && algInitialConditions) std::copy_n(algInitialConditions, numAlgStates, algStates);
}

void Integrator::CopyStatesToInitConds() {
    if (states && initialConditions) std::copy_n(states, numOdeStates, initialConditions);
    if (algStates && algInitialConditions) std::copy_n(algStates, numAlgStates, algInitialConditions);
}

void Integrator::SetMaxAbsoluteErrors(const double* values) {
    if (values && maxAbsErrors) std::copy_n(values, numStates, maxAbsErrors);
}

void Integrator::SetMaxRelativeErrors(const double* values) {
    if (values && maxRelErrors) std::copy_n(values, numStates, maxRelErrors);
}

void Integrator::SetMaxAbsoluteError(uint32_t index, double value) {
    if (maxAbsErrors && index < numStates) maxAbsErrors[index] = value;
}

void Integrator::SetMaxRelativeError(uint32_t index, double value) {
    if (maxRelErrors && index < numStates) maxRelErrors[index] = value;
}

void Integrator::AlgebraicUpdate() {
    if (numAlgStates != 0 && !CalculateAlgebraicStates()) settings.SetStopFlag(true);
}

void Integrator::FirstEvaluation() {
    // Cleared also when the evaluation throws: operators with memory read it.
    ScopeExit reset([this] { firstDerivEval = false; });
    firstDerivEval = true;
    CalculateDerivatives();
    // A step from derivatives evaluated at its own start point is a fresh
    // start: a pending restart request has been honoured. Methods with
    // history consume the request (ConsumeRestart) before this evaluation.
    restartRequested = false;
}

void Integrator::TraceStage(const char* text) {
    if (!writeNormalData) return;
    WriteMessage(text);
    WriteStates();
    WriteDerivatives();
}

void Integrator::BeginStep() {
    AlgebraicUpdate();
    FirstEvaluation();
    TraceStage("Start of step.");
}

void Integrator::PostStepEvaluation() {
    ScopeExit reset([this] { postStepDerivEval = false; });
    postStepDerivEval = true;
    CalculateDerivatives();
    postStepMark_ = evaluations_;
    postStepTime_ = indVar ? *indVar : 0.0;
}

bool Integrator::OdeStatesFinite() const {
    return states == nullptr || AllWithin(states, numOdeStates, kStateMagnitudeLimit);
}

void Integrator::BeginContinuedStep(bool restart) {
    const bool repeat = !restart && !restartRequested && !stepStartRead && numAlgStates == 0 &&
                        postStepMark_ != 0 && evaluations_ == postStepMark_ && indVar &&
                        *indVar == postStepTime_;
    if (!repeat) {
        BeginStep();
        return;
    }
    TraceStage("Start of step.");
}

void Integrator::StageEvaluation(const char* trace) {
    AlgebraicUpdate();
    CalculateDerivatives();
    TraceStage(trace);
}
