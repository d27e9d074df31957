#include "state/flex_config.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>

#include "config_text.h"
#include "daemon_fixture.h"
#include "state/daemon_state.h"

namespace {

using FlexConfigTest = DaemonTest;
using Texts = std::vector<std::string>;
const std::string kConfig = "zel_app/setup/ulv.cfg";

// Reads the file into a cleared record, as initialisation does.
int ReadCleared() {
    ulvState = DaemonState{};
    return ULVGetFlexConfig();
}

// Values that show each written form, in place of ConfigText's defaults.
const std::map<std::string, std::string> kValues = {
    {"ulv_sms_address_type", "255"},  // u8: unsigned
    {"ulv_last_num_panics", "200"},
    {"ulv_lst_bldinfo_baselabel", "ABCDEFGHIJKLMNOPQRST"},
    {"ulv_last_flex_version", "FLEX_A"},
    {"ulv_last_panic_timestamp", "deadbeef"},  // %x: lower case, no prefix
    {"ulv_last_preiodic_report_timestamp", "2a30"},
    {"ulv_last_powerup_timestamp", "1234"},
    {"ulv_cummulative_uptime", "ffffffff"},
    {"ulv_report_delay", "15"},
    {"ulv_last_ap_quela_num_panics", "-1"},  // u32 through %d: signed
    {"ulv_last_ap_quela_panic_timestamp", "abc"},
    {"ulv_last_ap_num_dump", "-2147483648"},
    {"ulv_last_ap_num_dump_timestamp", "7fffffff"},
    {"ulv_last_ap_kernel_timestamp", "5f5e100"},
    {"enableCoreDumps", "1"},
};

const std::string kWritten = ulvtest::ConfigText(kValues);  // Record() as written

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

TEST_F(FlexConfigTest, WritesExactlyTheNineteenLinesAndReadsThemBackInAnyOrder) {
    ulvState.flexConfig = Record();
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), kWritten);
    const size_t cut = kWritten.find("ulv_destination_address");
    for (const std::string& text : {kWritten, kWritten.substr(cut) + kWritten.substr(0, cut)}) {
        WriteFile(kConfig, text);
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
        WriteFile(kConfig, line + "\n" + ConfigText());
        ASSERT_EQ(ReadCleared(), 0) << line;
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, delay) << line;
    }
}

// Each value read into a record whose fields hold 77 (texts "KEEP"), then saved: the value as
// the daemon writes it (texts escaped only where needed), and the parse result logged for a
// bad one (1: none). A text longer than its field is cut to it.
TEST_F(FlexConfigTest, NumbersParseTheSameOnEveryArchitectureAndBadValuesKeepTheField) {
    const char *dec = "ulv_last_ap_quela_num_panics", *hex = "ulv_last_ap_kernel_timestamp",
               *text = "ulv_last_flex_version";
    const std::string v30(30, 'V'), v20(20, 'V');
    const std::tuple<const char*, std::string, std::string, int> cases[] = {
        {dec, "2147483648", "-2147483648", 1},
        {dec, "4294967295", "-1", 1},
        {dec, "-2147483648", "-2147483648", 1},
        {dec, "\t+12#3", "12", 1},
        {dec, "4294967296", "77", 0},
        {dec, "-2147483649", "77", 0},
        {dec, "", "77", -1},
        {hex, "0xDEADbeef", "deadbeef", 1},
        {hex, "0X1F", "1f", 1},
        {hex, "0x1", "1", 1},
        {hex, "0123", "123", 1},
        {hex, "100000000", "4d", 0},
        {"ulv_last_ap_num_dump", "ff", "77", 0},
        {text, "R1\\x202.0", "R1\\x202.0", 1},
        {text, "a\\x5C\\x5c", "a\\x5c\\x5c", 1},
        {text, "\\x09\\x0a\\x0d\\x0b\\x0c", "\\x09\\x0a\\x0d\\x0b\\x0c", 1},
        {text, "k=9\x01\x7f\xff", "k=9\x01\x7f\xff", 1},  // nothing to escape
        {text, v30, v20, 1},
        {text, "a\\x2", "KEEP", 0},
        {text, "\\xz1", "KEEP", 0},
        {text, "\\q", "KEEP", 0},
        {text, "a\\x00b", "KEEP", 0},
    };
    for (const auto& [key, value, saved, scan] : cases) {
        SCOPED_TRACE(std::string(key) + " = " + value);
        WriteConfig({{key, value}});
        fake::Reset();
        ulvState = DaemonState{};
        FlexConfig& config = ulvState.flexConfig;
        config.ulv_last_ap_quela_num_panics = config.ulv_last_ap_num_dump = 77;
        config.ulv_last_ap_kernel_timestamp = 77;
        std::strcpy(config.ulv_last_flex_version, "KEEP");
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        EXPECT_EQ(fake::aplog.Has("Sscanf result is not 1 - " + std::to_string(scan) + "\n\r"),
                  scan != 1);
        ULVSetFlexConfig();
        EXPECT_NE(ConfigFile().find("\n" + std::string(key) + " = " + saved + "\n"),
                  std::string::npos);
    }
}

