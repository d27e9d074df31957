#include <tuple>

#include "scheduling_fixture.h"
#include "state/trace.h"

namespace {

using TimerTest = SchedulingTest;

TEST_F(TimerTest, StartsAndDeletesIssueTheDeviceRequestsInOrder) {
    // Steps (start id for seconds; id 0: delete), the requests of all steps, a last step's log.
    using Steps = std::vector<std::pair<uint8_t, uint32_t>>;
    const char* first = "Timer firing for the first time\n\r";
    const char* same = "Timers the same no need to delete !\n\r";
    const std::tuple<Steps, const char*, const char*> cases[] = {
        {Steps{{2, 900}}, "start 0,15,0,0", first},
        {Steps{{1, 7199}}, "start 1,59,59,0", first},
        {Steps{{1, 21600}}, "start 6,0,0,0", first},  // the six-hour period
        {Steps{{2, 900}, {7, 900}}, "start 0,15,0,0", same},
        // The new timer is armed before the old one goes.
        {Steps{{2, 900}, {6, 15}}, "start 0,15,0,0; start 0,0,15,0; delete 0,15,0,0",
         "Timesr not the same so resetting to new timer values\n\r"},
        {Steps{{2, 900}, {6, 15}}, "start 0,15,0,0; start 0,0,15,0; delete 0,15,0,0",
         "Old time valuse are 0 15 0\n\r"},
        {Steps{{2, 900}, {0, 0}, {5, 900}}, "start 0,15,0,0; delete 0,15,0,0; start 0,15,0,0",
         first},
        // An all-zero record need not be armed by the device: 1 s, the shortest, is armed.
        {Steps{{7, 0}, {1, 1}}, "start 0,0,1,0", same},
    };
    for (const auto& [steps, requests, lastStepLogs] : cases) {
        SCOPED_TRACE(requests);
        ResetProcessState();
        for (auto [id, seconds] : steps) {
            fake::aplog.records.clear();
            ulvState.timerExpired = 1;
            id == 0 ? static_cast<void>(ULVDeleteTimer()) : ULVStartTimer(id, seconds);
            EXPECT_EQ(ulvState.timerExpired, id == 0 ? 1 : 0);
        }
        EXPECT_EQ(TimerRequests(), requests);
        EXPECT_TRUE(fake::aplog.Has(lastStepLogs));
        EXPECT_EQ(ulvState.currentTimerId, steps.back().first);
    }
}

TEST_F(TimerTest, SendExpiriesRestartThePeriodicTimerOrDeleteTheirOwn) {
    for (uint8_t id : {ULV_TIMER_DELAY_ID, ULV_TIMER_PANIC_ID}) {
        for (uint8_t sqState : {0, 1}) {
            SCOPED_TRACE("timer " + std::to_string(id) + ", sqState " + std::to_string(sqState));
            Prepare({}, id, 5);
            ulvState.sqState = sqState;
            ulvState.pendingReports = PENDING_PERIODIC;
            ULVTimerHandler();
            EXPECT_EQ(fake::tapi.submissions.size(), sqState);
            EXPECT_EQ(TimerRequests(),
                      sqState == 1 ? "start 0,15,0,0; delete 0,0,5,0" : "delete 0,0,5,0");
            EXPECT_EQ(ulvState.timerExpired, 1 - sqState);  // kept for the next favourable event
            EXPECT_EQ(fake::aplog.Has("Timer not ser calling DeleteTimer\n\r"),
                      id == ULV_TIMER_PANIC_ID && sqState == 0);
        }
    }
}

// A 24 h period (86400 s) reckoned from a last periodic report at 0.
TEST_F(TimerTest, PeriodicExpiryHandsOverToTheDelayOnceAtMost900SecondsAreLeft) {
    const std::pair<const char*, bool> cases[] = {
        {"14c08", false},  // 85000 counted: 1400 s left
        {"14f8c", true},   // 85900: 500 s left
        {"14dfb", false},  // 901 s left
        {"14dfc", true},   // 900 s left
        {"30d40", true},   // 200000: overdue, a negative number of seconds left
    };
    for (auto [cumulative, due] : cases) {
        SCOPED_TRACE(cumulative);
        Prepare({{"ulv_cummulative_uptime", cumulative}}, ULV_TIMER_PERIODIC_ID, 900);
        std::remove((root_ + "/zel_user/download/appwrite/ulvPanicInfo.bak").c_str());
        WriteFile("zel_user/download/appwrite/ulvPanicInfo", std::string(TRACE_ROTATE_ABOVE + 1, 't'));
        ULVTimerHandler();
        EXPECT_TRUE(Exists("zel_user/download/appwrite/ulvPanicInfo.bak"));  // rotated each tick
        EXPECT_EQ(ulvState.flexConfig.ulv_cummulative_uptime,
                  std::stoul(cumulative, nullptr, 16) + 900);
        EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
        EXPECT_EQ(ulvState.currentTimerId, due ? ULV_TIMER_DELAY_ID : ULV_TIMER_PERIODIC_ID);
        EXPECT_EQ(TimerRequests(), due ? "start 0,0,5,0; delete 0,15,0,0" : "");
    }
}

TEST_F(TimerTest, UnexpectedIdentifiersAreLoggedAndChangeNothing) {
    for (uint8_t id : {0, 3, 4, 255}) {
        Prepare({}, ULV_TIMER_PERIODIC_ID, 900);
        ulvState.currentTimerId = id;
        ULVTimerHandler();
        EXPECT_EQ(fake::aplog.Texts(),
                  std::vector<std::string>{"Unexpected Timer ID " + std::to_string(id) + "\n\r"});
        EXPECT_EQ(TimerRequests(), "");
    }
}

// The core dump branches, with one core file in the dump directory: which expiry collects,
// whether the pass count is reset, and whether the periodic timer follows.
TEST_F(TimerTest, CoreDumpCollectionRunsFromThePeriodicAndTheCoreDumpTimer) {
    struct Case { uint8_t id; const char* enabled; uint8_t pendingBefore; size_t sent;
                  const char* requests; };
    const Case cases[] = {
        {ULV_TIMER_PERIODIC_ID, "1", 0, 1, ""},  // passes reset from 9; the 900 s timer runs on
        {ULV_TIMER_PERIODIC_ID, "0", 0, 0, ""},
        {ULV_TIMER_APCD_ID, "1", 1, 0, "start 0,15,0,0; delete 0,0,5,0"},  // 9 passes: none left
        {ULV_TIMER_APCD_ID, "0", 0, 0, "start 0,15,0,0; delete 0,0,5,0"},
        {ULV_TIMER_APCD_ID, "0", 1, 0, ""},  // still waiting for a confirmation: left armed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " enabled " + c.enabled);
        Prepare({{"enableCoreDumps", c.enabled}, {"ulv_cummulative_uptime", "0"}}, c.id,
                c.id == ULV_TIMER_APCD_ID ? 5 : 900);
        WriteFile("zellocal/ulv_app_dump/core.app.1", "");
        ulvState.apcdAttempts = 9;
        ulvState.apcdPending = c.pendingBefore;
        ULVTimerHandler();
        EXPECT_EQ(fake::tapi.submissions.size(), c.sent);
        EXPECT_EQ(ulvState.apcdAttempts, c.sent == 1 ? 1 : c.enabled[0] == '1' ? 10 : 9);
        EXPECT_EQ(TimerRequests(), c.requests);
    }
    // A core dump timer expiry whose collection submits: the periodic timer does not follow.
    Prepare({{"enableCoreDumps", "1"}}, ULV_TIMER_APCD_ID, 5);
    ULVTimerHandler();
    EXPECT_EQ(std::tuple(fake::tapi.submissions.size(), ulvState.apcdPending, TimerRequests()),
              std::tuple(1u, 1, std::string()));
}

}  // namespace
