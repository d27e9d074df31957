// Crash report bodies: one panic entry per report, all BP panics oldest first, then the
// QUELA panics, then the kernel panic.
#include <cstring>

#include "panics/panic_record.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

void MarkCrashHeader() {
    ulvState.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_CRASH;
    ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
}

// The record in wire order: the call-time field completed, time stamp and id converted, the
// data as it is.
void RecordToBody(const PanicRecord& record, uint8_t* body) {
    std::memcpy(body + BODY_CALL_TIME_OFFSET, record.callTime, sizeof record.callTime);
    std::memcpy(body + CRASH_TIMESTAMP_OFFSET, &record.timestamp, 4);
    std::memcpy(body + CRASH_ID_OFFSET, &record.id, 4);
    std::memcpy(body + CRASH_DATA_OFFSET, record.data, PANIC_DATA_SIZE);
    ULVToWireOrder(body + BODY_CALL_TIME_OFFSET, 2);
    ULVToWireOrder(body + CRASH_TIMESTAMP_OFFSET, 4);
    ULVToWireOrder(body + CRASH_ID_OFFSET, 4);
}

void FillCallTime(PanicRecord& record, bool traceFailure) {
    if (ULVGetCallTime(record.callTime) != 0) {
        ULV_LOG("Get the Call Time Failed\n\r");
        if (traceFailure) ULV_TRACE("Get the Call Time Failed\n");
    }
}

}  // namespace

void ULVBuildBpPanicBody(uint8_t* length, uint8_t* body) {
    DaemonState& state = ulvState;
    MarkCrashHeader();
    *length = CRASH_BODY_SIZE;
    PanicRecord& record = ULVPanicEntry(state.bpPanicList, state.bpSortIndex, state.bpSentCount);
    FillCallTime(record, /*traceFailure=*/true);
    RecordToBody(record, body);
    const uint8_t total = state.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET];
    state.flexConfig.ulv_last_num_panics =
        static_cast<uint8_t>(total - state.bpNewCount + state.bpSentCount + 1);
    state.flexConfig.ulv_last_panic_timestamp = record.timestamp;
    ++state.bpSentCount;
}

void ULVBuildQuelaPanicBody(uint8_t* length, uint8_t* body) {
    DaemonState& state = ulvState;
    MarkCrashHeader();
    *length = CRASH_BODY_SIZE;
    PanicRecord& record =
        ULVPanicEntry(state.quelaPanicList, state.quelaSortIndex, state.quelaSentCount);
    FillCallTime(record, /*traceFailure=*/true);
    RecordToBody(record, body);
    state.flexConfig.ulv_last_ap_quela_num_panics =
        static_cast<uint32_t>(state.quelaNewCount - state.quelaSentCount + 1);
    state.flexConfig.ulv_last_ap_quela_panic_timestamp = record.timestamp;
    ++state.quelaSentCount;
}

void ULVBuildKernelPanicBody(uint8_t* length, uint8_t* body) {
    DaemonState& state = ulvState;
    MarkCrashHeader();
    *length = CRASH_BODY_SIZE;
    PanicRecord& record = *state.kernelPanic;
    FillCallTime(record, /*traceFailure=*/false);
    RecordToBody(record, body);
    char pc[2 * KERNEL_PANIC_PC_SIZE + 1];
    ULVFormatProgramCounter(record.data, pc);
    ULV_TRACE("PC is %s\n\n", pc);
    state.flexConfig.ulv_last_ap_kernel_timestamp = record.timestamp;
    state.kernelPanicDone = 1;
}

void ULVBuildCrashBody(uint8_t* length, uint8_t* body) {
    const DaemonState& state = ulvState;
    // What is left is judged by the records loaded, never by the counted figure.
    if (state.bpLoadedCount != 0 && state.bpSentCount != state.bpLoadedCount &&
        state.bpPanicList != nullptr) {
        ULVBuildBpPanicBody(length, body);
        ULV_TRACE("BP panic report is ready to send\n");
    } else if (state.quelaLoadedCount != 0 && state.quelaSentCount != state.quelaLoadedCount &&
               state.quelaPanicList != nullptr) {
        ULVBuildQuelaPanicBody(length, body);
        ULV_TRACE("QUELA panic report is ready to send\n");
    } else if (state.kernelPanic != nullptr) {
        ULVBuildKernelPanicBody(length, body);
        ULV_TRACE("Kernel Panic report is ready to send\n");
    }
}
