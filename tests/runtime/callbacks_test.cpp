#include "RuntimeFixture.h"

namespace {

struct Call {
    uint32_t userData;
    std::string what;
    bool operator==(const Call&) const = default;
};
std::vector<Call> calls;
uint32_t removeOnCall = 0;  // user data to remove from inside a status callback
uint32_t callingInstance = 0;

void Record(uint32_t, uint32_t userData, const char* text) {
    calls.push_back({userData, text});
    if (removeOnCall) OrvoRemoveStatusCallback(callingInstance, removeOnCall, nullptr);
}

class CallbackTest : public RuntimeFixture {
protected:
    void SetUp() override {
        TestModelLayout layout;
        layout.states = {Scalar("x")};
        Start(layout);
        OrvoRemoveStatusCallback(instance, 0, nullptr);  // the fixture's own
        calls.clear();
        removeOnCall = 0;
        callingInstance = instance;
    }
};

TEST_F(CallbackTest, StatusCallbacksRunInOrderAndGoByUserData) {
    OrvoAddStatusCallback(instance, 1, Record);
    OrvoAddStatusCallback(instance, 2, Record);
    OrvoAddStatusCallback(instance, 3, nullptr);  // refused
    runtime().OrvoSimWriteMessage(instance, "one");
    OrvoRemoveStatusCallback(instance, 2, Record);
    OrvoRemoveStatusCallback(instance, 7, Record);  // no such node
    runtime().OrvoSimWriteMessage(instance, "two");
    EXPECT_EQ(calls, (std::vector<Call>{{1, "one"}, {2, "one"}, {1, "two"}}));
}

TEST_F(CallbackTest, ACallbackMayRemoveItselfOrTheNextOne) {
    OrvoAddStatusCallback(instance, 1, Record);
    OrvoAddStatusCallback(instance, 2, Record);
    OrvoAddStatusCallback(instance, 3, Record);
    removeOnCall = 2;  // the first callback removes the second before it runs
    runtime().OrvoSimWriteMessage(instance, "a");
    removeOnCall = 1;  // the first callback removes itself
    runtime().OrvoSimWriteMessage(instance, "b");
    removeOnCall = 0;
    runtime().OrvoSimWriteMessage(instance, "c");
    EXPECT_EQ(calls, (std::vector<Call>{{1, "a"}, {3, "a"}, {1, "b"}, {3, "b"}, {3, "c"}}));
}

TEST_F(CallbackTest, DiscreteEventsMatchTheirSection) {
    static std::vector<std::pair<uint32_t, uint32_t>> events;
    events.clear();
    auto onEvent = [](uint32_t, uint32_t userData, uint32_t section) {
        events.emplace_back(userData, section);
    };
    OrvoAddDiscreteEventCallbackFunction(instance, 1, 1000, onEvent);
    OrvoAddDiscreteEventCallbackFunction(instance, 1, 1001, onEvent);
    OrvoAddDiscreteEventCallbackFunction(instance, 2, 1001, onEvent);
    OrvoSimDiscreteEventOccurred(instance, 1001);
    OrvoRemoveDiscreteEventCallbackFunction(instance, 1, 1001, nullptr);
    OrvoSimDiscreteEventOccurred(instance, 1001);
    OrvoSimDiscreteEventOccurred(instance, 1000);
    EXPECT_EQ(events, (std::vector<std::pair<uint32_t, uint32_t>>{
                          {1, 1001}, {2, 1001}, {2, 1001}, {1, 1000}}));
}

TEST_F(CallbackTest, ExecutionStateChangesReportOldAndNew) {
    static std::vector<std::pair<int, int>> changes;
    changes.clear();
    OrvoAddExecutionStateChangeCallbackFunction(
        instance, 1, [](uint32_t, uint32_t, OrvoExecutionState from, OrvoExecutionState to) {
            changes.emplace_back(from, to);
        });
    runtime().OrvoSimSetExecutionState(instance, OrvoExecutionStarted);
    runtime().OrvoSimSetExecutionState(instance, OrvoExecutionStarted);
    runtime().OrvoSimSetExecutionState(instance, OrvoExecutionFinished);
    EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}, {1, 5}}));
    OrvoRemoveExecutionStateChangeCallbackFunction(instance, 1, nullptr);
    runtime().OrvoSimSetExecutionState(instance, OrvoExecutionStarted);
    EXPECT_EQ(changes.size(), 3u);
}

TEST_F(CallbackTest, WatchesNeedAValidVariable) {
    auto watch = [](uint32_t, uint32_t, uint32_t) {};
    const uint32_t count = OrvoGetNumberSymbols();
    for (uint32_t variable : {0u, count + 1, 0x80000001u}) {
        OrvoAddSymbolWatchCallback(instance, 1, variable, watch);
    }
    OrvoAddSymbolWatchCallback(instance, 1, count, nullptr);
    EXPECT_TRUE(record().symbolWatchCallbacks.Empty());
    OrvoAddSymbolWatchCallback(instance, 1, count, watch);
    OrvoAddSymbolWatchCallback(instance, 2, count, watch);
    OrvoRemoveSymbolWatchCallback(instance, 1, count - 1, nullptr);  // other variable
    EXPECT_EQ(record().symbolWatchCallbacks.Size(), 2u);
    OrvoRemoveSymbolWatchCallback(instance, 1, count, nullptr);
    EXPECT_EQ(record().symbolWatchCallbacks.Size(), 1u);
}

TEST_F(CallbackTest, RemoveAllKeepsDiscreteEventAndWatchLists) {
    OrvoAddStatusCallback(instance, 1, Record);
    OrvoAddErrorCallback(instance, 1, [](uint32_t, uint32_t, uint32_t, const char*) {});
    OrvoAddTickCallbackFunction(instance, 1, [](uint32_t, uint32_t, OrvoTickType) {});
    OrvoAddDiscreteEventCallbackFunction(instance, 1, 1000, [](uint32_t, uint32_t, uint32_t) {});
    OrvoAddSymbolWatchCallback(instance, 1, 1, [](uint32_t, uint32_t, uint32_t) {});
    runtime().OrvoSimRemoveAllCallbacks(instance);
    EXPECT_TRUE(record().statusCallbacks.Empty());
    EXPECT_TRUE(record().errorCallbacks.Empty());
    EXPECT_TRUE(record().tickCallbacks.Empty());
    EXPECT_FALSE(record().discreteEventCallbacks.Empty());
    EXPECT_FALSE(record().symbolWatchCallbacks.Empty());
}

TEST_F(CallbackTest, ErrorsCarryTheirCode) {
    static std::vector<std::pair<uint32_t, std::string>> errors;
    errors.clear();
    OrvoAddErrorCallback(instance, 4, [](uint32_t, uint32_t, uint32_t code, const char* text) {
        errors.emplace_back(code, text);
    });
    runtime().OrvoSimReportError(instance, 17, "bad");
    runtime().OrvoSimReportError(100, 17, "nowhere");
    EXPECT_EQ(errors, (std::vector<std::pair<uint32_t, std::string>>{{17, "bad"}}));
}

}  // namespace
