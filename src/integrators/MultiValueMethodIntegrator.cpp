#include "integrators/MultiValueMethodIntegrator.h"

#include <algorithm>
#include <cmath>

#include "numerics/Linpack.h"

namespace {

constexpr double kHuge = 1.7976931348623157e308;
constexpr int kCorrectorIterations = 3;
constexpr int32_t kMaxErrorTestFailures = 6;
constexpr double kLowerSafety = 0.7;
constexpr double kSameSafety = 0.8;
constexpr double kHigherSafety = 0.6;
constexpr double kCorrectorReduction = 0.25;
constexpr double kFactorCap = 10000.0;
constexpr double kFactorFloor = 0.5;

// safety * x^(-1/k): the step factor that brings an error measure x to its
// limit. A zero measure allows the largest factor; a NaN allows none.
double StepFactor(double safety, double x, int k) {
    if (std::isnan(x)) return 0.0;
    if (x <= 0.0) return kFactorCap;
    return safety * std::pow(x, -1.0 / k);
}

}  // namespace

const double MultiValueMethodIntegrator::ACOEF[64] = {
    // Adams, orders 1 to 7
    -1, -1,
    -0.5, -1, -0.5,
    -0.416666666666667, -1, -0.75, -0.166666666666667,
    -0.375, -1, -0.916666666666667, -0.333333333333333, -0.0416666666666667,
    -0.348611111111111, -1, -1.04166666666667, -0.486111111111111, -0.104166666666667,
    -0.00833333333333333,
    -0.329861111111111, -1, -1.14166666666667, -0.625, -0.177083333333333, -0.025,
    -0.00138888888888889,
    -0.315591931216931, -1, -1.225, -0.751851851851852, -0.255208333333333, -0.04861111111111,
    -0.004861111111111, -0.0001984126984127,
    // Gear, orders 1 to 6; no seventh-order formula
    -1, -1,
    -0.666666666666667, -1, -0.333333333333333,
    -0.545454545454545, -1, -0.545454545454545, -0.0909090909090909,
    -0.48, -1, -0.7, -0.2, -0.02,
    -0.437956204379562, -1, -0.821167883211679, -0.31021897810219, -0.0547445255474453,
    -0.00364963503649635,
    -0.408163265306122, -1, -0.920634920634921, -0.416666666666667, -0.0992063492063492,
    -0.0119047619047619, -0.000566893424036281,
    0, 0,
};

const int32_t MultiValueMethodIntegrator::AQPT[24] = {
    0, 2, 5, 9, 14, 20, 27, 0, 0, 0, 35, 37, 40, 44, 49, 55, 62, 0, 0, 0, 0, 0, 0, 0,
};

const double MultiValueMethodIntegrator::ERTST[2][10] = {
    {kHuge, 2, 12, 24, 37.89, 53.33, 70.08, 87.97, 0, 0},
    {kHuge, 2, 4.5, 7.33, 10.42, 13.7, 17.5, 21.3, 0, 0},
};

const double MultiValueMethodIntegrator::ADCOEF[2][10] = {
    {1, 0.5, 0.16667, 0.04147, 0.008333, 0.001389, 0.0001984, 2.48e-05, 0, 0},
    {1, 0.5, 0.11111, 0.02272, 0.004, 0.0006083, 8.098e-05, 0, 0, 0},
};

const double MultiValueMethodIntegrator::BNDT[12] = {
    0.33, 0.25, 0.2, 0.17, 0.14, 0.13, 0.11, 0.1, 0.09, 0.08, 0, 0,
};

const double MultiValueMethodIntegrator::QFAC[10] = {
    1, 2, 6, 24, 120, 720, 5040, 40320, 362880, 3628800,
};

const double MultiValueMethodIntegrator::PRMN[2] = {1.1, 1.3};

MultiValueMethodIntegrator::MultiValueMethodIntegrator() {
    order = 1;
    maxOrder = 6;
}

