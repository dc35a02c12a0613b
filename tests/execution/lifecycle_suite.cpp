// The instance lifecycle meeting runs: calls from inside a run's callbacks,
// a second host thread, re-initialization during a run, and many runs,
// stops and destroys in a row.

#include <future>
#include <string>
#include <thread>

#include "ExecutionRecorder.h"
#include "runtime/OrvoSimRuntime.h"

namespace execution_test {
namespace {

using States = std::vector<int32_t>;
constexpr auto kBound = std::chrono::seconds(20);

bool Exists(uint32_t instance) {
    return OrvoSimRuntime::GetInstance()->GetSystemInstance(instance) != nullptr;
}

size_t CountContaining(const std::vector<std::string>& messages, const std::string& part) {
    size_t n = 0;
    for (const std::string& m : messages) n += m.find(part) != std::string::npos;
    return n;
}

class Lifecycle : public ExecutionFixture {};

void DiscreteEvent(uint32_t, uint32_t, uint32_t);
std::function<void()> onDiscreteEvent;
void DiscreteEvent(uint32_t, uint32_t, uint32_t) {
    if (onDiscreteEvent) onDiscreteEvent();
}

TEST_F(Lifecycle, DestroyFinalizeAndInitializeAreRefusedFromEveryCallbackKind) {
    enum Kind { StateChange, Tick, DiscreteEventKind };
    const std::vector<std::pair<const char*, std::function<void(uint32_t)>>> calls = {
        {"OrvoDestroy", [](uint32_t i) { OrvoDestroy(i); }},
        {"OrvoFinalize", [](uint32_t) { OrvoFinalize(); }},
        {"OrvoInitialize", [](uint32_t) { OrvoInitialize(); }},
    };
    OrvoAddDiscreteEventCallbackFunction(instance, 7, 1000, &DiscreteEvent);
    // The model echoes a discrete section once per pass, on the run thread.
    model().onPass = [](uint32_t i) { OrvoSimDiscreteEventOccurred(i, 1000); };
    for (Kind kind : {StateChange, Tick, DiscreteEventKind}) {
        for (bool blocking : {true, false}) {
            for (const auto& [name, call] : calls) {
                SCOPED_TRACE(std::string(name) + " from callback kind " + std::to_string(kind) +
                             (blocking ? ", blocking" : ", background"));
                recorder().Clear();
                bool called = false;
                const uint32_t which = instance;
                auto once = [&, call = call] {
                    if (called) return;
                    called = true;
                    call(which);
                };
                recorder().onEvent = [&](const Recorded& e) {
                    if ((kind == StateChange && e.kind == Recorded::State && e.value == 3) ||
                        (kind == Tick && e.kind == Recorded::Tick)) {
                        once();
                    }
                };
                onDiscreteEvent = [&] {
                    if (kind == DiscreteEventKind) once();
                };
                if (blocking) {
                    OrvoStartBlocking(instance);
                } else {
                    OrvoStart(instance);
                    ASSERT_TRUE(recorder().WaitForState(5));
                    // The run thread may still be in its last callback.
                    OrvoSimRuntime::GetInstance()->GetExecutionManager().EndBackgroundRun();
                }
                recorder().onEvent = nullptr;
                onDiscreteEvent = nullptr;
                EXPECT_TRUE(called);
                // Refused once; the run went its whole way and the instance stays.
                EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
                EXPECT_NEAR(Time(), 1.0, 1e-9);
                EXPECT_TRUE(Exists(instance));
                EXPECT_EQ(recorder().Messages(),
                          (std::vector<std::string>{
                              std::string("Run control error: ") + name +
                              " cannot be called from inside a running simulation; the call "
                              "is ignored."}));
            }
        }
    }
    model().onPass = nullptr;
}

TEST_F(Lifecycle, InitializeDuringABackgroundRunEndsItFirst) {
    model().stopTime = 1e12;
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 3));
    OrvoInitialize();
    // The run reported its end before the instances went away.
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_FALSE(Exists(instance));

    instance = model().Setup();
    recorder().Attach(instance);
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
}

TEST_F(Lifecycle, ContinuingOrSteppingAnInstanceThatNeverRanIsRefusedOnce) {
    OrvoContinueBlocking(instance);
    OrvoContinue(instance);
    OrvoStep(instance);
    EXPECT_TRUE(recorder().States().empty());
    const std::vector<std::string> messages = recorder().Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (const std::string& m : messages) {
        EXPECT_EQ(m, "Run control error: the instance has not been run yet; start it before "
                     "continuing or stepping.");
    }
    // The refused step left no single-step request behind.
    recorder().Clear();
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
}

