// Integrator::CalculateAlgebraicStates: drives the residuals of the implicit
// algebraic loops to zero by a scaled hybrid of Newton's method and steepest
// descent, with damped Broyden updates of the Jacobian and its inverse and a
// fresh difference Jacobian when progress stalls. The quasi-Newton state
// (Jacobian, inverse, scales) persists from call to call.

#include <algorithm>
#include <cmath>
#include <limits>

#include "integrators/Integrator.h"
#include "numerics/Linpack.h"

namespace {

constexpr int32_t kMaxIterations = 50;
constexpr int32_t kRefreshIteration = 10;
constexpr int32_t kMaxHalvings = 4;
constexpr int32_t kMaxExponent = 1000;  // keeps 2^-mu representable as a step
constexpr double kHuge = 1.7976931348623157e308;
constexpr double kTiny = 2.2250738585072014e-308;
constexpr double kConverged = 0.33;
constexpr double kFullUpdate = 0.1;  // |d' J^-1 y| / |d|^2 above this: undamped update
constexpr double kDampedUpdate = 0.8;

double SquaredNorm(const double* v, uint32_t m) {
    double sum = 0.0;
    for (uint32_t i = 0; i < m; ++i) sum += v[i] * v[i];
    return sum;
}

// Views of the solver's work areas; m algebraic states. The allowed errors
// live in maxErrors after the ODE states, where the difference Jacobian reads them.
struct Work {
    explicit Work(Integrator& it)
        : m(it.numAlgStates),
          z(it.algStates),
          residual(it.residuals),
          allowed(it.maxErrors.data() + it.numOdeStates),
          absTol(it.maxAbsErrors + it.numOdeStates),
          relTol(it.maxRelErrors + it.numOdeStates),
          jacobian(it.algJacobian.Vectors()),
          inverse(it.algInverse.Vectors()),
          columnScale(it.algColumnScale.data()),
          rowScale(it.algRowScale.data()),
          pivots(it.algPivots.data()),
          x(it.algWork[0].data()),
          r(it.algWork[1].data()),
          bestX(it.algWork[2].data()),
          bestR(it.algWork[3].data()),
          step(it.algWork[4].data()),
          change(it.algWork[5].data()) {}

    uint32_t m;
    double* z;
    double* residual;
    double* allowed;
    const double* absTol;
    const double* relTol;
    double** jacobian;  // columns, equilibrated
    double** inverse;   // rows
    double* columnScale;
    double* rowScale;
    int32_t* pivots;
    double* x;      // current scaled state; free as a temporary once used
    double* r;      // current scaled residual; likewise
    double* bestX;  // best iterate: the base of the next step
    double* bestR;
    double* step;    // last scaled step
    double* change;  // last change of the scaled residuals

    double J(uint32_t i, uint32_t j) const { return jacobian[j][i]; }

    void UpdateAllowedErrors() {
        for (uint32_t i = 0; i < m; ++i) allowed[i] = std::max(absTol[i], relTol[i] * std::fabs(z[i]));
    }
    bool ScalesValid() const {
        for (uint32_t i = 0; i < m; ++i)
            if (!(columnScale[i] > 0.0) || !(rowScale[i] > 0.0)) return false;
        return true;
    }
    void ScaleCurrent() {
        for (uint32_t i = 0; i < m; ++i) {
            x[i] = z[i] * columnScale[i];
            r[i] = residual[i] / rowScale[i];
        }
    }
    void ResetToBest() {
        for (uint32_t i = 0; i < m; ++i) z[i] = bestX[i] / columnScale[i];
    }
    // Root mean square of the scaled residuals.
    double ScaledNorm() const { return std::sqrt(SquaredNorm(r, m) / m); }
    // Residuals weighted by the allowed errors.
    double WeightedNorm() const {
        double sum = 0.0;
        double weights = 0.0;
        for (uint32_t i = 0; i < m; ++i) {
            const double w = 1.0 / (allowed[i] * allowed[i]);
            sum += residual[i] * residual[i] * w;
            weights += w;
        }
        return std::sqrt(sum / weights);
    }
    // Norm of a scaled vector measured in allowed errors.
    double RelativeNorm(const double* v, double factor) const {
        double sum = 0.0;
        for (uint32_t i = 0; i < m; ++i) {
            const double c = factor * v[i] / (allowed[i] * columnScale[i]);
            sum += c * c;
        }
        return std::sqrt(sum);
    }

