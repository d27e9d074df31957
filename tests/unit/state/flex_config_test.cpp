#include "state/flex_config.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
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

// The line that sets ulv_report_delay when placed above the file's own "= 5" line, if any.
TEST_F(FlexConfigTest, KeyMatchesOnlyALineBeginningWithTheWholeKeyAndEquals) {
    const std::pair<std::string, int> cases[] = {
        {"ulv_report_delay = 9", 9},
        {"ulv_report_delay=9", 9},
        {"ulv_report_delay \t =  9", 9},
        {"ulv_lst_bldinfo_baselabel = ulv_report_delay=9", 5},  // a label cannot inject a key
        {"ulv_report_delay_extra = 9", 5},
        {" ulv_report_delay = 9", 5},
        {"xulv_report_delay = 9", 5},
        {"ulv_report_delay 9 = 3", 5},
        {"ulv_report_delay", 5},
    };
    for (const auto& [line, delay] : cases) {
        WriteFile("zel_app/setup/ulv.cfg", line + "\n" + ConfigText());
        ASSERT_EQ(ReadCleared(), 0) << line;
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, delay) << line;
    }
    // A key contained in another resolves to its own line in any order.
    WriteFile("zel_app/setup/ulv.cfg",
              "ulv_last_ap_num_dump_timestamp = 1a2b\nulv_last_ap_num_dump = 7\n" + ConfigText());
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_num_dump, 7u);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_num_dump_timestamp, 0x1A2Bu);
}

void SaveLabel(const std::string& label) {
    ulvState.flexConfig = Record();
    std::memset(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, 0, FLEX_VERSION_TEXT_SIZE);
    std::memcpy(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, label.data(), label.size());
    ULVSetFlexConfig();
}

TEST_F(FlexConfigTest, TextsWithBlanksAndEscapesAreWrittenEscapedAndReadBackExactly) {
    const std::pair<std::string, std::string> cases[] = {
        {"R1 2.0", "R1\\x202.0"},
        {"a\\b", "a\\x5cb"},
        {"\t\n\r\v\f", "\\x09\\x0a\\x0d\\x0b\\x0c"},
        {"ulv_report_delay=9", "ulv_report_delay=9"},  // nothing to escape: written as it is
        {"\xc3\xa9\x01\x7f\xff#", "\xc3\xa9\x01\x7f\xff#"},
        {std::string(20, ' '), [] {
             std::string all;
             for (int i = 0; i < 20; ++i) all += "\\x20";
             return all;
         }()},
    };
    for (const auto& [label, written] : cases) {
        SaveLabel(label);
        EXPECT_NE(ConfigFile().find("\nulv_lst_bldinfo_baselabel = " + written + "\n"),
                  std::string::npos)
            << written;
        ASSERT_EQ(ReadCleared(), 0);
        EXPECT_EQ(std::string(ulvState.flexConfig.ulv_lst_bldinfo_baselabel,
                              strnlen(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, 20)),
                  label);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, 15);
    }
}

TEST_F(FlexConfigTest, EveryByteOfEveryTextFieldRoundTrips) {
    // Bytes 1 to 255 in order, spread over the three texts (91 bytes a save). An e-mail
    // destination may use all 51 bytes.
    FlexConfig& config = ulvState.flexConfig;
    for (int next = 1; next <= 255;) {
        ulvState.flexConfig = Record();
        config.ulv_sms_address_type = 1;
        for (auto [field, width] : {std::pair{config.ulv_lst_bldinfo_baselabel, size_t{20}},
                                    {config.ulv_last_flex_version, size_t{20}},
                                    {config.ulv_destination_address, size_t{51}}}) {
            std::memset(field, 0, width);
            for (size_t i = 0; i < width && next <= 255; ++i) field[i] = static_cast<char>(next++);
            if (field[0] == '\0') field[0] = 'x';  // the destination must not be empty
        }
        const FlexConfig saved = config;
        ULVSetFlexConfig();
        ASSERT_EQ(ReadCleared(), 0);
        for (auto member : {&FlexConfig::ulv_lst_bldinfo_baselabel, &FlexConfig::ulv_last_flex_version})
            EXPECT_EQ(std::memcmp(config.*member, saved.*member, 20), 0) << next;
        EXPECT_EQ(std::memcmp(config.ulv_destination_address, saved.ulv_destination_address, 51), 0)
            << next;
    }
}

