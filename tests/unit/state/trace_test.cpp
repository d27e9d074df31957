#include "state/trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <limits>
#include <regex>

#include "daemon_fixture.h"

namespace {

using TraceTest = DaemonTest;
const std::string kTrace = "zel_user/download/appwrite/ulvPanicInfo";

TEST_F(TraceTest, StampsWithTheIsoWeekBasedYear) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::pair<time_t, const char*> cases[] = {
        {1735689598, "31 12 2025 23:59:58"},  // 2024-12-31: week 1 of 2025
        {1798761601, "01 01 2026 00:00:01"},  // 2027-01-01: week 53 of 2026
    };
    for (const auto& [when, stamp] : cases) {
        char out[TRACE_STAMP_SIZE];
        ULVFormatTraceStamp(when, out);
        EXPECT_STREQ(out, stamp);
    }
    // A time the C library cannot convert (where there is one) leaves an empty stamp.
    const time_t far = std::numeric_limits<time_t>::max();
    tm probe{};
    if (localtime_r(&far, &probe) == nullptr) {
        char out[TRACE_STAMP_SIZE];
        std::memset(out, 'x', sizeof out);
        ULVFormatTraceStamp(far, out);
        EXPECT_STREQ(out, "");
    }
}

TEST_F(TraceTest, RecordIsStampSourceLineTabMessage) {
    ULVTrace("./ULV_main.cpp", 123, "value %d\n", 42);
    const std::regex record(R"(\d\d \d\d \d{4} \d\d:\d\d:\d\d \./ULV_main\.cpp:123\tvalue 42\n)");
    EXPECT_TRUE(std::regex_match(TraceFile(), record)) << TraceFile();
}

// A missing file is traced with the error, which creates it.
TEST_F(TraceTest, CheckRotatesOnlyAboveTheThresholdReplacingTheOldBackup) {
    EXPECT_EQ(ULVCheckTraceFile(), -1);
    EXPECT_EQ(TraceMessages(),
              std::vector<std::string>{"ERR: Stat ulvPanicinfo - No such file or directory\n"});
    WriteFile(kTrace + ".bak", "old backup");
    WriteFile(kTrace, std::string(153600, 'a'));
    EXPECT_EQ(ULVCheckTraceFile(), 0);
    EXPECT_EQ(ReadFile(kTrace + ".bak"), "old backup");
    WriteFile(kTrace, std::string(153601, 'b'));
    EXPECT_EQ(ULVCheckTraceFile(), 0);
    EXPECT_EQ(ReadFile(kTrace + ".bak"), std::string(153601, 'b'));
    ULV_TRACE("next record\n");
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"next record\n"});
}

TEST_F(TraceTest, NeverWritesThroughALinkOrFifoAndCutsAnOverlongRecord) {
    WriteFile("secret", "untouched");
    const std::string secret = root_ + "/secret", trace = root_ + "/" + kTrace;
    for (int kind = 0; kind < 3; ++kind) {  // a symbolic link, a hard link, a FIFO: no reader
        ASSERT_EQ(kind == 0   ? symlink(secret.c_str(), trace.c_str())
                  : kind == 1 ? link(secret.c_str(), trace.c_str())
                              : mkfifo(trace.c_str(), 0600),
                  0);
        ULV_TRACE("planted\n");  // must neither write through, block nor fail loudly
        EXPECT_EQ(ReadFile("secret"), "untouched") << kind;
        ASSERT_EQ(unlink(trace.c_str()), 0);
    }
    ULV_TRACE("%s", std::string(3000, 'z').c_str());
    const std::string file = TraceFile();
    EXPECT_EQ(file.size(), TRACE_RECORD_SIZE - 1);
    EXPECT_EQ(file.back(), 'z');
}

}  // namespace
