#include "state/flex_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <random>

#include "daemon_fixture.h"
#include "state/daemon_state.h"

namespace {

using FlexConfigTest = DaemonTest;

// Reads the file into a cleared record, as initialisation does.
int ReadCleared() {
    ulvState = DaemonState{};
    return ULVGetFlexConfig();
}

FlexConfig Record() {
    // clang-format off
    FlexConfig c{.ulv_availability = 1, .ulv_sms_address_type = 255, .ulv_last_num_panics = 200,
                 .ulv_lst_bldinfo_baselabel = {}, .ulv_last_flex_version = "FLEX_A",
                 .ulv_last_panic_timestamp = 0xDEADBEEF, .ulv_last_preiodic_report_timestamp = 0x2A30,
                 .ulv_last_powerup_timestamp = 0x1234, .ulv_cummulative_uptime = 0xFFFFFFFF,
                 .ulv_destination_address = "+15550100", .ulv_report_duration = 24, .ulv_report_delay = 15,
                 .ulv_last_ap_quela_num_panics = 0xFFFFFFFF, .ulv_last_ap_quela_panic_timestamp = 0xABC,
                 .ulv_last_ap_num_dump = 0x80000000, .ulv_last_ap_num_dump_timestamp = 0x7FFFFFFF,
                 .ulv_last_ap_kernel_timestamp = 0x5F5E100, .enableCoreDumps = 1};
    // clang-format on
    std::memcpy(c.ulv_lst_bldinfo_baselabel, "ABCDEFGHIJKLMNOPQRST", 20);  // full width, no NUL
    return c;
}

// Record() as written, by hand from the file format.
const std::string kWritten =
    "[UlvSetup]\n"
    "ulv_availability = 1\n"
    "ulv_sms_address_type = 255\n"  // u8: unsigned
    "ulv_last_num_panics = 200\n"
    "ulv_lst_bldinfo_baselabel = ABCDEFGHIJKLMNOPQRST\n"
    "ulv_last_flex_version = FLEX_A\n"
    "ulv_last_panic_timestamp = deadbeef\n"  // %x: lower case, no prefix
    "ulv_last_preiodic_report_timestamp = 2a30\n"
    "ulv_last_powerup_timestamp = 1234\n"
    "ulv_cummulative_uptime = ffffffff\n"
    "ulv_destination_address = +15550100\n"
    "ulv_report_duration = 24\n"
    "ulv_report_delay = 15\n"
    "ulv_last_ap_quela_num_panics = -1\n"  // u32 through %d: signed
    "ulv_last_ap_quela_panic_timestamp = abc\n"
    "ulv_last_ap_num_dump = -2147483648\n"
    "ulv_last_ap_num_dump_timestamp = 7fffffff\n"
    "ulv_last_ap_kernel_timestamp = 5f5e100\n"
    "enableCoreDumps = 1\n";

TEST_F(FlexConfigTest, WritesExactlyTheNineteenLinesAndReadsThemBackInAnyOrder) {
    ulvState.flexConfig = Record();
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), kWritten);
    const size_t cut = kWritten.find("ulv_destination_address");
    for (const std::string& text : {kWritten, kWritten.substr(cut) + kWritten.substr(0, cut)}) {
        WriteFile("zel_app/setup/ulv.cfg", text);
        ASSERT_EQ(ReadCleared(), 0);
        ULVSetFlexConfig();  // every field read back as it was: the same lines again
        EXPECT_EQ(ConfigFile(), kWritten);
    }
}

TEST_F(FlexConfigTest, NumDumpTimestampLineAboveNumDumpIsFoundForBothKeys) {
    // The counter scans the timestamp's hex digits as decimal, or keeps its value.
    const std::tuple<std::string, uint32_t, uint32_t> cases[] = {{"1a2b", 1, 0x1A2B},
                                                                 {"ff", 77, 0xFF}};
    for (const auto& [hex, numDump, timestamp] : cases) {
        WriteFile("zel_app/setup/ulv.cfg",
                  "ulv_last_ap_num_dump_timestamp = " + hex + "\n" + ConfigText());
        ulvState.flexConfig.ulv_last_ap_num_dump = 77;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_num_dump, numDump) << hex;
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_num_dump_timestamp, timestamp) << hex;
    }
}

