#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

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

// Runs the whole daemon (it detaches) and stays the subreaper of its processes. Ends with 0
// when every one of them exited with 0, 1 otherwise, or 2 when the daemon did not end in time
// (it is killed then). For death tests only: it never returns.
[[noreturn]] void RunDaemonAndReapAll(const std::string& pidFile) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) _exit(3);
    const pid_t launcher = fork();
    if (launcher == 0) _exit(ULVMain());
    int result = 0;
    for (int waited = 0; waited < 20000; ++waited) {  // 20 s, in 1 ms steps
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0) _exit(result);  // nothing left
        if (pid > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) result = 1;
        if (pid == 0) usleep(1000);
    }
    const pid_t daemon = static_cast<pid_t>(std::atol(ulvtest::ReadFile(pidFile).c_str()));
    if (daemon > 0) kill(daemon, SIGKILL);
    _exit(2);
}

void RaiseSigtermOnce() {
    static bool raised = false;
    if (!raised) raise(SIGTERM);
    raised = true;
}

// A SIGTERM that reaches the daemon while it initialises (here when it samples the uptime,
// before its handler exists) waits for the first wait and is served there: the run is
// accounted and saved and the daemon ends with status 0, instead of being killed unsaved.
TEST_F(MainLoopTest, SigtermDuringStartUpIsServedAtTheFirstWait) {
    WriteConfig({{"ulv_cummulative_uptime", "64"}});  // 100 s
    fake::clock.uptime = 1000;
    fake::clock.onUptime = RaiseSigtermOnce;
    EXPECT_EXIT(RunDaemonAndReapAll(root_ + "/tmp/ulv.pid"), ::testing::ExitedWithCode(0), "");
    // The start-up decision added the boot-to-start 1000 s, the served SIGTERM nothing more.
    EXPECT_EQ(TraceCount("cumulative uptime from signal handler=1100\n"), 1);
    EXPECT_EQ(ConfigFile(), ConfigText({{"ulv_cummulative_uptime", "44c"},
                                        {"ulv_last_powerup_timestamp", "3e8"}}));
}

}  // namespace
