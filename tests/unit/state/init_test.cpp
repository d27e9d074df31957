#include "state/init.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <utility>

#include "daemon_fixture.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

using InitTest = DaemonTest;

TEST_F(InitTest, InitLeavesTheDecisionPendingWithOneUptimeSample) {
    WriteConfig();
    sigset_t mask;  // initialisation blocks SIGTERM and installs its handler: both are undone
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    ulvState.startupStage = 2;
    ulvState.timerExpired = 1;
    fake::clock.uptime = 1234;
    EXPECT_EQ(ULVInit(), 0);
    signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    EXPECT_EQ(ulvState.startupStage, 1);
    EXPECT_EQ(ulvState.timerExpired, 0);
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

TEST_F(InitTest, ServedSigtermAddsTheElapsedUptimeSavesLogsAndExitsWithZero) {
    WriteConfig({{"ulv_cummulative_uptime", "1000"}});  // 4096 s
    ASSERT_EQ(ULVGetFlexConfig(), 0);
    ulvState.lastUptimeSample = 5000;
    fake::clock.uptime = 5100;
    ULVSigtermHandler(SIGTERM);
    fake::aplog.mirrorPath = root_ + "/aplog";
    EXPECT_EXIT(ULVServeSigterm(), ::testing::ExitedWithCode(0), "");
    fake::aplog.mirrorPath.clear();
    EXPECT_EQ(ReadFile("aplog"), "ULV Exit\n\r");
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "1064"}}));  // 4196 s
}

TEST_F(InitTest, HandlerIgnoresEveryOtherSignal) {
    for (int signalNumber : {SIGINT, SIGHUP, SIGUSR1}) ULVSigtermHandler(signalNumber);
    EXPECT_EQ(ulvState.sigtermPending, 0);
    EXPECT_EXIT((ULVServeSigterm(), _exit(42)), ::testing::ExitedWithCode(42), "");  // not served
}

}  // namespace
