#pragma once

// A small model for the runtime tests, shaped by the test before it calls
// OrvoInitialize. Each state, derivative and initial-condition group is one
// contiguous array of doubles; every other variable and every setting has a
// heap block of exactly its registered size, so that the sanitizers catch any
// access past a variable's storage.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/OrvoSimSettingsSlot.h"

struct TestVariable {
    std::string name;
    uint32_t dataType = 4;
    uint32_t dims[6] = {0, 0, 0, 0, 0, 0};
    double relativeTolerance = -1.0;
    double absoluteTolerance = -1.0;
    uint32_t discreteSection = 0;
    uint32_t stringLength = 0;
};

TestVariable Scalar(const std::string& name, uint32_t dataType = 4);
TestVariable Vector(const std::string& name, uint32_t extent, uint32_t dataType = 4);
TestVariable Matrix2(const std::string& name, uint32_t rows, uint32_t columns,
                     uint32_t dataType = 4);

struct TestModelLayout {
    std::vector<TestVariable> states;           // ordinary states
    std::vector<TestVariable> algebraicStates;
    std::vector<TestVariable> delayStates;
    std::vector<TestVariable> others;
    uint32_t userDataSize = 0;
};

class TestModel {
public:
    static TestModel& Get();

    // Shapes the model that the next OrvoInitialize registers, and resets
    // hooks and logs. Storage is laid out (with defaults) at registration.
    void Configure(TestModelLayout layout);

    uint32_t NumVariables() const { return static_cast<uint32_t>(variables_.size()) - 1; }
    uint32_t NumStates() const;
    // Variable number of a setting, and typed access to its storage.
    uint32_t SettingVariable(uint32_t slot) const;
    template <typename T>
    T& Setting(uint32_t slot) {
        return *static_cast<T*>(Address(SettingVariable(slot)));
    }
    void* Address(uint32_t variable) const { return addresses_[variable]; }
    double& Time() { return *static_cast<double*>(addresses_[1]); }
    // Element k of the ordinary states, derivatives or initial conditions.
    double& State(uint32_t k) { return stateBlock_[k]; }
    double& InitialCondition(uint32_t k) { return stateBlock_[2 * stateElements_ + k]; }

    // The model's run: the generated simulation function's shape.
    void Simulate(uint32_t instance);

    // Called for every section code after the built-in behaviour.
    std::function<void(uint32_t instance, uint32_t section)> onSection;
    std::vector<std::pair<uint32_t, uint32_t>> sectionCalls;
    std::vector<uint32_t> initializedInstances;
    // Every ordinary state element has this derivative.
    double rate = 1.0;
    // The run ends once t reaches it.
    double stopTime = 1.0;

    // Registration entry points.
    void Register();
    void BindInstance(uint32_t instance);
    void Section(uint32_t instance, uint32_t section);

private:
    struct Registered {
        TestVariable variable;
        uint32_t symbolType;
    };
    void Add(const TestVariable& variable, uint32_t symbolType);

    TestModelLayout layout_;
    std::vector<Registered> variables_;  // index = variable number; 0 unused
    std::vector<void*> addresses_;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    std::vector<double> stateBlock_;  // states, derivatives, initial conditions
    uint32_t stateElements_ = 0;
    double timeStorage_ = 0.0;
};
