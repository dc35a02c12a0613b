#pragma once

// A one-state model registered directly with the runtime, for driving the
// operators through real instances, solvers and integrators. x' = rate; the
// derivative section sets the initial condition from `initialValue` and then
// calls `onDerivative`, where a test evaluates the operators under test.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class OperatorTestModel {
public:
    // Registers the model and creates one instance (number 1).
    OperatorTestModel();
    // Destroys every instance.
    ~OperatorTestModel();
    OperatorTestModel(const OperatorTestModel&) = delete;
    OperatorTestModel& operator=(const OperatorTestModel&) = delete;

    uint32_t Instance() const { return instance_; }
    double& Time() { return time_; }
    double& State() { return state_; }
    uint8_t& StopFlag();
    uint8_t& StepStop();
    int32_t& Algorithm();  // ialg, RK4 unless a test sets it
    // The runtime's initial sequence (zznits, zzrset) and one communication
    // interval at a time until t reaches stopTime.
    void Initialize();
    void RunUntil(double stopTime);

    std::function<void(uint32_t instance)> onDerivative;
    std::vector<std::string> messages;
    double rate = 1.0;
    double initialValue = 0.0;

    static OperatorTestModel* current;

private:
    static void StatusCallback(uint32_t instance, uint32_t userData, const char* text);
    static int32_t Bind(uint32_t instance);
    static void Simulate(uint32_t instance);
    static void Section(uint32_t instance, uint32_t section);
    void Register();

    // Each setting gets an 8-byte cell, whatever its type.
    union Cell {
        double real;
        int32_t integer;
        uint8_t flag;
    };

    uint32_t instance_ = 0;
    double time_ = 0.0;
    double state_ = 0.0;
    double derivative_ = 0.0;
    double initialCondition_ = 0.0;
    Cell settings_[47] = {};
};
