// The daemon of the scheduling tests, and the timer device requests in order as short text
// ("start 0,15,0,0; delete 0,0,5,0": hours, minutes, seconds, reserved).
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "daemon_fixture.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

class SchedulingTest : public DaemonTest {
  protected:
    // A fresh daemon: configuration read, devices connected, radio favourable, nothing pending;
    // timer `armedId` armed for `armedSeconds` when not 0, its requests forgotten.
    void Prepare(const std::map<std::string, std::string>& config = {}, uint8_t armedId = 0,
                 uint32_t armedSeconds = 0) {
        ResetProcessState();
        WriteConfig(config);
        ASSERT_EQ(ULVGetFlexConfig(), 0);
        ULVDetectByteOrder();
        ConnectDevices();
        ulvState.startupStage = 2;
        ulvState.lastUptimeSample = static_cast<uint32_t>(fake::clock.uptime);
        ulvState.inService = ulvState.validPlmn = ulvState.sqState = 1;
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        ulvState.pendingReports = 0;
        if (armedId != 0) ULVStartTimer(armedId, armedSeconds);
        fake::rtc.requests.clear();
        fake::aplog.records.clear();
    }
};

inline std::string TimerRequests() {
    std::string text;
    for (const fake::RtcRequest& r : fake::rtc.requests) {
        char line[64];
        std::snprintf(line, sizeof line, "%s%s %u,%u,%u,%u", text.empty() ? "" : "; ",
                      r.request == RTC_SW_START ? "start" : "delete", r.record.hours,
                      r.record.minutes, r.record.seconds, r.record.reserved);
        text += line;
    }
    return text;
}
