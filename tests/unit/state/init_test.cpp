#include "state/init.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <tuple>
#include <utility>

#include "daemon_fixture.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

using InitTest = DaemonTest;

// Runs `act`; initialisation blocks SIGTERM and installs its handler: both are undone.
void WithSignalsRestored(const std::function<void()>& act) {
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    act();
    signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

TEST_F(InitTest, InitLeavesTheDecisionPendingWithOneUptimeSample) {
    WriteConfig();
    ulvState.startupStage = 2;
    ulvState.timerExpired = ulvState.inService = ulvState.validPlmn = 1;
    ulvState.reportHeader[63] = ulvState.swChangeBody[39] = ulvState.periodicBody[47] = 1;
    fake::clock.uptime = 1234;
    WithSignalsRestored([] { EXPECT_EQ(ULVInit(), 0); });
    EXPECT_EQ(ulvState.startupStage, 1);
    EXPECT_EQ(ulvState.timerExpired + ulvState.inService + ulvState.validPlmn, 0);
    EXPECT_EQ(ulvState.reportHeader[63] + ulvState.swChangeBody[39] + ulvState.periodicBody[47], 0);
    EXPECT_EQ(ulvState.startupUptime, 1234u);
    EXPECT_EQ(ulvState.lastUptimeSample, 1234u);
}

TEST_F(InitTest, TwoTicksAddExactlyEighteenHundredSecondsAndSave) {
    WriteConfig({{"ulv_cummulative_uptime", "100"}});  // 256 s
    ASSERT_EQ(ULVGetFlexConfig(), 0);
    for (const char* saved : {"484", "808"}) {  // 256 + 900, 256 + 1800
        fake::clock.uptime += 3;
        ULVAccountUptimeTick();
        EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", saved}}));
    }
}

TEST_F(InitTest, ReportUptimeAddsTheTimeSinceTheLastSampleToTheSavedFigure) {
    WriteConfig({{"ulv_cummulative_uptime", "1b58"}});  // 7000 s
    ASSERT_EQ(ULVGetFlexConfig(), 0);
    ulvState.lastUptimeSample = 1000;
    fake::clock.uptime = 1050;
    ULVComputeReportUptime();
    EXPECT_EQ(ulvState.reportUptime, 7050u);
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 7000u);
}

// The system uptime cannot be read: what each accounting point traces, adds and saves.
TEST_F(InitTest, UnreadableUptimeIsTracedAndAddsOnlyTheFixedTick) {
    struct Row {
        const char* name;
        std::function<void()> act;
        std::vector<std::string> traces;
        uint32_t cumulative, sample, reportUptime;
        bool saved;
    };
    const Row rows[] = {
        {"initialisation", [] { ULVInit(); }, {"Fail to get sys info No such device\n",
          "uptime from sysinfo=0\n"}, 4096, 0, 0, false},
        {"periodic tick", ULVAccountUptimeTick, {"Fail to get sys info No such device\n"},
         4096 + 900, 5000, 0, true},
        {"report figure", ULVComputeReportUptime, {}, 4096, 5000, 4096, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetProcessState();
        WriteConfig({{"ulv_cummulative_uptime", "1000"}});  // 4096 s
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        const std::string before = ConfigFile();
        WriteFile("zel_user/download/appwrite/ulvPanicInfo", "");
        ulvState.lastUptimeSample = ulvState.startupUptime = 5000;
        fake::Fail(fake::Call::Uptime, -1);
        WithSignalsRestored(row.act);
        EXPECT_TRUE(InOrder(TraceMessages(), row.traces));
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, row.cumulative);
        EXPECT_EQ(ulvState.lastUptimeSample, row.sample);
        EXPECT_EQ(ulvState.reportUptime, row.reportUptime);
        EXPECT_EQ(ConfigFile() != before, row.saved);
    }
}

// SIGTERM adds the uptime since the last sample (nothing when it cannot be read), saves, logs
// and ends the process with status 0.
TEST_F(InitTest, ServedSigtermAddsTheElapsedUptimeSavesLogsAndExitsWithZero) {
    const std::tuple<int, const char*, const char*> cases[] = {
        {0, "ULV Exit\n\r", "1064"},  // 4096 + 100 s
        {-1, "Fail to get sys info No such device\n\rULV Exit\n\r", "1000"}};
    for (const auto& [failures, logs, saved] : cases) {
        ResetProcessState();
        WriteConfig({{"ulv_cummulative_uptime", "1000"}});  // 4096 s
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ulvState.flexConfig.ulv_report_delay = 7;  // in memory only: saved by the handler
        ulvState.lastUptimeSample = 5000;
        fake::clock.uptime = 5100;
        fake::Fail(fake::Call::Uptime, -1, failures);
        ULVSigtermHandler(SIGTERM);
        const std::string mirror = root_ + "/aplog" + std::to_string(failures);
        fake::aplog.mirrorPath = mirror;
        EXPECT_EXIT(ULVServeSigterm(), ::testing::ExitedWithCode(0), "");
        fake::aplog.mirrorPath.clear();
        EXPECT_EQ(ReadFile("aplog" + std::to_string(failures)), logs);
        EXPECT_EQ(ConfigFile(),
                  ConfigText({{"ulv_cummulative_uptime", saved}, {"ulv_report_delay", "7"}}));
    }
}

TEST_F(InitTest, HandlerIgnoresEveryOtherSignal) {
    for (int signalNumber : {SIGINT, SIGHUP, SIGUSR1}) ULVSigtermHandler(signalNumber);
    EXPECT_EQ(ulvState.sigtermPending, 0);
    EXPECT_EXIT((ULVServeSigterm(), _exit(42)), ::testing::ExitedWithCode(42), "");  // not served
}

}  // namespace
