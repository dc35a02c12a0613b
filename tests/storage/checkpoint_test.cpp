#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "storage/CheckPoint.h"
#include "storage/CheckedBlock.h"
#include "storage/StateStorageMemory.h"

namespace {

// The blocks a solver registers: the independent variable and two state arrays.
struct SolverState {
    double time = 1.5;
    std::array<double, 4> states{1.0, 2.0, 3.0, 4.0};
    std::array<double, 2> algebraic{-1.0, -2.0};
};

class CheckPointTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(primary.Initialize());
        ASSERT_TRUE(checkPoint.AddCheckedBlock(&state.time, sizeof state.time, StateStoragePrimary));
        ASSERT_TRUE(checkPoint.AddCheckedBlock(state.states.data(), sizeof state.states,
                                               StateStoragePrimary));
        ASSERT_TRUE(checkPoint.AddCheckedBlock(state.algebraic.data(), sizeof state.algebraic,
                                               StateStoragePrimary));
    }

    bool Save() {
        primary.SetPosition(0);
        return checkPoint.Save();
    }
    bool Restore() {
        primary.SetPosition(0);
        return checkPoint.Restore();
    }

    SolverState state;
    StateStorageMemory primary;
    CheckPoint checkPoint{7, &primary, nullptr, nullptr};
};

TEST_F(CheckPointTest, RestoreBringsBackSavedBytesWithOneRecordPerBlock) {
    EXPECT_EQ(checkPoint.GetTotalSize(), 8u + 32u + 16u);
    ASSERT_TRUE(Save());
    EXPECT_EQ(primary.GetRecordCount(), 3u);

    state.time = 99.0;
    state.states.fill(-7.0);
    state.algebraic.fill(0.5);
    ASSERT_TRUE(Restore());

    SolverState saved;
    EXPECT_EQ(state.time, saved.time);
    EXPECT_EQ(state.states, saved.states);
    EXPECT_EQ(state.algebraic, saved.algebraic);
    EXPECT_EQ(primary.GetRecordCount(), 3u);
    EXPECT_EQ(primary.GetPosition(), 3u);
}

TEST_F(CheckPointTest, RestoreBeforeAnySaveFailsAndLeavesBlocks) {
    EXPECT_FALSE(Restore());
    EXPECT_EQ(state.time, 1.5);
    EXPECT_EQ(primary.GetPosition(), 0u);
}

TEST_F(CheckPointTest, RepeatedSavesReuseRecordsWithoutAllocating) {
    ASSERT_TRUE(Save());
    const MemoryManager* manager = primary.GetMemoryManager();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->GetNewCount(), 3u);
    for (int pass = 0; pass < 5; ++pass) {
        state.time += 1.0;
        ASSERT_TRUE(Save());
    }
    EXPECT_EQ(manager->GetNewCount(), 3u);
    EXPECT_EQ(manager->GetFreeCount(), 0u);

    // A block whose size changed gets a new record in place of the old one.
    primary.SetPosition(1);
    double shorter[2] = {8.0, 9.0};
    EXPECT_EQ(primary.Write(shorter, sizeof shorter), sizeof shorter);
    EXPECT_EQ(manager->GetNewCount(), 4u);
    EXPECT_EQ(manager->GetFreeCount(), 1u);
    EXPECT_EQ(primary.GetRecordCount(), 3u);
}

TEST_F(CheckPointTest, RestoreFailsWhenARecordIsShorterThanItsBlock) {
    ASSERT_TRUE(Save());
    primary.SetPosition(1);
    double shorter[2] = {8.0, 9.0};
    ASSERT_EQ(primary.Write(shorter, sizeof shorter), sizeof shorter);
    state.time = 42.0;

    EXPECT_FALSE(Restore());
    // Blocks before the failing one are not rolled back; the short record is
    // still delivered as far as it goes.
    EXPECT_EQ(state.time, 1.5);
    EXPECT_EQ(state.states[0], 8.0);
    EXPECT_EQ(state.states[1], 9.0);
    EXPECT_EQ(state.states[2], 3.0);
}

TEST(CheckPoint, BlockNeedsTheStoreOfItsType) {
    StateStorageMemory primary;
    StateStorageMemory secondary;
    ASSERT_TRUE(primary.Initialize());
    ASSERT_TRUE(secondary.Initialize());
    double a = 1.0;
    double b = 2.0;

    CheckPoint onlyPrimary(1, &primary, nullptr, nullptr);
    EXPECT_FALSE(onlyPrimary.AddCheckedBlock(&a, sizeof a, StateStorageSecondary));
    EXPECT_FALSE(onlyPrimary.AddCheckedBlock(&a, sizeof a, static_cast<StateStorageType>(2)));
    EXPECT_EQ(onlyPrimary.GetTotalSize(), 0u);
    EXPECT_EQ(onlyPrimary.GetNumberOfBlocks(), 0u);

    CheckPoint both(2, &primary, &secondary, nullptr);
    ASSERT_TRUE(both.AddCheckedBlock(&a, sizeof a, StateStoragePrimary));
    ASSERT_TRUE(both.AddCheckedBlock(&b, sizeof b, StateStorageSecondary));
    ASSERT_TRUE(both.Save());
    EXPECT_EQ(primary.GetRecordCount(), 1u);
    EXPECT_EQ(secondary.GetRecordCount(), 1u);
    a = b = 0.0;
    primary.SetPosition(0);
    secondary.SetPosition(0);
    ASSERT_TRUE(both.Restore());
    EXPECT_EQ(a, 1.0);
    EXPECT_EQ(b, 2.0);

    EXPECT_FALSE(both.AddCheckedBlock(nullptr));
}

