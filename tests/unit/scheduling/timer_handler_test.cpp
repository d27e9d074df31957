#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/trace.h"
#include "timer_requests.h"

namespace {

using Config = std::map<std::string, std::string>;

constexpr char kTracePath[] = "zel_user/download/appwrite/ulvPanicInfo";
constexpr char kTraceBackupPath[] = "zel_user/download/appwrite/ulvPanicInfo.bak";

class TimerHandlerTest : public DaemonTest {
protected:
    // Configuration read, devices connected, all radio flags favourable, the service centre
    // known; the report delay is 5 s unless the configuration says otherwise.
    void Prepare(const Config& config = {}) {
        WriteConfig(config);
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ULVDetectByteOrder();
        ConnectDevices();
        ulvState.lastUptimeSample = static_cast<uint32_t>(fake::clock.uptime);
        ulvState.startupStage = 2;
        ulvState.inService = 1;
        ulvState.validPlmn = 1;
        ulvState.sqState = 1;
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
    }

    // `id` armed on the device for `seconds`, with the records of arming it forgotten.
    static void Arm(uint8_t id, uint32_t seconds) {
        ULVStartTimer(id, seconds);
        fake::rtc.requests.clear();
        fake::aplog.records.clear();
    }

    std::string SavedValue(const std::string& key) const {
        const std::string text = ConfigFile();
        const std::string start = "\n" + key + " = ";
        size_t at = text.find(start);
        if (at == std::string::npos) return "<missing>";
        at += start.size();
        return text.substr(at, text.find('\n', at) - at);
    }
};

// Delay and panic expiries: try to send; delete the timer when nothing went out.
TEST_F(TimerHandlerTest, SendExpiriesSendOrDeleteTheTimer) {
    struct Case {
        const char* name;
        uint8_t timerId;
        uint8_t inService;
        uint8_t validPlmn;
        uint8_t sqState;
        bool sends;
    };
    const Case cases[] = {
        {"delay, all flags set", ULV_TIMER_DELAY_ID, 1, 1, 1, true},
        {"delay, no signal", ULV_TIMER_DELAY_ID, 1, 1, 0, false},
        {"delay, out of service", ULV_TIMER_DELAY_ID, 0, 1, 1, false},
        {"delay, test network", ULV_TIMER_DELAY_ID, 1, 0, 1, false},
        {"panic, all flags set", ULV_TIMER_PANIC_ID, 1, 1, 1, true},
        {"panic, no signal", ULV_TIMER_PANIC_ID, 1, 1, 0, false},
        {"panic, out of service", ULV_TIMER_PANIC_ID, 0, 1, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        std::filesystem::remove(root_ + "/" + kTracePath);
        Prepare();
        ulvState.inService = c.inService;
        ulvState.validPlmn = c.validPlmn;
        ulvState.sqState = c.sqState;
        ulvState.pendingReports = PENDING_PERIODIC;
        Arm(c.timerId, 5);

        ULVTimerHandler();

        std::vector<std::string> traces = TraceMessages();
        ASSERT_FALSE(traces.empty());
        EXPECT_EQ(traces.front(), "In ULV Timer Handler timer id = " +
                                      std::to_string(c.timerId) + "\n");
        if (c.timerId == ULV_TIMER_DELAY_ID) {
            EXPECT_TRUE(fake::aplog.Has("DELAY ID\n\r"));
            EXPECT_EQ(TraceCount("ULV_TIMER_DELAY_ID :Calling ULV SmsSend()\n"), 1);
        } else {
            EXPECT_TRUE(fake::aplog.Has("ULV_TIMER_PANIC_ID :Calling ULV SmsSend()\n\r"));
        }
        if (c.sends) {
            EXPECT_EQ(fake::tapi.submissions.size(), 1u);
            // The send path restarts the schedule with the periodic timer: armed first, then
            // the old 5 s timer removed; no separate delete of the armed timer.
            EXPECT_EQ(TimerRequests(), (std::vector<std::string>{"start 0:15:0", "delete 0:0:5"}));
            EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PERIODIC_ID);
            EXPECT_EQ(timerFirstTime, 0);
            EXPECT_FALSE(fake::aplog.Has("Timer not ser calling DeleteTimer\n\r"));
        } else {
            EXPECT_TRUE(fake::tapi.submissions.empty());
            EXPECT_EQ(TimerRequests(), std::vector<std::string>{"delete 0:0:5"});
            EXPECT_EQ(timerFirstTime, 1);
            EXPECT_EQ(ulvState.timerExpired, 1);  // the next favourable event sends
            EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
            // The gate saw timerExpired set by the handler ("valid plmn=" without a blank).
            EXPECT_EQ(TraceCount("In SmsSend; insevice = " + std::to_string(c.inService) +
                                 ", timer expired = 1, valid plmn= " +
                                 std::to_string(c.validPlmn) + ", sqstate = " +
                                 std::to_string(c.sqState) + "\n\n"),
                      1);
            // Only the panic timer announces the delete.
            EXPECT_EQ(fake::aplog.Has("Timer not ser calling DeleteTimer\n\r"),
                      c.timerId == ULV_TIMER_PANIC_ID);
        }
    }
}

TEST_F(TimerHandlerTest, PeriodicTicksUntilAtMost900SecondsAreLeftThenHandsOverToTheDelay) {
    // 24 h period, last report at 0, 85000 s counted: 1400 s left.
    Prepare({{"ulv_report_duration", "24"},
             {"ulv_last_preiodic_report_timestamp", "0"},
             {"ulv_cummulative_uptime", "14c08"}});
    ulvState.validPlmn = 0;
    Arm(ULV_TIMER_PERIODIC_ID, PERIODIC_TIMER_SECONDS);

    ULVTimerHandler();
    EXPECT_TRUE(fake::aplog.Has("PERIODIC ID\n\r"));
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 85900u);
    EXPECT_EQ(SavedValue("ulv_cummulative_uptime"), "14f8c");  // the tick is saved
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PERIODIC_ID);
    EXPECT_TRUE(TimerRequests().empty());  // 900 s stays armed
    EXPECT_EQ(TraceCount("Periodic timer resetting ....\n"), 0);

    // 500 s left: the report falls due in this tick.
    ULVTimerHandler();
    EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, 86800u);
    EXPECT_EQ(SavedValue("ulv_cummulative_uptime"), "15310");
    EXPECT_NE(ulvState.pendingReports & PENDING_PERIODIC, 0u);
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_DELAY_ID);
    EXPECT_EQ(TimerRequests(), (std::vector<std::string>{"start 0:0:5", "delete 0:15:0"}));
    // The delay timer just started has cleared timerExpired; "valid plmn =" has its blank.
    std::vector<std::string> traces = TraceMessages();
    ASSERT_GE(traces.size(), 2u);
    EXPECT_EQ(traces[traces.size() - 2], "Periodic timer resetting ....\n");
    EXPECT_EQ(traces.back(),
              "In SmsSend; insevice = 1, timer expired = 0, valid plmn = 0, sqstate = 1\n\n");
    EXPECT_TRUE(fake::tapi.submissions.empty());  // the delay timer's expiry sends
}

