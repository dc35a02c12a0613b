#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "integrators/Integrator.h"
#include "solver/OdeSolver.h"

namespace solvertest {

constexpr uint32_t kInstance = 1;
constexpr uint32_t kDerivativeSection = 500;

// A small model owning its arrays, driven like the runtime drives a solver:
// one derivative entry dispatching on the section code, an initial
// evaluation, then one Step per communication interval.
struct TestModel {
    static constexpr uint32_t kMaxStates = 4;

    double t = 0.0;
    double y[kMaxStates] = {};
    double dy[kMaxStates] = {};
    double ic[kMaxStates] = {};
    double delayCurrent[kMaxStates] = {};
    double delayNext[kMaxStates] = {};
    double delayInitial[kMaxStates] = {};

    OdeSolver solver;
    // Section 500: the derivatives (and state-event reports); default y' = 1.
    std::function<void(TestModel&)> derivative = [](TestModel& m) {
        for (double& d : m.dy) d = 1.0;
    };
    // Sections 1000 and up.
    std::function<void(TestModel&, uint32_t)> discrete;
    // Every discrete section run, with the time it ran at.
    std::vector<std::pair<uint32_t, double>> serviced;

    static TestModel*& Current() {
        static TestModel* current = nullptr;
        return current;
    }

    static void Entry(uint32_t, uint32_t section) {
        TestModel& m = *Current();
        if (section == kDerivativeSection) {
            m.derivative(m);
        } else if (section >= 1000) {
            m.serviced.emplace_back(section, m.t);
            if (m.discrete) m.discrete(m, section);
        }
    }

    TestModel() { Current() = this; }
    ~TestModel() {
        solver.Finalize();
        Current() = nullptr;
    }
    TestModel(const TestModel&) = delete;
    TestModel& operator=(const TestModel&) = delete;

    Integrator& integrator() { return *solver.GetIntegrator(); }

    // Initializes the solver over the arrays, then the model's initial
    // evaluation (initialization flag set, then the first step-start one).
    void Init(IntegrationAlgorithm algorithm, uint32_t states = 1, uint32_t delays = 0,
              std::unique_ptr<Integrator> method = nullptr) {
        solver.Initialize(algorithm, &t, states, y, dy, ic, 0, nullptr, nullptr, nullptr, delays,
                          delays ? delayCurrent : nullptr, delays ? delayNext : nullptr,
                          delays ? delayInitial : nullptr, &TestModel::Entry);
        if (method) solver.InstallIntegrator(std::move(method));
        solver.SetCommInterval(0.1);
        solver.SetStepsPerCint(10);
        solver.SetMaxStepSize(1e9);
        solver.SetMinStepSize(1e-9);
        solver.SetNominalStepSize(0.01);
        solver.settings.SetCommIntOnEvent(false);

        solver.SetInitializationInProgress(true);
        solver.SetDerivFuncArg1(kInstance);
        solver.SetDerivFuncArg2(kDerivativeSection);
        Integrator& method_ = integrator();
        method_.CalculateDerivatives();
        solver.CopyInitCondsToStates();
        method_.firstDerivEval = true;
        method_.CalculateDerivatives();
        method_.firstDerivEval = false;
        solver.SetInitializationInProgress(false);
    }

    // One communication interval as the runtime runs it.
    bool Interval() {
        if (solver.GetFirstInterval()) solver.HandleIndependentVarEvents();
        solver.SetDerivFuncArg1(kInstance);
        solver.SetDerivFuncArg2(kDerivativeSection);
        return solver.Step();
    }

    std::vector<double> ServiceTimes(uint32_t section) const {
        std::vector<double> times;
        for (const auto& [code, time] : serviced)
            if (code == section) times.push_back(time);
        return times;
    }
};

// A variable-step stand-in: explicit Euler over the step it is given, which
// then proposes the next size from a list (none left: no proposal).
class ProposingIntegrator : public Integrator {
public:
    explicit ProposingIntegrator(std::vector<double> proposals = {})
        : proposals_(std::move(proposals)) {
        algorithm = AlgorithmRungeKuttaFehlberg2;
    }

    void Step() override {
        firstDerivEval = true;
        CalculateDerivatives();
        firstDerivEval = false;
        for (uint32_t i = 0; i < numOdeStates; ++i) states[i] += stepSize * derivatives[i];
        *indVar += stepSize;
        taken.push_back(stepSize);
        stepSizeChanged = next_ < proposals_.size();
        if (stepSizeChanged) stepSize = proposals_[next_++];
    }

    std::vector<double> taken;

private:
    std::vector<double> proposals_;
    std::size_t next_ = 0;
};

}  // namespace solvertest
