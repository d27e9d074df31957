// The kernel panic partition: its text as a 256-byte line reader sees it, and the record made.
#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <tuple>

#include "daemon_fixture.h"
#include "panics/panics.h"
#include "state/daemon_state.h"

namespace {

using Pc = std::array<uint8_t, 4>;
using KernelPanicTest = DaemonTest;  // which puts back the process's own time zone
constexpr char kPartition[] = "dev/mtdblock/kpanic";
constexpr char kForced[] = "AP Logger forcing debug panic!\n";
constexpr uint32_t kNone = KERNEL_PANIC_NO_TIME;
constexpr uint32_t k140709 = 1173100029;  // 2007-03-05 14:07:09 in Central European winter time

// Central European time, summer time from the last Sunday of March to that of October.
void CentralEuropeanTime() {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1), tzset();
}

std::string TimeLine(size_t filler, const std::string& seconds = "39") {
    return std::string(filler, 'x') + "Current Time = 2007-03-05 14:07:" + seconds + "\n";
}

TEST_F(KernelPanicTest, ReadsTagsAsA256ByteLineReaderSeesThem) {
    CentralEuropeanTime();
    const uint32_t k39 = k140709 + 30;
    // clang-format off
    const std::tuple<const char*, std::string, uint32_t, Pc, uint8_t> cases[] = {
        {"time", "Current Time = 2007-03-05 14:07:09\n", k140709, {}, 0},
        {"summer time", "Current Time = 2007-07-01 12:00:00\n", 1183284000, {}, 0},
        {"winter time", "Current Time = 2007-01-01 12:00:00\n", 1167649200, {}, 0},
        {"conversion as the C library's", "Current Time = 2007- 3-+5 14:07:09\n", k140709, {}, 0},
        {"a negative field", "Current Time = 2007-03-05 14:07:-9\n", k140709 - 18, {}, 0},
        {"last 32-bit second", "Current Time = 2106-02-07 07:28:14\n", 0xFFFFFFFE, {}, 0},
        {"past 32 bits", "Current Time = 2106-02-07 07:28:15\n", kNone, {}, 0},
        {"before the epoch", "Current Time = 1970-01-01 00:59:59\n", kNone, {}, 0},
        {"upper case pc", "[ULV]PanicPC: C0012ABC\n", kNone, {0xC0, 0x01, 0x2A, 0xBC}, 0},
        {"lower case pc, no newline", "[ULV]PanicPC: c0012abc", kNone, {0xC0, 0x01, 0x2A, 0xBC}, 0},
        {"zero byte in the pc", "x [ULV]PanicPC: C0001234 y\n", kNone, {0xC0, 0x00, 0x12, 0x34}, 0},
        // 16*0+16, 16*23 (G is not lowered), 16*35+35, 16*9+10, each kept to 8 bits.
        {"pairs not validated", "[ULV]PanicPC: 0gG0zz9:\n", kNone, {0x10, 0x70, 0x53, 0x9A}, 0},
        // Past the piece's end a character reads as NUL: 16*('\n'-48)+(0-48), 16*-48-48.
        {"pc cut by the line end", "[ULV]PanicPC: c0\n", kNone, {0xC0, 0x70, 0xD0, 0xD0}, 0},
        {"forced", kForced + TimeLine(0, "09"), k140709, {}, 1},
        {"three tags in one line",
         "AP Logger forcing debug panic! Current Time = 2007-03-05 14:07:09 [ULV]PanicPC: abcdef01",
         k140709, {0xAB, 0xCD, 0xEF, 0x01}, 1},
        {"the last tags win",
         "Current Time = 2007-03-05 14:07:09\n[ULV]PanicPC: 11111111\n"
         "Current Time = 2007-03-05 14:00:00\n[ULV]PanicPC: 22222222\n",
         k140709 - 429, {0x22, 0x22, 0x22, 0x22}, 0},
        // A line of more than 255 characters comes in pieces of 255.
        {"seconds end at 254", TimeLine(221), k39, {}, 0},
        {"last digit at 255", TimeLine(222), k140709 - 6, {}, 0},
        {"both digits past 254", TimeLine(223), k140709 - 9, {}, 0},
        {"tag split by the piece end", TimeLine(241), kNone, {}, 0},
        {"tag in the second piece", TimeLine(300), k39, {}, 0},
        {"fixed-width fields", "Current Time = 2007-03-05 14:07939\n", k39, {}, 0},
        {"tag after a NUL", std::string("abc\0", 4) + TimeLine(0), kNone, {}, 0},
        {"fields after a NUL", std::string("Current Time = 2007-03-05\0" "14:07:09\n", 35), k140709,
         {}, 0},
        {"binary, no tag", std::string("\xff\0\x01\n\x80", 5), kNone, {}, 0},
        {"empty", "", kNone, {}, 0},
    };
    // clang-format on
    for (const auto& [name, text, time, pc, forced] : cases) {
        SCOPED_TRACE(name);
        WriteFile(kPartition, text);
        uint32_t gotTime = 0;
        Pc gotPc = {9, 9, 9, 9};
        uint8_t gotForced = 9;
        EXPECT_EQ(ULVParseKernelPanicLog(&gotTime, gotPc.data(), &gotForced), 0);
        EXPECT_EQ(std::tuple(gotTime, gotPc, gotForced), std::tuple(time, pc, forced));
    }
    EXPECT_EQ(TraceCount("User Foced Kernel Panic Tag found\n\n"), 2);
}

// A missing partition stands for every unreadable one (links and FIFOs: tested end to end).
TEST_F(KernelPanicTest, RecordsOnlyAReadablePanicNewerThanTheMark) {
    CentralEuropeanTime();
    const std::string pc = "[ULV]PanicPC: C0012ABC\n", when = TimeLine(0, "09");
    // Partition text (none: missing), the mark, the id recorded (0: none).
    const std::tuple<std::optional<std::string>, uint32_t, uint32_t> cases[] = {
        {when + pc, k140709 - 1, KERNEL_PANIC_ID},
        {kForced + when + pc, 0, KERNEL_PANIC_FORCED_ID},
        {when, k140709, 0},  // equal: not new
        {pc, 0, 0},          // no time
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
        const PanicRecord expected{{}, k140709, id, {0xC0, 0x01, 0x2A, 0xBC}};  // call time zero
        EXPECT_EQ(std::memcmp(ulvState.kernelPanic, &expected, PANIC_RECORD_SIZE), 0);
        EXPECT_EQ(ulvState.kernelRestoreTimestamp, mark);
    }
    const std::pair<const char*, int> traced[] = {
        {"Recording a Kernel Panic and its time stamp-1173100029 address-c0012abc\n", 2},
        {"No new Kernel panic - 1173100029\n", 1},
        {"No new Kernel panic - -1\n", 2},
        {"failed to get kernel panic info\n\n", 1},
        {"close pipe\n\n", 4},
    };
    for (const auto& [text, count] : traced) EXPECT_EQ(TraceCount(text), count) << text;
    uint32_t time = 0;  // the partition is still missing
    Pc gotPc{};
    uint8_t forced = 0;
    EXPECT_EQ(ULVParseKernelPanicLog(&time, gotPc.data(), &forced), -1);
    EXPECT_EQ(time, KERNEL_PANIC_NO_TIME);
}

}  // namespace