// The run executes the most recently created instance: continuing a run that
// was made while a newer instance has never run would loop against that one.
TEST_F(Lifecycle, ContinuingWhileANewerInstanceHasNeverRunIsRefused) {
    OrvoStartBlocking(instance);
    const uint32_t newer = OrvoCreate();
    ASSERT_NE(newer, 0u);
    recorder().Clear();
    OrvoContinueBlocking(instance);
    OrvoStep(instance);
    OrvoStepIncr(instance, 0.5);
    OrvoRunToTime(instance, 5.0);
    EXPECT_TRUE(recorder().States().empty());
    // Continue and step are refused; running to a time does nothing after a
    // run that reached its stop time.
    const std::vector<std::string> messages = recorder().Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const std::string& m : messages) EXPECT_NE(m.find("has not been run yet"), std::string::npos);
    OrvoDestroy(newer);
}

TEST_F(Lifecycle, SecondHostThreadIsRefusedWhileABlockingRunGoesOn) {
    std::promise<void> running, refused;
    std::future<void> refusedDone = refused.get_future();
    bool first = true;
    model().onPass = [&](uint32_t) {
        if (!first) return;
        first = false;
        running.set_value();
        refusedDone.wait_for(kBound);
    };
    std::thread host([&] { OrvoStartBlocking(instance); });
    ASSERT_EQ(running.get_future().wait_for(kBound), std::future_status::ready);
    // Every start export and lifecycle call from this thread meets the run.
    OrvoStartBlocking(instance);
    OrvoStart(instance);
    OrvoPreStep(instance);
    OrvoStep(instance);
    OrvoRunToTime(instance, 5.0);
    OrvoDestroy(instance);
    OrvoFinalize();
    OrvoInitialize();
    refused.set_value();
    host.join();
    model().onPass = nullptr;

    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
    EXPECT_TRUE(Exists(instance));
    const std::vector<std::string> messages = recorder().Messages();
    EXPECT_EQ(CountContaining(messages, "Run control error: another run is in progress; "), 8u);
    EXPECT_EQ(CountContaining(messages, "the start is refused."), 5u);
    EXPECT_EQ(CountContaining(messages, "OrvoDestroy is refused."), 1u);
}

TEST_F(Lifecycle, StressManyRunsStopsDestroysAndAllInstances) {
    // Background runs, each stopped at once; a stop that precedes the run's
    // initialization is cleared by it, and the run then ends at its stop time.
    for (int cycle = 0; cycle < 1000; ++cycle) {
        recorder().Clear();
        OrvoStart(instance);
        OrvoStop(instance);
        ASSERT_TRUE(recorder().WaitForState(5)) << "cycle " << cycle;
        ASSERT_EQ(recorder().States(), (States{1, 3, 5})) << "cycle " << cycle;
    }

    // Destroyed during a run from the host thread: the run ends first.
    model().stopTime = 1e12;
    for (int cycle = 0; cycle < 20; ++cycle) {
        recorder().Clear();
        OrvoStart(instance);
        ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 2)) << "cycle " << cycle;
        OrvoDestroy(instance);
        ASSERT_EQ(recorder().States(), (States{1, 3, 5})) << "cycle " << cycle;
        ASSERT_FALSE(Exists(instance));
        ASSERT_EQ(instance = OrvoCreate(), 1u);
        recorder().Attach(instance);
    }

    // All 99 instances, each run in turn (the newest is the one run), then
    // all destroyed.
    model().stopTime = 0.3;
    for (uint32_t expected = 1; expected <= 99; ++expected) {
        const uint32_t created = expected == 1 ? instance : OrvoCreate();
        ASSERT_EQ(created, expected);
        if (created == 1) {
            recorder().Clear();
        } else {
            recorder().Attach(created);
        }
        OrvoStart(created);
        ASSERT_TRUE(recorder().WaitForState(5)) << "instance " << created;
        ASSERT_EQ(recorder().States(), (States{1, 3, 5})) << "instance " << created;
    }
    EXPECT_EQ(OrvoCreate(), 0u);
    for (uint32_t i = 99; i >= 1; --i) OrvoDestroy(i);
    for (uint32_t i = 1; i <= 99; ++i) EXPECT_FALSE(Exists(i)) << i;
}

}  // namespace
}  // namespace execution_test
