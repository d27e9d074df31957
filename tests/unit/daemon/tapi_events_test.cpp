#include <cstring>
#include <string>
#include <vector>

#include "daemon/daemon.h"
#include "daemon_fixture.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

class TapiEventsTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        WriteConfig();  // report delay 5 s
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ConnectDevices();
        fake::aplog = {};
    }

    // Handles the one queued message; every handled or dropped message gives 0.
    void Handle() { ASSERT_EQ(ULVHandleTapiMessage(ulvState.tapiFd), 0); }

    // ULVSmsSend was asked to try: its gate traces the four flags when it does not send.
    int SendAttempts() const {
        int count = 0;
        for (const std::string& message : TraceMessages())
            if (message.rfind("In SmsSend; ", 0) == 0) ++count;
        return count;
    }
};

using Texts = std::vector<std::string>;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

bool SameRecord(const RtcSwTimer& a, const RtcSwTimer& b) {
    return a.hours == b.hours && a.minutes == b.minutes && a.seconds == b.seconds &&
           a.reserved == b.reserved;
}

TEST_F(TapiEventsTest, RegistrationOnTheTestNetworkSetsThenClearsPlmnAndSendsNothing) {
    // With and without the client's terminator, and with bytes after the terminator.
    const std::string forms[] = {std::string("001-01\0", 7), "001-01",
                                 std::string("001-01\0junk", 11)};
    for (const std::string& data : forms) {
        SCOPED_TRACE(data.size());
        fake::aplog = {};
        ulvState.validPlmn = 1;
        fake::tapi.Push(REGISTERED_MSGID, Bytes(data));
        Handle();
        EXPECT_EQ(fake::aplog.Texts(), (Texts{"REGISTERED_MSGID operator == 001-01\n\r",
                                              "set PLMN valid\n\r", "set PLMN invalid\n\r"}));
        EXPECT_EQ(ulvState.validPlmn, 0);
    }
    EXPECT_EQ(SendAttempts(), 0);
}

TEST_F(TapiEventsTest, RegistrationOnAnyOtherNetworkSetsPlmnAndAsksToSend) {
    struct Case {
        std::string data;
        const char* shown;
    };
    const Case cases[] = {
        {std::string("310-410\0", 8), "310-410"},
        {"001-010", "001-010"},
        {"001-0", "001-0"},
        {"", ""},
        // 16 bytes without a terminator: the comparison stays inside the data.
        {"3104101234567890", "3104101234567890"},
    };
    int attempts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        fake::aplog = {};
        ulvState.validPlmn = 0;
        fake::tapi.Push(REGISTERED_MSGID, Bytes(c.data));
        Handle();
        EXPECT_EQ(fake::aplog.Texts(),
                  (Texts{std::string("REGISTERED_MSGID operator == ") + c.shown + "\n\r",
                         "set PLMN valid\n\r"}));
        EXPECT_EQ(ulvState.validPlmn, 1);
        EXPECT_EQ(SendAttempts(), ++attempts);
    }
    // The other three flags are clear, so the gate sends nothing.
    EXPECT_EQ(TraceMessages().back(),
              "In SmsSend; insevice = 0, timer expired = 0, valid plmn= 1, sqstate = 0\n\n");
    EXPECT_TRUE(fake::tapi.submissions.empty());
}

