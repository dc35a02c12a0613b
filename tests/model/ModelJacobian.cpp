// The analytic Jacobian a model registers against central differences of its
// derivative section, at random states around the states of a short run.
// Built once per model (tests/model/CMakeLists.txt), so not one of the
// test_model suite's *_test.cpp: ORVO_JACOBIAN_SETUP names the constants to
// set before the run ("name=value name=value"), ORVO_JACOBIAN_INTERVALS the
// communication intervals it runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"

namespace {

constexpr uint32_t kDerivativeSection = 500;
constexpr int kSamples = 300;
// Central differences with steps of 1e-6 relative are good to about 1e-10
// relative, besides the rounding of the derivatives they divide.
constexpr double kRelative = 1e-7;       // to the entry
constexpr double kColumnRelative = 1e-9; // to the column's largest entry
constexpr int kFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

class ModelJacobianTest : public ::testing::Test {
protected:
    void SetUp() override {
        OrvoInitialize();
        instance_ = OrvoCreate();
        std::istringstream setup(ORVO_JACOBIAN_SETUP);
        for (std::string item; setup >> item;) {
            const std::size_t equals = item.find('=');
            ASSERT_NE(equals, std::string::npos) << item;
            const uint32_t variable = OrvoGetSymbolIndex(item.substr(0, equals).c_str());
            ASSERT_NE(variable, 0u) << item;
            OrvoSetDouble(instance_, variable, std::stod(item.substr(equals + 1)));
        }
        runtime_ = OrvoSimRuntime::GetInstance();
        record_ = runtime_->GetSystemInstance(instance_);
        ASSERT_NE(record_, nullptr);
        n_ = record_->numStateElements;
        ASSERT_GT(n_, 0u);
    }
    void TearDown() override {
        OrvoDestroy(instance_);
        OrvoFinalize();
    }

    double* States() const { return static_cast<double*>(record_->states[0]); }
    double* Derivatives() const { return static_cast<double*>(record_->derivatives[0]); }
    double& Time() const { return *static_cast<double*>(*record_->independentVariable); }
    void Section() const { runtime_->GetSystemInfo().sectionFunction(instance_, kDerivativeSection); }

    // The states and times at the ends of the first intervals of a run.
    void Run(std::vector<std::vector<double>>& states, std::vector<double>& times) const {
        OrvoPreStep(instance_);
        for (int k = 0; k < ORVO_JACOBIAN_INTERVALS; ++k) {
            OrvoStep(instance_);
            states.emplace_back(States(), States() + n_);
            times.push_back(Time());
        }
    }

    uint32_t instance_ = 0;
    OrvoSimRuntime* runtime_ = nullptr;
    OrvoSimSystemInstance* record_ = nullptr;
    uint32_t n_ = 0;
};

TEST_F(ModelJacobianTest, AgreesWithCentralDifferencesAtRandomStates) {
    const AnalyticJacobian& jacobian = runtime_->GetSystemInfo().jacobian;
    ASSERT_TRUE(jacobian.Describes(n_)) << "the model registers no usable Jacobian";

    std::vector<std::vector<double>> snapshots;
    std::vector<double> times;
    Run(snapshots, times);
    ASSERT_GT(times.back(), times.front()) << "the short run did not advance";
    // Each element's magnitude during the run: a state still zero there gets
    // values of the size its neighbours in time have.
    std::vector<double> magnitude(n_, 0.0);
    for (const std::vector<double>& s : snapshots)
        for (uint32_t i = 0; i < n_; ++i) magnitude[i] = std::max(magnitude[i], std::fabs(s[i]));
    const double lastTime = std::max(times.back(), 1.0);

    std::mt19937_64 random(20261210);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> analytic(jacobian.nonZeros), dense(std::size_t{n_} * n_);
    std::vector<double> x(n_), f(n_), upper(n_), lower(n_);
    int checked = 0;
    for (int sample = 0; sample < kSamples; ++sample) {
        const std::vector<double>& base = snapshots[random() % snapshots.size()];
        for (uint32_t i = 0; i < n_; ++i)
            x[i] = base[i] * (0.5 + unit(random)) + magnitude[i] * 0.1 * unit(random);
        const double t = lastTime * unit(random);

        std::copy(x.begin(), x.end(), States());
        Time() = t;
        std::feclearexcept(kFaults);
        Section();
        const int sectionFaults = std::fetestexcept(kFaults);
        std::copy_n(Derivatives(), n_, f.begin());

        // The Jacobian leaves the section's derivatives and raises nothing of its own.
        std::feclearexcept(kFaults);
        jacobian.evaluate(instance_, analytic.data());
        ASSERT_EQ(std::fetestexcept(kFaults), sectionFaults) << "sample " << sample;
        for (uint32_t i = 0; i < n_; ++i) ASSERT_EQ(Derivatives()[i], f[i]) << "row " << i;
        if (sectionFaults != 0) continue;   // a point outside the model's domain
        ++checked;

        std::fill(dense.begin(), dense.end(), 0.0);
        for (uint32_t j = 0; j < n_; ++j)
            for (int32_t k = jacobian.columnStarts[j]; k < jacobian.columnStarts[j + 1]; ++k)
                dense[std::size_t{j} * n_ + static_cast<uint32_t>(jacobian.rowIndices[k])] = analytic[k];

        for (uint32_t j = 0; j < n_; ++j) {
            const double h = 1e-6 * std::max({std::fabs(x[j]), magnitude[j], 1e-3});
            std::copy(x.begin(), x.end(), States());
            States()[j] = x[j] + h;
            Section();
            std::copy_n(Derivatives(), n_, upper.begin());
            States()[j] = x[j] - h;
            Section();
            std::copy_n(Derivatives(), n_, lower.begin());
            const double width = (x[j] + h) - (x[j] - h);

            double scale = 0.0;
            for (uint32_t i = 0; i < n_; ++i)
                scale = std::max({scale, std::fabs(dense[std::size_t{j} * n_ + i]),
                                  std::fabs((upper[i] - lower[i]) / width)});
            for (uint32_t i = 0; i < n_; ++i) {
                const double difference = (upper[i] - lower[i]) / width;
                const double exact = dense[std::size_t{j} * n_ + i];
                // Rounding in the two derivatives, divided by the width.
                const double rounding = 1e3 * 2.2e-16 * std::max(std::fabs(upper[i]), std::fabs(lower[i])) / width;
                ASSERT_LE(std::fabs(exact - difference),
                          kRelative * std::fabs(difference) + kColumnRelative * scale + rounding)
                    << "d(derivative " << i << ")/d(state " << j << "): analytic " << exact
                    << ", central difference " << difference << " (sample " << sample << ", t = " << t
                    << ")";
            }
        }
    }
    EXPECT_GT(checked, kSamples / 2);
    std::feclearexcept(kFaults);
}

}  // namespace