// A text cut to its field leaves the field after it alone (here not in the file: kept).
TEST_F(FlexConfigTest, OverLongTextStopsAtItsField) {
    std::string text = ConfigText({{"ulv_last_flex_version", std::string(30, 'V')}});
    text.erase(text.find("ulv_last_panic_timestamp"), 29);
    WriteFile(kConfig, text);
    ulvState.flexConfig.ulv_last_panic_timestamp = 77;
    EXPECT_EQ(ULVGetFlexConfig(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 77u);
}

// A phone number too long to be sent, or no destination, is no configuration; a destination
// is cut at a blank; an e-mail address may be longer.
TEST_F(FlexConfigTest, DestinationThatCanNeverBeSentIsNotConfigured) {
    const std::string n43(43, '7'), n44(44, '7'), n51(51, '7');
    const std::tuple<const char*, std::string, int, std::string> cases[] = {
        {"0", n43, 0, n43},
        {"0", n44, -1, ""},
        {"2", n44, -1, ""},
        {"1", n51, 0, n51},  // e-mail
        {"0", "+1555 0100", 0, "+1555"},
        {"0", "", -1, ""},
    };
    for (const auto& [type, destination, result, kept] : cases) {
        SCOPED_TRACE(std::string(type) + " " + destination);
        WriteConfig({{"ulv_sms_address_type", type}, {"ulv_destination_address", destination}});
        fake::Reset();
        EXPECT_EQ(ReadCleared(), result);
        EXPECT_EQ(ulvState.outgoingSms.destination, kept);
        EXPECT_EQ(fake::aplog.Has("Destination address too long - " + destination + "\n\r"),
                  result != 0 && !destination.empty());
    }
}

TEST_F(FlexConfigTest, DurationNeverReadsBelowSixHoursAndDelayNeverAboveFifteenSeconds) {
    // Low 8 bits, raised: 256 and 261 read back as saved.
    const std::tuple<std::string, int, std::string, int> cases[] = {
        {"0", 6, "14", 14},    {"5", 6, "16", 15},    {"7", 7, "200", 15},
        {"300", 44, "-3", 15}, {"256", 6, "271", 15}, {"261", 6, "15", 15},
    };
    for (const auto& [duration, storedDuration, delay, storedDelay] : cases) {
        SCOPED_TRACE(duration + " h, " + delay + " s");
        WriteConfig({{"ulv_report_duration", duration}, {"ulv_report_delay", delay}});
        ASSERT_EQ(ReadCleared(), 0);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_duration, storedDuration);
        EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, storedDelay);
    }
}

TEST_F(FlexConfigTest, ConfigurationThatIsNotARegularFileIsRefusedLikeAMissingOne) {
    const std::string path = root_ + "/" + kConfig;
    const std::string refused = "The flex file is not a regular file - " + path + "\n\r";
    WriteFile("elsewhere.cfg", ConfigText());
    // Missing, a link, a FIFO without a writer, a directory.
    for (int kind = 0; kind < 4; ++kind) {
        std::filesystem::remove(path);
        ASSERT_EQ(kind == 0   ? 0
                  : kind == 1 ? symlink((root_ + "/elsewhere.cfg").c_str(), path.c_str())
                  : kind == 2 ? mkfifo(path.c_str(), 0600)
                              : mkdir(path.c_str(), 0700),
                  0);
        fake::Reset();
        WriteFile("zel_user/download/appwrite/ulvPanicInfo", "");
        EXPECT_EQ(ReadCleared(), -1);
        Texts logs = {refused, "Can't open the flex file\n\r"};
        if (kind == 0) logs.erase(logs.begin());
        EXPECT_EQ(fake::aplog.Texts(), logs) << kind;
        EXPECT_EQ(TraceCount("Can't open the flex file\n"), 1) << kind;
    }
}

