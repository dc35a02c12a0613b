#include "solver/IntegrationMethods.h"

#include <array>

#include "integrators/AdamsBashforth2Integrator.h"
#include "integrators/AdamsMoultonIntegrator.h"
#include "integrators/BulirschStoerIntegrator.h"
#include "integrators/DasslIntegrator.h"
#include "integrators/EulerIntegrator.h"
#include "integrators/GearStiffIntegrator.h"
#include "integrators/RosenbrockIntegrator.h"
#include "integrators/RungeKutta2Integrator.h"
#include "integrators/RungeKutta4Integrator.h"
#include "integrators/RungeKuttaFehlberg2Integrator.h"
#include "integrators/RungeKuttaFehlberg5Integrator.h"
#include "integrators/UserDefinedIntegrator.h"
#include "numerics/CvodeIntegrator.h"
#include "numerics/OdepackIntegrator.h"
#include "solver/IntegrationAlgorithm.h"

namespace {

template <class Method>
std::unique_ptr<Integrator> Make() {
    return std::make_unique<Method>();
}

constexpr StepKind kFixed = StepKind::Fixed;
constexpr StepKind kVariable = StepKind::Variable;

const IntegrationMethod kMethods[] = {
    {AlgorithmAdamsMoulton, "Adams-Moulton", kVariable, true, &Make<AdamsMoultonIntegrator>},
    {AlgorithmGear, "Gear", kVariable, true, &Make<GearStiffIntegrator>},
    {AlgorithmEuler, "Euler", kFixed, true, &Make<EulerIntegrator>},
    {AlgorithmRungeKutta2, "RK2", kFixed, true, &Make<RungeKutta2Integrator>},
    {AlgorithmRungeKutta4, "RK4", kFixed, true, &Make<RungeKutta4Integrator>},
    {AlgorithmUserDefined, "user-defined", kFixed, false, &Make<UserDefinedIntegrator>},
    {AlgorithmRungeKuttaFehlberg2, "RKF2", kVariable, true, &Make<RungeKuttaFehlberg2Integrator>},
    {AlgorithmRungeKuttaFehlberg5, "RKF5", kVariable, true, &Make<RungeKuttaFehlberg5Integrator>},
    {AlgorithmDassl, "DASSL", kVariable, false, &Make<DasslIntegrator>},
    {AlgorithmBulirschStoer, "Bulirsch-Stoer", kVariable, false, &Make<BulirschStoerIntegrator>},
    {AlgorithmRosenbrock, "Rosenbrock", kVariable, true, &Make<RosenbrockIntegrator>},
    {AlgorithmAdamsBashforth2, "AB2", kVariable, true, &Make<AdamsBashforth2Integrator>},
    {AlgorithmOdepack, "ODEPACK DLSODES", kVariable, true, &Make<OdepackIntegrator>},
    {AlgorithmCvode, "CVODE", kVariable, true, &Make<CvodeIntegrator>},
};

}  // namespace

std::span<const IntegrationMethod> IntegrationMethods() { return kMethods; }

// The solver asks several times a step: a table by code, not a search.
const IntegrationMethod* FindIntegrationMethod(int32_t code) {
    constexpr int32_t kCodes = AlgorithmCvode + 1;
    static const auto byCode = [] {
        std::array<const IntegrationMethod*, kCodes> table{};
        for (const IntegrationMethod& method : kMethods)
            if (method.code >= 0 && method.code < kCodes) table[static_cast<std::size_t>(method.code)] = &method;
        return table;
    }();
    return code >= 0 && code < kCodes ? byCode[static_cast<std::size_t>(code)] : nullptr;
}

std::unique_ptr<Integrator> CreateIntegrator(int32_t code) {
    const IntegrationMethod* method = FindIntegrationMethod(code);
    return method ? method->create() : nullptr;
}