bool MultiValueMethodIntegrator::InitializeMethod() {
    const std::size_t n = numOdeStates;
    const std::size_t total = numStates;
    const std::size_t m = numAlgStates;
    nordsieck.Allocate(kNordsieckVectors, n);
    predicted.Allocate(kNordsieckVectors, n);
    accumulatedCorrection.assign(total, 0.0);
    fullJacobian.Allocate(total, total);
    iterationMatrix.Allocate(total, total);
    pivots.assign(total, 0);
    algebraicBlock.Allocate(m, m);
    algebraicPivots.assign(m, 0);
    algebraicWork.assign(m, 0.0);
    relativeCorrections.assign(total, 0.0);
    correctorResets.assign(total, 0);
    previousCorrection.assign(total, 0.0);
    ordersToNextChange = -2;  // new arrays: the first step restarts the method
    previousStepSize = 1.0;
    return true;
}

void MultiValueMethodIntegrator::Finalize() {
    for (Matrix* matrix : {&nordsieck, &predicted, &fullJacobian, &iterationMatrix, &algebraicBlock})
        matrix->Release();
    for (auto* vector : {&accumulatedCorrection, &algebraicWork, &relativeCorrections, &previousCorrection})
        std::vector<double>().swap(*vector);
    for (auto* vector : {&pivots, &algebraicPivots, &correctorResets}) std::vector<int32_t>().swap(*vector);
    Integrator::Finalize();
}

int32_t MultiValueMethodIntegrator::OrderLimit() const {
    return std::clamp<int32_t>(maxOrder, 1, Gear() ? kMaxGearOrder : kMaxAdamsOrder);
}

double MultiValueMethodIntegrator::NegatedL(int j) const {
    return ACOEF[AQPT[(Gear() ? 10 : 0) + order - 1] + j];
}

void MultiValueMethodIntegrator::ClearWorkAreas() {
    for (int j = 0; j < kNordsieckVectors; ++j) {
        std::fill_n(nordsieck[j], numOdeStates, 0.0);
        std::fill_n(predicted[j], numOdeStates, 0.0);
    }
}

void MultiValueMethodIntegrator::ChangeBasis() {
    const double ratio = stepSize / previousStepSize;
    std::copy_n(nordsieck[0], numOdeStates, predicted[0]);
    double scale = 1.0;
    for (int j = 1; j <= order; ++j) {
        scale *= ratio;
        for (uint32_t i = 0; i < numOdeStates; ++i) predicted[j][i] = nordsieck[j][i] * scale;
    }
}

void MultiValueMethodIntegrator::UpdateNordsieckVector() {
    for (int i = 0; i < order; ++i)
        for (int j = order; j > i; --j)
            for (uint32_t k = 0; k < numOdeStates; ++k) predicted[j - 1][k] += predicted[j][k];
}

void MultiValueMethodIntegrator::CalculateInverseTransitionMatrix(int32_t& info) {
    info = 0;
    const uint32_t n = numOdeStates;
    if (n == 0) return;
    const double scale = NegatedL(0) * stepSize;
    for (uint32_t i = 0; i < n; ++i) {
        double* row = iterationMatrix[i];
        for (uint32_t j = 0; j < n; ++j) row[j] = scale * fullJacobian[j][i];
        row[i] += 1.0;
    }
    const auto size = static_cast<int32_t>(n);
    Linpack::GaussFactor(iterationMatrix.Vectors(), size, size, pivots.data(), info);
}

