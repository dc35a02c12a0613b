#include <algorithm>
#include <array>

#include "RuntimeFixture.h"
#include "solver/EventQueue.h"
#include "solver/OdeEvent.h"

namespace {

using InstanceTest = RuntimeFixture;

TestModelLayout OneState() {
    TestModelLayout layout;
    layout.states = {Scalar("x")};
    return layout;
}

size_t CountSection(uint32_t instance, uint32_t section) {
    const auto& calls = TestModel::Get().sectionCalls;
    return std::count(calls.begin(), calls.end(), std::make_pair(instance, section));
}

TEST_F(InstanceTest, TableFillsToNinetyNineAndReusesFreedNumbers) {
    Start(OneState());
    for (uint32_t expected = 2; expected <= 99; ++expected) {
        ASSERT_EQ(OrvoCreate(), expected);
        // The execution manager drives the most recently created instance.
        EXPECT_EQ(runtime().GetExecutionManager().GetInstance(), expected);
    }
    EXPECT_EQ(OrvoCreate(), 0u);
    OrvoDestroy(5);
    EXPECT_EQ(OrvoCreate(), 5u);
    EXPECT_EQ(runtime().GetExecutionManager().GetInstance(), 5u);
    EXPECT_EQ(model().initializedInstances.size(), 100u);
}

TEST_F(InstanceTest, DestroyAnnouncesOnceAndIgnoresFreeOrInvalidSlots) {
    Start(OneState());
    OrvoDestroy(instance);
    EXPECT_EQ(CountSection(instance, 1), 1u);
    for (uint32_t bad : {instance, 0u, 57u, 100u, 0xFFFFFFFFu}) {
        OrvoDestroy(bad);
        runtime().OrvoSimReset(bad);
        OrvoStop(bad);
        OrvoReinitialize(bad);
    }
    EXPECT_EQ(CountSection(instance, 1), 1u);
    EXPECT_EQ(model().sectionCalls.size(), 1u);
}

TEST_F(InstanceTest, DestroyReleasesEveryCallbackList) {
    Start(OneState());
    auto watch = [](uint32_t, uint32_t, uint32_t) {};
    auto discrete = [](uint32_t, uint32_t, uint32_t) {};
    OrvoAddSymbolWatchCallback(instance, 1, 1, watch);
    OrvoAddDiscreteEventCallbackFunction(instance, 1, 1000, discrete);
    // The leak checker of the sanitizer build fails the run if these survive.
    OrvoDestroy(instance);
    EXPECT_EQ(runtime().GetSystemInstance(instance), nullptr);
}

TEST_F(InstanceTest, InitializingAgainReleasesLiveInstancesQuietly) {
    Start(OneState());
    OrvoCreate();
    OrvoInitialize();
    EXPECT_EQ(runtime().GetSystemInstance(instance), nullptr);
    EXPECT_EQ(CountSection(instance, 1), 0u);  // the model is not called
    EXPECT_EQ(OrvoCreate(), 1u);
}

TEST_F(InstanceTest, BlocksOfEmptyStateGroupsAreNull) {
    Start(OneState());
    EXPECT_NE(record().states, nullptr);
    EXPECT_EQ(record().algebraicStates, nullptr);
    EXPECT_EQ(record().delayStates, nullptr);
    EXPECT_EQ(record().otherVariables, nullptr);
    EXPECT_EQ(*record().settings, model().Address(model().SettingVariable(SettingCint)));
    EXPECT_EQ(runtime().GetUserDataBlock(instance), nullptr);
}

TEST_F(InstanceTest, UserDataBlockIsZeroedPerInstance) {
    TestModelLayout layout = OneState();
    layout.userDataSize = 24;
    Start(layout);
    auto* block = static_cast<uint8_t*>(runtime().GetUserDataBlock(instance));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + 24, 0), 24);
    const uint32_t second = OrvoCreate();
    EXPECT_NE(runtime().GetUserDataBlock(second), block);
}