TEST_F(FlexConfigTest, ClampsDurationAndDelayOnTheirWholeValue) {
    const std::tuple<std::string, int, std::string, int> cases[] = {
        {"0", 6, "14", 14}, {"5", 6, "16", 15}, {"7", 7, "200", 15}, {"300", 44, "-3", 15}};
    for (const auto& [duration, storedDuration, delay, storedDelay] : cases) {
        SCOPED_TRACE(duration + " h, " + delay + " s");
        WriteConfig({{"ulv_report_duration", duration}, {"ulv_report_delay", delay}});
        ASSERT_EQ(ReadCleared(), 0);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_duration, storedDuration);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, storedDelay);
    }
}

TEST_F(FlexConfigTest, DestinationIsCutAtABlankAndWhenEmptyIsNotConfigured) {
    const std::tuple<const char*, int, const char*> cases[] = {{"+1555 0100", 0, "+1555"},
                                                               {"", -1, ""}};
    for (const auto& [value, result, kept] : cases) {
        WriteConfig({{"ulv_destination_address", value}});
        EXPECT_EQ(ReadCleared(), result) << value;
        EXPECT_STREQ(ulvState.flexConfig.ulv_destination_address, kept);
        EXPECT_STREQ(ulvState.outgoingSms.destination, kept);
    }
}

TEST_F(FlexConfigTest, WriteDuringAWriteWritesNothing) {
    WriteConfig();
    ulvState.flexConfig = Record();
    ulvState.configWriteBusy = 1;
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), ConfigText());
    EXPECT_FALSE(Exists("tmp/ulv.cfg"));
}

TEST_F(FlexConfigTest, MissingFileOrUnwritableTemporaryIsLoggedAndTraced) {
    EXPECT_EQ(ULVGetFlexConfig(), -1);
    EXPECT_TRUE(fake::aplog.Has("Can't open the flex file\n\r"));
    EXPECT_EQ(TraceCount("Can't open the flex file\n"), 1);
    WriteConfig();
    ASSERT_EQ(ULVGetFlexConfig(), 0);
    ASSERT_EQ(mkdir((root_ + "/tmp/ulv.cfg").c_str(), 0755), 0);
    ulvState.flexConfig.ulv_report_delay = 9;
    ULVSetFlexConfig();
    EXPECT_TRUE(fake::aplog.Has("can't open the flex file for writing\n\r"));
    EXPECT_EQ(TraceCount("can't open the flex file for writing\n"), 1);
    EXPECT_EQ(ConfigFile(), ConfigText());
}

// The copy cannot be written (a full device): the old file stays, whole and regular.
TEST_F(FlexConfigTest, CopyThatCannotBeWrittenLeavesTheOldFile) {
    WriteConfig();
    ulvState.flexConfig = Record();
    ASSERT_EQ(symlink("/dev/full", (root_ + "/zel_app/setup/ulv.cfg.new").c_str()), 0);
    ULVSetFlexConfig();
    struct stat status {};
    ASSERT_EQ(lstat((root_ + "/zel_app/setup/ulv.cfg").c_str(), &status), 0);
    ASSERT_TRUE(S_ISREG(status.st_mode));  // not the device: reading it would never end
    EXPECT_EQ(ConfigFile(), ConfigText());
}

TEST_F(FlexConfigTest, WriterKilledAtRandomMomentsLeavesTheOldOrTheNewFileWhole) {
    const std::string texts[2] = {kWritten, ConfigText()};
    WriteConfig();
    ASSERT_EQ(ReadCleared(), 0);
    const FlexConfig records[2] = {Record(), ulvState.flexConfig};
    std::minstd_rand moments(0x5EED);  // the same kill moments on every run
    int onDisk = 1;
    int seen[2] = {0, 0};
    for (int round = 0; round < 60; ++round) {
        int done[2];
        ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int k = 1;; ++k) {  // each write changes the file and is reported
                ulvState.flexConfig = records[(onDisk + k) % 2];
                ULVSetFlexConfig();
                if (write(done[1], "", 1) != 1) _exit(3);
            }
        }
        close(done[1]);
        char byte = 0;  // against a vacuous pass: a write completed before the kill
        const bool wrote = read(done[0], &byte, 1) == 1;
        usleep(static_cast<useconds_t>(moments() % 3000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(done[0]);
        ASSERT_TRUE(wrote && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << round;
        const std::string text = ConfigFile();
        onDisk = text == texts[0] ? 0 : 1;
        ASSERT_EQ(text, texts[onDisk]) << "round " << round;
        ++seen[onDisk];
    }
    EXPECT_TRUE(seen[0] > 0 && seen[1] > 0) << seen[0] << " " << seen[1];
}

}  // namespace
