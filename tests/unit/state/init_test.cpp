#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/init.h"

namespace {

// Initialisation blocks SIGTERM and installs a handler for it: every test gets the process
// signal mask and the SIGTERM disposition back as they were.
class InitTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &savedMask_), 0);
        ASSERT_EQ(sigaction(SIGTERM, nullptr, &savedAction_), 0);
    }
    void TearDown() override {
        if (mirrorFd_ >= 0) close(mirrorFd_);
        fake::aplog.mirrorFd = -1;
        // A SIGTERM left pending must not reach the restored disposition.
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGTERM) == 1) {
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, SIGTERM);
            timespec now{};
            sigtimedwait(&only, nullptr, &now);
        }
        sigaction(SIGTERM, &savedAction_, nullptr);
        sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
        DaemonTest::TearDown();
    }

    // Text records made from now on, also by a child process, go to a file of the sandbox.
    void MirrorLog() {
        mirrorFd_ = open((root_ + "/aplog.mirror").c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        ASSERT_GE(mirrorFd_, 0);
        fake::aplog.mirrorFd = mirrorFd_;
    }
    std::string Mirrored() const { return ReadFile("aplog.mirror"); }

    // The configuration as the daemon holds it after reading `values`.
    void LoadConfig(const std::map<std::string, std::string>& values) {
        WriteConfig(values);
        ulvState.flexConfig = FlexConfig{};
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        fake::aplog = {};
    }

    // Index of `message` among the trace messages, or -1.
    int TraceIndex(const std::string& message) const {
        std::vector<std::string> messages = TraceMessages();
        for (size_t i = 0; i < messages.size(); ++i)
            if (messages[i] == message) return static_cast<int>(i);
        return -1;
    }

    sigset_t savedMask_{};
    struct sigaction savedAction_ {};
    int mirrorFd_ = -1;
};

constexpr bool kHostLittleEndian = std::endian::native == std::endian::little;

TEST_F(InitTest, ClearsReportRadioAndSchedulingStateAndRereadsTheConfiguration) {
    // The file has no build label line: the label read before must not survive.
    std::string text = ConfigText({{"ulv_cummulative_uptime", "2a"}, {"ulv_report_delay", "5"}});
    const std::string labelLine = "ulv_lst_bldinfo_baselabel = AP_R1\n";
    text.erase(text.find(labelLine), labelLine.size());
    WriteFile("zel_app/setup/ulv.cfg", text);

    DaemonState& s = ulvState;
    std::memcpy(s.flexConfig.ulv_lst_bldinfo_baselabel, "OLD", 3);
    s.inService = s.validPlmn = s.sqState = s.timerExpired = 1;
    s.currentTimerId = 7;
    s.startupStage = 2;
    s.pendingReports = 7;
    s.reportUptime = 0xFFFFFFFF00000001ull;
    s.reportDelay = 14;
    std::memset(s.reportHeader, 0xAA, sizeof s.reportHeader);
    std::memset(s.swChangeBody, 0xAA, sizeof s.swChangeBody);
    std::memset(s.periodicBody, 0xAA, sizeof s.periodicBody);
    std::memcpy(s.serviceCentreAddress, "+44", 3);
    std::memcpy(s.emailGatewayAddress, "245", 3);
    s.bpRestoreTimestamp = s.quelaRestoreTimestamp = s.kernelRestoreTimestamp = 9;
    s.outgoingSms.textLength = 99;
    s.outgoingSms.text[0] = 'x';

    ASSERT_EQ(ULVInit(), 0);

    EXPECT_EQ(s.inService, 0);
    EXPECT_EQ(s.validPlmn, 0);
    EXPECT_EQ(s.sqState, 0);
    EXPECT_EQ(s.timerExpired, 0);
    EXPECT_EQ(s.currentTimerId, 0);
    EXPECT_EQ(s.startupStage, 1);
    EXPECT_EQ(s.pendingReports, 0u);
    EXPECT_EQ(s.reportUptime, 0u);
    EXPECT_EQ(s.serviceCentreAddress[0], '\0');
    EXPECT_EQ(s.emailGatewayAddress[0], '\0');
    EXPECT_EQ(s.bpRestoreTimestamp + s.quelaRestoreTimestamp + s.kernelRestoreTimestamp, 0u);
    EXPECT_EQ(std::vector<uint8_t>(s.swChangeBody, s.swChangeBody + sizeof s.swChangeBody),
              std::vector<uint8_t>(sizeof s.swChangeBody, 0));
    EXPECT_EQ(std::vector<uint8_t>(s.periodicBody, s.periodicBody + sizeof s.periodicBody),
              std::vector<uint8_t>(sizeof s.periodicBody, 0));
    // Header: zero but for the fingerprint placeholder at offset 52 (0xFFFF, the same bytes
    // in either byte order).
    std::vector<uint8_t> header(64, 0x00);
    header[52] = 0xFF;
    header[53] = 0xFF;
    EXPECT_EQ(std::vector<uint8_t>(s.reportHeader, s.reportHeader + 64), header);
    EXPECT_EQ(s.hostLittleEndian, kHostLittleEndian ? 1 : 0);

    // The configuration was cleared and read again.
    EXPECT_EQ(s.flexConfig.ulv_lst_bldinfo_baselabel[0], '\0');
    EXPECT_EQ(s.flexConfig.ulv_cummulative_uptime, 0x2Au);
    EXPECT_EQ(s.reportDelay, 5);
    EXPECT_STREQ(s.outgoingSms.destination, "+15550100");
    EXPECT_EQ(s.outgoingSms.textLength, 0u);
    EXPECT_EQ(s.outgoingSms.text[0], '\0');
}

