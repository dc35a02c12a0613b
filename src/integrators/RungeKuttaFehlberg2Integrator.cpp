#include "integrators/RungeKuttaFehlberg2Integrator.h"

namespace {

using Tableau = RungeKuttaFehlbergIntegrator::Tableau;

constexpr Tableau kFehlberg12 = {
    3,
    {
        {1, 2, {1, 2, {1}}, "Second derivative evaluation."},
        {1, 1, {1, 256, {1, 255}}, "Third derivative evaluation."},
    },
    {-1, 0, 1},
    {1, 512, {1, 510, 1}},
    512,
    0.5,
    0.8,
};

}  // namespace

RungeKuttaFehlberg2Integrator::RungeKuttaFehlberg2Integrator()
    : RungeKuttaFehlbergIntegrator(AlgorithmRungeKuttaFehlberg2, 2, kFehlberg12) {}
