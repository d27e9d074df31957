// The one place a report leaves the daemon: the radio-state gate, the choice of report, the
// message and its text.
#include <cstring>

#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"
#include "state/trace.h"

int ULVSmsSend() {
    DaemonState& state = ulvState;
    if (state.inService != 1 || state.timerExpired != 1 || state.validPlmn != 1 ||
        state.sqState != 1) {
        ULV_TRACE("In SmsSend; insevice = %d, timer expired = %d, valid plmn= %d, sqstate = %d\n\n",
                  state.inService, state.timerExpired, state.validPlmn, state.sqState);
        return 0;
    }
    ULV_LOG("in-service & timer expired & valid plmn\n\r");

    uint8_t body[REPORT_MESSAGE_MAX];
    uint8_t bodyLength = 0;
    uint8_t kind;
    if ((state.pendingReports & PENDING_SW_CHANGE) != 0) {
        ULV_TRACE("SW_FLEX report is ready to send\n");
        ULVBuildSwChangeBody();
        state.pendingReports &= ~PENDING_SW_CHANGE;
        std::memcpy(body, state.swChangeBody, SW_CHANGE_BODY_SIZE);
        bodyLength = SW_CHANGE_BODY_SIZE;
        kind = REPORT_KIND_SW_CHANGE;
        ULV_LOG("SW_Flex Change Report Body:\n\r");
        ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_SW_CHANGE_BODY, state.swChangeBody,
                  SW_CHANGE_BODY_SIZE);
    } else if ((state.pendingReports & PENDING_CRASH) != 0) {
        ULVBuildCrashBody(&bodyLength, body);
        kind = REPORT_KIND_CRASH;
        state.pendingReports &= ~PENDING_CRASH;
    } else if ((state.pendingReports & PENDING_PERIODIC) != 0) {
        ULV_LOG("PERIODIC report\n\r");
        ULV_TRACE("PERIODIC report is ready to send\n");
        ULVBuildPeriodicBody();
        state.pendingReports &= ~PENDING_PERIODIC;
        bodyLength = PERIODIC_BODY_SIZE;
        std::memcpy(body, state.periodicBody, PERIODIC_BODY_SIZE);
        ULVToWireOrder(body, 2);  // completes the call-time field
        for (size_t offset = 4; offset < PERIODIC_GENERIC_DATA_OFFSET; offset += 4)
            ULVToWireOrder(body + offset, 4);
        ULV_LOG("Periodic Report Body Before Converted:\n\r");
        ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_PERIODIC_BODY, state.periodicBody,
                  PERIODIC_BODY_SIZE);
        ULV_LOG("Periodic Report Body After Converted:\n\r");
        ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_PERIODIC_BODY, body, PERIODIC_BODY_SIZE);
        kind = REPORT_KIND_PERIODIC;
        ULV_TRACE("Sending ULV periodic report\n");
    } else {
        // Only possible before the start-up decision has queued anything: nothing to send,
        // and the flags stay as they are for a later attempt.
        return 0;
    }

    uint8_t message[REPORT_MESSAGE_MAX] = {};
    uint8_t header[REPORT_HEADER_SIZE];
    ULVFinishHeader(header);
    std::memcpy(message, header, REPORT_HEADER_SIZE);
    std::memcpy(message + REPORT_HEADER_SIZE, body, bodyLength);
    const uint8_t messageLength = static_cast<uint8_t>(REPORT_HEADER_SIZE + bodyLength);
    ULV_LOG("Raw Data Buf:\n\r");
    ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_RAW_MESSAGE, message, messageLength);

    OutgoingSms& sms = state.outgoingSms;
    sms.textLength = ULVEncodeText(sms.text, message, messageLength);
    ULV_TRACE("Encoded Buf: %s\n", sms.text);

    int result = ULVSubmitSms(&sms);
    ULVAfterSend(result, kind);
    state.timerExpired = 0;
    return 0;
}

void ULVAfterSend(int result, uint8_t kind) {
    if (result == -1 && kind == REPORT_KIND_CRASH) {
        ULVOnSendFailure();
        ULVStartPeriodicTimer();
        return;
    }
    if (kind != REPORT_KIND_CRASH) ULVSetFlexConfig();
    ULVStartPeriodicTimer();
}