void MultiValueMethodIntegrator::CalculateJacobianGeneralMatrix(int32_t& info) {
    info = 0;
    CalculateJacobian(FullJacobian, fullJacobian.Vectors());
    const uint32_t n = numOdeStates;
    const uint32_t m = numAlgStates;
    if (m == 0) return;

    // dg/dz, in rows.
    for (uint32_t r = 0; r < m; ++r)
        for (uint32_t c = 0; c < m; ++c) algebraicBlock[r][c] = fullJacobian[n + c][n + r];
    const auto size = static_cast<int32_t>(m);
    Linpack::GaussFactor(algebraicBlock.Vectors(), size, size, algebraicPivots.data(), info);
    if (info != 0) {
        WriteMessage("Singular matrix for algebraic states.");
        return;
    }
    double determinant[2];
    Linpack::GaussInvert(algebraicBlock.Vectors(), size, size, algebraicPivots.data(), determinant,
                         algebraicWork.data(), 1);

    // df/dy - df/dz (dg/dz)^-1 dg/dy, one column at a time.
    double* dzdy = algebraicWork.data();
    for (uint32_t j = 0; j < n; ++j) {
        double* column = fullJacobian[j];
        for (uint32_t k = 0; k < m; ++k) {
            double sum = 0.0;
            for (uint32_t l = 0; l < m; ++l) sum += algebraicBlock[k][l] * column[n + l];
            dzdy[k] = sum;
        }
        for (uint32_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (uint32_t k = 0; k < m; ++k) sum += fullJacobian[n + k][i] * dzdy[k];
            column[i] -= sum;
        }
    }
}

void MultiValueMethodIntegrator::RefreshJacobian() {
    int32_t info = 0;
    CalculateJacobianGeneralMatrix(info);
    if (info != 0) {
        WriteMessage("Error calculating Jacobian: stop flag set.");
        settings.SetStopFlag(true);
    }
    ++numJacobianEvals;
}

void MultiValueMethodIntegrator::Restart() {
    ClearWorkAreas();
    UpdateMaxErrorVector(true);
    RefreshJacobian();
    // Always seeded from the current point: the cleared arrays would otherwise
    // become the states at the end of the step.
    AlgebraicUpdate();
    CalculateDerivatives();
    std::copy_n(states, numOdeStates, nordsieck[0]);
    std::copy_n(derivatives, numOdeStates, nordsieck[1]);
    previousStepSize = 1.0;
    order = 1;
    ordersToNextChange = 1;
}

bool MultiValueMethodIntegrator::PrepareAttempt() {
    ChangeBasis();
    preparedOrder_ = order;
    if (!Gear()) return true;
    int32_t info = 0;
    CalculateInverseTransitionMatrix(info);
    ++numLuDecompositions;
    if (info == 0) return true;
    WriteMessage("Zero determinant for stiff algorithm.");
    settings.SetStopFlag(true);
    return false;
}

MultiValueMethodIntegrator::Correction MultiValueMethodIntegrator::Correct(double h, int32_t failures,
                                                                           uint32_t& worst) {
    const uint32_t n = numOdeStates;
    const double negatedL0 = NegatedL(0);
    const double bound = BNDT[order - 1];
    double* e = accumulatedCorrection.data();
    double* r = currentErrors.data();
    std::fill_n(e, n, 0.0);
    for (int k = 0; k < kCorrectorIterations; ++k) {
        std::copy_n(predicted[0], n, states);
        AlgebraicUpdate();
        CalculateDerivatives();
        firstDerivEval = false;
        if (StopRequested()) return Correction::Stopped;

        for (uint32_t i = 0; i < n; ++i) r[i] = predicted[1][i] - h * derivatives[i];
        if (Gear() && n > 0) {
            const auto size = static_cast<int32_t>(n);
            Linpack::GaussSolve(iterationMatrix.Vectors(), size, size, pivots.data(), r, 0);
        }
        bool converged = true;
        for (uint32_t i = 0; i < n; ++i) {
            predicted[0][i] += negatedL0 * r[i];
            predicted[1][i] -= r[i];
            e[i] += r[i];
            if (!(std::fabs(r[i]) <= maxErrors[i] * bound)) {  // NaN never converges
                converged = false;
                worst = i;
            }
        }
        if (writeNormalData) {
            WriteFormatted("Corrector iteration: fail flag %d, count %d.", failures, k);
            for (uint32_t i = 0; i < n; ++i) relativeCorrections[i] = r[i] / maxErrors[i];
            WriteMessage("Current error relative to maximum:");
            double* column = relativeCorrections.data();
            WriteMatrix(&column, n, 1);
            if (!converged) WriteFormatted("State number %u has largest error.", worst);
        }
        if (converged) return Correction::Converged;
    }
    return Correction::Diverged;
}