TEST_F(FlexConfigTest, BrokenEscapeIsABadValueAndKeepsTheField) {
    for (const char* value : {"a\\x2", "\\xzz", "\\q", "a\\x00b", "end\\"}) {
        WriteConfig({{"ulv_last_flex_version", value}});
        fake::Reset();
        ulvState = DaemonState{};
        std::strcpy(ulvState.flexConfig.ulv_last_flex_version, "KEEP");
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        EXPECT_STREQ(ulvState.flexConfig.ulv_last_flex_version, "KEEP") << value;
        EXPECT_EQ(fake::aplog.Texts(), std::vector<std::string>{"Sscanf result is not 1 - 0\n\r"});
    }
}

TEST_F(FlexConfigTest, NumbersParseTheSameOnEveryArchitectureAndOutOfRangeIsABadValue) {
    constexpr uint32_t kKept = 77;
    struct Case {
        const char* key;
        std::string text;
        uint32_t value;
        int scan;  // the record's parse result; 1: none logged
    } const cases[] = {
        {"ulv_last_ap_quela_num_panics", "2147483648", 0x80000000, 1},
        {"ulv_last_ap_quela_num_panics", "4294967295", 0xFFFFFFFF, 1},
        {"ulv_last_ap_quela_num_panics", "-1", 0xFFFFFFFF, 1},
        {"ulv_last_ap_quela_num_panics", "-2147483648", 0x80000000, 1},
        {"ulv_last_ap_quela_num_panics", "+12abc", 12, 1},
        {"ulv_last_ap_quela_num_panics", "\t7", 7, 1},
        {"ulv_last_ap_quela_num_panics", "4294967296", kKept, 0},
        {"ulv_last_ap_quela_num_panics", "-2147483649", kKept, 0},
        {"ulv_last_ap_quela_num_panics", "99999999999999999999", kKept, 0},
        {"ulv_last_ap_quela_num_panics", "abc", kKept, 0},
        {"ulv_last_ap_quela_num_panics", "-", kKept, 0},
        {"ulv_last_ap_quela_num_panics", "", kKept, -1},
        {"ulv_last_ap_kernel_timestamp", "ffffffff", 0xFFFFFFFF, 1},
        {"ulv_last_ap_kernel_timestamp", "0xDEADbeef", 0xDEADBEEF, 1},
        {"ulv_last_ap_kernel_timestamp", "0X1f", 0x1F, 1},
        {"ulv_last_ap_kernel_timestamp", "0x1", 1, 1},
        {"ulv_last_ap_kernel_timestamp", "0123", 0x123, 1},
        {"ulv_last_ap_kernel_timestamp", "100000000", kKept, 0},
        {"ulv_last_ap_kernel_timestamp", "xyz", kKept, 0},
        {"ulv_last_ap_num_dump", "ff", kKept, 0},  // decimal field
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.text);
        WriteConfig({{c.key, c.text}});
        fake::Reset();
        ulvState = DaemonState{};
        FlexConfig& config = ulvState.flexConfig;
        config.ulv_last_ap_quela_num_panics = config.ulv_last_ap_kernel_timestamp =
            config.ulv_last_ap_num_dump = kKept;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        const uint32_t read = std::string(c.key) == "ulv_last_ap_kernel_timestamp"
                                  ? config.ulv_last_ap_kernel_timestamp
                              : std::string(c.key) == "ulv_last_ap_num_dump"
                                  ? config.ulv_last_ap_num_dump
                                  : config.ulv_last_ap_quela_num_panics;
        EXPECT_EQ(read, c.value);
        std::vector<std::string> logged;
        if (c.scan != 1) logged.push_back("Sscanf result is not 1 - " + std::to_string(c.scan) + "\n\r");
        EXPECT_EQ(fake::aplog.Texts(), logged);
    }
    // The delay is clamped on the whole value; out of range it keeps the field's value.
    for (const auto& [text, delay] : {std::pair<const char*, int>{"4294967295", 15}, {"4294967296", 3}}) {
        WriteConfig({{"ulv_report_delay", text}});
        ulvState = DaemonState{};
        ulvState.flexConfig.ulv_report_delay = 3;
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, delay) << text;
    }
}

