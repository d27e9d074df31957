// The one hardware timer: started, relabelled and deleted only through these operations.
#include <cstring>

#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/trace.h"

RtcSwTimer ULVTimerRecordFromSeconds(uint32_t seconds) {
    RtcSwTimer record{};
    record.hours = seconds / 3600;
    record.minutes = (seconds % 3600) / 60;
    record.seconds = (seconds % 3600) % 60;
    record.reserved = 0;
    return record;
}

void ULVStartTimer(uint8_t id, uint32_t seconds) {
    // A report delay of 0 would give a record of all zeros, which the device need not arm:
    // the schedule would then wait for an expiry that never comes. The shortest interval the
    // record can hold, 1 second, is armed instead.
    if (seconds == 0) seconds = 1;
    DaemonState& state = ulvState;
    state.timerStarted = 1;

    if (timerFirstTime == 1) {
        ULV_LOG("Timer firing for the first time\n\r");
        timerFirstTime = 0;
        state.timerExpired = 0;
        ULV_LOG("ULV Start timer now for time %d\n\r", seconds);
        state.currentTimerId = id;
        state.armedTimer = ULVTimerRecordFromSeconds(seconds);
        ULV_LOG("Timer firing for the first time valuse are %d %d %d\n\r", state.armedTimer.hours,
                state.armedTimer.minutes, state.armedTimer.seconds);
        int result = RtcSwRequest(state.timerFd, RTC_SW_START, &state.armedTimer);
        if (result != 0) ULV_LOG("ULV Start timer ioctl error = %d\n\r", result);
        return;
    }

    ULV_LOG("Timer firing NOT for the first time\n\r");
    RtcSwTimer old = state.armedTimer;
    state.timerExpired = 0;
    ULV_LOG("ULV Start timer now for time %d\n\r", seconds);
    state.currentTimerId = id;
    ULV_LOG("Old time valuse are %d %d %d\n\r", old.hours, old.minutes, old.seconds);
    state.armedTimer = ULVTimerRecordFromSeconds(seconds);
    ULV_LOG("New time valuse are %d %d %d\n\r", state.armedTimer.hours, state.armedTimer.minutes,
            state.armedTimer.seconds);
    if (std::memcmp(&old, &state.armedTimer, sizeof old) == 0) {
        // The armed timer goes on and its next expiry is served under the new identifier.
        ULV_LOG("Timers the same no need to delete !\n\r");
        return;
    }
    ULV_LOG("Timesr not the same so resetting to new timer values\n\r");
    int result = RtcSwRequest(state.timerFd, RTC_SW_START, &state.armedTimer);
    if (result != 0) ULV_LOG("ULV Start timer ioctl error = %d\n\r", result);
    result = RtcSwRequest(state.timerFd, RTC_SW_DELETE, &old);
    if (result != 0) ULV_LOG("Hardware delete timer error %d\n\r", result);
}

int ULVDeleteTimer() {
    int result = RtcSwRequest(ulvState.timerFd, RTC_SW_DELETE, &ulvState.armedTimer);
    if (result != 0) {
        ULV_LOG("Hardware delete timer error %d\n\r", result);
        ULV_TRACE("ULV DeleteTimer failed\n");
        return result;
    }
    timerFirstTime = 1;
    return result;
}

int ULVAcknowledgeTimer() { return RtcSwRequest(ulvState.timerFd, RTC_SW_ACK, nullptr); }

int ULVReleaseTimer() { return RtcSwRequest(ulvState.timerFd, RTC_SW_RELEASE, nullptr); }
