#include "platform/handle_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using platform::Handle;
using platform::HandleTable;

TEST(HandleTable, HandsOutNonZeroHandlesThatFindTheirObject) {
    HandleTable<std::string> table;
    const Handle a = table.insert("a");
    const Handle b = table.insert("b");
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(table.get(a), "a");
    EXPECT_EQ(table.get(b), "b");
    EXPECT_EQ(table.size(), 2u);
}

TEST(HandleTable, RejectsUnknownValues) {
    HandleTable<int> table;
    const Handle h = table.insert(7);
    for (Handle bad : {0u, 0xFFFFFFFFu, h + 1, h ^ 0x00010000u, 0x0000FFFFu}) {
        EXPECT_FALSE(table.get(bad)) << std::hex << bad;
        EXPECT_FALSE(table.contains(bad));
        EXPECT_FALSE(table.remove(bad));
    }
    EXPECT_EQ(table.get(h), 7);
}

TEST(HandleTable, RemovedHandleIsStaleEvenAfterItsSlotIsReused) {
    HandleTable<int> table(1);
    const Handle first = table.insert(1);
    EXPECT_EQ(table.remove(first), 1);
    EXPECT_FALSE(table.remove(first)) << "second remove of the same handle";
    const Handle second = table.insert(2);
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);
    EXPECT_FALSE(table.get(first));
    EXPECT_FALSE(table.replace(first, 9));
    EXPECT_EQ(table.get(second), 2);
}

TEST(HandleTable, FreedSlotsAreReusedOldestFirst) {
    HandleTable<int> table(3);
    const Handle a = table.insert(1);
    const Handle b = table.insert(2);
    table.insert(3);
    table.remove(a);
    table.remove(b);
    // a's slot was freed first, so it comes back first.
    EXPECT_EQ(table.insert(4) & 0xFFFF, a & 0xFFFF);
    EXPECT_EQ(table.insert(5) & 0xFFFF, b & 0xFFFF);
}

TEST(HandleTable, GenerationWrapsWithoutGivingZero) {
    HandleTable<int> table(1);
    const Handle first = table.insert(0);
    Handle h = first;
    std::set<Handle> seen{first};
    for (int i = 1; i < 0x10000; ++i) {
        ASSERT_TRUE(table.remove(h));
        h = table.insert(i);
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(seen.insert(h).second) << "value repeated before the generation wrapped";
    }
    // Generation 0xFFFF is in use; the next one wraps to 0.
    EXPECT_EQ(h >> 16, 0xFFFFu);
    ASSERT_TRUE(table.remove(h));
    const Handle wrapped = table.insert(-1);
    EXPECT_EQ(wrapped, first);
    EXPECT_EQ(table.get(wrapped), -1);
    EXPECT_FALSE(table.get(h));
}

TEST(HandleTable, FullTableRefusesAndRecoversAfterARemove) {
    HandleTable<int> table(2);
    const Handle a = table.insert(1);
    ASSERT_NE(table.insert(2), 0u);
    EXPECT_EQ(table.insert(3), 0u);
    table.remove(a);
    EXPECT_NE(table.insert(3), 0u);
}

TEST(HandleTable, LargestTableNeverHandsOutAllOnesInTheSlotPart) {
    HandleTable<int> table;
    ASSERT_EQ(table.capacity(), HandleTable<int>::kMaxCapacity);
    Handle last = 0;
    for (uint32_t i = 0; i < table.capacity(); ++i) {
        last = table.insert(0);
        ASSERT_NE(last, 0u);
    }
    EXPECT_EQ(table.insert(0), 0u);
    EXPECT_EQ(last & 0xFFFF, 0xFFFEu);
}

TEST(HandleTable, ClearHandsBackEveryObjectAndMakesHandlesStale) {
    HandleTable<std::shared_ptr<int>> table;
    const Handle a = table.insert(std::make_shared<int>(1));
    const Handle b = table.insert(std::make_shared<int>(2));
    const auto objects = table.clear();
    EXPECT_EQ(objects.size(), 2u);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(table.contains(a));
    EXPECT_FALSE(table.contains(b));
    const Handle c = table.insert(std::make_shared<int>(3));
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
}

TEST(HandleTable, EntriesListLiveHandlesOnly) {
    HandleTable<int> table;
    const Handle a = table.insert(1);
    const Handle b = table.insert(2);
    const Handle c = table.insert(3);
    table.remove(b);
    const auto entries = table.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (std::pair<Handle, int>{a, 1}));
    EXPECT_EQ(entries[1], (std::pair<Handle, int>{c, 3}));
}

TEST(HandleTable, ConcurrentInsertAndRemoveKeepHandlesUnique) {
    HandleTable<int> table(64);
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&table, t] {
            for (int i = 0; i < kRounds; ++i) {
                const Handle h = table.insert(t);
                ASSERT_NE(h, 0u); // 8 threads never hold more than 64
                // Nobody else may see our slot while we hold it.
                ASSERT_EQ(table.get(h), t);
                ASSERT_EQ(table.remove(h), t);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(table.size(), 0u);
}
