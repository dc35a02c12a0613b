#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "execution/AutoLock.h"
#include "execution/CriticalSectionFactory.h"
#include "execution/LockObject.h"

namespace {

using namespace std::chrono_literals;

// Starts a thread that takes the lock and reports when it has it.
std::future<void> LockFromOtherThread(LockObject& object) {
    return std::async(std::launch::async, [&object] { AutoLock lock(&object); });
}

TEST(LockObject, IsRecursiveForItsOwnerAndExcludesOthers) {
    LockObject object;
    object.Lock();
    object.Lock();
    {
        AutoLock nested(&object);
    }
    object.Unlock();
    std::future<void> other = LockFromOtherThread(object);
    // Still held once by this thread: the other one must wait.
    EXPECT_EQ(other.wait_for(50ms), std::future_status::timeout);
    object.Unlock();
    EXPECT_EQ(other.wait_for(10s), std::future_status::ready);
}

TEST(AutoLock, HoldsTheLockForItsScopeOnly) {
    LockObject object;
    std::future<void> other;
    {
        AutoLock lock(&object);
        other = LockFromOtherThread(object);
        EXPECT_EQ(other.wait_for(50ms), std::future_status::timeout);
    }
    EXPECT_EQ(other.wait_for(10s), std::future_status::ready);
    AutoLock none(nullptr);  // nothing to lock, nothing to fail
}

TEST(CriticalSection, FactoryMakesARecursiveLock) {
    auto section = CriticalSectionFactory::newCriticalSection();
    ASSERT_NE(section, nullptr);
    section->Lock();
    section->Lock();
    section->Unlock();
    section->Unlock();
    auto other = std::async(std::launch::async, [&] {
        section->Lock();
        section->Unlock();
    });
    EXPECT_EQ(other.wait_for(10s), std::future_status::ready);
}

}  // namespace