TEST_F(TimerHandlerTest, PeriodReckonsSecondsLeftAsASigned32BitNumber) {
    struct Case {
        const char* name;
        const char* duration;      // hours
        const char* lastPeriodic;  // hex, as in the file
        const char* cumulative;    // hex
        bool due;
    };
    const Case cases[] = {
        {"1400 s left", "24", "0", "14c08", false},         // 86400 - 85000
        {"901 s left", "24", "0", "14dfb", false},          // 86400 - 85499
        {"900 s left", "24", "0", "14dfc", true},           // 86400 - 85500
        {"overdue by 113600 s", "24", "0", "30d40", true},  // 86400 - 200000 < 0
        {"overdue by 2^31 s", "6", "0", "80000000", true},  // negative as signed
        {"last report after the count", "24", "186a0", "c350", false},  // 86400 + 50000
        {"count wrapped past 2^32", "6", "ffffff00", "100", false},     // 21600 - 512
        {"6 h with 900 s left", "6", "3e8", "54c4", true},  // 1000 + 21600 - 900
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        Prepare({{"ulv_report_duration", c.duration},
                 {"ulv_last_preiodic_report_timestamp", c.lastPeriodic},
                 {"ulv_cummulative_uptime", c.cumulative}});
        const uint32_t before = ulvState.flexConfig.ulv_cummulative_uptime;
        ulvState.pendingReports = 0;
        Arm(ULV_TIMER_PERIODIC_ID, PERIODIC_TIMER_SECONDS);

        ULVTimerHandler();

        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, before + 900u);
        EXPECT_EQ(ulvState.currentTimerId, c.due ? ULV_TIMER_DELAY_ID : ULV_TIMER_PERIODIC_ID);
        EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
    }
}

