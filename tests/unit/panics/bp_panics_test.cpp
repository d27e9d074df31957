#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <optional>
#include <random>
#include <tuple>

#include "bp_log.h"
#include "daemon_fixture.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

namespace {

using bplog::Encode;
using Log = std::optional<std::string>;  // nullopt: no such file
using Ids = std::vector<uint32_t>;

class BpPanicsTest : public DaemonTest {
  protected:
    // Reads both logs afresh and returns the ids listed. A reader looping on a damaged log logs
    // each turn: capped, its memory soon runs out (natively; qemu ignores the cap and the
    // sanitizer cannot take it), else the alarm ends it, far beyond any real run.
    Ids Read(const Log& log1, const Log& log2, uint32_t lastReported = 0) {
        ResetProcessState();
        ULVDetectByteOrder();
        for (auto [path, log] : {std::pair{bplog::kLog1, log1}, std::pair{bplog::kLog2, log2}}) {
            std::filesystem::remove(root_ + "/" + path);
            if (log) WriteFile(path, *log);
        }
        ulvState.flexConfig.ulv_last_panic_timestamp = lastReported;
#ifndef __SANITIZE_ADDRESS__
        const rlimit cap{1u << 30, 1u << 30};
        setrlimit(RLIMIT_AS, &cap);
#endif
        alarm(120);
        ULVReadBpPanics();
        alarm(0);
        Ids ids;
        for (int i = 0; i < ulvState.bpNewCount; ++i) ids.push_back(ulvState.bpPanicList[i].id);
        return ids;
    }
};

TEST_F(BpPanicsTest, ListsTheNewRecordsOfBothLogsInFileOrderAndCountsAllOfThem) {
    Ids stamps300(300), first44(44);
    std::iota(stamps300.begin(), stamps300.end(), 2);
    std::iota(first44.begin(), first44.end(), 1);
    const std::string next = Encode(2, 20), next36 = Encode(2, 20, std::string(36, 'y')),
                      other = Encode(99, 990);
    // First log, second log, last reported time stamp, ids listed, the header's total count.
    // clang-format off
    const std::tuple<const char*, Log, Log, uint32_t, Ids, uint8_t> cases[] = {
        {"both missing", {}, {}, 0, {}, 0},
        {"equal, unsigned", bplog::Log({0x7FFFFFFF, 0x80000000, 5}), {}, 0x7FFFFFFF, {2}, 3},
        {"300 records: counts wrap", bplog::Log(stamps300), {}, 1, first44, 44},
        // Damaged first logs: its pass ends, the second log is read all the same.
        {"length 0", Encode(1, 10, "abcd", 0) + next, other, 0, {1, 99}, 2},
        {"length below 43", Encode(1, 10, "abcd", 42) + next, other, 0, {1, 99}, 2},
        {"length below 43 + data", Encode(1, 10, "abcd", 46) + next, other, 0, {1, 99}, 2},
        {"length past the file", Encode(1, 10, "abcd", 1000) + next, other, 0, {1, 99}, 2},
        {"header cut", Encode(1, 10) + next.substr(0, 20), other, 0, {1, 99}, 2},
        {"data cut", Encode(1, 10) + next36.substr(0, 60), other, 0, {1, 99}, 3},
    };
    // clang-format on
    for (const auto& [name, log1, log2, lastReported, ids, total] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Read(log1, log2, lastReported), ids);
        EXPECT_EQ(ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET], total);
    }
}

TEST_F(BpPanicsTest, KeepsTheFirst36DataBytesAndFindsTheNextRecordDespiteAWrongMagic) {
    const std::string data = std::string(35, 'k') + "L" + std::string(64, 'x');
    const std::string wrongMagic = Encode(11, 50, data, {}, {}, /*padding=*/9, 0x1234);
    ASSERT_EQ(Read(wrongMagic + Encode(12, 60, "\x77"), {}), (Ids{11, 12}));
    const PanicRecord* list = ulvState.bpPanicList;
    EXPECT_EQ(std::string(list[0].data, list[0].data + PANIC_DATA_SIZE), data.substr(0, 36));
    EXPECT_EQ(std::string(list[1].data, list[1].data + 2), std::string("\x77\0", 2));
    EXPECT_EQ(TraceCount("Wrong Header : 0x1234\n"), 1);
}

// Gaps 3 then 1, strictly greater-than, so not stable. Cases: two logs, positions oldest first.
TEST_F(BpPanicsTest, IndexesBothLogsOldestFirstAndEqualStampsAsTheGap3PassLeavesThem) {
    const std::tuple<Ids, Ids, std::vector<uint16_t>> cases[] = {
        {{30, 10, 20}, {5}, {3, 1, 2, 0}},
        {{5, 1, 1}, {1}, {3, 1, 2, 0}},  // gap 3 moves 3 before 0; gap 1 never swaps equal 1s
        {{0xFFFFFFF0, 0x80000000}, {5, 0x7FFFFFFF}, {2, 3, 1, 0}},  // unsigned
    };
    for (const auto& [log1, log2, order] : cases) {
        const size_t count = Read(bplog::Log(log1), bplog::Log(log2)).size();
        std::vector<uint16_t> positions;
        for (size_t k = 0; k < count; ++k) positions.push_back(ulvState.bpSortIndex[k].recordIndex);
        EXPECT_EQ(positions, order);
    }
}

// Random damaged logs: the readers return; what they list is new and indexed oldest first.
TEST_F(BpPanicsTest, RandomLogsAlwaysReturnAndListOnlyNewIndexedRecords) {
    std::mt19937 random(0x5EED0B9);
    auto below = [&random](uint32_t bound) { return static_cast<uint32_t>(random() % bound); };
    for (int round = 0; round < 150; ++round) {
        std::string log;
        for (uint32_t n = below(6); n > 0; --n) {  // drawn in a fixed order: the same logs anywhere
            const uint32_t id = random(), stamp = below(64), size = below(50), length = below(300),
                           dataLength = random();
            log += Encode(id, stamp, std::string(size, 'd'),
                          length < 100 ? std::optional<uint16_t>(length) : std::nullopt,
                          dataLength % 4 == 0 ? std::optional<uint32_t>(dataLength) : std::nullopt);
        }
        if (below(3) == 0) log.resize(below(static_cast<uint32_t>(log.size()) + 1));
        const uint32_t last = below(64);
        const Ids ids = Read(log, last % 2 == 0 ? Log(log) : std::nullopt, last);
        SCOPED_TRACE("round " + std::to_string(round));
        for (size_t k = 0; k < ids.size(); ++k) {
            const PanicSortEntry& entry = ulvState.bpSortIndex[k];
            ASSERT_LT(entry.recordIndex, ids.size());
            ASSERT_EQ(entry.timestamp, ulvState.bpPanicList[entry.recordIndex].timestamp);
            ASSERT_GT(entry.timestamp, last);
            ASSERT_TRUE(k == 0 || ulvState.bpSortIndex[k - 1].timestamp <= entry.timestamp);
        }
    }
}

}  // namespace
