#include "daemon/daemon.h"
#include "daemon_fixture.h"
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
    const std::tuple<int, int, int, int> cases[] = {  // result, failures, calls, retry records
        {-1, 0, 1, 0}, {-1, 2, 3, 2}, {0, -1, 11, 10}};
    for (const auto& [result, failures, calls, retryRecords] : cases) {
        fake::Reset();
        fake::Fail(fake::Call::Init, result, failures);
        EXPECT_EQ(ULVConnectTapi() > 0, calls < 11);
        EXPECT_EQ(fake::Made(fake::Call::Init), calls);
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
    EXPECT_EQ(fake::Made(fake::Call::Fini), 1);
    EXPECT_EQ(fake::aplog.records.back().kind, 'X');
}

}  // namespace
