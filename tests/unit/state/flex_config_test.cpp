#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "flex_records.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

using flexrecords::ExpectSameConfig;
using flexrecords::kRecordAText;
using flexrecords::kRecordBText;
using flexrecords::RecordA;
using flexrecords::RecordB;

class FlexConfigTest : public DaemonTest {
protected:
    // Reads the configuration into a cleared record, as initialisation does.
    int ReadCleared() {
        ulvState.flexConfig = FlexConfig{};
        return ULVGetFlexConfig();
    }
};

std::string WithoutLine(std::string text, const std::string& key) {
    size_t at = text.find("\n" + key + " =");
    EXPECT_NE(at, std::string::npos) << key;
    if (at == std::string::npos) return text;
    size_t end = text.find('\n', at + 1);
    text.erase(at + 1, end - at);
    return text;
}

std::string Field(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

TEST_F(FlexConfigTest, WritesExactlyTheNineteenLinesAndReadsThemBack) {
    struct Case {
        const char* name;
        FlexConfig record;
        const char* text;
    };
    const Case cases[] = {{"A", RecordA(), kRecordAText}, {"B", RecordB(), kRecordBText}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ulvState.flexConfig = c.record;
        ULVSetFlexConfig();
        EXPECT_EQ(ConfigFile(), c.text);
        // The temporary file it was written through holds the same lines.
        EXPECT_EQ(ReadFile("tmp/ulv.cfg"), c.text);
        EXPECT_EQ(ulvState.configWriteBusy, 0);

        ASSERT_EQ(ReadCleared(), 0);
        ExpectSameConfig(ulvState.flexConfig, c.record);
    }
}

TEST_F(FlexConfigTest, ReadsLinesInAnyOrderWithBlanksOrTabsAroundTheValue) {
    // Written order reversed (the num_dump pair kept in its own order), no section line,
    // a comment, and varied spacing around "=".
    WriteFile("zel_app/setup/ulv.cfg",
              "# provisioned by hand\n"
              "enableCoreDumps = 1\n"
              "ulv_last_ap_kernel_timestamp =   c0ffee\n"
              "ulv_last_ap_num_dump=12\n"
              "ulv_last_ap_num_dump_timestamp = \t 1f\n"
              "ulv_last_ap_quela_panic_timestamp = 10\n"
              "ulv_last_ap_quela_num_panics = 4\n"
              "ulv_report_delay = 7\n"
              "ulv_report_duration = 48\n"
              "ulv_destination_address = +447700900123\n"
              "ulv_cummulative_uptime = 15180\n"
              "ulv_last_powerup_timestamp = 3c\n"
              "ulv_last_preiodic_report_timestamp = e10\n"
              "ulv_last_panic_timestamp = 65432100\n"
              "ulv_last_flex_version = FLEX_9\n"
              "ulv_lst_bldinfo_baselabel = AP_R9\n"
              "ulv_last_num_panics = 2\n"
              "ulv_sms_address_type = 1\n"
              "ulv_availability = 1\n");
    ASSERT_EQ(ReadCleared(), 0);
    const FlexConfig& c = ulvState.flexConfig;
    EXPECT_EQ(c.ulv_availability, 1);
    EXPECT_EQ(c.ulv_sms_address_type, 1);
    EXPECT_EQ(c.ulv_last_num_panics, 2);
    EXPECT_EQ(Field(c.ulv_lst_bldinfo_baselabel, 20), "AP_R9");
    EXPECT_EQ(Field(c.ulv_last_flex_version, 20), "FLEX_9");
    EXPECT_EQ(c.ulv_last_panic_timestamp, 0x65432100u);
    EXPECT_EQ(c.ulv_last_preiodic_report_timestamp, 0xE10u);
    EXPECT_EQ(c.ulv_last_powerup_timestamp, 0x3Cu);
    EXPECT_EQ(c.ulv_cummulative_uptime, 0x15180u);
    EXPECT_EQ(Field(c.ulv_destination_address, 51), "+447700900123");
    EXPECT_EQ(c.ulv_report_duration, 48);
    EXPECT_EQ(c.ulv_report_delay, 7);
    EXPECT_EQ(c.ulv_last_ap_quela_num_panics, 4u);
    EXPECT_EQ(c.ulv_last_ap_quela_panic_timestamp, 0x10u);
    EXPECT_EQ(c.ulv_last_ap_num_dump, 12u);
    EXPECT_EQ(c.ulv_last_ap_num_dump_timestamp, 0x1Fu);
    EXPECT_EQ(c.ulv_last_ap_kernel_timestamp, 0xC0FFEEu);
    EXPECT_EQ(c.enableCoreDumps, 1);
    EXPECT_TRUE(fake::aplog.records.empty());
}

TEST_F(FlexConfigTest, NumDumpTimestampLineAboveNumDumpIsTakenForBothKeys) {
    // The first line containing "ulv_last_ap_num_dump" wins, so the timestamp's hex value is
    // scanned as a decimal number for the counter, up to its first non-digit.
    struct Case {
        const char* hex;
        bool parses;
        uint32_t numDump;       // when parsed
        uint32_t numDumpStamp;  // the timestamp key finds its own line either way
    };
    const Case cases[] = {
        {"1a2b", true, 1, 0x1A2B},
        {"0099", true, 99, 0x99},
        {"ff", false, 0, 0xFF},  // no leading digit: the counter keeps its value
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        fake::aplog = {};
        std::string text = WithoutLine(ConfigText({{"ulv_last_ap_num_dump", "5"}}),
                                       "ulv_last_ap_num_dump_timestamp");
        text.insert(text.find("ulv_last_ap_num_dump ="),
                    std::string("ulv_last_ap_num_dump_timestamp = ") + c.hex + "\n");
        WriteFile("zel_app/setup/ulv.cfg", text);
        ulvState.flexConfig = FlexConfig{};
        ulvState.flexConfig.ulv_last_ap_num_dump = 77;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_num_dump, c.parses ? c.numDump : 77u);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_num_dump_timestamp, c.numDumpStamp);
        EXPECT_EQ(fake::aplog.Has("Sscanf result is not 1 - 0\n\r"), !c.parses);
    }
}