TEST_F(TimerHandlerTest, PeriodicTickWithCoreDumpsEnabledRestartsTheAttemptCount) {
    struct Case {
        const char* name;
        const char* enableCoreDumps;
        const char* cumulative;  // hex; 24 h period from 0
        uint8_t attemptsAfter;
    };
    const Case cases[] = {
        {"enabled, 1400 s left", "1", "14c08", 0},
        {"disabled, 1400 s left", "0", "14c08", 3},
        {"enabled, report due", "1", "14dfc", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        Prepare({{"enableCoreDumps", c.enableCoreDumps}, {"ulv_cummulative_uptime", c.cumulative}});
        ulvState.apcdAttempts = 3;
        Arm(ULV_TIMER_PERIODIC_ID, PERIODIC_TIMER_SECONDS);
        ULVTimerHandler();
        EXPECT_EQ(ulvState.apcdAttempts, c.attemptsAfter);
    }
}

TEST_F(TimerHandlerTest, EveryPeriodicExpiryEndsWithTheTraceFileCheck) {
    for (const char* cumulative : {"14c08", "14dfc"}) {  // a plain tick, then a due report
        SCOPED_TRACE(cumulative);
        ResetProcessState();
        std::filesystem::remove(root_ + "/" + kTraceBackupPath);
        Prepare({{"ulv_cummulative_uptime", cumulative}});
        Arm(ULV_TIMER_PERIODIC_ID, PERIODIC_TIMER_SECONDS);
        WriteFile(kTracePath, std::string(153601, 't'));

        ULVTimerHandler();

        // Rotated after the expiry's own records: they are all in the backup.
        EXPECT_FALSE(Exists(kTracePath));
        const std::string backup = ReadFile(kTraceBackupPath);
        EXPECT_GT(backup.size(), 153601u);
        EXPECT_NE(backup.find("In ULV Timer Handler timer id = 2\n"), std::string::npos);
        EXPECT_NE(backup.find("cumulativeuptime"), std::string::npos);
    }
}

TEST_F(TimerHandlerTest, OtherExpiriesLeaveAnOversizedTraceFileAlone) {
    Prepare();
    ulvState.pendingReports = PENDING_PERIODIC;
    ulvState.sqState = 0;
    Arm(ULV_TIMER_DELAY_ID, 5);
    WriteFile(kTracePath, std::string(153601, 't'));
    ULVTimerHandler();
    EXPECT_FALSE(Exists(kTraceBackupPath));
    EXPECT_GT(ReadFile(kTracePath).size(), 153601u);
}

TEST_F(TimerHandlerTest, CoreDumpExpirySchedulesThePeriodicTimerUnlessAReportIsPending) {
    struct Case {
        const char* name;
        const char* enableCoreDumps;
        uint8_t apcdPending;
        bool schedules;
    };
    const Case cases[] = {
        {"disabled, nothing pending", "0", 0, true},
        {"disabled, a core dump report pending", "0", 1, false},
        // Collection clears the pending flag first and finds nothing to send.
        {"enabled, a core dump report pending", "1", 1, true},
        {"enabled, nothing pending", "1", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        std::filesystem::remove(root_ + "/" + kTracePath);
        Prepare({{"enableCoreDumps", c.enableCoreDumps}});
        ulvState.apcdPending = c.apcdPending;
        ulvState.apcdAttempts = 2;
        ulvState.pendingReports = 0;
        Arm(ULV_TIMER_APCD_ID, 5);

        ULVTimerHandler();

        EXPECT_EQ(ulvState.apcdAttempts, 2);  // not restarted by this timer
        EXPECT_EQ(TraceCount("Schedule periodic Timer\n"), c.schedules ? 1 : 0);
        if (c.schedules) {
            EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PERIODIC_ID);
            EXPECT_EQ(TimerRequests(), (std::vector<std::string>{"start 0:15:0", "delete 0:0:5"}));
            EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
        } else {
            // The armed timer goes on; the core dump report's confirmation moves on.
            EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_APCD_ID);
            EXPECT_TRUE(TimerRequests().empty());
            EXPECT_EQ(timerFirstTime, 0);
        }
    }
}

TEST_F(TimerHandlerTest, UnexpectedIdentifiersAreLoggedAndChangeNothing) {
    for (uint8_t id : {0, 3, 4, 8, 255}) {
        SCOPED_TRACE(static_cast<int>(id));
        ResetProcessState();
        Prepare();
        Arm(ULV_TIMER_PERIODIC_ID, PERIODIC_TIMER_SECONDS);
        ulvState.currentTimerId = id;
        ulvState.pendingReports = PENDING_CRASH;
        gatewayState = GATEWAY_STATE_CHECK_FAILED;
        const uint32_t cumulative = ulvState.flexConfig.ulv_cummulative_uptime;

        ULVTimerHandler();

        EXPECT_EQ(fake::aplog.Texts(),
                  std::vector<std::string>{"Unexpected Timer ID " + std::to_string(id) + "\n\r"});
        EXPECT_TRUE(TimerRequests().empty());
        EXPECT_EQ(ulvState.currentTimerId, id);
        EXPECT_EQ(timerFirstTime, 0);
        EXPECT_EQ(ulvState.timerExpired, 1);
        EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH);
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime, cumulative);
        EXPECT_EQ(gatewayState, GATEWAY_STATE_CHECK_FAILED);
        EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);
        EXPECT_TRUE(fake::tapi.submissions.empty());
    }
}

