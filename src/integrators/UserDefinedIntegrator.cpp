#include "integrators/UserDefinedIntegrator.h"

UserDefinedIntegrator::UserDefinedIntegrator() {
    algorithm = AlgorithmUserDefined;
    order = 0;
}

void UserDefinedIntegrator::Step() {}