TEST_F(TapiEventsTest, MessagesWithDataOutsideTheirLimitsAreDroppedSilently) {
    struct Case {
        const char* name;
        uint16_t msgId;
        bool nullData;
        std::vector<uint8_t> data;
        uint16_t length;  // for null data
    };
    std::vector<uint8_t> seventeen = Bytes(std::string("001-01\0", 7));
    seventeen.resize(17, 0);
    const Case cases[] = {
        {"registration of 17 bytes", REGISTERED_MSGID, false, seventeen, 0},
        {"registration without data", REGISTERED_MSGID, true, {}, 7},
        {"signal of 3 bytes", SIGNAL_QUALITY_MSGID, false, {0, 0, 0}, 0},
        {"signal of 5 bytes", SIGNAL_QUALITY_MSGID, false, {0, 0, 0, 0, 0}, 0},
        {"signal of 0 bytes", SIGNAL_QUALITY_MSGID, false, {}, 0},
        {"signal without data", SIGNAL_QUALITY_MSGID, true, {}, 4},
        {"service of 2 bytes", SERVICE_AVAILABILITY_MSGID, false, {0, 0}, 0},
        {"service of 0 bytes", SERVICE_AVAILABILITY_MSGID, false, {}, 0},
        {"service without data", SERVICE_AVAILABILITY_MSGID, true, {}, 1},
        {"unknown identifier 0x0703", 0x0703, false, {1}, 0},
        {"unknown identifier 0x030E", 0x030E, false, std::vector<uint8_t>(12, 0), 0},
        {"unknown identifier 0", 0x0000, true, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each flag at the value the dropped message would have changed it from.
        ulvState.validPlmn = 1;
        ulvState.inService = 1;
        ulvState.sqState = 1;
        if (c.nullData)
            fake::tapi.PushNull(c.msgId, c.length);
        else
            fake::tapi.Push(c.msgId, c.data);
        Handle();
        EXPECT_TRUE(fake::aplog.records.empty());
        EXPECT_EQ(ulvState.validPlmn, 1);
        EXPECT_EQ(ulvState.inService, 1);
        EXPECT_EQ(ulvState.sqState, 1);
    }
    EXPECT_FALSE(Exists("zel_user/download/appwrite/ulvPanicInfo"));
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);
}

TEST_F(TapiEventsTest, SignalQualityMessageSetsAboveLevelOneAndAsksToSend) {
    struct Case {
        uint32_t level;
        const char* shown;
        uint8_t sqState;
    };
    const Case cases[] = {
        {0, "0", 0},
        {1, "1", 0},
        {2, "2", 1},
        {256, "256", 1},  // a whole 32-bit word: its first byte alone would read 0 or 1
        {0x80000000, "-2147483648", 1},  // compared unsigned, logged with %d
    };
    int attempts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        fake::aplog = {};
        ulvState.sqState = c.sqState ? 0 : 1;
        fake::tapi.PushU32(SIGNAL_QUALITY_MSGID, c.level);  // the phone's own byte order
        Handle();
        EXPECT_EQ(ulvState.sqState, c.sqState);
        EXPECT_EQ(fake::aplog.Texts(),
                  (Texts{std::string("SINGAL QUALITY VALUE RECEIVED == ") + c.shown + "\n\r",
                         c.sqState ? "set Signal Quality State\n\r"
                                   : "unset Signal Quality State\n\r"}));
        if (c.sqState) ++attempts;
        EXPECT_EQ(SendAttempts(), attempts);
    }
}

TEST_F(TapiEventsTest, FirstInServiceRunsTheGatewayCheckThenTheStartupDecision) {
    ulvState.startupStage = 1;
    ASSERT_EQ(gatewayState, GATEWAY_STATE_INITIAL);
    fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {1});
    Handle();
    EXPECT_EQ(ulvState.inService, 1);
    EXPECT_EQ(fake::aplog.Texts().front(), "set in service State\n\r");
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 1);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_CONFIRMED);
    EXPECT_EQ(ulvState.startupStage, 2);
    // The decision's first timer is the only request: the report delay of 5 s.
    ASSERT_EQ(fake::rtc.requests.size(), 1u);
    EXPECT_EQ(fake::rtc.requests[0].request, RTC_SW_START);
    EXPECT_TRUE(SameRecord(fake::rtc.requests[0].record, RtcSwTimer{0, 0, 5, 0}));
    EXPECT_EQ(SendAttempts(), 0);
}

