// Every expiry of the hardware timer, dispatched by the logical timer that is armed.
#include "coredump/coredump.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/init.h"
#include "state/trace.h"

namespace {

// Seconds left in the reporting period, as a signed number (negative when overdue).
int32_t SecondsLeftInPeriod() {
    const FlexConfig& config = ulvState.flexConfig;
    uint32_t elapsed = config.ulv_cummulative_uptime - config.ulv_last_preiodic_report_timestamp;
    return static_cast<int32_t>(uint32_t{config.ulv_report_duration} * 3600u - elapsed);
}

void OnPeriodicExpiry() {
    DaemonState& state = ulvState;
    ULV_LOG("PERIODIC ID\n\r");
    if (SecondsLeftInPeriod() > static_cast<int32_t>(PERIODIC_TIMER_SECONDS)) {
        ULVAccountUptimeTick();
        ULVStartPeriodicTimer();  // the armed 900-second timer stays armed
        if (state.flexConfig.enableCoreDumps == 1) {
            state.apcdAttempts = 0;
            ULVAPCDCollect();
        }
    } else {
        // The periodic report falls due in this tick: the delay timer takes over.
        ULVAccountUptimeTick();
        state.pendingReports |= PENDING_PERIODIC;
        ULVStartTimer(ULV_TIMER_DELAY_ID, state.reportDelay);
        ULV_TRACE("Periodic timer resetting ....\n");
        ULV_TRACE("In SmsSend; insevice = %d, timer expired = %d, valid plmn = %d, sqstate = %d\n\n",
                  state.inService, state.timerExpired, state.validPlmn, state.sqState);
    }
    ULVCheckTraceFile();
}

void OnApcdExpiry() {
    DaemonState& state = ulvState;
    if (state.flexConfig.enableCoreDumps == 1) {
        state.apcdPending = 0;
        ULVAPCDCollect();
    }
    if (state.apcdPending == 0) {
        ULV_TRACE("Schedule periodic Timer\n");
        ULVStartPeriodicTimer();
    }
}

}  // namespace

void ULVTimerHandler() {
    DaemonState& state = ulvState;
    ULV_TRACE("In ULV Timer Handler timer id = %d\n", state.currentTimerId);
    state.timerExpired = 1;
    switch (state.currentTimerId) {
        case ULV_TIMER_DELAY_ID:
            ULV_LOG("DELAY ID\n\r");
            ULV_TRACE("ULV_TIMER_DELAY_ID :Calling ULV SmsSend()\n");
            state.timerStarted = 0;
            ULVSmsSend();
            if (state.timerStarted == 0) ULVDeleteTimer();  // nothing went out
            break;
        case ULV_TIMER_PERIODIC_ID:
            OnPeriodicExpiry();
            break;
        case ULV_TIMER_PANIC_ID:
            ULV_LOG("ULV_TIMER_PANIC_ID :Calling ULV SmsSend()\n\r");
            state.timerStarted = 0;
            ULVSmsSend();
            if (state.timerStarted == 0) {
                ULV_LOG("Timer not ser calling DeleteTimer\n\r");
                ULVDeleteTimer();
            }
            break;
        case ULV_TIMER_GATEWAY_ID:
            ULVGatewayRetry();
            break;
        case ULV_TIMER_APCD_ID:
            OnApcdExpiry();
            break;
        default:
            ULV_LOG("Unexpected Timer ID %d\n\r", state.currentTimerId);
            break;
    }
}

void ULVGatewayRetry() {
    DaemonState& state = ulvState;
    if (gatewayState == GATEWAY_STATE_CONFIRMED) return;
    state.timerStarted = 0;
    if (state.gatewayRetries > GATEWAY_RETRY_LIMIT - 1) {
        gatewayState = GATEWAY_STATE_GIVE_UP;
    } else {
        ULV_LOG("Checking Email Gateway and service center is available or not");
        gatewayState = ULVCheckGateway();
        ++state.gatewayRetries;
    }
    if (state.timerStarted == 0) {
        ULV_LOG("Timer not ser calling DeleteTimer");
        ULVDeleteTimer();
    }
}