TEST(CheckPoint, CopiesAndFinalizeLeaveStoresAndBlockMemoryAlone) {
    StateStorageMemory store;
    ASSERT_TRUE(store.Initialize());
    double x = 3.0;
    double y = 4.0;
    CheckedBlock external(&x, sizeof x, &store);
    CheckPoint::CheckedBlockList list{&external};

    CheckPoint original(5, &store, nullptr, &list);
    ASSERT_TRUE(original.AddCheckedBlock(new CheckedBlock(&y, sizeof y, &store)));
    EXPECT_EQ(original.GetTotalSize(), 16u);

    CheckPoint copy(original);
    EXPECT_EQ(copy.GetId(), 5u);
    EXPECT_EQ(copy.GetPrimaryStorage(), &store);
    EXPECT_EQ(copy.GetNumberOfBlocks(), 2u);
    ASSERT_TRUE(copy.Save());  // writes records 0 and 1 of the shared store
    EXPECT_EQ(store.GetRecordCount(), 2u);

    original.Finalize();
    EXPECT_EQ(original.GetNumberOfBlocks(), 0u);
    EXPECT_EQ(original.GetTotalSize(), 0u);
    EXPECT_EQ(store.GetRecordCount(), 2u);
    EXPECT_EQ(x, 3.0);
    EXPECT_EQ(y, 4.0);
    // The listed block is copied, never taken over.
    EXPECT_EQ(external.GetAddress(), &x);

    x = y = 0.0;
    store.SetPosition(0);
    ASSERT_TRUE(copy.Restore());
    EXPECT_EQ(x, 3.0);
    EXPECT_EQ(y, 4.0);
}

TEST(StateStorageMemory, TrimDropsRecordsFromAPosition) {
    StateStorageMemory store;
    ASSERT_TRUE(store.Initialize());
    int values[3] = {1, 2, 3};
    for (int& v : values) ASSERT_EQ(store.Write(&v, sizeof v), sizeof v);

    EXPECT_FALSE(store.Trim(3));
    EXPECT_EQ(store.GetRecordCount(), 3u);
    EXPECT_TRUE(store.Trim(1));
    EXPECT_EQ(store.GetRecordCount(), 1u);
    EXPECT_TRUE(store.Trim(0));
    EXPECT_EQ(store.GetRecordCount(), 0u);
    EXPECT_EQ(store.GetMemoryManager()->GetFreeCount(), 3u);
    EXPECT_FALSE(store.Trim(0));

    // Reading past the end delivers nothing and keeps the position.
    store.SetPosition(0);
    int out = 0;
    EXPECT_EQ(store.Read(&out, sizeof out), 0u);
    EXPECT_EQ(store.GetPosition(), 0u);
}

TEST(StateStorageMemory, ReadDeliversAtMostTheRecordAndWritesNeedInitialize) {
    StateStorageMemory store;
    int value = 5;
    EXPECT_EQ(store.Write(&value, sizeof value), 0u);  // no manager yet
    EXPECT_EQ(store.GetPosition(), 0u);

    ASSERT_TRUE(store.Initialize());
    ASSERT_EQ(store.Write(&value, sizeof value), sizeof value);
    store.SetPosition(0);
    unsigned char wide[8];
    std::memset(wide, 0xAB, sizeof wide);
    EXPECT_EQ(store.Read(wide, sizeof wide), sizeof value);
    EXPECT_EQ(wide[sizeof value], 0xAB);
    int back = 0;
    std::memcpy(&back, wide, sizeof back);
    EXPECT_EQ(back, 5);

    // The fast manager serves the same store.
    StateStorageMemory fast(MemoryManagerFast);
    ASSERT_TRUE(fast.Initialize());
    ASSERT_EQ(fast.Write(&value, sizeof value), sizeof value);
    EXPECT_EQ(fast.GetMemoryManager()->GetType(), MemoryManagerFast);
    fast.SetPosition(0);
    back = 0;
    EXPECT_EQ(fast.Read(&back, sizeof back), sizeof back);
    EXPECT_EQ(back, 5);
}

}  // namespace
