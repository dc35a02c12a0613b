#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "storage/DefaultMemoryManager.h"
#include "storage/FastAllocMemoryManager.h"
#include "storage/FixedBlockMemoryManager.h"
#include "storage/MemoryManager.h"

namespace {

unsigned ClassOf(void* p) { return static_cast<unsigned char*>(p)[-1]; }

class FastAllocTest : public ::testing::Test {
protected:
    void SetUp() override { fast.Initialize(0); }
    FastAllocMemoryManager fast;
};

TEST(MemoryManager, CreatesByTypeWithoutInitializing) {
    auto defaultManager = MemoryManager::CreateMemoryManager(MemoryManagerDefault);
    ASSERT_NE(defaultManager, nullptr);
    EXPECT_EQ(defaultManager->GetType(), MemoryManagerDefault);
    auto fast = MemoryManager::CreateMemoryManager(MemoryManagerFast);
    ASSERT_NE(fast, nullptr);
    EXPECT_EQ(fast->GetType(), MemoryManagerFast);
    EXPECT_EQ(fast->New(8, false), nullptr);  // pools exist only after Initialize
    EXPECT_EQ(MemoryManager::CreateMemoryManager(static_cast<MemoryManagerType>(2)), nullptr);

    void* p = defaultManager->New(16, true);
    ASSERT_NE(p, nullptr);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(static_cast<unsigned char*>(p)[k], 0);
    defaultManager->Free(p);
    defaultManager->Free(nullptr);
    EXPECT_EQ(defaultManager->GetNewCount(), 1u);
    EXPECT_EQ(defaultManager->GetFreeCount(), 1u);
}

TEST_F(FastAllocTest, RequestsGoToTheSmallestFittingClass) {
    struct Case {
        uint32_t size;
        unsigned sizeClass;
    };
    for (Case c : {Case{1, 0}, Case{2, 0}, Case{3, 1}, Case{4, 1}, Case{5, 2}, Case{1024, 9},
                   Case{1025, 10}, Case{1048576, 19}}) {
        void* p = fast.New(c.size, false);
        ASSERT_NE(p, nullptr) << c.size;
        EXPECT_EQ(ClassOf(p), c.sizeClass) << c.size;
        EXPECT_EQ(fast.GetPool(c.sizeClass)->GetBlockSize(), (2u << c.sizeClass) + 1);
        EXPECT_TRUE(fast.IsAllocated(p));
        static_cast<unsigned char*>(p)[c.size - 1] = 0x5A;  // the whole request is usable
        fast.Free(p);
    }
    EXPECT_EQ(fast.New(0, false), nullptr);
    EXPECT_EQ(fast.New(1048577, false), nullptr);
}

TEST_F(FastAllocTest, PoolsGrowInBatchesOfTen) {
    std::vector<void*> blocks;
    for (int k = 0; k < 11; ++k) blocks.push_back(fast.New(8, false));
    const FixedBlockMemoryManager* pool = fast.GetPool(2);
    EXPECT_EQ(pool->GetBlockSize(), 9u);
    EXPECT_EQ(pool->GetCapacity(), 20u);
    EXPECT_EQ(pool->GetTop(), 11u);
    EXPECT_EQ(std::set<void*>(blocks.begin(), blocks.end()).size(), 11u);
    EXPECT_EQ(fast.GetPool(3)->GetCapacity(), 0u);
    for (void* p : blocks) fast.Free(p);
    EXPECT_EQ(pool->GetTop(), 0u);
    EXPECT_EQ(pool->GetCapacity(), 20u);  // blocks stay with the pool
}

TEST_F(FastAllocTest, FreedBlockIsHandedOutAgainAndStrayFreesAreIgnored) {
    void* a = fast.New(100, false);
    void* b = fast.New(100, false);
    fast.Free(a);
    EXPECT_FALSE(fast.IsAllocated(a));
    EXPECT_TRUE(fast.IsAllocated(b));
    void* again = fast.New(100, false);
    EXPECT_EQ(again, a);

    // A second free of one block must not let two callers share it later.
    fast.Free(b);
    fast.Free(b);
    void* first = fast.New(100, false);
    void* second = fast.New(100, false);
    EXPECT_NE(first, second);
    EXPECT_EQ(fast.GetPool(6)->GetTop(), 3u);

    // Memory the manager never handed out.
    unsigned char foreign[16] = {};
    foreign[0] = 6;
    fast.Free(foreign + 1);
    EXPECT_FALSE(fast.IsAllocated(foreign + 1));
    foreign[0] = 20;
    EXPECT_FALSE(fast.IsAllocated(foreign + 1));
    EXPECT_FALSE(fast.IsAllocated(nullptr));
    fast.Free(nullptr);
    EXPECT_EQ(fast.GetPool(6)->GetTop(), 3u);
}

TEST_F(FastAllocTest, ZeroRequestClearsAReusedBlock) {
    auto* p = static_cast<unsigned char*>(fast.New(16, false));
    for (int k = 0; k < 16; ++k) p[k] = 0xFF;
    fast.Free(p);
    auto* q = static_cast<unsigned char*>(fast.New(16, true));
    ASSERT_EQ(q, p);
    EXPECT_EQ(ClassOf(q), 3u);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(q[k], 0) << k;
}

TEST(FixedBlockMemoryManager, PoolWithoutGrowthRunsDry) {
    FixedBlockMemoryManager pool(32, 0, 0);
    EXPECT_EQ(pool.New(false), nullptr);
    pool.IncreaseCapacity(0);
    EXPECT_EQ(pool.GetCapacity(), 0u);
    pool.IncreaseCapacity(2);
    void* a = pool.New(false);
    void* b = pool.New(true);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(pool.New(false), nullptr);
    EXPECT_TRUE(pool.Free(b));
    EXPECT_FALSE(pool.Free(b));
    EXPECT_EQ(pool.New(false), b);  // last freed first
}

TEST(FixedBlockMemoryManager, ThreadsSharingAPoolNeverGetTheSameBlock) {
    FixedBlockMemoryManager pool(16, 4, 10);
    constexpr int kRounds = 3000;
    auto worker = [&pool](std::vector<void*>& kept) {
        for (int k = 0; k < kRounds; ++k) {
            void* p = pool.New(false);
            if (k % 3 == 0) kept.push_back(p);
            else pool.Free(p);
        }
    };
    std::vector<void*> keptA;
    std::vector<void*> keptB;
    std::thread a(worker, std::ref(keptA));
    std::thread b(worker, std::ref(keptB));
    a.join();
    b.join();
    std::set<void*> distinct(keptA.begin(), keptA.end());
    distinct.insert(keptB.begin(), keptB.end());
    EXPECT_EQ(distinct.size(), keptA.size() + keptB.size());
    EXPECT_EQ(distinct.count(nullptr), 0u);
    EXPECT_EQ(pool.GetTop(), distinct.size());
    for (void* p : distinct) EXPECT_TRUE(pool.IsAllocated(p));
}

}  // namespace
