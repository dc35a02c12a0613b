#include "integrators/RungeKuttaFehlberg5Integrator.h"

namespace {

using Tableau = RungeKuttaFehlbergIntegrator::Tableau;

constexpr Tableau kFehlberg45 = {
    6,
    {
        {1, 4, {1, 4, {1}}, "Second derivative evaluation."},
        {3, 8, {3, 32, {1, 3}}, "Third derivative evaluation."},
        {12, 13, {1, 2197, {1932, -7200, 7296}}, "Fourth derivative evaluation."},
        {1, 1, {1, 4104, {8341, -32832, 29440, -845}}, "Fifth derivative evaluation."},
        {1, 2, {1, 20520, {-6080, 41040, -28352, 9295, -5643}}, "Sixth derivative evaluation."},
    },
    {-2090, 0, 22528, 21970, -15048, -27360},
    {1, 7618050, {902880, 0, 3953664, 3855735, -1371249, 277020}},
    752400,
    0.2,
    0.9,
};

}  // namespace

RungeKuttaFehlberg5Integrator::RungeKuttaFehlberg5Integrator()
    : RungeKuttaFehlbergIntegrator(AlgorithmRungeKuttaFehlberg5, 5, kFehlberg45) {}
