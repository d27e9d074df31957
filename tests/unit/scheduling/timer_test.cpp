#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"

namespace {

using TimerTest = DaemonTest;
using Texts = std::vector<std::string>;

// One device request as the fake saw it: the request and the record it carried.
struct Request {
    unsigned long request;
    RtcSwTimer record;
};

bool operator==(const RtcSwTimer& a, const RtcSwTimer& b) {
    return a.hours == b.hours && a.minutes == b.minutes && a.seconds == b.seconds &&
           a.reserved == b.reserved;
}

bool operator==(const Request& a, const Request& b) {
    return a.request == b.request && a.record == b.record;
}

void PrintTo(const Request& r, std::ostream* out) {
    *out << (r.request == RTC_SW_START ? "START " : r.request == RTC_SW_DELETE ? "DELETE " : "?")
         << "{" << r.record.hours << "," << r.record.minutes << "," << r.record.seconds << ","
         << r.record.reserved << "}";
}

std::vector<Request> Requests() {
    std::vector<Request> seen;
    for (const fake::RtcRequest& r : fake::rtc.requests) {
        EXPECT_TRUE(r.hasRecord);
        seen.push_back({r.request, r.record});
    }
    return seen;
}

Request Start(uint32_t h, uint32_t m, uint32_t s) { return {RTC_SW_START, {h, m, s, 0}}; }
Request Delete(uint32_t h, uint32_t m, uint32_t s) { return {RTC_SW_DELETE, {h, m, s, 0}}; }

TEST_F(TimerTest, RequestNumbersAreTheDeviceIoctlEncodings) {
    // (direction << 30) | (size << 16) | (type << 8) | number; write direction is 1.
    EXPECT_EQ(RTC_SW_START, (1ul << 30) | (4ul << 16) | ('q' << 8) | 1);
    EXPECT_EQ(RTC_SW_DELETE, (1ul << 30) | (4ul << 16) | ('q' << 8) | 3);
    EXPECT_EQ(RTC_SW_ACK, static_cast<unsigned long>(('q' << 8) | 4));
    EXPECT_EQ(RTC_SW_RELEASE, static_cast<unsigned long>(('q' << 8) | 5));
}

TEST_F(TimerTest, IntervalIsSplitIntoHoursMinutesAndSeconds) {
    struct Case {
        uint32_t seconds;
        RtcSwTimer record;
    };
    const Case cases[] = {
        {0, {0, 0, 0, 0}},          {15, {0, 0, 15, 0}},      {59, {0, 0, 59, 0}},
        {60, {0, 1, 0, 0}},         {900, {0, 15, 0, 0}},     {3599, {0, 59, 59, 0}},
        {3600, {1, 0, 0, 0}},       {3725, {1, 2, 5, 0}},     {86399, {23, 59, 59, 0}},
        {0xFFFFFFFF, {1193046, 28, 15, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_TRUE(ULVTimerRecordFromSeconds(c.seconds) == c.record);
    }
}

TEST_F(TimerTest, StartsAndRestartsIssueTheRequestsInOrder) {
    // A step starts (id, seconds), or deletes when id is 0.
    struct Step {
        uint8_t id;
        uint32_t seconds;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<Request> requests;
        Texts lastStepLog;
        uint8_t currentTimerId;
    };
    const Case cases[] = {
        {"first start of 900",
         {{ULV_TIMER_PERIODIC_ID, 900}},
         {Start(0, 15, 0)},
         {"Timer firing for the first time\n\r", "ULV Start timer now for time 900\n\r",
          "Timer firing for the first time valuse are 0 15 0\n\r"},
         ULV_TIMER_PERIODIC_ID},
        {"3725 s on an idle device",
         {{ULV_TIMER_DELAY_ID, 3725}},
         {Start(1, 2, 5)},
         {"Timer firing for the first time\n\r", "ULV Start timer now for time 3725\n\r",
          "Timer firing for the first time valuse are 1 2 5\n\r"},
         ULV_TIMER_DELAY_ID},
        {"900 again while 900 is armed: relabelled only",
         {{ULV_TIMER_PERIODIC_ID, 900}, {ULV_TIMER_APCD_ID, 900}},
         {Start(0, 15, 0)},
         {"Timer firing NOT for the first time\n\r", "ULV Start timer now for time 900\n\r",
          "Old time valuse are 0 15 0\n\r", "New time valuse are 0 15 0\n\r",
          "Timers the same no need to delete !\n\r"},
         ULV_TIMER_APCD_ID},
        {"15 while 900 is armed: the new one armed before the old one goes",
         {{ULV_TIMER_PERIODIC_ID, 900}, {ULV_TIMER_GATEWAY_ID, 15}},
         {Start(0, 15, 0), Start(0, 0, 15), Delete(0, 15, 0)},
         {"Timer firing NOT for the first time\n\r", "ULV Start timer now for time 15\n\r",
          "Old time valuse are 0 15 0\n\r", "New time valuse are 0 0 15\n\r",
          "Timesr not the same so resetting to new timer values\n\r"},
         ULV_TIMER_GATEWAY_ID},
        {"delay of 15 while the gateway retry (15) is armed",
         {{ULV_TIMER_GATEWAY_ID, 15}, {ULV_TIMER_DELAY_ID, 15}},
         {Start(0, 0, 15)},
         {"Timer firing NOT for the first time\n\r", "ULV Start timer now for time 15\n\r",
          "Old time valuse are 0 0 15\n\r", "New time valuse are 0 0 15\n\r",
          "Timers the same no need to delete !\n\r"},
         ULV_TIMER_DELAY_ID},
        {"a start after a successful delete takes the first-time branch",
         {{ULV_TIMER_PERIODIC_ID, 900}, {0, 0}, {ULV_TIMER_PANIC_ID, 900}},
         {Start(0, 15, 0), Delete(0, 15, 0), Start(0, 15, 0)},
         {"Timer firing for the first time\n\r", "ULV Start timer now for time 900\n\r",
          "Timer firing for the first time valuse are 0 15 0\n\r"},
         ULV_TIMER_PANIC_ID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        for (const Step& step : c.steps) {
            fake::aplog = {};
            if (step.id == 0)
                EXPECT_EQ(ULVDeleteTimer(), 0);
            else
                ULVStartTimer(step.id, step.seconds);
        }
        EXPECT_EQ(Requests(), c.requests);
        EXPECT_EQ(fake::aplog.Texts(), c.lastStepLog);
        EXPECT_EQ(ulvState.currentTimerId, c.currentTimerId);
        EXPECT_EQ(timerFirstTime, 0);
        // The armed record is the one of the last start request.
        RtcSwTimer lastStarted{};
        for (const Request& r : c.requests)
            if (r.request == RTC_SW_START) lastStarted = r.record;
        EXPECT_TRUE(ulvState.armedTimer == lastStarted);
    }
    EXPECT_FALSE(Exists("zel_user/download/appwrite/ulvPanicInfo"));
}

TEST_F(TimerTest, EveryStartClearsTimerExpiredAndMarksTheTimerStarted) {
    // First start, a different interval, the same interval (no request at all).
    const uint32_t intervals[] = {900, 15, 15};
    size_t requests = 0;
    for (uint32_t seconds : intervals) {
        SCOPED_TRACE(seconds);
        ulvState.timerExpired = 1;
        ulvState.timerStarted = 0;
        ULVStartTimer(ULV_TIMER_DELAY_ID, seconds);
        EXPECT_EQ(ulvState.timerExpired, 0);
        EXPECT_EQ(ulvState.timerStarted, 1);
        EXPECT_GE(fake::rtc.requests.size(), requests);
        requests = fake::rtc.requests.size();
    }
    EXPECT_EQ(requests, 3u);  // 1 + 2 + 0
}

TEST_F(TimerTest, FailedStartRequestIsLoggedAndTheStateStillMovesOn) {
    fake::rtc.startResult = -5;
    ULVStartTimer(ULV_TIMER_PERIODIC_ID, 900);
    EXPECT_EQ(fake::aplog.Texts().back(), "ULV Start timer ioctl error = -5\n\r");
    EXPECT_EQ(timerFirstTime, 0);
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PERIODIC_ID);
    EXPECT_TRUE(ulvState.armedTimer == (RtcSwTimer{0, 15, 0, 0}));

    // The next start compares against that record and still removes it after its own failure.
    fake::aplog = {};
    ULVStartTimer(ULV_TIMER_DELAY_ID, 5);
    EXPECT_EQ(Requests(), (std::vector<Request>{Start(0, 15, 0), Start(0, 0, 5), Delete(0, 15, 0)}));
    EXPECT_EQ(fake::aplog.Texts().back(), "ULV Start timer ioctl error = -5\n\r");
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_DELAY_ID);
    EXPECT_TRUE(ulvState.armedTimer == (RtcSwTimer{0, 0, 5, 0}));
}

TEST_F(TimerTest, FailedDeleteInsideARestartIsLoggedAndTheNewTimerStays) {
    ULVStartTimer(ULV_TIMER_PERIODIC_ID, 900);
    fake::rtc.deleteResult = -7;
    fake::aplog = {};
    ULVStartTimer(ULV_TIMER_GATEWAY_ID, 15);
    EXPECT_EQ(Requests(), (std::vector<Request>{Start(0, 15, 0), Start(0, 0, 15), Delete(0, 15, 0)}));
    EXPECT_EQ(fake::aplog.Texts().back(), "Hardware delete timer error -7\n\r");
    EXPECT_TRUE(ulvState.armedTimer == (RtcSwTimer{0, 0, 15, 0}));
    EXPECT_EQ(timerFirstTime, 0);
    EXPECT_FALSE(Exists("zel_user/download/appwrite/ulvPanicInfo"));  // logged, not traced
}

TEST_F(TimerTest, DeleteRemovesTheArmedRecordAndLeavesItInPlace) {
    ULVStartTimer(ULV_TIMER_DELAY_ID, 3725);
    fake::aplog = {};
    EXPECT_EQ(ULVDeleteTimer(), 0);
    EXPECT_EQ(Requests(), (std::vector<Request>{Start(1, 2, 5), Delete(1, 2, 5)}));
    EXPECT_EQ(timerFirstTime, 1);
    EXPECT_TRUE(ulvState.armedTimer == (RtcSwTimer{1, 2, 5, 0}));
    EXPECT_TRUE(fake::aplog.records.empty());
}

TEST_F(TimerTest, FailedDeleteKeepsTheTimerCountedAsArmed) {
    ULVStartTimer(ULV_TIMER_PERIODIC_ID, 900);
    fake::rtc.deleteResult = -7;
    fake::aplog = {};
    EXPECT_EQ(ULVDeleteTimer(), -7);
    EXPECT_EQ(timerFirstTime, 0);
    EXPECT_EQ(fake::aplog.Texts(), Texts{"Hardware delete timer error -7\n\r"});
    EXPECT_EQ(TraceMessages(), Texts{"ULV DeleteTimer failed\n"});

    // So the next start of the same interval only relabels it.
    fake::rtc.requests.clear();
    ULVStartTimer(ULV_TIMER_APCD_ID, 900);
    EXPECT_TRUE(fake::rtc.requests.empty());
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_APCD_ID);
}

TEST_F(TimerTest, ZeroIntervalArmsOneSecond) {
    // A record of all zeros need not be armed by the device; the shortest interval is used.
    ULVStartTimer(ULV_TIMER_APCD_ID, 0);
    EXPECT_EQ(Requests(), std::vector<Request>{Start(0, 0, 1)});
    EXPECT_EQ(fake::aplog.Texts(), (Texts{"Timer firing for the first time\n\r",
                                          "ULV Start timer now for time 1\n\r",
                                          "Timer firing for the first time valuse are 0 0 1\n\r"}));
    // Zero again, or one, is then the armed interval: relabelled, no request.
    ULVStartTimer(ULV_TIMER_DELAY_ID, 0);
    ULVStartTimer(ULV_TIMER_PANIC_ID, 1);
    EXPECT_EQ(fake::rtc.requests.size(), 1u);
    EXPECT_EQ(ulvState.currentTimerId, ULV_TIMER_PANIC_ID);
}

TEST_F(TimerTest, AcknowledgeAndReleaseCarryNoRecord) {
    EXPECT_EQ(ULVAcknowledgeTimer(), 0);
    EXPECT_EQ(ULVReleaseTimer(), 0);
    ASSERT_EQ(fake::rtc.requests.size(), 2u);
    EXPECT_EQ(fake::rtc.requests[0].request, RTC_SW_ACK);
    EXPECT_FALSE(fake::rtc.requests[0].hasRecord);
    EXPECT_EQ(fake::rtc.requests[1].request, RTC_SW_RELEASE);
    EXPECT_FALSE(fake::rtc.requests[1].hasRecord);
}

}  // namespace
