// The run loop through the exports: runaway numbers end a run in the error
// state, and a background run is always ended in bounded time, also one whose
// passes never reach the debugger's tick, or whose thread the host cancels.

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include "RuntimeFixture.h"

namespace {

std::vector<OrvoExecutionState> states;
std::mutex statesMutex;
std::condition_variable statesChanged;

void RecordState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState state) {
    {
        std::lock_guard<std::mutex> lock(statesMutex);
        states.push_back(state);
    }
    statesChanged.notify_all();
}

class RunLoopTest : public RuntimeFixture {
protected:
    void SetUp() override {
        TestModelLayout layout;
        layout.states = {Scalar("x"), Vector("amounts", 3)};
        Start(layout);
        ClearStates();
        OrvoAddExecutionStateChangeCallbackFunction(instance, 0, &RecordState);
        model().Setting<double>(SettingCint) = 0.1;
        model().stopTime = 1.0;
    }
    static void ClearStates() {
        std::lock_guard<std::mutex> lock(statesMutex);
        states.clear();
    }
    std::vector<OrvoExecutionState> States() {
        std::lock_guard<std::mutex> lock(statesMutex);
        return states;
    }
    long Count(OrvoExecutionState state) {
        const std::vector<OrvoExecutionState> seen = States();
        return std::count(seen.begin(), seen.end(), state);
    }
    bool WaitForState(OrvoExecutionState state) {
        std::unique_lock<std::mutex> lock(statesMutex);
        return statesChanged.wait_for(lock, std::chrono::seconds(20), [state] {
            return std::find(states.begin(), states.end(), state) != states.end();
        });
    }
};

TEST_F(RunLoopTest, NonFiniteStateEndsTheRunInTheErrorState) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        uint32_t element;  // 0 is x, 1..3 the elements of amounts
        double value;
        std::string expected;
    };
    const Case cases[] = {
        {0, nan, "state x became NaN at t = 0.31"},
        {2, -inf, "state amounts(2) became infinite at t = 0.31"},
        {3, inf, "state amounts(3) became infinite at t = 0.31"},
        // A runaway fixed-step method: finite, but far beyond any meaning.
        {1, -1.2e279, "state amounts(1) reached -1.2e+279, beyond 1e+100, at t = 0.31"},
        {0, 1.0000001e100, "state x reached 1e+100, beyond 1e+100, at t = 0.31"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        model().onSection = [&c](uint32_t, uint32_t section) {
            TestModel& m = TestModel::Get();
            if (m.Time() < 0.25 - 1e-9) return;
            if (section == 2) m.State(c.element) = c.value;
        };
        messages.clear();
        ClearStates();
        OrvoStartBlocking(instance);
        EXPECT_EQ(States(), (std::vector<OrvoExecutionState>{OrvoExecutionStarted,
                                                              OrvoExecutionInitialized,
                                                              OrvoExecutionError,
                                                              OrvoExecutionFinished}));
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "Run ended by an error: " + c.expected);
    }
    // Large numbers up to the limit are the model's business.
    model().onSection = [](uint32_t, uint32_t section) {
        if (section == 2) TestModel::Get().State(1) = -1e100;
    };
    ClearStates();
    OrvoStartBlocking(instance);
    EXPECT_EQ(States().back(), OrvoExecutionFinished);
    EXPECT_EQ(Count(OrvoExecutionError), 0);
}

// A derivative that turns NaN inside an interval ends the run inside that
// interval, for every method: those with error control would otherwise creep
// on at their smallest step (1e-10 h) to the interval's end.
TEST_F(RunLoopTest, NaNDerivativeInsideAnIntervalEndsTheRunAtThatStep) {
    model().Setting<double>(SettingCint) = 0.5;
    model().Setting<int32_t>(SettingNstp) = 50;
    model().onSection = [](uint32_t, uint32_t section) {
        TestModel& m = TestModel::Get();
        if (section == 500 && m.Time() > 0.25) m.State(4) = std::numeric_limits<double>::quiet_NaN();
    };
    for (const int32_t ialg : {1, 2, 3, 4, 5, 8, 9, 12, 13, 14, 15}) {
        SCOPED_TRACE(ialg);
        model().Setting<int32_t>(SettingIalg) = ialg;
        messages.clear();
        ClearStates();
        OrvoStartBlocking(instance);
        EXPECT_LE(model().Time(), 0.5);  // within the first interval
        ASSERT_FALSE(messages.empty());
        if (ialg == 12) {  // refuses the step and stops the run
            EXPECT_EQ(messages.back(), "Warning: step size not significant in Rosenbrock integrator.\n");
            continue;
        }
        EXPECT_EQ(Count(OrvoExecutionError), 1);
        // The state, or the derivative where the state is still finite; a
        // method that interpolates back from past the switch sees it earlier.
        const std::string& last = messages.back();
        const std::size_t at = last.find(" became NaN at t = ");
        ASSERT_NE(at, std::string::npos) << last;
        EXPECT_TRUE(last.find("state x") != std::string::npos || last.find("derivative dx") != std::string::npos)
            << last;
        EXPECT_LE(std::stod(last.substr(at + 19)), 0.5) << last;

        // Run to a time stops at the failed interval instead of continuing
        // one failing step at a time.
        OrvoPreStep(instance);
        ClearStates();
        OrvoRunToTime(instance, 1.0);
        EXPECT_LE(Count(OrvoExecutionError), 1);  // or the method's own stop
        EXPECT_LE(model().Time(), 0.5);
    }
}