TEST_F(FlexConfigTest, ClampsDurationAndDelayOnTheirWholeValue) {
    struct Case {
        const char* duration;
        uint8_t storedDuration;
        const char* delay;
        uint8_t storedDelay;
    };
    const Case cases[] = {
        {"0", 6, "0", 0},      {"5", 6, "14", 14},    {"6", 6, "15", 15},
        {"7", 7, "16", 15},    {"255", 255, "200", 15}, {"256", 0, "256", 15},
        {"300", 44, "-3", 15}, {"-1", 255, "270", 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("duration ") + c.duration + ", delay " + c.delay);
        WriteConfig({{"ulv_report_duration", c.duration}, {"ulv_report_delay", c.delay}});
        ulvState.reportDelay = 99;
        ASSERT_EQ(ReadCleared(), 0);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_duration, c.storedDuration);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, c.storedDelay);
        EXPECT_EQ(ulvState.reportDelay, c.storedDelay);
    }
}

TEST_F(FlexConfigTest, EmptyDestinationIsNotConfiguredAfterLoggingTheFailedScan) {
    WriteConfig({{"ulv_destination_address", ""}, {"ulv_report_delay", "9"}});
    EXPECT_EQ(ReadCleared(), -1);
    EXPECT_EQ(fake::aplog.Texts(), (std::vector<std::string>{
                                       "Sscanf result is not 1 - -1\n\r",
                                       "ULV not configured AVLBL=1, DST=\n\r",
                                   }));
    // The working delay is copied whether or not the daemon is configured; the SMS record is not.
    EXPECT_EQ(ulvState.reportDelay, 9);
    EXPECT_EQ(ulvState.outgoingSms.destination[0], '\0');
    EXPECT_EQ(ulvState.outgoingSms.addressType, 0u);
}

TEST_F(FlexConfigTest, AvailabilityIsJudgedOnItsLowEightBits) {
    struct Case {
        const char* value;
        int result;
        const char* log;  // nullptr: nothing logged
    };
    const Case cases[] = {
        {"0", -1, "ULV not configured AVLBL=0, DST=+15550100\n\r"},
        {"2", -1, "ULV not configured AVLBL=2, DST=+15550100\n\r"},
        {"255", -1, "ULV not configured AVLBL=255, DST=+15550100\n\r"},
        {"256", -1, "ULV not configured AVLBL=0, DST=+15550100\n\r"},
        {"1", 0, nullptr},
        {"257", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        fake::aplog = {};
        WriteConfig({{"ulv_availability", c.value}, {"ulv_cummulative_uptime", "abc"}});
        EXPECT_EQ(ReadCleared(), c.result);
        EXPECT_EQ(fake::aplog.Texts(),
                  c.log ? std::vector<std::string>{c.log} : std::vector<std::string>{});
        // The fields read so far stay in the record either way.
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0xABCu);
    }
}

TEST_F(FlexConfigTest, DestinationIsCutAtTheFirstBlank) {
    WriteConfig({{"ulv_destination_address", "+1555 0100"}});
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(Field(ulvState.flexConfig.ulv_destination_address, 51), "+1555");
    EXPECT_STREQ(ulvState.outgoingSms.destination, "+1555");
}

