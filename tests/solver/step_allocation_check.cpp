#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "solver/SolverTestModel.h"

namespace {

std::atomic<long> allocations{0};

void* Allocate(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using solvertest::kInstance;
using solvertest::TestModel;

TEST(OdeSolverAllocation, StepAllocatesNothingOnceRunning) {
    TestModel m;
    double period = 0.05;
    m.derivative = [](TestModel& model) {
        model.dy[0] = -model.y[0];
        model.dy[1] = model.y[0];
        // A state-event function that never crosses.
        model.solver.AddEvent(1, StateEvent, 1.0 + model.y[1], kInstance, 1000, nullptr);
    };
    m.ic[0] = 1.0;
    m.Init(AlgorithmRungeKutta4, 2);
    m.solver.settings.SetWriteEventDescription(false);
    m.solver.AddIntervalEvent(2, kInstance, 1001, &period);
    m.serviced.reserve(1000);

    // The first intervals create the value records and the checkpoint store.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(m.Interval());
    const long before = allocations.load();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_DOUBLE_EQ(m.t, 2.3);
    EXPECT_GE(m.ServiceTimes(1001).size(), 40u);
}

}  // namespace
