#include "integrators/AdamsMoultonIntegrator.h"

AdamsMoultonIntegrator::AdamsMoultonIntegrator() {
    algorithm = AlgorithmAdamsMoulton;
    order = 1;
}
