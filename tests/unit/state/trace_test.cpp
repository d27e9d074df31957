#include "state/trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

TEST_F(TraceTest, RotatesOnlyAboveTheThresholdReplacingTheOldBackup) {
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

TEST_F(TraceTest, MissingFileIsTracedWithTheErrorWhichCreatesIt) {
    EXPECT_EQ(ULVCheckTraceFile(), -1);
    EXPECT_EQ(TraceMessages(),
              std::vector<std::string>{"ERR: Stat ulvPanicinfo - No such file or directory\n"});
}

TEST_F(TraceTest, NeverWritesThroughALinkOrFifoAndCutsAnOverlongRecord) {
    WriteFile("secret", "untouched");
    const std::string trace = root_ + "/" + kTrace;
    ASSERT_EQ(symlink((root_ + "/secret").c_str(), trace.c_str()), 0);
    ULV_TRACE("through the link\n");
    EXPECT_EQ(ReadFile("secret"), "untouched");
    ASSERT_EQ(unlink(trace.c_str()), 0);
    ASSERT_EQ(link((root_ + "/secret").c_str(), trace.c_str()), 0);  // a regular file too
    ULV_TRACE("through the hard link\n");
    EXPECT_EQ(ReadFile("secret"), "untouched");
    ASSERT_EQ(unlink(trace.c_str()), 0);
    ASSERT_EQ(mkfifo(trace.c_str(), 0600), 0);
    ULV_TRACE("into the fifo\n");  // no reader: must neither block nor fail loudly
    ASSERT_EQ(unlink(trace.c_str()), 0);

    ULV_TRACE("%s", std::string(3000, 'z').c_str());
    const std::string file = TraceFile();
    EXPECT_EQ(file.size(), TRACE_RECORD_SIZE - 1);
    EXPECT_EQ(file.back(), 'z');
}

}  // namespace