// Gateway retry timer.

TEST_F(TimerHandlerTest, GatewayExpiryAfterConfirmationDoesNothing) {
    Prepare();
    Arm(ULV_TIMER_GATEWAY_ID, GATEWAY_RETRY_SECONDS);
    gatewayState = GATEWAY_STATE_CONFIRMED;
    ULVTimerHandler();
    EXPECT_EQ(gatewayState, GATEWAY_STATE_CONFIRMED);
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 0);
    EXPECT_EQ(ulvState.gatewayRetries, 0u);
    EXPECT_TRUE(TimerRequests().empty());
    EXPECT_TRUE(fake::aplog.Texts().empty());
}

TEST_F(TimerHandlerTest, FailingGatewayRecheckIsCountedAndKeepsTheTimer) {
    Prepare();
    Arm(ULV_TIMER_GATEWAY_ID, GATEWAY_RETRY_SECONDS);
    fake::tapi.serviceCentreResult = -1;
    ULVTimerHandler();
    EXPECT_EQ(gatewayState, GATEWAY_STATE_CHECK_FAILED);
    EXPECT_EQ(ulvState.gatewayRetries, 1u);
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 1);
    EXPECT_TRUE(TimerRequests().empty());  // 15 s restarted while 15 s is armed
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_GATEWAY_ID);
    EXPECT_EQ(timerFirstTime, 0);
    EXPECT_TRUE(fake::aplog.Has("Checking Email Gateway and service center is available or not"));
    EXPECT_FALSE(fake::aplog.Has("Timer not ser calling DeleteTimer"));
}

TEST_F(TimerHandlerTest, SucceedingGatewayRecheckDeletesTheTimer) {
    Prepare();
    Arm(ULV_TIMER_GATEWAY_ID, GATEWAY_RETRY_SECONDS);
    gatewayState = GATEWAY_STATE_CHECK_FAILED;
    ulvState.gatewayRetries = 4;
    ULVTimerHandler();
    EXPECT_EQ(gatewayState, GATEWAY_STATE_CHECK_OK);
    EXPECT_EQ(ulvState.gatewayRetries, 5u);
    EXPECT_EQ(TimerRequests(), std::vector<std::string>{"delete 0:0:15"});
    EXPECT_EQ(timerFirstTime, 1);
    // Both texts without a line ending, in this order.
    std::vector<std::string> texts = fake::aplog.Texts();
    auto check = std::find(texts.begin(), texts.end(),
                           "Checking Email Gateway and service center is available or not");
    ASSERT_NE(check, texts.end());
    EXPECT_NE(std::find(check, texts.end(), "Timer not ser calling DeleteTimer"), texts.end());
}

TEST_F(TimerHandlerTest, ThirteenthGatewayExpiryAfterTwelveFailuresGivesUpWithoutACheck) {
    Prepare();
    fake::tapi.serviceCentreResult = -1;
    ULVCheckGateway();  // the first failure arms the retry timer
    fake::rtc.requests.clear();
    fake::tapi.serviceCentreCalls = 0;

    for (int expiry = 1; expiry <= 12; ++expiry) {
        ULVTimerHandler();
        ASSERT_EQ(gatewayState, GATEWAY_STATE_CHECK_FAILED) << "expiry " << expiry;
    }
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 12);
    EXPECT_EQ(ulvState.gatewayRetries, 12u);
    EXPECT_TRUE(TimerRequests().empty());
    fake::aplog.records.clear();

    ULVTimerHandler();
    EXPECT_EQ(fake::tapi.serviceCentreCalls, 12);  // no 13th check
    EXPECT_EQ(gatewayState, GATEWAY_STATE_GIVE_UP);
    EXPECT_EQ(TimerRequests(), std::vector<std::string>{"delete 0:0:15"});
    EXPECT_FALSE(fake::aplog.Has("Checking Email Gateway and service center is available or not"));
    EXPECT_TRUE(fake::aplog.Has("Timer not ser calling DeleteTimer"));
}

}  // namespace
