#include "daemon/daemon.h"
#include "daemon_fixture.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"

namespace {

using MainLoopTest = DaemonTest;

std::vector<std::string> RetryRecords() {
    std::vector<std::string> found;
    for (const std::string& text : fake::aplog.Texts())
        if (text.rfind("Try to connect TAPI Server", 0) == 0) found.push_back(text);
    return found;
}

TEST_F(MainLoopTest, ConnectsAtTheFirstCallWithoutRetryRecords) {
    fake::tapi.initResults = {1};
    EXPECT_GT(ULVConnectTapi(), 0);
    EXPECT_EQ(fake::tapi.initCalls, 1);
    EXPECT_TRUE(RetryRecords().empty());
    EXPECT_TRUE(fake::clock.sleeps.empty());
    // The subscription list: service, registration, signal, confirmation.
    ASSERT_EQ(fake::tapi.subscriptionCount, 4);
    EXPECT_EQ(fake::tapi.subscription[0], 0x0702);
    EXPECT_EQ(fake::tapi.subscription[1], 0x070A);
    EXPECT_EQ(fake::tapi.subscription[2], 0x0701);
    EXPECT_EQ(fake::tapi.subscription[3], 0x030D);
}

TEST_F(MainLoopTest, ConnectsAtTheThirdCallAfterTwoRetries) {
    fake::tapi.initResults = {-1, 0, 1};
    EXPECT_GT(ULVConnectTapi(), 0);
    EXPECT_EQ(fake::tapi.initCalls, 3);
    EXPECT_EQ(RetryRecords(), (std::vector<std::string>{"Try to connect TAPI Server 1 times\n\r",
                                                        "Try to connect TAPI Server 2 times\n\r"}));
    EXPECT_EQ(fake::clock.sleeps, (std::vector<unsigned>{1, 1}));
}

TEST_F(MainLoopTest, GivesUpAfterElevenCallsAndElevenSeconds) {
    fake::tapi.initDefault = 0;
    EXPECT_EQ(ULVConnectTapi(), 0);
    EXPECT_EQ(fake::tapi.initCalls, 11);
    std::vector<std::string> expected;
    for (int i = 1; i <= 10; ++i)
        expected.push_back("Try to connect TAPI Server " + std::to_string(i) + " times\n\r");
    EXPECT_EQ(RetryRecords(), expected);
    EXPECT_EQ(fake::clock.sleeps.size(), 11u);  // the last failure is followed by one more
}

TEST_F(MainLoopTest, TestNetworkAtStartUpLeavesPlmnInvalid) {
    ConnectDevices();
    fake::tapi.countryCode = "001";
    fake::tapi.networkCode = "01";
    fake::tapi.service = 0;
    ULVFirstRadioChecks();
    EXPECT_EQ(ulvState.validPlmn, 0);
    EXPECT_FALSE(fake::aplog.Has("set PLMN valid\n\r"));
}

TEST_F(MainLoopTest, OtherNetworkAtStartUpSetsPlmnValid) {
    ConnectDevices();
    fake::tapi.countryCode = "001";
    fake::tapi.networkCode = "010";
    fake::tapi.service = 0;
    ULVFirstRadioChecks();
    EXPECT_EQ(ulvState.validPlmn, 1);
    EXPECT_TRUE(fake::aplog.Has("set PLMN valid\n\r"));
}

TEST_F(MainLoopTest, FailedStartUpQueriesAreLoggedAndStartUpGoesOn) {
    ConnectDevices();
    fake::tapi.networkResult = -1;
    fake::tapi.serviceResult = -1;
    EXPECT_EQ(ULVFirstRadioChecks(), 0);
    EXPECT_TRUE(fake::aplog.Has("TAPI_NETWORK_GetCurrentNetworkId  Invoke failure\n\r"));
    EXPECT_TRUE(fake::aplog.Has("TAPI_ACCE_GetServiceAvailability Invoke failure\n\r"));
    EXPECT_EQ(ulvState.validPlmn, 0);
    EXPECT_EQ(ulvState.inService, 0);
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);  // no gateway check while not in service
}