// Each of these ends a background run whose passes return early, before the
// interval's debug tick (the instance's solver is taken away mid-run): the
// loop then spins, and only its pass-level check lets the run unwind.
TEST_F(RunLoopTest, DestroyFinalizeAndDebugStopEndARunThatNeverReachesADebugTick) {
    enum Ending { Destroy, Finalize, DebugStop };
    for (Ending ending : {Destroy, Finalize, DebugStop}) {
        SCOPED_TRACE(ending);
        if (ending != Destroy) SetUp();
        std::atomic<uint32_t> passes{0};
        std::unique_ptr<OdeSolver> parked;
        model().stopTime = 1e12;
        model().onSection = [&](uint32_t which, uint32_t section) {
            if (section == 2 && ++passes == 3) {
                parked = std::move(runtime().GetSystemInstance(which)->solver);
            }
        };
        OrvoStart(instance);
        ASSERT_TRUE(WaitForState(OrvoExecutionInitialized));
        while (passes < 3) std::this_thread::yield();
        switch (ending) {
            case Destroy: OrvoDestroy(instance); break;
            case Finalize: OrvoFinalize(); break;
            case DebugStop: OrvoDebugStop(instance); break;
        }
        EXPECT_EQ(States().back(), OrvoExecutionFinished);
        OrvoFinalize();
        model().onSection = nullptr;
    }
}

// A new instance rebinds the model's storage and becomes the one the manager
// runs: during a background run it is refused, and the run ends at its stop.
TEST_F(RunLoopTest, CreateIsRefusedWhileABackgroundRunIsInProgress) {
    std::atomic<bool> release{false};
    std::atomic<uint32_t> passes{0};
    model().stopTime = 0.5;
    model().onSection = [&](uint32_t, uint32_t section) {
        if (section != 2) return;
        ++passes;
        while (!release) std::this_thread::yield();
    };
    OrvoStart(instance);
    while (passes == 0) std::this_thread::yield();
    messages.clear();
    EXPECT_EQ(OrvoCreate(), 0u);
    release = true;
    ASSERT_TRUE(WaitForState(OrvoExecutionFinished));
    EXPECT_NEAR(model().Time(), 0.5, 1e-9);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(),
              "Run control error: a background run is in progress; OrvoCreate is refused until it ends.");
    // Afterwards the table takes new instances again.
    OrvoFinalize();  // joins the ended thread
    SetUp();
    EXPECT_NE(OrvoCreate(), 0u);
    model().onSection = nullptr;
}

// A host that ends the run thread with a forced unwind (thread cancellation,
// as an interpreter does with foreign threads at exit) gets no abort, and the
// library remains usable.
TEST_F(RunLoopTest, ForcedUnwindOfTheRunThreadPassesThrough) {
    static std::atomic<bool> exiting{false};
    exiting = false;
    model().stopTime = 1e12;
    model().onSection = [](uint32_t, uint32_t section) {
        if (section == 2 && TestModel::Get().Time() > 0.25) {
            exiting = true;
            pthread_exit(nullptr);
        }
    };
    OrvoStart(instance);
    while (!exiting) std::this_thread::yield();
    OrvoFinalize();  // joins the ended thread
    EXPECT_EQ(Count(OrvoExecutionFinished), 0);

    SetUp();
    model().stopTime = 0.2;
    OrvoStartBlocking(instance);
    EXPECT_EQ(States().back(), OrvoExecutionFinished);
}

}  // namespace
