#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "solver/SolverTestModel.h"

namespace {

using solvertest::kInstance;
using solvertest::TestModel;

constexpr uint32_t kSection = 1000;
constexpr double kMinStep = 1e-9;  // the location tolerance in these runs

constexpr IntegrationAlgorithm kEveryMethod[] = {
    AlgorithmAdamsMoulton, AlgorithmGear,          AlgorithmEuler,     AlgorithmRungeKutta2,
    AlgorithmRungeKutta4,  AlgorithmRungeKuttaFehlberg2, AlgorithmRungeKuttaFehlberg5,
    AlgorithmRosenbrock,   AlgorithmAdamsBashforth2, AlgorithmOdepack, AlgorithmCvode};

// A rising event on x - level; each service records the function's value then.
struct CrossingModel {
    double level = 0.0;
    std::vector<double> valuesAtService;
};

CrossingModel* crossing = nullptr;

void ReportCrossing(TestModel& m) {
    m.solver.AddEvent(1, RisingStateEvent, m.y[0] - crossing->level, kInstance, kSection, nullptr);
}

void InitCrossingRun(TestModel& m, IntegrationAlgorithm algorithm) {
    m.discrete = [](TestModel& model, uint32_t) { crossing->valuesAtService.push_back(model.y[0] - crossing->level); };
    m.Init(algorithm);
    m.solver.SetMinStepSize(kMinStep);
}

// x' = 1 + 0.3 sin 5t, whose rate varies so that methods with error control
// or history re-integrate to other values than the step first taken. Every
// level is crossed once: it must be serviced once, with the function already
// at or above zero and no further than the location tolerance past its root
// (x' <= 1.3). The lowest levels lie inside the first step of the run.
TEST(StateEventSweep, EveryCrossingIsServicedOnceJustAfterItsRootByEveryMethod) {
    // 250 levels x 11 methods take a few seconds in the sanitizer build; the
    // faults this guards against showed in about one level in 200.
    constexpr int kLevels = 250;
    for (const IntegrationAlgorithm algorithm : kEveryMethod) {
        int failures = 0;
        for (int k = 0; k < kLevels && failures < 3; ++k) {
            CrossingModel run;
            run.level = 0.0031 + 0.000597 * k;
            crossing = &run;
            TestModel m;
            m.derivative = [](TestModel& model) {
                model.dy[0] = 1.0 + 0.3 * std::sin(5.0 * model.t);
                ReportCrossing(model);
            };
            InitCrossingRun(m, algorithm);
            bool ran = true;
            while (ran && m.t < run.level + 0.1) ran = m.Interval();

            const std::size_t services = run.valuesAtService.size();
            const double f = services > 0 ? run.valuesAtService[0] : std::nan("");
            const bool good = ran && services == 1 && f >= 0.0 && f <= 1.3 * kMinStep * (1.0 + 1e-6);
            if (!good) ++failures;
            EXPECT_TRUE(good) << "algorithm " << algorithm << ", level " << run.level << ": "
                              << services << " services, first value " << f
                              << (ran ? "" : ", run stopped");
        }
    }
    crossing = nullptr;
}

// x' = 1; each service sets x back so that it crosses again 0.0051 later:
// 20 crossings in [0.5, 0.6), each serviced, the first at 0.5.
TEST(StateEventSweep, RepeatedCrossingIsServicedEveryTimeByEveryMethod) {
    for (const IntegrationAlgorithm algorithm : kEveryMethod) {
        CrossingModel run;
        run.level = 0.5;
        crossing = &run;
        TestModel m;
        m.derivative = [](TestModel& model) {
            model.dy[0] = 1.0;
            ReportCrossing(model);
        };
        InitCrossingRun(m, algorithm);
        m.discrete = [](TestModel& model, uint32_t) {
            crossing->valuesAtService.push_back(model.y[0] - crossing->level);
            model.y[0] = 0.4949;
        };
        for (int i = 0; i < 6; ++i) ASSERT_TRUE(m.Interval()) << "algorithm " << algorithm;
        const std::vector<double> times = m.ServiceTimes(kSection);
        ASSERT_EQ(times.size(), 20u) << "algorithm " << algorithm;
        for (std::size_t i = 0; i < times.size(); ++i)
            EXPECT_NEAR(times[i], 0.5 + 0.0051 * static_cast<double>(i), 1e-7) << "algorithm " << algorithm;
        EXPECT_LT(m.y[0], 0.5) << "algorithm " << algorithm;
    }
    crossing = nullptr;
}

}  // namespace