TEST_F(InstanceTest, InitializationPreparesFlagsSolverAndTolerances) {
    TestModelLayout layout;
    TestVariable vector = Vector("v", 3);
    vector.relativeTolerance = 1e-6;
    vector.absoluteTolerance = 1e-9;
    layout.states = {vector, Scalar("s")};
    Start(layout);
    model().Setting<double>(SettingZzticg) = 2.5;
    model().Setting<uint8_t>(SettingZzstopflag) = 1;
    model().Setting<int32_t>(SettingZzicon) = 1;
    model().Setting<uint8_t>(SettingZzstepstop) = 1;
    model().Setting<double>(SettingCint) = 0.5;
    model().Setting<int32_t>(SettingNstp) = 4;
    model().InitialCondition(3) = 7.0;

    runtime().OrvoSimInitializeSystemInstance(instance);
    EXPECT_EQ(model().Setting<int32_t>(SettingZzinstidx), static_cast<int32_t>(instance));
    EXPECT_EQ(model().Time(), 2.5);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstopflag), 0);
    EXPECT_EQ(model().Setting<int32_t>(SettingZzicon), 0);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstepstop), 0);
    EXPECT_EQ(model().State(3), 7.0);  // initial conditions copied by the solver

    OdeSolver& solver = *record().solver;
    EXPECT_EQ(solver.GetStepSize(), 0.125);
    EXPECT_EQ(solver.GetNominalStepSize(), 0.125);
    // The settings are bound: the solver's stop flag is the model's byte.
    solver.settings.SetStopFlag(true);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstopflag), 1);

    Integrator* integrator = solver.GetIntegrator();
    ASSERT_NE(integrator, nullptr);
    ASSERT_EQ(integrator->numStates, 4u);
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(integrator->maxRelErrors[k], 1e-6);
        EXPECT_EQ(integrator->maxAbsErrors[k], 1e-9);
    }
    EXPECT_EQ(integrator->maxRelErrors[3], 0.0001);
    EXPECT_EQ(integrator->maxAbsErrors[3], 0.0001);

    // A tolerance set later reaches every element of its variable.
    OrvoSetRelativeError(instance, 2, 0.5);
    EXPECT_EQ(OrvoGetRelativeError(0, 2), 0.5);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(integrator->maxRelErrors[k], 0.5);
    EXPECT_EQ(integrator->maxRelErrors[3], 0.0001);
    EXPECT_EQ(OrvoGetAbsoluteError(0, 0), -1.0);
}

TEST_F(InstanceTest, UnsupportedAlgorithmFallsBackToRungeKutta4) {
    Start(OneState());
    model().Setting<int32_t>(SettingIalg) = 6;
    runtime().OrvoSimInitializeSystemInstance(instance);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "WARNING: Invalid integration algorithm was specified.",
                            "The default algorithm (RK4) is being used instead."}));
    EXPECT_EQ(model().Setting<int32_t>(SettingIalg), 5);
    EXPECT_EQ(record().solver->GetIntegrationAlgorithm(), AlgorithmRungeKutta4);
}

TEST_F(InstanceTest, DelayStatesCarryTheirDiscreteSections) {
    TestModelLayout layout = OneState();
    TestVariable first = Vector("d1", 2);
    first.discreteSection = 1000;
    TestVariable second = Scalar("d2");
    second.discreteSection = 1001;
    layout.delayStates = {first, second};
    Start(layout);
    runtime().OrvoSimInitializeSystemInstance(instance);
    const int32_t* keys = record().solver->GetDelayKeys();
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(std::vector<int32_t>(keys, keys + 3), (std::vector<int32_t>{1000, 1000, 1001}));
    EXPECT_EQ(record().numDelayElements, 3u);
}

TEST_F(InstanceTest, ResetAndStopWriteTheRunFlags) {
    Start(OneState());
    runtime().ScheduleEvent(instance, 1, 1000, 0, 0.5, nullptr);
    ASSERT_EQ(record().solver->TimeEvents().GetNumberPendingEvents(), 1u);
    model().Setting<uint8_t>(SettingZzstopflag) = 1;
    runtime().OrvoSimReset(instance);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstopflag), 0);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstepstop), 1);
    EXPECT_EQ(record().solver->TimeEvents().GetNumberPendingEvents(), 0u);
    OrvoStop(instance);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstopflag), 1);
}

TEST_F(InstanceTest, ReinitializeStartsFromTheCurrentState) {
    Start(OneState());
    runtime().OrvoSimInitializeSystemInstance(instance);
    model().Time() = 3.0;
    model().State(0) = 4.0;
    OrvoReinitialize(instance);
    EXPECT_EQ(model().Setting<double>(SettingZzticg), 3.0);
    EXPECT_EQ(model().InitialCondition(0), 4.0);
}

TEST_F(InstanceTest, CalcDerivUsesTheDefaultSectionOutsideTheDerivativeRange) {
    Start(OneState());
    OrvoCalcDeriv(instance, 499);
    OrvoCalcDeriv(instance, 1000);
    OrvoCalcDeriv(instance, 999);
    // Free and invalid slots evaluate nothing.
    for (uint32_t bad : {0u, instance + 1, 100u, 0xFFFFFFFFu}) OrvoCalcDeriv(bad, 500);
    EXPECT_EQ(model().sectionCalls,
              (std::vector<std::pair<uint32_t, uint32_t>>{
                  {instance, 500}, {instance, 500}, {instance, 999}}));
}

TEST_F(InstanceTest, LaterInstancesKeepTheRegisteredStateShapes) {
    TestModelLayout layout;
    layout.states = {Scalar("x"), Vector("v", 3)};
    Start(layout);
    // A host records an 8-element bool shape on the 8-byte scalar state.
    uint8_t bytes[8] = {};
    OrvoSymbolValue value;
    value.arrayValue = bytes;
    const uint32_t shape[6] = {8, 0, 0, 0, 0, 0};
    OrvoSetSymbolValue(instance, 2, 5, value, shape);
    uint32_t dims[6];
    OrvoGetSymbolDimensions(2, 0, dims);
    ASSERT_EQ(dims[0], 8u);

    const uint32_t later = OrvoCreate();
    ASSERT_NE(later, 0u);
    EXPECT_EQ(runtime().GetSystemInstance(later)->numStateElements, 4u);
    OrvoStartBlocking(later);
    ASSERT_NE(runtime().GetSolver(later)->GetIntegrator(), nullptr);
    EXPECT_EQ(runtime().GetSolver(later)->GetIntegrator()->numStates, 4u);
}