// The name is "<ZEL_APP_WRITE_PATH>/setup/ulv.cfg" in 255 characters at most: a longer one is
// cut (the cut name is tried), and without a base nothing is read.
TEST_F(FlexConfigTest, NameOfAtMost255CharactersIsReadWholeALongerOneCut) {
    const std::string relative = "/setup/ulv.cfg";
    for (size_t length : {255, 256}) {
        const std::string dir(length - root_.size() - relative.size() - 1, 'd');
        std::filesystem::create_directories(root_ + "/" + dir + "/setup");
        WriteFile(dir + relative, ConfigText());
        setenv("ZEL_APP_WRITE_PATH", (root_ + "/" + dir).c_str(), 1);
        fake::aplog.records.clear();
        EXPECT_EQ(ReadCleared(), length == 255 ? 0 : -1);
        const std::string cut = (root_ + "/" + dir + relative).substr(0, 255);
        EXPECT_EQ(fake::aplog.Has("The file name is trucated - " + cut + "\n\r"), length == 256);
    }
    unsetenv("ZEL_APP_WRITE_PATH");
    fake::aplog.records.clear();
    EXPECT_EQ(ReadCleared(), -1);
    EXPECT_EQ(fake::aplog.Texts(), Texts{"ZEL_APP_WRITE_PATH is not set\n\r"});
}

// The copy in /tmp is never read back: one that cannot be replaced stops nothing.
TEST_F(FlexConfigTest, SaveKeepsOwnerAndModeAndGoesOnWithoutTheTemporaryCopy) {
    WriteConfig();
    WriteFile("tmp/ulv.cfg/inside", "");  // a directory that cannot be removed
    const std::string path = root_ + "/" + kConfig;
    const bool root = geteuid() == 0;  // only root can give a file away
    const uid_t owner = root ? 4321 : geteuid();
    const gid_t group = root ? 4322 : getegid();
    ASSERT_EQ(chmod(path.c_str(), 0640) | chown(path.c_str(), owner, group), 0);
    ulvState.flexConfig = Record();
    const size_t descriptors = OpenDescriptors();
    ULVSetFlexConfig();
    EXPECT_EQ(OpenDescriptors(), descriptors);  // file, temporary copy, directory: all closed
    EXPECT_EQ(ConfigFile(), kWritten);
    EXPECT_TRUE(fake::aplog.Has("can't open the flex file for writing\n\r"));
    EXPECT_EQ(TraceCount("can't open the flex file for writing\n"), 1);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(std::tuple(status.st_mode & 07777, status.st_uid, status.st_gid),
              std::tuple(0640u, owner, group));
}

TEST_F(FlexConfigTest, LinesPastTheReadBufferAreNotReadAndACutLineIsDropped) {
    // "ulv_report_delay = 1" fits the buffer, the line's final "4" does not.
    std::string text = ConfigText();
    text.erase(text.find("ulv_report_delay = 5\n"), 21);
    text += std::string(FLEX_FILE_IMAGE_SIZE - 20 - text.size() - 1, '#') + "\n";
    text += "ulv_report_delay = 14\n";
    WriteFile(kConfig, text);
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, 0);
    EXPECT_TRUE(fake::aplog.Has("Unable to parse the flex - (nil), (nil)\n\r"));
    // A file that fills the buffer exactly, its last line without a line feed: read whole.
    text.resize(FLEX_FILE_IMAGE_SIZE - 20);
    text += "ulv_report_delay = 9";
    WriteFile(kConfig, text);
    ASSERT_EQ(ReadCleared(), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_report_delay, 9);
}

// A save that cannot start (another one is under way) or whose copy cannot be written (the
// storage refuses the bytes, here a file size limit) leaves the old file whole.
TEST_F(FlexConfigTest, SaveThatCannotBeMadeLeavesTheOldFile) {
    WriteConfig();
    ulvState.flexConfig = Record();
    ulvState.configWriteBusy = 1;
    ULVSetFlexConfig();
    EXPECT_EQ(ConfigFile(), ConfigText());
    EXPECT_FALSE(Exists("tmp/ulv.cfg"));
    ulvState.configWriteBusy = 0;
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limit = saved;
    limit.rlim_cur = 64;  // far below the 19 lines
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    ULVSetFlexConfig();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(ConfigFile(), ConfigText());
    EXPECT_TRUE(fake::aplog.Has("can't copy the flex file - File too large\n\r"));
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
            // The child writes until it is killed: each write changes the file and is reported.
            for (int k = 1;; ++k) {
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
        onDisk = ConfigFile() == texts[0] ? 0 : 1;
        ASSERT_EQ(ConfigFile(), texts[onDisk]) << "round " << round;
        ++seen[onDisk];
    }
    EXPECT_TRUE(seen[0] > 0 && seen[1] > 0) << seen[0] << " " << seen[1];
}

}  // namespace