    // Divides the Jacobian by the scales, computing them first when asked.
    void Equilibrate(bool computeScales) {
        for (uint32_t j = 0; j < m; ++j) {
            if (computeScales) {
                const double norm = std::sqrt(SquaredNorm(jacobian[j], m));
                columnScale[j] = norm > 0.0 ? norm : -1.0;
            }
            if (columnScale[j] > 0.0)
                for (uint32_t i = 0; i < m; ++i) jacobian[j][i] /= columnScale[j];
        }
        for (uint32_t i = 0; i < m; ++i) {
            if (computeScales) {
                double sum = 0.0;
                for (uint32_t j = 0; j < m; ++j) sum += J(i, j) * J(i, j);
                rowScale[i] = sum > 0.0 ? std::sqrt(sum) : -1.0;
            }
            if (rowScale[i] > 0.0)
                for (uint32_t j = 0; j < m; ++j) jacobian[j][i] /= rowScale[i];
        }
    }

    // Damped Broyden update of the Jacobian and its inverse with the last
    // step (d) and residual change (y); y is overwritten.
    void RankOneUpdate() {
        const double* d = step;
        double* y = change;
        const double p = SquaredNorm(d, m);
        if (!(p > 0.0)) return;
        double* w = r;  // d' J^-1
        double* v = x;  // d - J^-1 y
        double o = 0.0;
        for (uint32_t j = 0; j < m; ++j) {
            double sum = 0.0;
            for (uint32_t k = 0; k < m; ++k) sum += d[k] * inverse[k][j];
            w[j] = sum;
            o += sum * y[j];
        }
        const double theta = std::fabs(o) > kFullUpdate * p ? 1.0 : kDampedUpdate;
        for (uint32_t i = 0; i < m; ++i) {
            double sum = 0.0;
            for (uint32_t j = 0; j < m; ++j) sum += inverse[i][j] * y[j];
            v[i] = d[i] - sum;
        }
        for (uint32_t i = 0; i < m; ++i) {  // y becomes y - J d
            double sum = 0.0;
            for (uint32_t j = 0; j < m; ++j) sum += J(i, j) * d[j];
            y[i] -= sum;
        }
        for (uint32_t j = 0; j < m; ++j)
            for (uint32_t i = 0; i < m; ++i) jacobian[j][i] += (theta / p) * y[i] * d[j];
        const double scale = theta / (theta * o + (1.0 - theta) * p);
        for (uint32_t i = 0; i < m; ++i)
            for (uint32_t j = 0; j < m; ++j) inverse[i][j] += scale * v[i] * w[j];
    }
};

// Difference Jacobian, equilibration, factorization and inverse; false when a
// variable or residual does not interact or the matrix is too ill-conditioned.
bool SetUpJacobian(Integrator& it, Work& w, bool computeScales, bool renewed) {
    const uint32_t m = w.m;
    const auto size = static_cast<int32_t>(m);
    w.UpdateAllowedErrors();
    it.CalculateJacobian(AlgebraicJacobian, w.jacobian);
    if (it.writeExtraData) {
        it.WriteMessage("New Jacobian evaluated - Jacobian matrix:");
        it.WriteMatrix(w.jacobian, m, m);
    }
    w.Equilibrate(computeScales);
    if (computeScales) {
        bool isolated = false;
        for (uint32_t i = 0; i < m; ++i) {
            if (w.columnScale[i] < 0.0) {
                it.WriteFormatted("No residual depends on variable %u.", i);
                isolated = true;
            }
            if (w.rowScale[i] < 0.0) {
                it.WriteFormatted("No variable affects residual %u.", i);
                isolated = true;
            }
        }
        if (isolated) return false;
    }

    for (uint32_t i = 0; i < m; ++i)
        for (uint32_t j = 0; j < m; ++j) w.inverse[i][j] = w.J(i, j);
    double rcond = 0.0;
    Linpack::GaussCond(w.inverse, size, size, w.pivots, rcond, w.x);
    if (it.writeExtraData || rcond / 50.0 + 1.0 == 1.0) {
        // Rendered as the condition number itself, rounded.
        const double condition = rcond > 0.0 ? 1.0 / rcond : std::numeric_limits<double>::infinity();
        it.WriteFormatted("%sJacobian evaluated. Condition number is %.0f.", renewed ? "New " : "", condition);
    }
    if (rcond + 1.0 == 1.0) {
        it.WriteFormatted("Condition of algebraic state jacobian %lf too low to proceed", rcond);
        return false;
    }
    double determinant[2];
    Linpack::GaussInvert(w.inverse, size, size, w.pivots, determinant, w.x, 1);
    return true;
}

// Newton step blended with steepest descent from the best iterate, halved mu
// times; applies it to the states and returns its size in allowed errors.
double TakeStep(Integrator& it, Work& w, int32_t& mu, bool chooseExponent, double s) {
    const uint32_t m = w.m;
    double* newton = w.step;
    double* descent = w.change;
    for (uint32_t i = 0; i < m; ++i) {
        double sum = 0.0;
        for (uint32_t j = 0; j < m; ++j) sum += w.inverse[i][j] * w.bestR[j];
        newton[i] = -sum;
    }
    for (uint32_t j = 0; j < m; ++j) {
        double sum = 0.0;
        for (uint32_t i = 0; i < m; ++i) sum += w.J(i, j) * w.bestR[i];
        descent[j] = -sum;
    }
    double jg = 0.0;
    for (uint32_t i = 0; i < m; ++i) {
        double sum = 0.0;
        for (uint32_t j = 0; j < m; ++j) sum += w.J(i, j) * descent[j];
        jg += sum * sum;
    }
    const double alpha = SquaredNorm(descent, m) / (jg + kTiny);
    if (chooseExponent) {
        const double exponent = std::log2(SquaredNorm(newton, m) / (s * s));
        mu = exponent >= 0.0 ? static_cast<int32_t>(std::min(exponent, double{kMaxExponent})) : 0;
    }
    if (it.writeNormalData)
        it.WriteFormatted("Newton step %lf, steepest descent step %lf.", w.RelativeNorm(newton, 1.0),
                          w.RelativeNorm(descent, alpha));

    const double halving = std::ldexp(1.0, -mu);
    for (uint32_t i = 0; i < m; ++i) w.step[i] = halving * (newton[i] + mu * alpha * descent[i]);
    const double relative = w.RelativeNorm(w.step, 1.0);
    if (it.writeNormalData) it.WriteFormatted("Relative step %lf, mu %d", relative, mu);
    for (uint32_t i = 0; i < m; ++i) w.z[i] = (w.bestX[i] + w.step[i]) / w.columnScale[i];
    return relative;
}

}  // namespace

