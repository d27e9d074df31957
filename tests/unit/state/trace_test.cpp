#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "daemon_fixture.h"
#include "state/trace.h"

namespace {

class TraceTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    return timegm(&when);
}

std::string Stamp(time_t when) {
    char out[TRACE_STAMP_SIZE];
    ULVFormatTraceStamp(when, out);
    return out;
}

TEST_F(TraceTest, StampsWithTheIsoWeekBasedYear) {
    // 31 December 2024 belongs to week 1 of 2025; 1 January 2027 to week 53 of 2026.
    EXPECT_EQ(Stamp(Utc(2024, 12, 31, 23, 59, 58)), "31 12 2025 23:59:58");
    EXPECT_EQ(Stamp(Utc(2027, 1, 1, 0, 0, 1)), "01 01 2026 00:00:01");
    EXPECT_EQ(Stamp(Utc(2026, 6, 15, 8, 5, 9)), "15 06 2026 08:05:09");
}

TEST_F(TraceTest, RecordCarriesStampSourceLineAndMessage) {
    ULVTrace("./ULV_main.cpp", 123, "value %d and %s\n", 42, "text");
    ULVTrace("./ULV_functions.cpp", 7, "two line endings\n\n");
    std::string text = TraceFile();
    std::regex record(
        R"(\d\d \d\d \d{4} \d\d:\d\d:\d\d \./ULV_main\.cpp:123\tvalue 42 and text\n)"
        R"(\d\d \d\d \d{4} \d\d:\d\d:\d\d \./ULV_functions\.cpp:7\ttwo line endings\n\n)");
    EXPECT_TRUE(std::regex_match(text, record)) << text;
}

TEST_F(TraceTest, MacroNamesTheModuleAndTheStatementLine) {
    const int line = __LINE__ + 1;
    ULV_TRACE("from a test\n");
    // Tests build with the default module, the one of every directory but daemon and coredump.
    EXPECT_NE(TraceFile().find("./ULV_functions.cpp:" + std::to_string(line) + "\tfrom a test\n"),
              std::string::npos)
        << TraceFile();
}

TEST_F(TraceTest, RotatesOnlyAboveTheThreshold) {
    const std::string path = "zel_user/download/appwrite/ulvPanicInfo";
    const std::string backup = path + ".bak";
    WriteFile(path, std::string(153600, 'a'));
    EXPECT_EQ(ULVCheckTraceFile(), 0);
    EXPECT_FALSE(Exists(backup));
    EXPECT_EQ(ReadFile(path).size(), 153600u);

    WriteFile(backup, "old backup");
    WriteFile(path, std::string(153601, 'b'));
    EXPECT_EQ(ULVCheckTraceFile(), 0);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(ReadFile(backup), std::string(153601, 'b'));  // the old backup is replaced

    ULV_TRACE("next record\n");
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"next record\n"});
}

TEST_F(TraceTest, MissingFileIsTracedWithTheErrorWhichCreatesIt) {
    EXPECT_FALSE(Exists("zel_user/download/appwrite/ulvPanicInfo"));
    EXPECT_EQ(ULVCheckTraceFile(), -1);
    EXPECT_EQ(TraceMessages(),
              std::vector<std::string>{"ERR: Stat ulvPanicinfo - No such file or directory\n"});
    EXPECT_FALSE(Exists("zel_user/download/appwrite/ulvPanicInfo.bak"));
}

TEST_F(TraceTest, FailedRenameGoesToThePlatformLogOnly) {
    const std::string path = "zel_user/download/appwrite/ulvPanicInfo";
    WriteFile(path, std::string(153601, 'c'));
    // A directory in place of the backup makes the rename fail.
    ASSERT_EQ(mkdir((root_ + "/" + path + ".bak").c_str(), 0755), 0);
    EXPECT_EQ(ULVCheckTraceFile(), -1);
    EXPECT_TRUE(fake::aplog.Has("Rename the file failed - Is a directory\n\r"));
    EXPECT_EQ(ReadFile(path).size(), 153601u);
}

TEST_F(TraceTest, TraceFileThatCannotBeOpenedDropsTheRecordQuietly) {
    std::filesystem::remove_all(root_ + "/zel_user/download/appwrite");
    ULV_TRACE("lost\n");  // must neither fail nor create anything
    EXPECT_FALSE(Exists("zel_user/download/appwrite"));
    EXPECT_TRUE(fake::aplog.records.empty());
}

}  // namespace