TEST_F(InstanceTest, SyncPointsThroughTheDataBlock) {
    Start(OneState());
    double times[2] = {0.25, 0.5};
    double* data = times;
    OrvoSetDataBlock(instance, 1, 0, 0, 2, &data);
    EXPECT_EQ(record().solver->GetSyncPoints(), (std::vector<double>{0.25, 0.5}));
    double* none = nullptr;
    OrvoSetDataBlock(instance, 1, 0, 0, 2, &none);
    OrvoSetDataBlock(instance, 1, 0, 0, 2, nullptr);
    OrvoSetDataBlock(instance, 1, 0, 0, -3, &data);
    EXPECT_EQ(record().solver->GetSyncPoints().size(), 2u);
    OrvoSetDataBlock(instance, 0, 0, 0, 0, nullptr);
    EXPECT_TRUE(record().solver->GetSyncPoints().empty());
}

// ---- registration -----------------------------------------------------------------

TEST_F(InstanceTest, RegistrationStoresTolerancesAndDerivedNumbers) {
    TestModelLayout layout;
    for (int k = 0; k < 42; ++k) {
        std::string name = "s";  // not "s" + ...: g++ 12 warns falsely (-Wrestrict) on that at -O2
        name += std::to_string(k);
        layout.states.push_back(Scalar(name));
    }
    Start(layout);
    OrvoSymbolInfo info;
    ASSERT_TRUE(OrvoGetSymbolInfo(2, &info));
    EXPECT_EQ(info.derivativeVariable, 44u);
    EXPECT_EQ(info.initialConditionVariable, 86u);

    const uint32_t last = OrvoGetNumberSymbols();
    const uint32_t dims[6] = {};
    runtime().SetVariableDescriptor(last, "renamed", 4, 5, dims, 0.0, -1.0);
    EXPECT_STREQ(OrvoGetSymbolName(last), "renamed");
    EXPECT_EQ(OrvoGetRelativeError(0, last), 0.0001);
    EXPECT_EQ(OrvoGetAbsoluteError(0, last), 0.0001);
    runtime().SetVariableDescriptor(last, "tight", 4, 5, dims, 1e-6, 1e-9);
    EXPECT_EQ(OrvoGetRelativeError(0, last), 1e-6);
    EXPECT_EQ(OrvoGetAbsoluteError(0, last), 1e-9);

    // One past the table is ignored by both descriptor calls.
    runtime().SetVariableDescriptor(last + 1, "ghost", 4, 5, dims, -1, -1);
    const uint32_t flags[11] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0x1FF};
    runtime().SetVariableExtendedInfo(last + 1, flags, 0, 0);
    EXPECT_EQ(OrvoGetSymbolIndex("ghost"), 0u);
    runtime().SetVariableExtendedInfo(last, flags, 0, 0);
    ASSERT_TRUE(OrvoGetSymbolInfo(last, &info));
    EXPECT_EQ(info.flags[10], 0xFF);  // the low byte of each flag
    // Pointers go only to existing instances and variables.
    runtime().SetVariablePointer(instance, last + 1, &info);
    runtime().SetVariablePointer(42, 1, &info);
    EXPECT_EQ(record().variables.size(), last + 1);
}

TEST_F(InstanceTest, ScheduleTypesMapToSolverEventTypes) {
    Start(OneState());
    runtime().OrvoSimInitializeSystemInstance(instance);
    OdeSolver& solver = *record().solver;
    EXPECT_FALSE(OrvoSimScheduleEvent(instance, 9, 1000, 0, 0.5, nullptr));
    EXPECT_EQ(solver.TimeEvents().GetNumberPendingEvents(), 1u);

    // State-event reports count at the start of a step.
    solver.GetIntegrator()->firstDerivEval = true;
    for (uint32_t type = 1; type <= 4; ++type) {
        EXPECT_FALSE(OrvoSimScheduleEvent(instance, type, 1000 + type, type, 1.0, nullptr));
    }
    EventQueue& reports = solver.PreviousValues();
    ASSERT_EQ(reports.GetNumberPendingEvents(), 3u);
    for (uint32_t id = 1; id <= 3; ++id) {
        auto* event = static_cast<OdeEvent*>(reports.GetEvent(id));
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->GetType(), static_cast<OdeEventType>(id + 1));
    }
    EXPECT_FALSE(OrvoSimScheduleEvent(57, 1, 1000, 0, 0.5, nullptr));
}

}  // namespace
