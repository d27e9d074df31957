#include "daemon/daemon.h"
#include "daemon_fixture.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

namespace {

class TapiEventsTest : public DaemonTest {
  protected:
    void Handle(uint16_t msgId, const std::string& data) {
        fake::aplog = {};
        fake::tapi.Push(msgId, {data.begin(), data.end()});
        ASSERT_EQ(ULVHandleTapiMessage(ulvState.tapiFd), 0);
    }
    static std::string U32(uint32_t value) { return {reinterpret_cast<char*>(&value), 4}; }
    // Asks to ULVSmsSend: with in-service and the timer flag clear, its gate traces and stops.
    int SendAttempts() const {
        int count = 0;
        for (const std::string& m : TraceMessages()) count += m.rfind("In SmsSend", 0) == 0;
        return count;
    }
};

TEST_F(TapiEventsTest, MessagesSetTheirFlagAndAskToSendOnlyTowardsSending) {
    const std::tuple<const char*, uint16_t, std::string, uint8_t DaemonState::*, int, int, int>
        cases[] = {
            {"test network", REGISTERED_MSGID, {"001-01\0", 7}, &DaemonState::validPlmn, 1, 0, 0},
            {"other network", REGISTERED_MSGID, "001-010", &DaemonState::validPlmn, 0, 1, 1},
            {"17 bytes", REGISTERED_MSGID, std::string(17, '1'), &DaemonState::validPlmn, 0, 0, 0},
            {"signal level 1", SIGNAL_QUALITY_MSGID, U32(1), &DaemonState::sqState, 1, 0, 0},
            {"signal level 2", SIGNAL_QUALITY_MSGID, U32(2), &DaemonState::sqState, 0, 1, 1},
            {"signal level 256", SIGNAL_QUALITY_MSGID, U32(256), &DaemonState::sqState, 0, 1, 1},
            {"unknown identifier", 0x0703, "\x01", &DaemonState::inService, 0, 0, 0},
        };
    ConnectDevices();
    for (const auto& [name, msgId, data, flag, before, after, sends] : cases) {
        SCOPED_TRACE(name);
        ulvState.*flag = static_cast<uint8_t>(before);
        const int sendsBefore = SendAttempts();
        Handle(msgId, data);
        EXPECT_EQ(ulvState.*flag, after);
        EXPECT_EQ(SendAttempts() - sendsBefore, sends);
    }
    Handle(REGISTERED_MSGID, "001-01");
    EXPECT_EQ(fake::aplog.Texts(),
              (std::vector<std::string>{"REGISTERED_MSGID operator == 001-01\n\r",
                                        "set PLMN valid\n\r", "set PLMN invalid\n\r"}));
}

TEST_F(TapiEventsTest, StartUpStrengthSevenSetsSixClearsNinetyNineChangesNothing) {
    const std::tuple<uint8_t, uint8_t, uint8_t> cases[] = {
        {99, 0, 0}, {99, 1, 1}, {6, 1, 0}, {7, 0, 1}};
    for (const auto& [strength, before, after] : cases) {
        fake::tapi.signal = strength;
        ulvState.sqState = before;
        ULVReadSignalQuality();
        EXPECT_EQ(ulvState.sqState, after) << int{strength};
    }
}

TEST_F(TapiEventsTest, ConfirmationIsTracedEvenWhenItsDataIsRejected) {
    ConnectDevices();
    Handle(SMS_SEND_CNF_MSGID, std::string(13, '\0'));
    EXPECT_EQ(TraceMessages(), std::vector<std::string>{"coming the cnf msgid\n\n"});
}

// Once the decision has run, service coming back after an outage sends what waits.
TEST_F(TapiEventsTest, InServiceAfterAnOutageSendsWhatWaits) {
    ConnectDevices();
    ulvState.startupStage = 2;
    ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;
    ulvState.pendingReports = PENDING_PERIODIC;
    Handle(SERVICE_AVAILABILITY_MSGID, std::string(1, '\0'));
    EXPECT_EQ(ulvState.inService, 0);
    EXPECT_TRUE(fake::tapi.submissions.empty());
    Handle(SERVICE_AVAILABILITY_MSGID, "\x01");
    EXPECT_EQ(fake::tapi.submissions.size(), 1u);
}

TEST_F(TapiEventsTest, InServiceWhileTheDecisionIsPendingChecksTheGatewayThenDecides) {
    // Service centre failures, the gateway state before and after, the stage, timer deletes:
    // only a retry timer that runs is deleted.
    const std::tuple<int, int32_t, int32_t, uint8_t, int> cases[] = {
        {-1, GATEWAY_STATE_INITIAL, GATEWAY_STATE_INITIAL, 1, 0},
        {0, GATEWAY_STATE_CHECK_FAILED, GATEWAY_STATE_CONFIRMED, 2, 1},
        {0, GATEWAY_STATE_INITIAL, GATEWAY_STATE_CONFIRMED, 2, 0}};
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
