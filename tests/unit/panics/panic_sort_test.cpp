#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bp_log.h"
#include "daemon_fixture.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

namespace {

std::vector<PanicSortEntry> Entries(const std::vector<uint32_t>& timestamps) {
    std::vector<PanicSortEntry> entries;
    for (size_t i = 0; i < timestamps.size(); ++i)
        entries.push_back({static_cast<uint16_t>(i), timestamps[i]});
    return entries;
}

std::vector<uint16_t> Indexes(const std::vector<PanicSortEntry>& entries) {
    std::vector<uint16_t> indexes;
    for (const PanicSortEntry& entry : entries) indexes.push_back(entry.recordIndex);
    return indexes;
}

struct SortCase {
    const char* name;
    std::vector<uint32_t> timestamps;
    size_t count;  // entries handed to the sort; the rest must stay untouched
    std::vector<uint16_t> order;
};

// Orders worked out by hand from the two passes (gap 3, then gap 1, strict greater-than).
const SortCase kSortCases[] = {
    {"count 0 touches nothing", {9, 1}, 0, {0, 1}},
    {"count 1 touches nothing past it", {9, 1}, 1, {0, 1}},
    {"two descending are swapped", {9, 1}, 2, {1, 0}},
    {"two ascending stay", {1, 9}, 2, {0, 1}},
    {"two equal stay", {4, 4}, 2, {0, 1}},
    // Unsigned comparison: 0xFFFFFFF0 and 0x80000000 are large, not negative.
    {"0xFFFFFFF0 sorts after 5", {0xFFFFFFF0, 5}, 2, {1, 0}},
    {"high bit is not a sign", {0xFFFFFFF0, 0x80000000, 5, 0x7FFFFFFF}, 4, {2, 3, 1, 0}},
    // Gap 3 moves entry 3 (ts 1) over entry 0 (ts 5): [3,1,2,0]. Gap 1 never swaps the
    // three equal 1s, so they come out as 3, 1, 2, not in their input order 1, 2, 3.
    {"equal stamps as gap 3 leaves them", {5, 1, 1, 1}, 4, {3, 1, 2, 0}},
    // Gap 3 swaps 0 and 3 only: [3,1,2,0,4,5] with ts [1,2,1,2,2,1]. Gap 1 then inserts
    // 2 before 1, and 5 after 2: the 1s come out as 3, 2, 5 and the 2s as 1, 0, 4.
    {"equal stamps of six as gap 3 leaves them", {2, 2, 1, 1, 2, 1}, 6, {3, 2, 5, 1, 0, 4}},
};

TEST(PanicSortTest, SortsEachCaseToTheOrderWorkedOutByHand) {
    for (const SortCase& c : kSortCases) {
        SCOPED_TRACE(c.name);
        std::vector<PanicSortEntry> entries = Entries(c.timestamps);
        ULVSortPanicIndex(entries.data(), static_cast<uint16_t>(c.count));
        EXPECT_EQ(Indexes(entries), c.order);
        for (const PanicSortEntry& entry : entries)
            EXPECT_EQ(entry.timestamp, c.timestamps[entry.recordIndex]) << "entries move whole";
    }
}

// The sort is not stable in general, so a large check asks only for an ascending permutation
// that moved every entry whole.
TEST(PanicSortTest, RandomArraysComeOutAscendingPermutationsOfTheirInput) {
    std::mt19937 random(20240611);
    const size_t sizes[] = {3, 4, 5, 6, 7, 8, 31, 256, 1000, 2048};
    for (int round = 0; round < 40; ++round) {
        for (size_t size : sizes) {
            std::vector<uint32_t> timestamps(size);
            for (uint32_t& timestamp : timestamps) {
                switch (random() % 3) {
                    case 0: timestamp = random() % 8; break;  // many equal keys
                    case 1: timestamp = 0xFFFFFFF8u + random() % 8; break;  // top of the range
                    default: timestamp = static_cast<uint32_t>(random()); break;
                }
            }
            std::vector<PanicSortEntry> entries = Entries(timestamps);
            ULVSortPanicIndex(entries.data(), static_cast<uint16_t>(size));

            SCOPED_TRACE("round " + std::to_string(round) + ", size " + std::to_string(size));
            ASSERT_TRUE(std::is_sorted(entries.begin(), entries.end(),
                                       [](const PanicSortEntry& a, const PanicSortEntry& b) {
                                           return a.timestamp < b.timestamp;
                                       }));
            std::vector<uint16_t> indexes = Indexes(entries);
            std::sort(indexes.begin(), indexes.end());
            for (size_t i = 0; i < size; ++i) ASSERT_EQ(indexes[i], i);
            for (const PanicSortEntry& entry : entries)
                ASSERT_EQ(entry.timestamp, timestamps[entry.recordIndex]);
        }
    }
}

using BpSortIndexTest = DaemonTest;

TEST_F(BpSortIndexTest, NamesBothLogsRecordsOldestFirst) {
    ULVDetectByteOrder();
    // 30, 10, 20 in the first log and 5 in the second: list order 30, 10, 20, 5.
    WriteFile(bplog::kLog1, bplog::Encode(bplog::WithTimestamps({30, 10, 20})));
    WriteFile(bplog::kLog2, bplog::Encode(bplog::WithTimestamps({5})));
    ULVReadBpPanics();
    ASSERT_EQ(ulvState.bpNewCount, 4);
    ASSERT_NE(ulvState.bpSortIndex, nullptr);
    std::vector<PanicSortEntry> index(ulvState.bpSortIndex, ulvState.bpSortIndex + 4);
    EXPECT_EQ(Indexes(index), (std::vector<uint16_t>{3, 1, 2, 0}));
    std::vector<uint32_t> stamps;
    for (const PanicSortEntry& entry : index) stamps.push_back(entry.timestamp);
    EXPECT_EQ(stamps, (std::vector<uint32_t>{5, 10, 20, 30}));
}

TEST_F(BpSortIndexTest, EqualStampsAcrossLogsComeOutAsGapThreeLeavesThem) {
    ULVDetectByteOrder();
    // List order: ts 9 (id 1), 4 (id 2), 4 (id 3) from the first log, 4 (id 1) from the
    // second. Gap 3 puts record 3 first; the equal 4s then read 3, 1, 2.
    WriteFile(bplog::kLog1, bplog::Encode(bplog::WithTimestamps({9, 4, 4})));
    WriteFile(bplog::kLog2, bplog::Encode(bplog::WithTimestamps({4})));
    ULVReadBpPanics();
    ASSERT_EQ(ulvState.bpNewCount, 4);
    ASSERT_NE(ulvState.bpSortIndex, nullptr);
    EXPECT_EQ(Indexes({ulvState.bpSortIndex, ulvState.bpSortIndex + 4}),
              (std::vector<uint16_t>{3, 1, 2, 0}));
}

}  // namespace
