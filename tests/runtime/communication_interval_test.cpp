#include <algorithm>

#include "RuntimeFixture.h"

namespace {

std::vector<OrvoTickType> ticks;
std::vector<uint32_t> watchFires;

class CommunicationIntervalTest : public RuntimeFixture {
protected:
    void SetUp() override {
        TestModelLayout layout;
        layout.states = {Scalar("x")};
        layout.others = {Scalar("level")};
        Start(layout);
        ticks.clear();
        watchFires.clear();
        OrvoAddTickCallbackFunction(instance, 1,
                                    [](uint32_t, uint32_t, OrvoTickType t) { ticks.push_back(t); });
        model().Setting<double>(SettingCint) = 0.1;
        model().stopTime = 0.5;
    }
    static constexpr uint32_t kLevel = 5;
    double& Level() { return *static_cast<double*>(model().Address(kLevel)); }
};

TEST_F(CommunicationIntervalTest, EveryCompletedIntervalIsAnOutputPoint) {
    model().Setting<int32_t>(SettingNciout) = 3;
    model().Simulate(instance);
    // Five intervals to t = 0.5; the last pass, with the stop flag set, reports nothing.
    EXPECT_EQ(ticks, std::vector<OrvoTickType>(5, OrvoTickOutputPoint));
    EXPECT_EQ(record().commIntervalCounter, 5u);
    EXPECT_NEAR(model().Time(), 0.5, 1e-12);
    EXPECT_NEAR(model().State(0), 0.5, 1e-12);
    EXPECT_EQ(record().solver->GetDerivFuncArg1(), instance);
    EXPECT_EQ(record().solver->GetDerivFuncArg2(), 500u);
}

TEST_F(CommunicationIntervalTest, StoppedIntervalAndCounterRule) {
    runtime().OrvoSimInitializeSystemInstance(instance);
    model().Setting<uint8_t>(SettingZzstopflag) = 1;
    OrvoSimIntegrate(instance);
    EXPECT_TRUE(ticks.empty());

    // Without a reported communication point only every nciout-th counts.
    model().Setting<uint8_t>(SettingZzstopflag) = 0;
    model().Setting<int32_t>(SettingNciout) = 2;
    record().commIntervalCounter = 1;
    record().solver->settings.CommPointReached = false;
    OrvoSimIntegrate(instance);
    EXPECT_TRUE(ticks.empty());
    record().commIntervalCounter = 2;
    record().solver->settings.CommPointReached = false;
    OrvoSimIntegrate(instance);
    EXPECT_EQ(ticks.size(), 1u);
}

TEST_F(CommunicationIntervalTest, WatchFiresWhileTheValueDiffersFromRegistration) {
    Level() = 0.0;
    OrvoAddSymbolWatchCallback(instance, 9, kLevel,
                               [](uint32_t, uint32_t, uint32_t v) { watchFires.push_back(v); });
    static int points = 0;
    points = 0;
    model().onSection = [this](uint32_t, uint32_t section) {
        if (section == 2 && ++points == 3) Level() = 1.0;
    };
    model().Simulate(instance);
    // Changed before the third of five output points: fires at points 3, 4, 5.
    EXPECT_EQ(watchFires, std::vector<uint32_t>(3, kLevel));
}

TEST_F(CommunicationIntervalTest, EventsDueAtTheStartRunBeforeTheFirstPoint) {
    runtime().OrvoSimInitializeSystemInstance(instance);
    OrvoSimScheduleEvent(instance, 1, 1000, 0, 0.0, nullptr);
    OrvoSimIntegrate(instance);
    const auto& calls = model().sectionCalls;
    auto event = std::find(calls.begin(), calls.end(), std::make_pair(instance, 1000u));
    auto point = std::find(calls.begin(), calls.end(), std::make_pair(instance, 2u));
    ASSERT_NE(event, calls.end());
    EXPECT_LT(event, point);
}

TEST_F(CommunicationIntervalTest, MessageBuffersArriveSolverFirst) {
    runtime().OrvoSimInitializeSystemInstance(instance);
    static bool once = false;
    once = true;
    model().onSection = [this](uint32_t, uint32_t section) {
        if (section != 500 || !once) return;
        once = false;
        record().solver->GetIntegrator()->WriteMessage("from the integrator");
        record().solver->WriteMessage("from the solver");
    };
    OrvoSimIntegrate(instance);
    EXPECT_EQ(messages,
              (std::vector<std::string>{"from the solver\n", "from the integrator\n"}));
    EXPECT_TRUE(record().solver->GetMessageBuffer().empty());
    EXPECT_TRUE(record().solver->GetIntegrator()->messageBuffer.empty());
}

TEST_F(CommunicationIntervalTest, SingleStepAndContinuationFlags) {
    runtime().OrvoSimInitializeSystemInstance(instance);
    record().singleStepFlag = 1;
    model().Setting<int32_t>(SettingZzicon) = 1;
    OrvoSimIntegrate(instance);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstepstop), 1);
    EXPECT_EQ(record().singleStepFlag, 0);
    EXPECT_EQ(model().Setting<int32_t>(SettingZzicon), 0);
    EXPECT_NEAR(model().Time(), 0.1, 1e-12);
}

// Reports its statistics as one line.
class StatisticsIntegrator : public Integrator {
public:
    void Step() override {}
    void WriteStatistics() override { WriteMessage("statistics"); }
};

TEST_F(CommunicationIntervalTest, StatisticsOnlyWhenRequested) {
    runtime().OrvoSimInitializeSystemInstance(instance);
    record().solver->InstallIntegrator(std::make_unique<StatisticsIntegrator>());
    model().Setting<uint8_t>(SettingWesitg) = 0;
    runtime().WriteStatistics(instance);
    EXPECT_TRUE(messages.empty());
    model().Setting<uint8_t>(SettingWesitg) = 1;
    runtime().WriteStatistics(instance);
    EXPECT_EQ(messages, std::vector<std::string>{"statistics\n"});
}

}  // namespace
