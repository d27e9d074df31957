// SMS submission, the delivery confirmation and the roll-back of a failed crash report.
//
// Submission record (6500 bytes, cleared; numbers in host order):
//   0     1  protocol identifier: 0x32 (Internet electronic mail) in e-mail mode, else 0
//   2    42  service centre address, NUL-terminated
//   44   44  destination: the e-mail gateway in e-mail mode, else the destination address
//   88    4  0
//   92    2  text length in characters
//   94  2n+2 the text as 16-bit code units, one per character, then a 0 unit
//   6496  1  validity period byte for the period value 255
//
// Confirmation record (12 bytes, host order): sequence u32, unused u32, result u32 (0 sent).
#include <cstring>

#include "coredump/coredump.h"
#include "panics/panics.h"
#include "platform/tapi.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

void StoreHost16(uint8_t* at, uint16_t value) { std::memcpy(at, &value, sizeof value); }
void StoreHost32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }
uint32_t LoadHost32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The e-mail interworking text: the address, a blank and the report text, 160 characters in
// all at most; the report text loses its tail when the address is longer than 7 characters.
void FormEmailText(OutgoingSms& sms) {
    char report[SMS_TEXT_SIZE];
    std::memcpy(report, sms.text, sizeof report);
    const size_t address = strnlen(sms.destination, SMS_DESTINATION_SIZE - 1);
    const size_t keep = SMS_MAX_CHARACTERS - (address + 1);
    const size_t reportLength = strnlen(report, keep);
    std::memcpy(sms.text, sms.destination, address);
    sms.text[address] = ' ';
    std::memcpy(sms.text + address + 1, report, reportLength);
    sms.text[address + 1 + reportLength] = '\0';
    sms.text[SMS_MAX_CHARACTERS] = '\0';
}

bool CrashEntriesRemain() {
    const DaemonState& state = ulvState;
    return (state.bpPanicList != nullptr && state.bpSentCount != state.bpLoadedCount) ||
           (state.quelaPanicList != nullptr && state.quelaSentCount != state.quelaLoadedCount) ||
           (state.kernelPanic != nullptr && state.kernelPanicDone != 1);
}

// The time stamp of the entry sent before the failed one (`sentCount` entries went out).
uint32_t RollBackTimestamp(PanicRecord* list, const PanicSortEntry* index, uint8_t sentCount,
                           uint32_t restore, uint32_t current) {
    if (sentCount == 0) return current;  // nothing of this list went out: nothing to undo
    if (sentCount == 1) return restore;
    return ULVPanicEntry(list, index, static_cast<uint8_t>(sentCount - 2)).timestamp;
}

}  // namespace

uint16_t ULVWidenText(const char* text, uint16_t* out) {
    uint16_t count = 0;
    for (; text[count] != '\0'; ++count) out[count] = static_cast<unsigned char>(text[count]);
    out[count] = 0;
    return count;
}

int ULVGetValidityPeriod(uint8_t* validity) {
    const uint32_t period = SMS_VALIDITY_PERIOD;
    TAPI_SMS_ExpirePeriodToUINT8(&period, validity);
    return 0;
}

int ULVSubmitSms(OutgoingSms* sms) {
    DaemonState& state = ulvState;
    uint8_t record[TAPI_SMS_SUBMIT_RECORD_SIZE] = {};
    const bool email = sms->addressType == SMS_ADDRESS_TYPE_EMAIL;
    if (email) FormEmailText(*sms);

    StoreHost32(record + SUBMIT_RESERVED_OFFSET, 0);
    uint16_t units[SMS_TEXT_SIZE];
    sms->text[SMS_TEXT_SIZE - 1] = '\0';
    uint16_t count = ULVWidenText(sms->text, units);
    for (uint16_t i = 0; i <= count; ++i)
        StoreHost16(record + SUBMIT_TEXT_OFFSET + 2 * i, units[i]);
    StoreHost16(record + SUBMIT_TEXT_LENGTH_OFFSET, count);
    ULVGetValidityPeriod(record + SUBMIT_VALIDITY_OFFSET);

    const char* destination = email ? state.emailGatewayAddress : sms->destination;
    size_t destinationLength = strnlen(destination, SMS_DESTINATION_SIZE);
    if (destinationLength >= SUBMIT_DESTINATION_SIZE) {
        // A number cut to fit the field would send the report to somebody else: refuse it,
        // as the library would refuse an unusable submission.
        ULV_LOG("Destination address too long - %s\n\r", destination);
        ULV_TRACE("Destination address too long - %s\n", destination);
        return -1;
    }
    std::memcpy(record + SUBMIT_DESTINATION_OFFSET, destination, destinationLength);
    record[SUBMIT_PROTOCOL_ID_OFFSET] = email ? SMS_PROTOCOL_ID_EMAIL : 0;
    std::memcpy(record + SUBMIT_SERVICE_CENTRE_OFFSET, state.serviceCentreAddress,
                strnlen(state.serviceCentreAddress, SUBMIT_SERVICE_CENTRE_SIZE - 1));

    int result = 0;
    if (TAPI_SMS_SendSmUnblockMode(record, &state.lastSentSequence) != 0) {
        ULV_LOG("TAPI_SMS_SendSmUnblockMode failure\n\r");
        ULV_TRACE("TAPI_SMS_SendSmUnblockMode failure, Seq %d\n", state.lastSentSequence);
        result = -1;
    }
    ULV_TRACE("Report send seq: %d\n", state.lastSentSequence);
    state.smsInFlight = result == 0 ? 1 : 0;
    return result;
}