TEST_F(TapiEventsTest, FailedGatewayCheckLeavesTheDecisionPending) {
    ulvState.startupStage = 1;
    fake::tapi.serviceCentreResult = -1;
    fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {1});
    Handle();
    EXPECT_EQ(ulvState.inService, 1);
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 1);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_INITIAL);
    EXPECT_EQ(ulvState.startupStage, 1);
    EXPECT_FALSE(fake::aplog.Has("Set Periodic Report message queue bitmap\n\r"));
    // Only the check's own retry timer was started.
    ASSERT_EQ(fake::rtc.requests.size(), 1u);
    EXPECT_TRUE(SameRecord(fake::rtc.requests[0].record, RtcSwTimer{0, 0, 15, 0}));
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_GATEWAY_ID);
    EXPECT_EQ(SendAttempts(), 0);
}

TEST_F(TapiEventsTest, CheckSucceedingAfterAFailureDeletesTheRetryTimerBeforeTheDecision) {
    ulvState.startupStage = 1;
    gatewayState = GATEWAY_STATE_CHECK_FAILED;
    ULVStartTimer(ULV_TIMER_GATEWAY_ID, GATEWAY_RETRY_SECONDS);
    fake::rtc.requests.clear();

    fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {1});
    Handle();
    ASSERT_EQ(fake::rtc.requests.size(), 2u);
    EXPECT_EQ(fake::rtc.requests[0].request, RTC_SW_DELETE);
    EXPECT_TRUE(SameRecord(fake::rtc.requests[0].record, RtcSwTimer{0, 0, 15, 0}));
    EXPECT_EQ(fake::rtc.requests[1].request, RTC_SW_START);
    EXPECT_TRUE(SameRecord(fake::rtc.requests[1].record, RtcSwTimer{0, 0, 5, 0}));
    EXPECT_EQ(gatewayState, GATEWAY_STATE_CONFIRMED);
    EXPECT_EQ(ulvState.startupStage, 2);
}

TEST_F(TapiEventsTest, ConfirmedGatewayRunsTheDecisionWithoutACheck) {
    ulvState.startupStage = 1;
    gatewayState = GATEWAY_STATE_CONFIRMED;
    fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {1});
    Handle();
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);
    EXPECT_EQ(ulvState.startupStage, 2);
    EXPECT_EQ(gatewayState, GATEWAY_STATE_CONFIRMED);
}

TEST_F(TapiEventsTest, InServiceAfterTheDecisionAsksToSend) {
    ulvState.startupStage = 2;
    gatewayState = GATEWAY_STATE_CONFIRMED;
    fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {1});
    Handle();
    EXPECT_EQ(fake::aplog.Texts(), Texts{"set in service State\n\r"});
    EXPECT_EQ(TraceMessages(),
              Texts{"In SmsSend; insevice = 1, timer expired = 0, valid plmn= 0, sqstate = 0\n\n"});
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);
    EXPECT_TRUE(fake::rtc.requests.empty());
}

TEST_F(TapiEventsTest, ServiceValueOtherThanOneClearsInServiceAndDoesNothingElse) {
    for (uint8_t stage : {1, 2}) {
        for (uint8_t value : {0, 2, 0xFF}) {
            SCOPED_TRACE("stage " + std::to_string(stage) + ", value " + std::to_string(value));
            fake::aplog = {};
            ulvState.startupStage = stage;
            ulvState.inService = 1;
            fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {value});
            Handle();
            EXPECT_EQ(ulvState.inService, 0);
            EXPECT_EQ(fake::aplog.Texts(), Texts{"set not_in service State\n\r"});
            EXPECT_EQ(ulvState.startupStage, stage);
        }
    }
    EXPECT_EQ(SendAttempts(), 0);
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);
    EXPECT_TRUE(fake::rtc.requests.empty());
}

