#include "integrators/BulirschStoerIntegrator.h"

BulirschStoerIntegrator::BulirschStoerIntegrator() {
    algorithm = AlgorithmBulirschStoer;
    order = 0;
}

void BulirschStoerIntegrator::Step() {}