TEST_F(MainLoopTest, InServiceAtStartUpWithFailingGatewayKeepsTheRetryTimer) {
    ConnectDevices();
    ulvState.startupStage = 1;
    fake::tapi.serviceCentreResult = -1;
    EXPECT_EQ(ULVFirstRadioChecks(), 1);
    EXPECT_EQ(ulvState.inService, 1);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_INITIAL);
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_GATEWAY_ID);
    EXPECT_EQ(ulvState.startupStage, 1);  // the decision has not run
}

TEST_F(MainLoopTest, OneWakeUpServesTheMessageFirstThenTheTimer) {
    ConnectDevices();
    ulvState.currentTimerId = 3;  // an identifier the handler only logs
    gatewayState = GATEWAY_STATE_CONFIRMED;
    fake::tapi.PushU32(SIGNAL_QUALITY_MSGID, 1);
    fake::rtc.Fire();
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(ulvState.tapiFd, &ready);
    FD_SET(ulvState.timerFd, &ready);
    EXPECT_EQ(ULVServeWakeup(ready, 1), 0);

    std::vector<std::string> texts = fake::aplog.Texts();
    auto at = [&](const std::string& text) {
        return std::find(texts.begin(), texts.end(), text) - texts.begin();
    };
    ASSERT_LT(at("SINGAL QUALITY VALUE RECEIVED == 1\n\r"), static_cast<long>(texts.size()));
    ASSERT_LT(at("Unexpected Timer ID 3\n\r"), static_cast<long>(texts.size()));
    EXPECT_LT(at("SINGAL QUALITY VALUE RECEIVED == 1\n\r"), at("Hardware timer goes off\n\r"));
    EXPECT_LT(at("Hardware timer goes off\n\r"), at("Unexpected Timer ID 3\n\r"));
    ASSERT_FALSE(fake::rtc.requests.empty());
    EXPECT_EQ(fake::rtc.requests.back().request, RTC_SW_ACK);
    EXPECT_EQ(fake::rtc.Pending(), 0);
}

TEST_F(MainLoopTest, UnreadableMessageEndsTheLoopBeforeTheTimer) {
    ConnectDevices();
    fake::tapi.PushU32(SIGNAL_QUALITY_MSGID, 5);
    fake::tapi.readFails = 1;
    fake::rtc.Fire();
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(ulvState.tapiFd, &ready);
    FD_SET(ulvState.timerFd, &ready);
    EXPECT_EQ(ULVServeWakeup(ready, 1), 1);
    EXPECT_TRUE(fake::aplog.Has("TAPI_Client_ReadAndMallocMsg Failure\n\r"));
    EXPECT_FALSE(fake::aplog.Has("Hardware timer goes off\n\r"));
}

TEST_F(MainLoopTest, GiveUpAfterTimerEventLeavesWithoutAcknowledging) {
    ConnectDevices();
    gatewayState = GATEWAY_STATE_CHECK_FAILED;
    ulvState.currentTimerId = ULV_TIMER_GATEWAY_ID;
    ulvState.gatewayRetries = GATEWAY_RETRY_LIMIT;
    fake::rtc.Fire();
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(ulvState.timerFd, &ready);
    EXPECT_EQ(ULVServeWakeup(ready, 1), 1);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_GIVE_UP);
    for (const fake::RtcRequest& request : fake::rtc.requests) EXPECT_NE(request.request, RTC_SW_ACK);

    ULVExitPath();
    ASSERT_FALSE(fake::rtc.requests.empty());
    EXPECT_EQ(fake::rtc.requests.back().request, RTC_SW_RELEASE);
    EXPECT_EQ(fake::tapi.finiCalls, 1);
    EXPECT_TRUE(fake::aplog.Has("Exit ULV!\n\r"));
    EXPECT_EQ(fake::aplog.records.back().kind, 'X');
}

TEST_F(MainLoopTest, FailedAcknowledgementIsLoggedAndTheLoopGoesOn) {
    ConnectDevices();
    ulvState.currentTimerId = 4;
    gatewayState = GATEWAY_STATE_CONFIRMED;
    fake::rtc.ackResult = -5;
    fake::rtc.Fire();
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(ulvState.timerFd, &ready);
    EXPECT_EQ(ULVServeWakeup(ready, 1), 0);
    EXPECT_TRUE(fake::aplog.Has("Hardware job done error -5\n\r"));
}

}  // namespace
