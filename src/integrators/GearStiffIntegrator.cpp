#include "integrators/GearStiffIntegrator.h"

GearStiffIntegrator::GearStiffIntegrator() {
    algorithm = AlgorithmGear;
    order = 1;
}
