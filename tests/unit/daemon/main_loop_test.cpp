#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <utility>

#include "daemon/daemon.h"
#include "daemon_fixture.h"
#include "process.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"

namespace {

using MainLoopTest = DaemonTest;

fd_set Ready(std::initializer_list<int> fds) {
    fd_set ready;
    FD_ZERO(&ready);
    for (int fd : fds) FD_SET(fd, &ready);
    return ready;
}

TEST_F(MainLoopTest, ConnectionIsRetriedTenTimesWithARecordEach) {
    const std::tuple<std::deque<int>, int, int> cases[] = {
        {{1}, 1, 0}, {{-1, 0, 1}, 3, 2}, {{}, 11, 10}};
    for (const auto& [results, calls, retryRecords] : cases) {
        fake::Reset();
        fake::tapi.initResults = results;
        fake::tapi.initDefault = 0;  // after the listed results
        EXPECT_EQ(ULVConnectTapi() > 0, calls < 11);
        EXPECT_EQ(fake::tapi.initCalls, calls);
        std::vector<std::string> records;
        for (int i = 1; i <= retryRecords; ++i)
            records.push_back("Try to connect TAPI Server " + std::to_string(i) + " times\n\r");
        EXPECT_EQ(fake::aplog.Texts(), records);
    }
}

TEST_F(MainLoopTest, StartUpOnTheTestNetworkLeavesPlmnInvalid) {
    fake::tapi.countryCode = "001";
    for (const auto& [network, valid] : {std::pair<const char*, int>{"01", 0}, {"010", 1}}) {
        fake::tapi.networkCode = network;
        ULVFirstRadioChecks();
        EXPECT_EQ(ulvState.validPlmn, valid) << network;
    }
}

TEST_F(MainLoopTest, OneWakeUpServesTheTelephonyMessageThenTheTimer) {
    ConnectDevices();
    ulvState.currentTimerId = 3;  // an identifier the timer handler only logs
    fake::tapi.PushU32(SIGNAL_QUALITY_MSGID, 1);
    fake::rtc.Fire();
    EXPECT_EQ(ULVServeWakeup(Ready({ulvState.timerFd, ulvState.tapiFd}), 1), 0);
    EXPECT_EQ(fake::aplog.Texts(),
              (std::vector<std::string>{
                  "SINGAL QUALITY VALUE RECEIVED == 1\n\r", "unset Signal Quality State\n\r",
                  "Hardware timer goes off\n\r", "Unexpected Timer ID 3\n\r"}));
    ASSERT_FALSE(fake::rtc.requests.empty());
    EXPECT_EQ(fake::rtc.requests.back().request, RTC_SW_ACK);
}

TEST_F(MainLoopTest, GatewayGiveUpLeavesTheLoopForTheExitPathWithoutAcknowledging) {
    ConnectDevices();
    gatewayState = GATEWAY_STATE_CHECK_FAILED;
    ulvState.currentTimerId = ULV_TIMER_GATEWAY_ID;
    ulvState.gatewayRetries = GATEWAY_RETRY_LIMIT;
    fake::rtc.Fire();
    EXPECT_EQ(ULVServeWakeup(Ready({ulvState.timerFd}), 1), 1);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_GIVE_UP);
    ULVExitPath();
    for (const fake::RtcRequest& request : fake::rtc.requests)
        EXPECT_NE(request.request, RTC_SW_ACK);
    ASSERT_FALSE(fake::rtc.requests.empty());
    EXPECT_EQ(fake::rtc.requests.back().request, RTC_SW_RELEASE);
    EXPECT_EQ(fake::tapi.finiCalls, 1);
    EXPECT_EQ(fake::aplog.records.back().kind, 'X');
}

void RaiseSigtermOnce() {
    static bool raised = false;
    if (!std::exchange(raised, true)) raise(SIGTERM);
}

// A SIGTERM that reaches the daemon while it initialises (when it samples the uptime, before
// its handler exists) is served at the first wait: the run is accounted and saved and the
// daemon ends through "ULV Exit" and _exit(0), instead of being killed unsaved.
TEST_F(MainLoopTest, SigtermDuringStartUpIsServedAtTheFirstWait) {
    WriteConfig({{"ulv_cummulative_uptime", "64"}});  // 100 s
    fake::clock.onUptime = RaiseSigtermOnce;
    // The daemon detaches from this test: what it logs reaches the test through this file.
    fake::aplog.mirrorPath = root_ + "/aplog";
    const pid_t launcher = fork();
    if (launcher == 0) _exit(ULVMain());
    fake::aplog.mirrorPath.clear();
    int status = -1;
    EXPECT_EQ(waitpid(launcher, &status, 0) == launcher ? status : -1, 0);
    const bool served =
        ulvtest::WaitUntil([&] { return ReadFile("aplog").ends_with("ULV Exit\n\r"); });
    const pid_t daemon = static_cast<pid_t>(std::atol(ReadFile("tmp/ulv.pid").c_str()));
    if (!served && daemon > 0) kill(daemon, SIGKILL);  // never left running
    ASSERT_TRUE(served) << ReadFile("aplog");
    // The start-up decision added the boot-to-start 1000 s, the served SIGTERM nothing more.
    EXPECT_EQ(TraceCount("cumulative uptime from signal handler=1100\n"), 1);
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "44c"},
                                        {"ulv_last_powerup_timestamp", "3e8"}}));
}

}  // namespace
