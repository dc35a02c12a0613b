#include "integrators/DasslIntegrator.h"

DasslIntegrator::DasslIntegrator() {
    algorithm = AlgorithmDassl;
    order = 0;
}

void DasslIntegrator::Step() {}