TEST_F(InitTest, LeavesTheOtherMembersAlone) {
    WriteConfig();
    DaemonState& s = ulvState;
    s.lastSentSequence = 42;
    s.kernelPanicDone = 1;
    s.bpSentCount = 2;
    s.quelaSentCount = 3;
    s.gatewayRetries = 4;
    s.apcdFailures = 5;
    s.armedTimer = RtcSwTimer{0, 15, 0, 0};
    ASSERT_EQ(ULVInit(), 0);
    EXPECT_EQ(s.lastSentSequence, 42u);
    EXPECT_EQ(s.kernelPanicDone, 1);
    EXPECT_EQ(s.bpSentCount, 2);
    EXPECT_EQ(s.quelaSentCount, 3);
    EXPECT_EQ(s.gatewayRetries, 4u);
    EXPECT_EQ(s.apcdFailures, 5);
    EXPECT_EQ(s.armedTimer.minutes, 15u);
}

TEST_F(InitTest, SamplesTheUptimeOnceForBothFiguresAndTracesInOrder) {
    WriteConfig();
    fake::clock.uptime = 1234;
    ASSERT_EQ(ULVInit(), 0);
    EXPECT_EQ(ulvState.startupUptime, 1234u);
    EXPECT_EQ(ulvState.lastUptimeSample, 1234u);

    // The rotation check runs first: with no trace file yet, its record is the first one.
    std::vector<std::string> messages = TraceMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "ERR: Stat ulvPanicinfo - No such file or directory\n");
    const int uptime = TraceIndex("uptime from sysinfo=1234\n");
    const int crc = TraceIndex("CRC is 0xffff\n");
    EXPECT_GT(uptime, 0);
    EXPECT_GT(crc, uptime);

    std::vector<std::string> texts = fake::aplog.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Successfully installed SIGTERM handler\n\r");
    // The byte order record only on a little-endian host, and before the handler.
    EXPECT_EQ(fake::aplog.Count("Chip is low Word Order\n\r"), kHostLittleEndian ? 1 : 0);
    if (kHostLittleEndian) {
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[texts.size() - 2], "Chip is low Word Order\n\r");
    }
}

TEST_F(InitTest, UnreadableUptimeAtInitIsCountedFromZero) {
    // The boot-to-start time then reaches the cumulative uptime through the first accounting.
    WriteConfig();
    fake::clock.uptimeResult = -1;
    ASSERT_EQ(ULVInit(), 0);
    EXPECT_EQ(ulvState.startupUptime, 0u);
    EXPECT_EQ(ulvState.lastUptimeSample, 0u);
    const int failure = TraceIndex("Fail to get sys info Input/output error\n");
    EXPECT_GE(failure, 0);
    EXPECT_GT(TraceIndex("uptime from sysinfo=0\n"), failure);
    EXPECT_EQ(ulvState.startupStage, 1);
}

TEST_F(InitTest, InstallsTheHandlerAndKeepsSigtermBlockedOutsideTheWaits) {
    WriteConfig();
    ASSERT_EQ(ULVInit(), 0);
    struct sigaction installed {};
    ASSERT_EQ(sigaction(SIGTERM, nullptr, &installed), 0);
    EXPECT_EQ(installed.sa_handler, &ULVSigtermHandler);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGTERM), 1);
    EXPECT_EQ(sigismember(&ulvState.waitMask, SIGTERM), 0);
}

