#include "operators/OperatorRuntime.h"

#include "runtime/OrvoSimRuntime.h"

bool OperatorRuntime::GetContext(uint32_t instance, OperatorContext& context)
{
    const OdeSolver* solver = OrvoSimRuntime::GetInstance()->GetSolver(instance);
    if (solver == nullptr) return false;
    const Integrator* integrator = solver->GetIntegrator();
    if (integrator == nullptr || integrator->indVar == nullptr) return false;
    context.initialising = solver->GetInitializationInProgress();
    context.stepStart = integrator->firstDerivEval;
    integrator->stepStartRead = true;
    context.t = *integrator->indVar;
    return true;
}

void OperatorRuntime::WriteMessage(uint32_t instance, const char* text)
{
    if (text == nullptr) return;
    OrvoSimRuntime::GetInstance()->OrvoSimWriteMessage(instance, text);
}