bool Integrator::CalculateAlgebraicStates() {
    if (numAlgStates == 0) return true;
    if (algStates == nullptr || residuals == nullptr || algWork[5].size() < numAlgStates) return false;
    Work w(*this);
    const bool initializing = initializationInProgress;

    // The scales are computed on the first Jacobian of a call during
    // initialization, and whenever no usable set-up exists yet.
    bool fresh = false;
    if (initializing || !w.ScalesValid()) {
        if (!SetUpJacobian(*this, w, true, false)) return false;
        fresh = true;
    }

    int32_t mu = 0;
    double bestS = kHuge;
    double bestRho = kHuge;
    for (int32_t k = 1;; ++k) {
        w.UpdateAllowedErrors();
        if (k > kMaxIterations) {
            WriteMessage("Too many iterations - algebraic state calculation did not converge.");
            return false;
        }
        FirstEvaluation();

        w.ScaleCurrent();
        const double s = w.ScaledNorm();
        const double rho = w.WeightedNorm();
        if (k == 1) {
            std::copy_n(w.x, w.m, w.bestX);
            std::copy_n(w.r, w.m, w.bestR);
        }
        if (writeNormalData) {
            WriteFormatted("State vector - iteration number %d:", k);
            WriteStates();
            WriteFormatted("Residual vector - current rms %lf previous %lf.", rho, bestRho);
            WriteFormatted("           Scaled residual is %lf previous %lf.", s, bestS);
        }
        if (StopRequested()) return true;
        if (s == 0.0) return true;

        bool refresh = false;
        if (k == kRefreshIteration && !fresh) {
            refresh = true;
        } else {
            for (uint32_t i = 0; i < w.m; ++i) {
                w.step[i] = w.x[i] - w.bestX[i];
                w.change[i] = w.r[i] - w.bestR[i];
            }
            if (s < bestS) {
                bestS = s;
                bestRho = rho;
                if (k != 1) {
                    fresh = false;
                    mu = std::max(mu - 1, int32_t{0});
                    std::copy_n(w.x, w.m, w.bestX);
                    std::copy_n(w.r, w.m, w.bestR);
                }
            } else {
                ++mu;
                refresh = !fresh && mu > kMaxHalvings;
            }
            if (!refresh && !fresh) w.RankOneUpdate();
        }
        if (refresh) {
            w.ResetToBest();
            if (!SetUpJacobian(*this, w, false, true)) return false;
            fresh = true;
        }

        const double relative = TakeStep(*this, w, mu, k == 1 && initializing, s);
        if (std::pow(2.0 * relative, mu) < kConverged) return true;
    }
}
