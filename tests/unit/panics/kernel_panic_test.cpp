// The kernel panic partition: its text as a 256-byte line reader sees it, and the record made.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <functional>
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

class KernelPanicTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        const char* zone = std::getenv("TZ");
        savedZone_ = zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
    }
    void TearDown() override {
        savedZone_ ? setenv("TZ", savedZone_->c_str(), 1) : unsetenv("TZ");
        tzset();
        DaemonTest::TearDown();
    }
    static void Zone(const char* rule) {
        setenv("TZ", rule, 1);
        tzset();
    }
    struct Parsed {
        int result;
        uint32_t time;
        Pc pc;
        uint8_t forced;
    };
    static Parsed Parse() {
        Parsed p{0, 0, {9, 9, 9, 9}, 9};
        alarm(120);  // a blocked open or a loop would end the test here
        p.result = ULVParseKernelPanicLog(&p.time, p.pc.data(), &p.forced);
        alarm(0);
        return p;
    }

  private:
    std::optional<std::string> savedZone_;
};

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
        const Parsed p = Parse();
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.time, time);
        EXPECT_EQ(p.pc, pc);
        EXPECT_EQ(p.forced, forced);
    }
    EXPECT_EQ(TraceCount("User Foced Kernel Panic Tag found\n\n"), 2);
}

TEST_F(KernelPanicTest, APartitionThatIsMissingALinkOrAFifoCountsAsNoNewPanic) {
    WriteFile("secret", TimeLine(0));
    const std::string path = root_ + "/" + kPartition;
    const std::function<void()> place[] = {
        [] {},
        [&] { std::filesystem::create_symlink(root_ + "/secret", path); },
        [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
    };
    for (const auto& placeIt : place) {
        ResetProcessState();
        std::filesystem::create_directories(root_ + "/dev/mtdblock");
        std::filesystem::remove(path);
        placeIt();
        const Parsed p = Parse();
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.time, kNone);
        ULVReadKernelPanic();
        EXPECT_EQ(ulvState.kernelPanic, nullptr);
        EXPECT_EQ(ulvState.kernelPanicDone, 1);
    }
    EXPECT_EQ(TraceCount("failed to get kernel panic info\n\n"), 6);
    EXPECT_EQ(TraceCount("No new Kernel panic - -1\n"), 3);
}

TEST_F(KernelPanicTest, RecordsOnlyAPanicNewerThanTheMark) {
    Zone("UTC0");
    // Partition text, the mark, then the record expected (none when id is 0).
    const std::tuple<std::string, uint32_t, uint32_t> cases[] = {
        {TimeLine(0, "09") + "[ULV]PanicPC: C0012ABC\n", k140709 - 1, KERNEL_PANIC_ID},
        {"AP Logger forcing debug panic!\n" + TimeLine(0, "09"), 0, KERNEL_PANIC_FORCED_ID},
        {TimeLine(0, "09"), k140709, 0},  // equal: not new
        {"[ULV]PanicPC: C0012ABC\n", 0, 0},  // no time
    };
    for (const auto& [text, mark, id] : cases) {
        ResetProcessState();
        WriteFile(kPartition, text);
        ulvState.flexConfig.ulv_last_ap_kernel_timestamp = mark;
        ULVReadKernelPanic();
        if (id == 0) {
            EXPECT_EQ(ulvState.kernelPanic, nullptr);
            EXPECT_EQ(ulvState.kernelPanicDone, 1);
            continue;
        }
        ASSERT_NE(ulvState.kernelPanic, nullptr);
        const KernelPanicRecord& record = *ulvState.kernelPanic;
        EXPECT_EQ(record.id, id);
        EXPECT_EQ(record.timestamp, k140709);
        std::array<uint8_t, 4 + PANIC_DATA_SIZE> bytes{};  // call time zero, then the data
        std::memcpy(bytes.data(), record.callTime, 4);
        std::memcpy(bytes.data() + 4, record.data, PANIC_DATA_SIZE);
        std::array<uint8_t, 4 + PANIC_DATA_SIZE> expected{};
        if (id == KERNEL_PANIC_ID) expected[4] = 0xC0, expected[5] = 0x01, expected[6] = 0x2A,
                                   expected[7] = 0xBC;
        EXPECT_EQ(bytes, expected);
        EXPECT_EQ(ulvState.kernelPanicDone, 0);
        EXPECT_EQ(ulvState.kernelRestoreTimestamp, mark);
        EXPECT_TRUE(fake::aplog.Has("Recording a Kernel Panic\n\r"));
    }
    EXPECT_EQ(TraceCount("Recording a Kernel Panic and its time stamp-1173103629 address-c0012abc\n"),
              1);
    EXPECT_EQ(TraceCount("No new Kernel panic - 1173103629\n"), 1);
    EXPECT_EQ(TraceCount("No new Kernel panic - -1\n"), 1);
    EXPECT_EQ(TraceCount("close pipe\n\n"), 4);
}

}  // namespace