TEST_F(InitTest, UnusableConfigurationEndsTheProcessWithStatusZero) {
    struct Case {
        const char* name;
        bool writeFile;
        const char* log;  // the platform log of the child, in order
        std::vector<std::string> trace;
    };
    const Case cases[] = {
        {"missing file", false, "Can't open the flex file\n\r<_aplog_exit>",
         {"ERR: Stat ulvPanicinfo - No such file or directory\n", "Can't open the flex file\n",
          "Exit ULV due to ULVGetFlexConfig() failure\n"}},
        {"disabled", true, "ULV not configured AVLBL=0, DST=+15550100\n\r<_aplog_exit>",
         {"ERR: Stat ulvPanicinfo - No such file or directory\n",
          "Exit ULV due to ULVGetFlexConfig() failure\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
        std::remove((root_ + "/zel_app/setup/ulv.cfg").c_str());
        if (c.writeFile) WriteConfig({{"ulv_availability", "0"}});
        MirrorLog();
        EXPECT_EXIT(ULVInit(), ::testing::ExitedWithCode(0), "");
        // Nothing after the failed read: no uptime sample, no handler.
        EXPECT_EQ(TraceMessages(), c.trace);
        EXPECT_EQ(Mirrored(), c.log);
        close(mirrorFd_);
        mirrorFd_ = -1;
    }
}

TEST_F(InitTest, TwoTicksAddExactlyTwiceNineHundredSecondsAndSave) {
    LoadConfig({{"ulv_cummulative_uptime", "100"}});  // 256 s
    ulvState.lastUptimeSample = 1000;

    fake::clock.uptime = 1003;  // three seconds later
    ULVAccountUptimeTick();
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 256u + 900u);
    EXPECT_EQ(ulvState.lastUptimeSample, 1003u);
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "484"}}));  // 1156

    fake::clock.uptime = 90000;  // a day later
    ULVAccountUptimeTick();
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 256u + 1800u);
    EXPECT_EQ(ulvState.lastUptimeSample, 90000u);
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "808"}}));  // 2056

    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{
                                   "Current UpTime 1003 seconds and cumulativeuptime 1156\n",
                                   "Current UpTime 90000 seconds and cumulativeuptime 2056\n",
                               }));
}

TEST_F(InitTest, TickWithoutUptimeStillAddsAndSaves) {
    LoadConfig({{"ulv_cummulative_uptime", "fffffe00"}});
    ulvState.lastUptimeSample = 1000;
    fake::clock.uptimeResult = -1;
    ULVAccountUptimeTick();
    // 0xFFFFFE00 + 900 wraps to 0x184.
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0x184u);
    EXPECT_EQ(ulvState.lastUptimeSample, 1000u);
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "184"}}));
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"Fail to get sys info Input/output error\n"});
}

TEST_F(InitTest, ReportUptimeIsTheSavedFigurePlusTheTimeSinceTheLastSample) {
    struct Case {
        const char* name;
        const char* cumulative;  // as in the file (hex)
        uint32_t lastSample;
        long uptime;             // -1: the uptime cannot be read
        uint64_t reportUptime;
        const char* trace;       // nullptr: none
    };
    const Case cases[] = {
        {"50 s after the sample", "1b58", 1000, 1050, 7050,
         "Current UpTime 1050 seconds and CumulativeUptime 7000\n"},
        {"uptime unreadable", "1b58", 1000, -1, 7000, nullptr},
        {"the sum wraps", "fffffff0", 1000, 1032, 0x10,
         "Current UpTime 1032 seconds and CumulativeUptime -16\n"},
        {"uptime below the sample", "1f4", 100, 50, 450,
         "Current UpTime 50 seconds and CumulativeUptime 500\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
        LoadConfig({{"ulv_cummulative_uptime", c.cumulative}});
        const std::string saved = ConfigFile();
        const uint32_t cumulative = ulvState.flexConfig.ulv_cummulative_uptime;
        ulvState.lastUptimeSample = c.lastSample;
        ulvState.reportUptime = 0xFFFFFFFF00000000ull;
        fake::clock.uptimeResult = c.uptime < 0 ? -1 : 0;
        fake::clock.uptime = c.uptime;

        ULVComputeReportUptime();
        EXPECT_EQ(ulvState.reportUptime, c.reportUptime);
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, cumulative);
        EXPECT_EQ(ulvState.lastUptimeSample, c.lastSample);
        EXPECT_EQ(ConfigFile(), saved);
        EXPECT_EQ(TraceMessages(),
                  c.trace ? std::vector<std::string>{c.trace} : std::vector<std::string>{});
    }
}

