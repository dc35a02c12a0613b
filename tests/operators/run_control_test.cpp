#include <gtest/gtest.h>

#include <vector>

#include "OperatorTestModel.h"
#include "operators/OperatorRuntime.h"
#include "operators/OrvoSimOperators.h"
#include "runtime/OrvoSimRuntime.h"

namespace {

struct Observed {
    bool initialising;
    bool stepStart;
    double t;
    double state;
};

TEST(RunControl, ResetEvaluatesThenCopiesInitialConditionsThenEvaluatesAtTheStart)
{
    OperatorTestModel model;
    const uint32_t instance = model.Instance();
    std::vector<Observed> seen;
    model.onDerivative = [&](uint32_t i) {
        OperatorContext c;
        ASSERT_TRUE(OperatorRuntime::GetContext(i, c));
        seen.push_back({c.initialising, c.stepStart, c.t, model.State()});
    };
    model.initialValue = 3;
    zznits(instance);
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    EXPECT_EQ(runtime->GetSystemInstance(instance)->executionState, OrvoExecutionInitialized);
    model.StopFlag() = 1;
    model.State() = -1;
    zzrset(instance);

    ASSERT_EQ(seen.size(), 2u);
    // First: computes the initial conditions (states not yet copied).
    EXPECT_TRUE(seen[0].initialising);
    EXPECT_FALSE(seen[0].stepStart);
    EXPECT_EQ(seen[0].state, -1.0);
    // Second: at the initial point, as a step start.
    EXPECT_TRUE(seen[1].initialising);
    EXPECT_TRUE(seen[1].stepStart);
    EXPECT_EQ(seen[1].state, 3.0);
    EXPECT_EQ(model.State(), 3.0);
    EXPECT_EQ(model.StopFlag(), 0);
    EXPECT_EQ(model.StepStop(), 0);

    OperatorContext after;
    ASSERT_TRUE(OperatorRuntime::GetContext(instance, after));
    EXPECT_FALSE(after.initialising);
    EXPECT_FALSE(after.stepStart);
}

TEST(RunControl, ResetHonoursAPendingPreStepRequest)
{
    OperatorTestModel model;
    zznits(model.Instance());
    OrvoSimSystemInstance* record = OrvoSimRuntime::GetInstance()->GetSystemInstance(model.Instance());
    record->preStepFlag = 1;
    zzrset(model.Instance());
    EXPECT_EQ(model.StepStop(), 1);
    EXPECT_EQ(record->preStepFlag, 0);
}

TEST(RunControl, ResetClearsItsFlagsWhenTheModelThrows)
{
    OperatorTestModel model;
    zznits(model.Instance());
    int calls = 0;
    model.onDerivative = [&](uint32_t) {
        if (++calls == 2) throw std::runtime_error("model fault");
    };
    EXPECT_THROW(zzrset(model.Instance()), std::runtime_error);
    OperatorContext c;
    ASSERT_TRUE(OperatorRuntime::GetContext(model.Instance(), c));
    EXPECT_FALSE(c.initialising);
    EXPECT_FALSE(c.stepStart);
}

TEST(RunControl, TerminateWritesItsTextOnceAndStops)
{
    OperatorTestModel model;
    model.Initialize();
    zztrmt(model.Instance(), "run complete");
    zztrmt(model.Instance(), "run complete");
    ASSERT_EQ(model.messages.size(), 1u);
    EXPECT_EQ(model.messages[0], "run complete");
    EXPECT_EQ(model.StopFlag(), 1);
    // Free or invalid instance numbers are ignored.
    zztrmt(0, "x");
    zztrmt(55, "x");
    zztrmt(1000, "x");
    EXPECT_EQ(model.messages.size(), 1u);
}

TEST(RunControl, RestartSetsTheNextStepAndDiscardsHistory)
{
    OperatorTestModel model;
    model.Initialize();
    OdeSolver* solver = OrvoSimRuntime::GetInstance()->GetSolver(model.Instance());
    ASSERT_NE(solver->GetIntegrator(), nullptr);
    solver->GetIntegrator()->restartRequested = false;
    zzrstart(model.Instance(), 0, 0.125);
    EXPECT_EQ(solver->GetStepSize(), 0.125);
    EXPECT_TRUE(solver->GetIntegrator()->restartRequested);
    zzrstart(42, 0, 0.5);  // no such instance: nothing
}

TEST(RunControl, MessagesReachTheInstancesStatusCallbacks)
{
    OperatorTestModel model;
    disstr(model.Instance(), "one");
    wem(model.Instance(), "two");
    disstr(model.Instance(), nullptr);
    disstr(77, "lost");
    EXPECT_EQ(model.messages, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
