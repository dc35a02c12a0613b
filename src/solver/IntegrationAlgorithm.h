#pragma once

#include <cstdint>

// Values of the model setting `ialg`.
enum IntegrationAlgorithm : int32_t {
    AlgorithmNone = 0,
    AlgorithmAdamsMoulton = 1,
    AlgorithmGear = 2,
    AlgorithmEuler = 3,
    AlgorithmRungeKutta2 = 4,
    AlgorithmRungeKutta4 = 5,
    AlgorithmUninitialized = 6,
    AlgorithmUserDefined = 7,
    AlgorithmRungeKuttaFehlberg2 = 8,
    AlgorithmRungeKuttaFehlberg5 = 9,
    AlgorithmDassl = 10,
    AlgorithmBulirschStoer = 11,
    AlgorithmRosenbrock = 12,
    AlgorithmAdamsBashforth2 = 13,
    AlgorithmOdepack = 14,
    AlgorithmCvode = 15,
};

// Codes 3, 4, 5 and 7 take the step the solver gives them (the method table
// in IntegrationMethods.h says which).
bool IsFixedStepAlgorithm(int32_t code);
