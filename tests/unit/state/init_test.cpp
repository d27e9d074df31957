#include "state/init.h"

#include <unistd.h>

#include <csignal>
#include <functional>

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
    ulvState.emailGatewayAddress[0] = ulvState.serviceCentreAddress[0] = 'x';
    fake::clock.uptime = 1234;
    WithSignalsRestored([] { EXPECT_EQ(ULVInit(), 0); });
    EXPECT_EQ(ulvState.startupStage, 1);
    EXPECT_EQ(ulvState.timerExpired + ulvState.inService + ulvState.validPlmn, 0);
    EXPECT_EQ(ulvState.reportHeader[63] + ulvState.swChangeBody[39] + ulvState.periodicBody[47], 0);
    EXPECT_STREQ(ulvState.emailGatewayAddress, "");  // no gateway until it is asked for again
    EXPECT_STREQ(ulvState.serviceCentreAddress, "");
    EXPECT_EQ(ulvState.startupUptime, 1234u);
    EXPECT_EQ(ulvState.lastUptimeSample, 1234u);
}

// Each accounting point with the system uptime readable (5100 s, last sample 5000 s, 4096 s
// saved) and not: what it traces, adds, samples and saves. A tick adds its fixed 900 s.
TEST_F(InitTest, EachAccountingPointAddsSamplesAndSavesItsOwnShare) {
    const std::string noUptime = "Fail to get sys info No such device\n";
    const std::string tick = "Current UpTime 5100 seconds and cumulativeuptime 4996\n";
    const std::string report = "Current UpTime 5100 seconds and CumulativeUptime 4096\n";
    struct Row {
        const char* name;
        void (*act)();
        bool fails;
        std::vector<std::string> traces;
        uint32_t cumulative, sample, reportUptime;
        const char* saved;
    };
    void (*const init)() = [] { ULVInit(); };
    // Each row: its name, what runs, whether the uptime read fails, the traces, then the
    // cumulative uptime, the last sample and the report uptime after it, and the saved value.
    // clang-format off
    const Row rows[] = {
        {"start-up", init, false, {"uptime from sysinfo=5100\n"}, 4096, 5100, 0, "1000"},
        {"start-up, uptime unreadable", init, true, {noUptime, "uptime from sysinfo=0\n"},
         4096, 0, 0, "1000"},
        {"tick", ULVAccountUptimeTick, false, {tick}, 4996, 5100, 0, "1384"},
        {"tick, uptime unreadable", ULVAccountUptimeTick, true, {noUptime}, 4996, 5000, 0, "1384"},
        {"report uptime", ULVComputeReportUptime, false, {report}, 4096, 5000, 4196, "1000"},
        {"report uptime, uptime unreadable", ULVComputeReportUptime, true, {}, 4096, 5000, 4096,
         "1000"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetProcessState();
        WriteConfig({{"ulv_cummulative_uptime", "1000"}});  // 4096 s
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        WriteFile("zel_user/download/appwrite/ulvPanicInfo", "");
        ulvState.lastUptimeSample = ulvState.startupUptime = 5000;
        fake::clock.uptime = 5100;
        if (row.fails) fake::Fail(fake::Call::Uptime, -1);
        WithSignalsRestored(row.act);
        EXPECT_TRUE(InOrder(TraceMessages(), row.traces));
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, row.cumulative);
        EXPECT_EQ(ulvState.lastUptimeSample, row.sample);
        EXPECT_EQ(ulvState.reportUptime, row.reportUptime);
        EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", row.saved}}));
    }
}

// SIGTERM adds the uptime since the last sample (nothing when it cannot be read), saves, logs
// and ends the process with status 0; every other signal is ignored.
TEST_F(InitTest, ServedSigtermAddsTheElapsedUptimeSavesLogsAndExitsWithZero) {
    for (int signalNumber : {SIGINT, SIGHUP, SIGUSR1}) ULVSigtermHandler(signalNumber);
    EXPECT_EQ(ulvState.sigtermPending, 0);
    EXPECT_EXIT((ULVServeSigterm(), _exit(42)), ::testing::ExitedWithCode(42), "");  // not served
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
        const std::string mirror = "aplog" + std::to_string(failures);
        fake::aplog.mirrorPath = root_ + "/" + mirror;
        EXPECT_EXIT(ULVServeSigterm(), ::testing::ExitedWithCode(0), "");
        fake::aplog.mirrorPath.clear();
        EXPECT_EQ(ReadFile(mirror), logs);
        EXPECT_EQ(ConfigFile(),
                  ConfigText({{"ulv_cummulative_uptime", saved}, {"ulv_report_delay", "7"}}));
    }
}

}  // namespace