TEST_F(FlexConfigTest, MissingFileFailsWithALogAndATraceRecord) {
    EXPECT_EQ(ReadCleared(), -1);
    EXPECT_EQ(fake::aplog.Texts(), std::vector<std::string>{"Can't open the flex file\n\r"});
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"Can't open the flex file\n"});
}

TEST_F(FlexConfigTest, AbsentKeyIsLoggedAndReadingGoesOnWithTheNextKey) {
    WriteFile("zel_app/setup/ulv.cfg",
              WithoutLine(WithoutLine(ConfigText({{"ulv_destination_address", "+4420"}}),
                                      "ulv_cummulative_uptime"),
                          "ulv_last_flex_version"));
    ulvState.flexConfig = FlexConfig{};
    ulvState.flexConfig.ulv_cummulative_uptime = 0x55;
    std::memcpy(ulvState.flexConfig.ulv_last_flex_version, "OLD", 3);
    ASSERT_EQ(ULVGetFlexConfig(), 0);
    EXPECT_EQ(fake::aplog.Texts(), (std::vector<std::string>{
                                       "Unable to parse the flex - (nil), (nil)\n\r",
                                       "Unable to parse the flex - (nil), (nil)\n\r",
                                   }));
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0x55u);
    EXPECT_EQ(Field(ulvState.flexConfig.ulv_last_flex_version, 20), "OLD");
    // The keys after the absent ones were still read.
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0u);
    EXPECT_EQ(Field(ulvState.flexConfig.ulv_destination_address, 51), "+4420");
}

TEST_F(FlexConfigTest, ValueThatDoesNotParseIsLoggedAndTheFieldKeepsItsValue) {
    // Each case breaks one key; its field keeps what it held before the read.
    using Get = std::string (*)(const FlexConfig&);
    const Get uptime = [](const FlexConfig& c) { return std::to_string(c.ulv_cummulative_uptime); };
    const Get panics = [](const FlexConfig& c) { return std::to_string(c.ulv_last_num_panics); };
    const Get quela = [](const FlexConfig& c) {
        return std::to_string(c.ulv_last_ap_quela_num_panics);
    };
    const Get flex = [](const FlexConfig& c) { return Field(c.ulv_last_flex_version, 20); };
    const Get delay = [](const FlexConfig& c) { return std::to_string(c.ulv_report_delay); };
    struct Case {
        const char* key;
        const char* value;
        const char* log;
        Get field;
        const char* kept;
    };
    const Case cases[] = {
        {"ulv_cummulative_uptime", "zz", "Sscanf result is not 1 - 0\n\r", uptime, "85"},
        {"ulv_cummulative_uptime", "", "Sscanf result is not 1 - -1\n\r", uptime, "85"},
        {"ulv_last_num_panics", "many", "Sscanf result is not 1 - 0\n\r", panics, "3"},
        {"ulv_last_ap_quela_num_panics", "-", "Sscanf result is not 1 - 0\n\r", quela, "8"},
        {"ulv_last_flex_version", "", "Sscanf result is not 1 - -1\n\r", flex, "OLD"},
        {"ulv_report_delay", "soon", "Sscanf result is not 1 - 0\n\r", delay, "9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = '" + c.value + "'");
        fake::aplog = {};
        WriteConfig({{c.key, c.value}});
        FlexConfig& config = ulvState.flexConfig;
        config = FlexConfig{};
        config.ulv_cummulative_uptime = 85;
        config.ulv_last_num_panics = 3;
        config.ulv_last_ap_quela_num_panics = 8;
        std::memcpy(config.ulv_last_flex_version, "OLD", 3);
        config.ulv_report_delay = 9;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        EXPECT_EQ(fake::aplog.Texts(), std::vector<std::string>{c.log});
        EXPECT_EQ(c.field(config), c.kept);
    }
    // The working delay follows the kept value.
    EXPECT_EQ(ulvState.reportDelay, 9);
}

TEST_F(FlexConfigTest, LineWithTheKeyButNoEqualsIsPassedOver) {
    std::string text = ConfigText({{"ulv_report_delay", "7"}});
    text.insert(text.find("ulv_report_delay ="), "ulv_report_delay 12\n");
    WriteFile("zel_app/setup/ulv.cfg", text);
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, 7);
    EXPECT_TRUE(fake::aplog.records.empty());
}

TEST_F(FlexConfigTest, FillsTheOutgoingSmsOnlyWhenConfigured) {
    const std::string fullWidth = "reports.for.the.handset.team@example-operator.co.uk";
    WriteConfig({{"ulv_destination_address", fullWidth}, {"ulv_sms_address_type", "1"}});
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(std::string(ulvState.outgoingSms.destination), fullWidth);
    EXPECT_EQ(ulvState.outgoingSms.addressType, 1u);

    ulvState.outgoingSms = OutgoingSms{};
    WriteConfig({{"ulv_availability", "0"}, {"ulv_sms_address_type", "1"}});
    EXPECT_EQ(ReadCleared(), -1);
    EXPECT_EQ(ulvState.outgoingSms.destination[0], '\0');
    EXPECT_EQ(ulvState.outgoingSms.addressType, 0u);
}

