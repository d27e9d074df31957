#include <cstdio>
#include <string>

#include "daemon/daemon.h"
#include "daemon_fixture.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

namespace {

using TapiEventsTest = DaemonTest;

void Handle(uint16_t msgId, const std::string& data) {
    fake::tapi.Push(msgId, {data.begin(), data.end()});
    ASSERT_EQ(ULVHandleTapiMessage(ulvState.tapiFd), 0);
}

std::string U32(uint32_t value) {
    return {reinterpret_cast<char*>(&value), 4};
}

// The bytes as two-digit hex numbers, for a readable trace of binary message data.
std::string Hex(const std::string& data) {
    std::string text;
    for (unsigned char byte : data) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        if (!text.empty()) text += ' ';
        text += digits;
    }
    return text;
}

// A malformed registration is dropped end to end; here what each message sets, and whether it
// asks to send (the send's gate, with in-service and the timer flag clear, traces and stops).
TEST_F(TapiEventsTest, MessagesSetTheirFlagAndAskToSendOnlyTowardsSending) {
    using Flag = uint8_t DaemonState::*;
    const Flag plmn = &DaemonState::validPlmn, sq = &DaemonState::sqState;
    const std::tuple<uint16_t, std::string, Flag, int, int, int> cases[] = {
        {REGISTERED_MSGID, {"001-01\0", 7}, plmn, 1, 0, 0},  // the test network
        {REGISTERED_MSGID, "001-010", plmn, 0, 1, 1},
        {SIGNAL_QUALITY_MSGID, U32(1), sq, 1, 0, 0},
        {SIGNAL_QUALITY_MSGID, U32(2), sq, 0, 1, 1},
        {SIGNAL_QUALITY_MSGID, U32(256), sq, 0, 1, 1},
        {0x0703, "\x01", &DaemonState::inService, 0, 0, 0},  // an unknown identifier
    };
    ConnectDevices();
    for (const auto& [msgId, data, flag, before, after, sends] : cases) {
        SCOPED_TRACE(Hex(data));
        ulvState.*flag = static_cast<uint8_t>(before);
        WriteFile("zel_user/download/appwrite/ulvPanicInfo", "");
        Handle(msgId, data);
        EXPECT_EQ(ulvState.*flag, after);
        int asks = 0;
        for (const std::string& m : TraceMessages()) asks += m.starts_with("In SmsSend");
        EXPECT_EQ(asks, sends);
    }
}

TEST_F(TapiEventsTest, StartUpStrengthSevenSetsSixClearsNinetyNineChangesNothing) {
    const std::tuple<uint8_t, uint8_t, uint8_t> cases[] = {
        {99, 0, 0},
        {99, 1, 1},
        {6, 1, 0},
        {7, 0, 1},
    };
    for (const auto& [strength, before, after] : cases) {
        fake::tapi.signal = strength;
        ulvState.sqState = before;
        ULVReadSignalQuality();
        EXPECT_EQ(ulvState.sqState, after) << int{strength};
    }
}

// Once the decision has run, service coming back after an outage sends what waits. A
// confirmation is traced even when its data is rejected.
TEST_F(TapiEventsTest, InServiceAfterAnOutageSendsWhatWaitsAndARejectedConfirmationIsTraced) {
    ConnectDevices();
    Handle(SMS_SEND_CNF_MSGID, std::string(13, '\0'));
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"coming the cnf msgid\n\n"});
    ulvState.startupStage = 2;
    ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;
    ulvState.pendingReports = PENDING_PERIODIC;
    Handle(SERVICE_AVAILABILITY_MSGID, std::string(1, '\0'));
    EXPECT_EQ(ulvState.inService, 0);
    EXPECT_TRUE(fake::tapi.submissions.empty());
    Handle(SERVICE_AVAILABILITY_MSGID, "\x01");
    EXPECT_EQ(fake::tapi.submissions.size(), 1u);
}

// Service centre failures, the gateway state before and after, the stage, timer deletes: only
// a retry timer that runs is deleted.
TEST_F(TapiEventsTest, InServiceWhileTheDecisionIsPendingChecksTheGatewayThenDecides) {
    const std::tuple<int, int32_t, int32_t, uint8_t, int> cases[] = {
        {-1, GATEWAY_STATE_INITIAL, GATEWAY_STATE_INITIAL, 1, 0},
        {0, GATEWAY_STATE_CHECK_FAILED, GATEWAY_STATE_CONFIRMED, 2, 1},
        {0, GATEWAY_STATE_INITIAL, GATEWAY_STATE_CONFIRMED, 2, 0},
    };
    ConnectDevices();
    for (const auto& [failures, stateBefore, state, stage, deletes] : cases) {
        fake::Fail(fake::Call::ServiceCentre, -1, failures);
        const int before = fake::Made(fake::Call::ServiceCentre);
        const int deletesBefore = fake::Made(fake::Call::TimerDelete);
        ulvState.startupStage = 1;
        gatewayState = stateBefore;
        Handle(SERVICE_AVAILABILITY_MSGID, "\x01");
        EXPECT_EQ(fake::Made(fake::Call::ServiceCentre) - before, 1);
        EXPECT_EQ(gatewayState, state);
        EXPECT_EQ(ulvState.startupStage, stage);
        EXPECT_EQ(fake::Made(fake::Call::TimerDelete) - deletesBefore, deletes);
    }
}

}  // namespace
