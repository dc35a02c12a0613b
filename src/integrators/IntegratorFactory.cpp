#include "integrators/IntegratorFactory.h"

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

std::unique_ptr<Integrator> CreateIntegrator(int32_t algorithm) {
    switch (algorithm) {
    case AlgorithmEuler: return std::make_unique<EulerIntegrator>();
    case AlgorithmRungeKutta2: return std::make_unique<RungeKutta2Integrator>();
    case AlgorithmRungeKutta4: return std::make_unique<RungeKutta4Integrator>();
    case AlgorithmUserDefined: return std::make_unique<UserDefinedIntegrator>();
    case AlgorithmDassl: return std::make_unique<DasslIntegrator>();
    case AlgorithmBulirschStoer: return std::make_unique<BulirschStoerIntegrator>();
    case AlgorithmAdamsBashforth2: return std::make_unique<AdamsBashforth2Integrator>();
    case AlgorithmAdamsMoulton: return std::make_unique<AdamsMoultonIntegrator>();
    case AlgorithmGear: return std::make_unique<GearStiffIntegrator>();
    case AlgorithmRungeKuttaFehlberg2: return std::make_unique<RungeKuttaFehlberg2Integrator>();
    case AlgorithmRungeKuttaFehlberg5: return std::make_unique<RungeKuttaFehlberg5Integrator>();
    case AlgorithmRosenbrock: return std::make_unique<RosenbrockIntegrator>();
    case AlgorithmOdepack: return std::make_unique<OdepackIntegrator>();
    case AlgorithmCvode: return std::make_unique<CvodeIntegrator>();
    default: return nullptr;
    }
}
