// The kernel panic partition: its text as a 256-byte line reader sees it, and the record made.
#include <array>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <optional>
#include <tuple>

#include "daemon_fixture.h"
#include "panics/panics.h"
#include "state/daemon_state.h"

namespace {

using Pc = std::array<uint8_t, 4>;
constexpr char kPartition[] = "dev/mtdblock/kpanic";
// Central European time, summer time from the last Sunday of March to that of October.
constexpr char kCet[] = "CET-1CEST,M3.5.0,M10.5.0/3";

using KernelPanicTest = DaemonTest;  // which puts back the process's own time zone

void Zone(const char* rule) { setenv("TZ", rule, 1), tzset(); }

constexpr uint32_t kNone = KERNEL_PANIC_NO_TIME;
constexpr uint32_t k140709 = 1173103629;  // 2007-03-05 14:07:09 UTC

std::string TimeLine(size_t filler, const std::string& seconds = "39") {
    return std::string(filler, 'x') + "Current Time = 2007-03-05 14:07:" + seconds + "\n";
}

TEST_F(KernelPanicTest, ReadsTagsAsA256ByteLineReaderSeesThem) {
    // clang-format off
    const std::tuple<const char*, const char*, std::string, uint32_t, Pc, uint8_t> cases[] = {
        {"time", "UTC0", "Current Time = 2007-03-05 14:07:09\n", k140709, {}, 0},
        {"summer time", kCet, "Current Time = 2007-07-01 12:00:00\n", 1183284000, {}, 0},
        {"winter time", kCet, "Current Time = 2007-01-01 12:00:00\n", 1167649200, {}, 0},
        {"conversion as the C library's", "UTC0", "Current Time = 2007- 3-+5 14:07:09\n", k140709, {}, 0},
        {"last 32-bit second", "UTC0", "Current Time = 2106-02-07 06:28:14\n", 0xFFFFFFFE, {}, 0},
        {"past 32 bits", "UTC0", "Current Time = 2106-02-07 06:28:15\n", kNone, {}, 0},
        {"before the epoch", "UTC0", "Current Time = 1969-12-31 23:59:59\n", kNone, {}, 0},
        {"upper case pc", "UTC0", "[ULV]PanicPC: C0012ABC\n", kNone, {0xC0, 0x01, 0x2A, 0xBC}, 0},
        {"lower case pc, no newline", "UTC0", "[ULV]PanicPC: c0012abc", kNone, {0xC0, 0x01, 0x2A, 0xBC}, 0},
        {"zero byte in the pc", "UTC0", "x [ULV]PanicPC: C0001234 y\n", kNone, {0xC0, 0x00, 0x12, 0x34}, 0},
        // 16*0+16, 16*23 (G is not lowered), 16*35+35, 16*9+10, each kept to 8 bits.
        {"pairs not validated", "UTC0", "[ULV]PanicPC: 0gG0zz9:\n", kNone, {0x10, 0x70, 0x53, 0x9A}, 0},
        // Past the piece's end a character reads as NUL: 16*('\n'-48)+(0-48), 16*-48-48.
        {"pc cut by the line end", "UTC0", "[ULV]PanicPC: c0\n", kNone, {0xC0, 0x70, 0xD0, 0xD0}, 0},
        {"forced", "UTC0", "AP Logger forcing debug panic!\n" + TimeLine(0, "09"), k140709, {}, 1},
        {"three tags in one line", "UTC0",
         "AP Logger forcing debug panic! Current Time = 2007-03-05 14:07:09 [ULV]PanicPC: abcdef01\n",
         k140709, {0xAB, 0xCD, 0xEF, 0x01}, 1},
        {"the last tags win", "UTC0",
         "Current Time = 2007-03-05 14:07:09\n[ULV]PanicPC: 11111111\n"
         "Current Time = 2007-03-05 14:00:00\n[ULV]PanicPC: 22222222\n",
         1173103200, {0x22, 0x22, 0x22, 0x22}, 0},
        // A line of more than 255 characters comes in pieces of 255.
        {"seconds end at 254", "UTC0", TimeLine(221), 1173103659, {}, 0},
        {"last digit at 255", "UTC0", TimeLine(222), 1173103623, {}, 0},
        {"both digits past 254", "UTC0", TimeLine(223), 1173103620, {}, 0},
        {"tag split by the piece end", "UTC0", TimeLine(241), kNone, {}, 0},
        {"tag in the second piece", "UTC0", TimeLine(300), 1173103659, {}, 0},
        {"fixed-width fields", "UTC0", "Current Time = 2007-03-05 14:07939\n", 1173103659, {}, 0},
        {"tag after a NUL", "UTC0", std::string("abc\0", 4) + TimeLine(0), kNone, {}, 0},
        {"fields after a NUL", "UTC0", std::string("Current Time = 2007-03-05\0" "14:07:09\n", 35), k140709, {}, 0},
        {"binary, no tag", "UTC0", std::string("\xff\0\x01\n\x80", 5), kNone, {}, 0},
        {"empty", "UTC0", "", kNone, {}, 0},
    };
    // clang-format on
    for (const auto& [name, zone, text, time, pc, forced] : cases) {
        SCOPED_TRACE(name);
        Zone(zone);
        WriteFile(kPartition, text);
        uint32_t gotTime = 0;
        Pc gotPc = {9, 9, 9, 9};
        uint8_t gotForced = 9;
        EXPECT_EQ(ULVParseKernelPanicLog(&gotTime, gotPc.data(), &gotForced), 0);
        EXPECT_EQ(gotTime, time);
        EXPECT_EQ(gotPc, pc);
        EXPECT_EQ(gotForced, forced);
    }
    EXPECT_EQ(TraceCount("User Foced Kernel Panic Tag found\n\n"), 2);
}

// A link or a FIFO at the path is refused by the opening primitive (tested with it and end to
// end); here a missing partition stands for every unreadable one.
TEST_F(KernelPanicTest, RecordsOnlyAReadablePanicNewerThanTheMark) {
    Zone("UTC0");
    const std::string pc = "[ULV]PanicPC: C0012ABC\n";
    // Partition text (none: missing), the mark, the id recorded (0: none).
    const std::tuple<std::optional<std::string>, uint32_t, uint32_t> cases[] = {
        {TimeLine(0, "09") + pc, k140709 - 1, KERNEL_PANIC_ID},
        {"AP Logger forcing debug panic!\n" + TimeLine(0, "09") + pc, 0, KERNEL_PANIC_FORCED_ID},
        {TimeLine(0, "09"), k140709, 0},  // equal: not new
        {pc, 0, 0},                       // no time
        {std::nullopt, 0, 0},
    };
    for (const auto& [text, mark, id] : cases) {
        ResetProcessState();
        std::filesystem::remove(root_ + "/" + kPartition);
        if (text) WriteFile(kPartition, *text);
        ulvState.flexConfig.ulv_last_ap_kernel_timestamp = mark;
        ULVReadKernelPanic();
        EXPECT_EQ(ulvState.kernelPanicDone, id == 0 ? 1 : 0);
        ASSERT_EQ(ulvState.kernelPanic != nullptr, id != 0);
        if (id == 0) continue;
        const KernelPanicRecord& record = *ulvState.kernelPanic;
        EXPECT_EQ(record.id, id);
        EXPECT_EQ(record.timestamp, k140709);
        uint8_t expected[PANIC_RECORD_SIZE] = {0, 0, 0, 0};  // call time, then the data
        std::memcpy(expected + 4, &record.timestamp, 8);     // time stamp and id as they are
        expected[12] = 0xC0, expected[13] = 0x01, expected[14] = 0x2A, expected[15] = 0xBC;
        EXPECT_EQ(std::memcmp(&record, expected, PANIC_RECORD_SIZE), 0);
        EXPECT_EQ(ulvState.kernelRestoreTimestamp, mark);
    }
    const std::pair<const char*, int> traced[] = {
        {"Recording a Kernel Panic and its time stamp-1173103629 address-c0012abc\n", 2},
        {"No new Kernel panic - 1173103629\n", 1},
        {"No new Kernel panic - -1\n", 2},
        {"failed to get kernel panic info\n\n", 1},
    };
    for (const auto& [text, count] : traced) EXPECT_EQ(TraceCount(text), count) << text;
    EXPECT_EQ(TraceCount("close pipe\n\n"), 4);
    uint32_t time = 0;  // the partition is still missing
    Pc gotPc{};
    uint8_t forced = 0;
    EXPECT_EQ(ULVParseKernelPanicLog(&time, gotPc.data(), &forced), -1);
    EXPECT_EQ(time, KERNEL_PANIC_NO_TIME);
}

}  // namespace