TEST_F(FlexConfigTest, PhoneNumberThatCanNeverBeSentIsNotConfigured) {
    const std::tuple<const char*, size_t, int> cases[] = {
        {"0", 43, 0}, {"0", 44, -1}, {"0", 51, -1}, {"2", 44, -1}, {"1", 51, 0}};
    for (const auto& [type, length, result] : cases) {
        SCOPED_TRACE(std::string("type ") + type + ", " + std::to_string(length) + " characters");
        const std::string destination(length, '7');
        WriteConfig({{"ulv_sms_address_type", type}, {"ulv_destination_address", destination}});
        fake::Reset();
        EXPECT_EQ(ReadCleared(), result);
        EXPECT_EQ(ulvState.outgoingSms.destination, result == 0 ? destination : "");
        EXPECT_EQ(fake::aplog.Has("Destination address too long - " + destination + "\n\r"),
                  result != 0);
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

TEST_F(FlexConfigTest, ConfigurationThatIsNotARegularFileIsRefusedLikeAnUnreadableOne) {
    const std::string path = root_ + "/zel_app/setup/ulv.cfg";
    WriteFile("elsewhere.cfg", ConfigText());
    const std::function<void()> plants[] = {
        [&] { ASSERT_EQ(symlink((root_ + "/elsewhere.cfg").c_str(), path.c_str()), 0); },
        [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },  // no writer: a blocking open waits
        [&] { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); },
    };
    for (const auto& plant : plants) {
        std::filesystem::remove(path);
        plant();
        fake::Reset();
        EXPECT_EQ(ReadCleared(), -1);
        EXPECT_EQ(fake::aplog.Texts(),
                  (std::vector<std::string>{"The flex file is not a regular file - " + path + "\n\r",
                                            "Can't open the flex file\n\r"}));
    }
}

TEST_F(FlexConfigTest, SaveReplacesWhateverIsPlacedAtTheTemporaryCopyAndNeverReadsItBack) {
    const std::string copy = root_ + "/tmp/ulv.cfg";
    WriteFile("secret", "a file the daemon may write");
    const std::function<void()> plants[] = {
        [&] { ASSERT_EQ(symlink((root_ + "/secret").c_str(), copy.c_str()), 0); },
        [&] { ASSERT_EQ(mkfifo(copy.c_str(), 0666), 0); },  // no reader: a blocking open waits
        [&] { WriteFile("tmp/ulv.cfg/inside", ""); },      // cannot be removed
    };
    for (const auto& plant : plants) {
        std::filesystem::remove_all(copy);
        WriteConfig();
        plant();
        fake::Reset();
        ulvState.flexConfig = Record();
        ULVSetFlexConfig();
        EXPECT_EQ(ConfigFile(), kWritten);  // from memory, whatever the copy became
        EXPECT_EQ(ReadFile("secret"), "a file the daemon may write");
        struct stat status {};
        ASSERT_EQ(lstat(copy.c_str(), &status), 0);
        if (S_ISDIR(status.st_mode)) {
            EXPECT_TRUE(fake::aplog.Has("can't open the flex file for writing\n\r"));
        } else {
            EXPECT_TRUE(S_ISREG(status.st_mode));
            EXPECT_EQ(status.st_mode & 07777, 0600u);  // readable by the daemon alone
            EXPECT_EQ(ReadFile("tmp/ulv.cfg"), kWritten);
        }
    }
}

TEST_F(FlexConfigTest, SaveKeepsTheOwnerAndModeOfTheConfiguration) {
    WriteConfig();
    const std::string path = root_ + "/zel_app/setup/ulv.cfg";
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const bool root = geteuid() == 0;  // only root can give a file away
    if (root) {
        ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    }
    ulvState.flexConfig = Record();
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), kWritten);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(std::pair(status.st_uid, status.st_gid), std::pair(4321u, 4322u));
    }
}

TEST_F(FlexConfigTest, LinesPastTheReadBufferAreNotReadAndACutLineIsDropped) {
    // The delay's line starts 20 bytes before the end of the buffer: "ulv_report_delay = 1"
    // fits, its final "4" does not.
    std::string text = ConfigText();
    text.erase(text.find("ulv_report_delay = 5\n"), 21);
    text += std::string(FLEX_FILE_IMAGE_SIZE - 20 - text.size() - 1, '#') + "\n";
    text += "ulv_report_delay = 14\n";
    WriteFile("zel_app/setup/ulv.cfg", text);
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, 0);
    EXPECT_TRUE(fake::aplog.Has("Unable to parse the flex - (nil), (nil)\n\r"));
}

TEST_F(FlexConfigTest, WriteDuringAWriteWritesNothing) {
    WriteConfig();
    ulvState.flexConfig = Record();
    ulvState.configWriteBusy = 1;
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), ConfigText());
    EXPECT_FALSE(Exists("tmp/ulv.cfg"));
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