TEST_F(FlexConfigTest, OverlongTextsAreCutToTheirFieldAndWrittenBackCut) {
    // 25 characters for a 20-byte label, 60 for the 51-byte destination.
    WriteConfig({{"ulv_lst_bldinfo_baselabel", "ABCDEFGHIJKLMNOPQRSTUVWXY"},
                 {"ulv_destination_address", std::string(51, 'd') + "EXTRACHAR"}});
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(flexrecords::Bytes(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, 20),
              "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(flexrecords::Bytes(ulvState.flexConfig.ulv_destination_address, 51),
              std::string(51, 'd'));
    EXPECT_EQ(std::string(ulvState.outgoingSms.destination), std::string(51, 'd'));

    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(),
              ConfigText({{"ulv_lst_bldinfo_baselabel", "ABCDEFGHIJKLMNOPQRST"},
                          {"ulv_destination_address", std::string(51, 'd')}}));
}

TEST_F(FlexConfigTest, WriteWhileAWriteIsInProgressWritesNothing) {
    WriteConfig({{"ulv_cummulative_uptime", "10"}});
    ulvState.flexConfig = RecordA();
    ulvState.configWriteBusy = 1;
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "10"}}));
    EXPECT_FALSE(Exists("tmp/ulv.cfg"));
    EXPECT_EQ(ulvState.configWriteBusy, 1);  // the outer write clears it, not the nested one
}

TEST_F(FlexConfigTest, RewriteKeepsThePermissionsOfTheFile) {
    WriteConfig();
    const std::string path = root_ + "/zel_app/setup/ulv.cfg";
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ulvState.flexConfig = RecordB();
    ULVSetFlexConfig();
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(ConfigFile(), kRecordBText);
}

TEST_F(FlexConfigTest, TemporaryFileThatCannotBeCreatedLeavesTheConfigurationAlone) {
    WriteConfig();
    // A plain file where the temporary directory should be makes the create fail.
    std::filesystem::remove_all(root_ + "/tmp");
    WriteFile("tmp", "not a directory");
    ulvState.flexConfig = RecordA();
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), ConfigText());
    EXPECT_EQ(fake::aplog.Texts(),
              std::vector<std::string>{"can't open the flex file for writing\n\r"});
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"can't open the flex file for writing\n"});
    EXPECT_EQ(ulvState.configWriteBusy, 0);
}

TEST_F(FlexConfigTest, UnsetWritePathNeitherReadsNorWrites) {
    // The daemon then counts as not configured and writes nothing anywhere.
    WriteConfig();
    unsetenv("ZEL_APP_WRITE_PATH");
    EXPECT_EQ(ReadCleared(), -1);
    EXPECT_EQ(fake::aplog.Texts(), std::vector<std::string>{"ZEL_APP_WRITE_PATH is not set\n\r"});
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"ZEL_APP_WRITE_PATH is not set\n"});

    ulvState.flexConfig = RecordA();
    ULVSetFlexConfig();
    EXPECT_FALSE(Exists("tmp/ulv.cfg"));
    EXPECT_EQ(ConfigFile(), ConfigText());
    EXPECT_EQ(ulvState.configWriteBusy, 0);
}

TEST_F(FlexConfigTest, WritePathTooLongToFitIsLoggedAndNothingIsWritten) {
    // "<base>/setup/ulv.cfg" over 255 characters.
    const std::string base = root_ + "/" + std::string(250, 'w');
    const std::string full = base + "/setup/ulv.cfg";
    ASSERT_GT(full.size(), 255u);
    std::filesystem::create_directories(root_ + "/" + std::string(250, 'w'));
    setenv("ZEL_APP_WRITE_PATH", base.c_str(), 1);

    EXPECT_EQ(ReadCleared(), -1);
    EXPECT_EQ(fake::aplog.Texts(), (std::vector<std::string>{
                                       "The file name is trucated - " + full.substr(0, 255) + "\n\r",
                                       "Can't open the flex file\n\r",
                                   }));

    fake::aplog = {};
    ulvState.flexConfig = RecordA();
    ULVSetFlexConfig();
    EXPECT_EQ(fake::aplog.Texts(),
              std::vector<std::string>{"The command is truncated - " + full.substr(0, 255)});
    EXPECT_FALSE(Exists("tmp/ulv.cfg"));
    EXPECT_FALSE(Exists(std::string(250, 'w') + "/setup"));
    EXPECT_EQ(ulvState.configWriteBusy, 0);
}

}  // namespace