double MultiValueMethodIntegrator::LargestRatio(const double* v, uint32_t& state) const {
    double largest = 0.0;
    state = 0;
    for (uint32_t i = 0; i < numOdeStates; ++i) {
        const double magnitude = std::fabs(v[i]);
        const double ratio = magnitude == 0.0 ? 0.0 : magnitude / maxErrors[i];
        if (std::isnan(largest)) break;
        if (std::isnan(ratio) || ratio >= largest) {
            largest = ratio;
            state = i;
        }
    }
    return largest;
}

double MultiValueMethodIntegrator::ChooseFactor(double errorRatio, int32_t failures, Choice& choice) {
    const int q = order;
    const int family = Family();
    const uint32_t n = numOdeStates;
    const double same = StepFactor(kSameSafety, errorRatio * ERTST[family][q], q + 1);

    double lower = 0.0;
    if (q >= 2) {
        uint32_t state = 0;
        const double highest = LargestRatio(predicted[q], state);
        lower = StepFactor(kLowerSafety, ERTST[family][q - 1] * QFAC[q - 1] * highest, q);
    }

    double higher = 0.0;
    if (failures == 0 && q < OrderLimit() && n > 0) {
        double largest = 0.0;
        for (uint32_t i = 0; i < n; ++i) {
            const double change = std::fabs(accumulatedCorrection[i] - previousCorrection[i]);
            const double ratio = change == 0.0 ? 0.0 : change / maxErrors[i];
            if (std::isnan(ratio) || ratio > largest) largest = ratio;
        }
        higher = StepFactor(kHigherSafety, largest * ERTST[family][q + 1], q + 2);
    }

    double best;
    if (lower > same && lower > higher) {
        choice = Choice::Lower;
        best = lower;
    } else if (same > higher || !(higher > 0.0)) {
        choice = Choice::Same;
        best = same;
    } else {
        choice = Choice::Higher;
        best = higher;
    }
    if (failures == 0 && !(best >= 1.0)) best = 1.0;
    if (writeNormalData) {
        WriteMessage("Step change factors at different orders");
        WriteFormatted("Best factor %lf: factor current order %lf", best, same);
        WriteFormatted("Factor one lower %lf, factor one higher %lf", lower, higher);
    }
    return best;
}

double MultiValueMethodIntegrator::ApplyChoice(double factor, int32_t failures, Choice choice) {
    if (failures < 1 && factor <= PRMN[Family()]) return 1.0;
    if (choice == Choice::Lower) {
        --order;
    } else if (choice == Choice::Higher) {
        ++order;
        const double scale = ADCOEF[Family()][order - 1];
        for (uint32_t i = 0; i < numOdeStates; ++i) predicted[order][i] = -accumulatedCorrection[i] * scale;
    }
    ordersToNextChange = order + 1;
    // A failed step never grows the next attempt.
    if (failures > 0 && !(factor <= 1.0)) factor = 1.0;
    return factor;
}

bool MultiValueMethodIntegrator::GiveUpOrReduce(double h, uint32_t state, int32_t& failures, double& factor) {
    if (order == 1 && h <= minStepSize) {
        minStepReached = true;
        CalculateDerivatives();
        ordersToNextChange = -2;
        WriteFormatted("Can't satisfy error criterion for state number %u", state);
        return true;
    }
    failures = 1;
    factor = kFactorFloor;
    if (order >= 2) --order;
    return false;
}

