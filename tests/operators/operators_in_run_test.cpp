#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "OperatorTestModel.h"
#include "operators/OperatorRuntime.h"
#include "operators/OrvoSimOperators.h"
#include "operators/RandomNumber.h"
#include "runtime/OrvoSimRuntime.h"
#include "runtime/OrvoSimRuntimeAPI.h"

namespace {

// The memory of one delay operator as generated code would hold it.
struct DelayMemory {
    double output = 0;
    double time[64] = {};
    double value[64] = {};
    int32_t head = 0, cursor = 0;
    uint8_t update = 0;
};

// Every step opens with a flagged evaluation, also for the solver packages,
// which skip that evaluation for models without operators with memory.
TEST(OperatorsInRun, DelayCommitsAtTheIntegratorsStepStarts)
{
    for (const int32_t ialg : {5, 14, 15}) {
        OperatorTestModel model;
        model.Algorithm() = ialg;
        DelayMemory d;
        std::vector<std::pair<double, double>> atStepStarts;
        int steps = 0;
        model.onDerivative = [&](uint32_t instance) {
            zzdlym(instance, 2 * model.Time() + 1, -1, 0.25, 64, 0, &d.output, d.time, d.value, &d.head,
                   &d.cursor, &d.update);
            OperatorContext c;
            if (OperatorRuntime::GetContext(instance, c) && c.stepStart && !c.initialising)
                atStepStarts.emplace_back(c.t, d.output);
            const OdeSolver* solver = OrvoSimRuntime::GetInstance()->GetSolver(instance);
            if (solver && solver->GetIntegrator() && solver->GetIntegrator()->postStepDerivEval) ++steps;
        };
        model.Initialize();
        model.RunUntil(1.0);
        ASSERT_GE(atStepStarts.size(), ialg == 5 ? 90u : 10u) << ialg;
        EXPECT_EQ(atStepStarts.size(), static_cast<std::size_t>(steps)) << ialg;
        for (const auto& [t, out] : atStepStarts) {
            if (t < 0.25 - 1e-9) {
                EXPECT_EQ(out, -1.0) << ialg << " " << t;
            } else if (t > 0.27) {
                EXPECT_NEAR(out, 2 * (t - 0.25) + 1, 1e-9) << ialg << " " << t;
            }
        }
        EXPECT_TRUE(model.messages.empty()) << ialg << ": " << (model.messages.empty() ? "" : model.messages[0]);
    }
}

TEST(OperatorsInRun, DelayFailuresAreReportedAndLeaveTheOutput)
{
    OperatorTestModel model;
    DelayMemory d;
    double delay = 0.1;
    int32_t n = 64;
    model.onDerivative = [&](uint32_t instance) {
        zzdlym(instance, model.Time(), 0, delay, n, 0, &d.output, d.time, d.value, &d.head,
               &d.cursor, &d.update);
    };
    model.Initialize();
    d.output = 42;
    delay = -0.5;
    OrvoSimIntegrate(model.Instance());
    ASSERT_FALSE(model.messages.empty());
    EXPECT_EQ(model.messages[0], "Negative delay value of -0.500000.\n");
    EXPECT_EQ(d.output, 42.0);

    model.messages.clear();
    n = 1;
    delay = 0.1;
    model.Initialize();
    ASSERT_FALSE(model.messages.empty());
    EXPECT_EQ(model.messages[0], "Insufficient area for delay function.\n");
}

TEST(OperatorsInRun, OperatorsWithoutARunningSolverWriteNothing)
{
    OperatorTestModel model;  // created, not initialised: no integrator yet
    double out = 7, a = 0, b = 0, c = 0;
    uint8_t flag = 0;
    int32_t head = 0, cursor = 0;
    double tb[4] = {}, vb[4] = {};
    for (uint32_t instance : {model.Instance(), 0u, 77u, 5000u}) {
        zzdlym(instance, 1, 2, 0.1, 4, 0, &out, tb, vb, &head, &cursor, &flag);
        zzdlim(instance, &out, &a, &b, 0, 1, 0, 1);
        zzxdot(instance, 1, 2, &out, &a, &b, &c);
        zzexp(instance, 1, 0.5, 1, &flag, &out, &a, &b);
        zzou(instance, 1, 0, 1, &a, &out, &b);
    }
    zzbkls(&out, &a, 1, 1, 1);
    EXPECT_EQ(out, 7.0);
    EXPECT_TRUE(model.messages.empty());
}

TEST(OperatorsInRun, MemoryOperatorsSeeTheRunsPhases)
{
    OperatorTestModel model;
    double slopeOut = 0, px = 0, pt = 0, slope = 0;
    double expOut = 0, origin = 0, last = 0;
    uint8_t previous = 0;
    double bkOut = 0, held = 0;
    double ouOut = 0, noise = 0, ouLast = 0;
    model.onDerivative = [&](uint32_t instance) {
        const double t = model.Time();
        zzxdot(instance, t * t, 0.25, &slopeOut, &px, &pt, &slope);
        zzexp(instance, 0.5, 0.2, 1, &previous, &expOut, &origin, &last);
        zzbkls(&bkOut, &held, 0.0, 0.1, t);
        zzou(instance, 0.5, 10, 1, &noise, &ouOut, &ouLast);
    };
    RandomNumber::Seed(5);
    model.Initialize();
    EXPECT_EQ(slopeOut, 0.25);
    EXPECT_NEAR(expOut, 0.2, 1e-15);
    EXPECT_EQ(bkOut, 0.0);
    EXPECT_EQ(ouLast, 0.0);
    model.RunUntil(1.0);
    // The last committed slope spans the last step (0.01) of x = t^2.
    EXPECT_NEAR(slope, 2 * pt - 0.01, 1e-9);
    // The switched exponential keeps its value at the last step start.
    EXPECT_NEAR(last, 1 - 0.8 * std::exp(-pt / 0.5), 1e-12);
    EXPECT_NEAR(held, pt - 0.1, 1e-12);
    EXPECT_EQ(ouLast, pt);
    EXPECT_NE(noise, 0.0);
}

}  // namespace