TEST_F(InitTest, HandlerIgnoresEverySignalButSigterm) {
    LoadConfig({{"ulv_cummulative_uptime", "1000"}});
    ulvState.lastUptimeSample = 5000;
    fake::clock.uptime = 5100;
    for (int signalNumber : {SIGINT, SIGHUP, SIGUSR1, SIGQUIT}) ULVSigtermHandler(signalNumber);
    EXPECT_EQ(ulvState.sigtermPending, 0);
    // Nothing is served: the call returns and the process goes on.
    EXPECT_EXIT(
        {
            ULVServeSigterm();
            _exit(42);
        },
        ::testing::ExitedWithCode(42), "");
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 0x1000u);
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "1000"}}));
}

TEST_F(InitTest, SigtermAddsTheTimeSinceTheLastTickSavesAndExitsWithZero) {
    LoadConfig({{"ulv_cummulative_uptime", "1000"}});  // 4096 s
    ulvState.lastUptimeSample = 5000;
    fake::clock.uptime = 5100;  // 100 s after the last tick
    ULVSigtermHandler(SIGTERM);
    EXPECT_EQ(ulvState.sigtermPending, 1);
    MirrorLog();
    EXPECT_EXIT(ULVServeSigterm(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "1064"}}));  // 4196 s
    EXPECT_EQ(TraceMessages(),
              std::vector<std::string>{"cumulative uptime from signal handler=4196\n"});
    EXPECT_EQ(Mirrored(), "ULV Exit\n\r");
}

TEST_F(InitTest, SigtermWithoutUptimeAddsNothingButStillSavesAndExitsWithZero) {
    LoadConfig({{"ulv_cummulative_uptime", "1000"}});
    ulvState.flexConfig.ulv_last_num_panics = 9;  // changed in memory since the last save
    ulvState.lastUptimeSample = 5000;
    fake::clock.uptimeResult = -1;
    ulvState.sigtermPending = 1;
    MirrorLog();
    EXPECT_EXIT(ULVServeSigterm(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ConfigFile(),
              ConfigText({{"ulv_cummulative_uptime", "1000"}, {"ulv_last_num_panics", "9"}}));
    EXPECT_EQ(Mirrored(), "Fail to get sys info Input/output error\n\rULV Exit\n\r");
    EXPECT_TRUE(TraceMessages().empty());
}

TEST_F(InitTest, SigtermDuringAWriteLeavesTheFileAndStillExitsWithZero) {
    LoadConfig({{"ulv_cummulative_uptime", "1000"}});
    ulvState.lastUptimeSample = 5000;
    fake::clock.uptime = 5100;
    ulvState.configWriteBusy = 1;
    ulvState.sigtermPending = 1;
    MirrorLog();
    EXPECT_EXIT(ULVServeSigterm(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "1000"}}));
    EXPECT_EQ(Mirrored(), "ULV Exit\n\r");
}

TEST_F(InitTest, RealSigtermWaitsBlockedUntilTheWaitMaskOpensIt) {
    // A signal blocked before installation stays blocked in the wait mask.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &usr1, nullptr), 0);
    ULVInstallSigtermHandler();
    EXPECT_TRUE(fake::aplog.Has("Successfully installed SIGTERM handler\n\r"));
    EXPECT_EQ(sigismember(&ulvState.waitMask, SIGUSR1), 1);
    EXPECT_EQ(sigismember(&ulvState.waitMask, SIGTERM), 0);

    ASSERT_EQ(raise(SIGTERM), 0);  // blocked: neither fatal nor handled yet
    EXPECT_EQ(ulvState.sigtermPending, 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGTERM), 1);

    // A wait with the wait mask delivers it at once; the deadline only bounds a failure.
    timespec deadline{30, 0};
    errno = 0;
    int result = pselect(0, nullptr, nullptr, nullptr, &deadline, &ulvState.waitMask);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(ulvState.sigtermPending, 1);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGTERM), 0);
}

}  // namespace
