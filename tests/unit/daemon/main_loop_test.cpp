#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "daemon/daemon.h"
#include "daemon_fixture.h"
#include "process.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

using fake::Call;
using MainLoopTest = DaemonTest;
using Texts = std::vector<std::string>;

fd_set Ready(std::initializer_list<int> fds) {
    fd_set ready;
    FD_ZERO(&ready);
    for (int fd : fds) FD_SET(fd, &ready);
    return ready;
}

int WakeTimer() {
    return ULVServeWakeup(Ready({ulvState.timerFd}), 1);
}
int WakeBoth() {
    return ULVServeWakeup(Ready({ulvState.timerFd, ulvState.tapiFd}), 1);
}

// The connection fails `times` times (every time when negative) with `result`, which is no
// usable descriptor: each retry is logged, ten at most, and the last answer returned.
TEST_F(MainLoopTest, ConnectionIsRetriedTenTimesAtMostWithTheSubscription) {
    const std::tuple<int, int, bool, int> cases[] = {
        {-1, 2, true, 2},
        {-2, 1, true, 1},
        {FD_SETSIZE, 1, true, 1},  // one beyond a descriptor set
        {0, -1, false, 10},
    };
    for (const auto& [result, times, connects, retries] : cases) {
        SCOPED_TRACE(result);
        fake::Reset();
        fake::Fail(Call::Init, result, times);
        EXPECT_EQ(ULVConnectTapi() > 0, connects);
        Texts logs;
        for (int i = 1; i <= retries; ++i)
            logs.push_back("Try to connect TAPI Server " + std::to_string(i) + " times\n\r");
        EXPECT_EQ(fake::aplog.Texts(), logs);
        EXPECT_EQ(fake::Made(Call::Init), retries + 1);
    }
    fake::Reset();  // a failing sleep between attempts changes nothing
    fake::Fail(Call::Sleep, -1);
    fake::Fail(Call::Init, -1, 1);
    EXPECT_GT(ULVConnectTapi(), 0);
    EXPECT_EQ(fake::tapi.subscribed, (std::vector<uint16_t>{0x0702, 0x070A, 0x0701, 0x030D}));
}

// One platform call fails: what the daemon returns, logs and does next. Radio checks at
// start-up, then a wake-up for a telephony message and a timer expiry with another id: one
// wake-up serves the message, then the timer (a failing sleep touches neither).
TEST_F(MainLoopTest, EachFailingCallIsLoggedAndHandledAsItsOwn) {
    const std::string inService = "set in service State\n\r", valid = "set PLMN valid\n\r";
    const std::string noId = "TAPI_NETWORK_GetCurrentNetworkId  Invoke failure\n\r";
    const std::string noService = "TAPI_ACCE_GetServiceAvailability Invoke failure\n\r";
    const std::string noSignal = "SINGAL QUALITY READ FAILURE\n\r";
    const std::string noMessage = "TAPI_Client_ReadAndMallocMsg Failure\n\r";
    const std::string noCentre = "FAIL: GetServiceCenter",
                      ackError = "Hardware job done error 5\n\r";
    const std::string quality = "SINGAL QUALITY VALUE RECEIVED == 1\n\r";
    const std::string unset = "unset Signal Quality State\n\r";
    const std::string timerOff = "Hardware timer goes off\n\r", other = "Unexpected Timer ID 3\n\r";
    struct Row {
        const char* name;
        Call call;
        int result;
        int (*act)();
        int returns;
        Texts logs;
        int plmn, service, sq, stage, centreCalls, timer, acks;
    };
    int (*const radio)() = [] { return int{ULVFirstRadioChecks()}; };
    const int apcd = ULV_TIMER_APCD_ID, gateway = ULV_TIMER_GATEWAY_ID;
    // Each row: its name; the call that fails and its result; what runs and what it returns;
    // the logs; then PLMN valid, in service, signal quality state, start-up stage, service
    // centre queries, the timer running and the acknowledgements made.
    // clang-format off
    const Row rows[] = {
        {"network id unread at start-up", Call::NetworkId, -1, radio, 1, {noId, inService},
         0, 1, 1, 2, 1, apcd, 0},
        {"service availability unread at start-up", Call::ServiceAvailability, -1, radio, 0,
         {valid, noService}, 1, 0, 1, 1, 0, 3, 0},
        {"signal quality unread at start-up", Call::SignalQuality, -1, radio, 1, {noSignal},
         1, 1, 1, 2, 1, apcd, 0},
        {"service centre unread at start-up", Call::ServiceCentre, -1, radio, 1,
         {inService, noCentre}, 1, 1, 1, 1, 1, gateway, 0},
        {"message unread at a wake-up", Call::ReadMessage, -1, WakeBoth, 1, {noMessage},
         0, 0, 1, 1, 0, 3, 0},
        {"one wake-up serves the message, then the timer", Call::Sleep, -1, WakeBoth, 0,
         {quality, unset, timerOff, other}, 0, 0, 0, 1, 0, 3, 1},
        {"timer acknowledgement refused", Call::TimerAck, 5, WakeTimer, 0,
         {timerOff, other, ackError}, 0, 0, 1, 1, 0, 3, 1},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetProcessState();
        WriteConfig();
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ConnectDevices();
        ulvState.startupStage = ulvState.sqState = 1;
        ulvState.currentTimerId = 3;  // an identifier the timer handler only logs
        fake::tapi.PushU32(SIGNAL_QUALITY_MSGID, 1);
        fake::rtc.Fire();
        fake::aplog.records.clear();
        fake::Fail(row.call, row.result);
        EXPECT_EQ(row.act(), row.returns);
        if (row.act == radio)
            EXPECT_TRUE(InOrder(fake::aplog.Texts(), row.logs));
        else
            EXPECT_EQ(fake::aplog.Texts(), row.logs);
        EXPECT_EQ(std::tuple(ulvState.validPlmn, ulvState.inService, ulvState.sqState),
                  std::tuple(row.plmn, row.service, row.sq));
        EXPECT_EQ(ulvState.startupStage, row.stage);
        EXPECT_EQ(fake::Made(Call::ServiceCentre), row.centreCalls);
        EXPECT_EQ(ulvState.currentTimerId, row.timer);
        EXPECT_EQ(fake::Made(Call::TimerAck), row.acks);
    }
}