void ULVStartPeriodicTimer() {
    ULV_LOG("Some thing was sent, to begin periodic timer\n\r");
    ULVStartTimer(ULV_TIMER_PERIODIC_ID, PERIODIC_TIMER_SECONDS);
    ulvState.pendingReports |= PENDING_PERIODIC;
}

void ULVOnSendConfirmation(const uint8_t* data, uint16_t length) {
    DaemonState& state = ulvState;
    if (length < CONFIRMATION_SIZE) {
        // No result field: like a confirmation of another submission, it changes nothing.
        // The periodic timer started with the submission keeps the schedule going.
        ULV_TRACE("ERR: CNF of %d bytes carries no result\n", length);
        return;
    }
    const uint32_t sequence = LoadHost32(data);
    const uint32_t result = LoadHost32(data + 8);
    ULV_TRACE("INFO: MSGSend CNF Seq %d, Res %d\n", sequence, result);
    if (sequence != state.lastSentSequence) {
        ULV_TRACE("ERR: Diffent Recived CNF Seq %d, Sent Seq Num %d\n", sequence,
                  state.lastSentSequence);
        return;
    }
    // The telephony service hands every client's confirmations to every subscriber, and the
    // sequence number is only ours while our submission waits for its answer.
    if (state.smsInFlight == 0) {
        ULV_TRACE("ERR: CNF Seq %d with no report in flight\n", sequence);
        return;
    }
    state.smsInFlight = 0;

    if (result != 0) {
        if (state.apcdPending != 0) {
            ++state.apcdFailures;
            state.apcdPending = 0;
        } else {
            ULVOnSendFailure();
            ULVSetFlexConfig();
        }
        ULVStartPeriodicTimer();
        return;
    }

    if (state.apcdPending == 1) {
        ULV_LOG("Starting timer for remaining APCD");
        ULV_TRACE("Starting timer for remaining APCD \n");
        state.apcdPending = 0;
        state.apcdFailures = 0;
        ULVDeleteFile(state.apcdReportedPath);
        ULVStartTimer(ULV_TIMER_APCD_ID, state.reportDelay);
        return;
    }

    ULVSetFlexConfig();
    if (CrashEntriesRemain()) {
        ULV_LOG("Starting timer for remaining panics");
        ULVStartTimer(ULV_TIMER_PANIC_ID, state.reportDelay);
        state.pendingReports |= PENDING_CRASH;
    } else {
        ULVStartTimer(ULV_TIMER_APCD_ID, state.reportDelay);
    }
    // At most one finished list is released per confirmation.
    if (state.bpPanicList != nullptr && state.bpSentCount == state.bpLoadedCount)
        ULVDeleteBpPanics();
    else if (state.quelaPanicList != nullptr && state.quelaSentCount == state.quelaLoadedCount)
        ULVDeleteQuelaPanics();
    else if (state.kernelPanic != nullptr && state.kernelPanicDone == 1)
        ULVReleaseKernelPanic();
}

void ULVOnSendFailure() {
    DaemonState& state = ulvState;
    FlexConfig& config = state.flexConfig;
    ULV_TRACE("Recd. failure for SMS Send\n");
    const uint8_t total = state.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET];
    config.ulv_last_num_panics =
        static_cast<uint8_t>(total - state.bpNewCount + state.bpSentCount - 1);

    if (state.bpPanicList != nullptr) {
        config.ulv_last_panic_timestamp =
            RollBackTimestamp(state.bpPanicList, state.bpSortIndex, state.bpSentCount,
                              state.bpRestoreTimestamp, config.ulv_last_panic_timestamp);
    } else if (state.quelaPanicList != nullptr) {
        config.ulv_last_ap_quela_panic_timestamp = RollBackTimestamp(
            state.quelaPanicList, state.quelaSortIndex, state.quelaSentCount,
            state.quelaRestoreTimestamp, config.ulv_last_ap_quela_panic_timestamp);
    } else if (state.kernelPanicDone == 1 && state.kernelPanic != nullptr) {
        config.ulv_last_ap_kernel_timestamp = state.kernelRestoreTimestamp;
    }

    ULVDeleteBpPanics();
    ULVDeleteQuelaPanics();
    ULVReleaseKernelPanic();
}