void MultiValueMethodIntegrator::Step() {
    if (!Ready() || correctorResets.size() < numStates) return;
    const uint32_t n = numOdeStates;
    const double t0 = *indVar;
    const double entryStepSize = stepSize;
    const int family = Family();
    order = std::clamp(order, int32_t{1}, OrderLimit());

    // An outside change of a state (NaN counts), a restart request or a
    // forced restart starts the method again at order 1.
    const bool restart = ConsumeRestart(nordsieck[0]) || ordersToNextChange < 0;
    if (restart) Restart();
    UpdateMaxErrorVector(true);

    double h = stepSize;
    bool prepare = restart || std::fabs(h - previousStepSize) > stepChangeScale * 1e-15 ||
                   order != preparedOrder_;
    BeginStep();

    int32_t failures = 0;  // > 0 error-test failures, < 0 corrector failures
    for (;;) {
        if (prepare && !PrepareAttempt()) return;
        prepare = true;  // every retry rescales
        if (StopRequested()) return;
        *indVar = t0 + h;
        UpdateNordsieckVector();

        uint32_t worst = 0;
        const Correction correction = Correct(h, failures, worst);
        if (correction == Correction::Stopped) return;

        double factor = 1.0;
        if (correction == Correction::Diverged) {
            ++correctorResets[worst];
            if (failures >= 0 && Gear()) {
                RefreshJacobian();
                if (writeExtraData) {
                    WriteMessage("New Jacobian evaluated - Jacobian matrix:");
                    WriteMatrix(fullJacobian.Vectors(), numStates, numStates);
                }
                ordersToNextChange = order + 1;
                failures = std::min(failures, int32_t{0}) - 1;
                continue;
            }
            if (h > minStepSize) {
                h = std::max(kCorrectorReduction * h, minStepSize);
                stepSize = h;
                ordersToNextChange = order + 1;
                failures = std::min(failures, int32_t{0}) - 1;
                continue;
            }
            if (GiveUpOrReduce(h, worst, failures, factor)) break;
        } else {
            const double* e = accumulatedCorrection.data();
            uint32_t state = 0;
            const double ratio = LargestRatio(e, state);
            const double limit = ERTST[family][order];
            if (failures == 0 && n > 0) ++errorControlCounts[state];
            if (writeNormalData) {
                WriteMessage("Corrector converged.");
                WriteMessage("Sum of all derivative differences:");
                double* column = accumulatedCorrection.data();
                WriteMatrix(&column, n, 1);
                WriteFormatted("State %u has largest relative error of %lf", state, ratio);
                WriteFormatted("Scaled error that must be less than unity is %lf", ratio / limit);
            }
            if (!(ratio <= limit)) {
                if (failures >= kMaxErrorTestFailures) {
                    if (GiveUpOrReduce(h, state, failures, factor)) break;
                } else {
                    failures = std::max(failures, int32_t{0}) + 1;
                    Choice choice = Choice::Same;
                    const double best = ChooseFactor(ratio, failures, choice);
                    factor = ApplyChoice(best, failures, choice);
                }
            } else {
                failures = 0;
                for (int j = 2; j <= order; ++j) {
                    const double negatedL = NegatedL(j);
                    for (uint32_t i = 0; i < n; ++i) predicted[j][i] += negatedL * e[i];
                }
                if (ordersToNextChange == 1) std::copy_n(e, n, previousCorrection.data());
                if (ordersToNextChange == 0) {
                    ordersToNextChange = order + 1;
                    Choice choice = Choice::Same;
                    const double best = ChooseFactor(ratio, failures, choice);
                    factor = ApplyChoice(best, failures, choice);
                }
                for (int j = 0; j <= order; ++j) std::copy_n(predicted[j], n, nordsieck[j]);
                previousStepSize = h;
                *indVar = t0 + h;
                --ordersToNextChange;
            }
        }

        if (!restart && !(factor >= kFactorFloor)) factor = kFactorFloor;
        if (factor >= PRMN[family] || factor < 1.0) {
            h = std::clamp(std::min(factor, kFactorCap) * h, minStepSize, maxStepSize);
            stepSize = h;
        }
        if (failures == 0) {
            std::copy_n(nordsieck[0], n, states);
            break;
        }
    }
    stepSizeChanged = stepSize != entryStepSize;
}

void MultiValueMethodIntegrator::WriteStatistics() {
    WriteMessage("Count of times state controlled step size");
    for (uint32_t i = 0; i < numStates && i < correctorResets.size(); ++i)
        WriteFormatted("State: %5u,  Predictor Corrector Resets: %5d, Error Controlled: %5d", i,
                       correctorResets[i], errorControlCounts[i]);
    WriteFormatted("Number of Jacobian evaluations: %d", numJacobianEvals);
    WriteFormatted("Number of LU decompositions: %d", numLuDecompositions);
}