TEST_F(MainLoopTest, StartUpOnTheTestNetworkLeavesPlmnInvalid) {
    fake::tapi.countryCode = "001";
    for (const auto& [network, valid] : {std::pair<const char*, int>{"01", 0}, {"010", 1}}) {
        fake::tapi.networkCode = network;
        ULVFirstRadioChecks();
        EXPECT_EQ(ulvState.validPlmn, valid) << network;
    }
    for (const std::string& text : fake::aplog.Texts()) EXPECT_EQ(text.find("failure"), text.npos);
}

// The message restarts the timer (a failed core dump report's confirmation starts the periodic
// one), so the expiry the wait saw belongs to a timer that is gone: not served as the new one's.
TEST_F(MainLoopTest, AnExpiryTheTelephonyMessageReplacedIsNotServed) {
    ConnectDevices();
    ulvState.currentTimerId = ULV_TIMER_APCD_ID;
    ulvState.apcdPending = 1;
    ulvState.lastSentSequence = 5;
    ulvState.smsInFlight = 1;
    std::vector<uint8_t> failed(12, 0);  // sequence 5, result 1, in host order
    const uint32_t sequence = 5, result = 1;
    std::memcpy(failed.data(), &sequence, 4);
    std::memcpy(failed.data() + 8, &result, 4);
    fake::tapi.Push(SMS_SEND_CNF_MSGID, failed);
    fake::rtc.Fire();
    const uint32_t uptime = ulvState.flexConfig.ulv_cummulative_uptime;
    EXPECT_EQ(WakeBoth(), 0);
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PERIODIC_ID);
    EXPECT_FALSE(fake::aplog.Has("Hardware timer goes off\n\r"));
    EXPECT_EQ(fake::Made(Call::TimerAck), 0);
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, uptime);  // no tick counted
}

// A retry that finds the gateway confirms it; the decision runs at once only when the phone
// was in service at start-up (otherwise at the next in-service message). The last retry gives
// up: the loop is left for the exit path, the expiry never acknowledged.
TEST_F(MainLoopTest, GatewayRetryConfirmsOrGivesUpWithoutAcknowledging) {
    // Retries made, in service at start-up, wake-up's answer, gateway state, stage, acks.
    const std::tuple<int, uint8_t, int, int32_t, int, int> cases[] = {
        {0, 0, 0, GATEWAY_STATE_CONFIRMED, 1, 1},
        {0, 1, 0, GATEWAY_STATE_CONFIRMED, 2, 1},
        {GATEWAY_RETRY_LIMIT, 1, 1, GATEWAY_STATE_GIVE_UP, 1, 0},
    };
    for (const auto& [retries, inService, returns, state, stage, acks] : cases) {
        ResetProcessState();
        WriteConfig();
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ConnectDevices();
        ulvState.startupStage = 1;
        gatewayState = GATEWAY_STATE_CHECK_FAILED;
        ulvState.currentTimerId = ULV_TIMER_GATEWAY_ID;
        ulvState.gatewayRetries = retries;
        fake::rtc.Fire();
        EXPECT_EQ(ULVServeWakeup(Ready({ulvState.timerFd}), inService), returns);
        EXPECT_EQ(gatewayState, state);
        EXPECT_EQ(ulvState.startupStage, stage);
        EXPECT_EQ(fake::Made(Call::TimerAck), acks);
    }
    ULVExitPath();
    EXPECT_EQ(fake::Made(Call::TimerAck), 0);
    ASSERT_FALSE(fake::rtc.requests.empty());
    EXPECT_EQ(fake::rtc.requests.back().request, RTC_SW_RELEASE);
    EXPECT_EQ(std::pair(fake::Made(Call::TimerClose), fake::Made(Call::Fini)), std::pair(1, 1));
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

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// In a child, whose descriptors may be closed at will: 150 descriptors take several reads of
// the listing, and one far above them too. The standard ones stay.
TEST(InheritedDescriptors, ListedOnesAboveTwoAreClosedAcrossSeveralDirectoryReads) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit([] {
            for (int standard = 0; standard <= 2; ++standard)
                if (!IsOpen(standard) && open("/dev/null", O_RDONLY) != standard) return 10;
            int opened[151];
            for (int i = 0; i < 150; ++i) opened[i] = open("/dev/null", O_RDONLY);
            opened[150] = fcntl(opened[0], F_DUPFD, 900);
            if (opened[149] < 0 || opened[150] < 900) return 11;
            if (ULVCloseListedDescriptors() != 0) return 12;
            for (int fd : opened)
                if (IsOpen(fd)) return 13;
            return IsOpen(0) && IsOpen(1) && IsOpen(2) ? 0 : 14;
        }());
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