TEST_F(TapiEventsTest, ConfirmationIsTracedBeforeItsDataIsJudged) {
    struct Case {
        const char* name;
        bool nullData;
        size_t size;
    };
    const Case rejected[] = {{"13 bytes", false, 13}, {"no data", true, 12}};
    for (const Case& c : rejected) {
        SCOPED_TRACE(c.name);
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
        if (c.nullData)
            fake::tapi.PushNull(SMS_SEND_CNF_MSGID, static_cast<uint16_t>(c.size));
        else
            fake::tapi.Push(SMS_SEND_CNF_MSGID, std::vector<uint8_t>(c.size, 0));
        Handle();
        EXPECT_EQ(TraceMessages(), Texts{"coming the cnf msgid\n\n"});
        EXPECT_TRUE(fake::aplog.records.empty());
    }

    // Twelve bytes are handed on to the confirmation handling.
    std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo").c_str());
    fake::tapi.PushConfirmation(77, 0);
    Handle();
    Texts messages = TraceMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "coming the cnf msgid\n\n");
    EXPECT_EQ(messages[1], "INFO: MSGSend CNF Seq 77, Res 0\n");
}

TEST_F(TapiEventsTest, UnreadableMessageIsLoggedAndEndsTheLoop) {
    fake::tapi.readFails = 1;
    fake::tapi.Push(SERVICE_AVAILABILITY_MSGID, {1});
    EXPECT_EQ(ULVHandleTapiMessage(ulvState.tapiFd), -1);
    EXPECT_EQ(fake::aplog.Texts(), Texts{"TAPI_Client_ReadAndMallocMsg Failure\n\r"});
    EXPECT_EQ(ulvState.inService, 0);
}

TEST_F(TapiEventsTest, StartupSignalReadingSetsFromStrengthSevenWithoutAskingToSend) {
    struct Case {
        uint8_t strength;
        uint8_t before;
        uint8_t after;
        const char* log;  // nullptr: no record
    };
    const Case cases[] = {
        {99, 1, 1, nullptr},  // unknown: no change, no record
        {99, 0, 0, nullptr},
        {0, 1, 0, "unset Signal Quality State\n\r"},
        {6, 1, 0, "unset Signal Quality State\n\r"},  // 19 %: level 1
        {7, 0, 1, "set Signal Quality State\n\r"},    // 22 %: level 2
        {31, 0, 1, "set Signal Quality State\n\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.strength));
        fake::aplog = {};
        fake::tapi.signal = c.strength;
        ulvState.sqState = c.before;
        ULVReadSignalQuality();
        EXPECT_EQ(ulvState.sqState, c.after);
        EXPECT_EQ(fake::aplog.Texts(), c.log ? Texts{c.log} : Texts{});
    }

    fake::aplog = {};
    fake::tapi.signalResult = -1;
    ulvState.sqState = 1;
    ULVReadSignalQuality();
    EXPECT_EQ(ulvState.sqState, 1);
    EXPECT_EQ(fake::aplog.Texts(), Texts{"SINGAL QUALITY READ FAILURE\n\r"});
    EXPECT_EQ(SendAttempts(), 0);
}

TEST_F(TapiEventsTest, FlagSettersLogEvenWhenTheValueIsUnchanged) {
    ULVSetInService(1);
    ULVSetInService(1);
    ULVSetPlmnValid(0);
    ULVSetPlmnValid(7);  // anything but 1 clears
    ULVSetSignalQualityState(1);
    ULVSetSignalQualityState(2);
    EXPECT_EQ(fake::aplog.Texts(),
              (Texts{"set in service State\n\r", "set in service State\n\r",
                     "set PLMN invalid\n\r", "set PLMN invalid\n\r",
                     "set Signal Quality State\n\r", "unset Signal Quality State\n\r"}));
    EXPECT_EQ(ulvState.inService, 1);
    EXPECT_EQ(ulvState.validPlmn, 0);
    EXPECT_EQ(ulvState.sqState, 0);
}

}  // namespace
