// The core dump report: one per accepted core file, submitted at once, without the radio-state
// gate and the pending-report bitmap; its outcome goes into the core dump bookkeeping.
//
// Body, 48 bytes, packed (reports/report_layout.h names the offsets):
//   0  call time u32 | 4 file time u32 | 8 module id u32 | 12 task name (10, byte 21 NUL) |
//   22 library name (13, byte 34 NUL) | 35 pc offset u32, unaligned | 39 signal u8 |
//   40 pc u32 | 44 lr u32                      numbers in wire order, most significant first
// Example: call time 42, file time 0x65000000, task "mediaplayer", library "c.so", pc offset
// 0x1a2c, signal 11, pc 0x40001a2c, lr 0x40000f10:
//   00 00 00 2a  65 00 00 00  00 08 21 00
//   6d 65 64 69 61 70 6c 61 79 00                  "mediaplay", NUL
//   63 2e 73 6f 00 00 00 00 00 00 00 00 00         "c.so", NULs
//   00 00 1a 2c  0b  40 00 1a 2c  40 00 0f 10
#include <cstring>

#include "coredump/coredump.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

// The text of the longest message, 4 characters per 3 bytes, fits the outgoing SMS record.
static_assert((REPORT_MESSAGE_MAX + 2) / 3 * 4 < SMS_TEXT_SIZE);

// A number stored in host order at any offset, byte by byte; ULVToWireOrder converts it after.
void StoreHost32(uint8_t* at, uint32_t value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

int ULVAPCDSendReport(const CoreDumpRecord* record) {
    DaemonState& state = ulvState;
    ULV_TRACE("APCD report is ready to send\n");
    uint8_t body[CORE_DUMP_BODY_SIZE];
    uint8_t length = 0;
    ULVAPCDMakeReportBody(&length, body, record);
    ULVComposeCoreDumpReport(REPORT_TYPE_CRASH, body, length);
    if (ULVSubmitSms(&state.outgoingSms) == 0) {
        state.apcdPending = 1;
        state.timerExpired = 0;
        std::memset(state.apcdReportedPath, 0, sizeof state.apcdReportedPath);
        std::memcpy(state.apcdReportedPath, record->path,
                    strnlen(record->path, sizeof state.apcdReportedPath - 1));
        ULV_TRACE("Using unblocking call APCD %s is Sent\n", state.apcdReportedPath);
        return 0;
    }
    ++state.apcdFailures;
    ULV_TRACE("FAIL: APCD SMS Send\n");
    ULV_TRACE("FAIL: APCD Rpt send\n");
    return -1;
}

int ULVAPCDMakeReportBody(uint8_t* length, uint8_t* body, const CoreDumpRecord* record) {
    *length = CORE_DUMP_BODY_SIZE;
    std::memset(body, 0, CORE_DUMP_BODY_SIZE);
    if (ULVGetCallTime(body + BODY_CALL_TIME_OFFSET) != 0) ULV_LOG("Get the Call Time Failed\n\r");
    StoreHost32(body + CORE_FILE_TIME_OFFSET, record->fileTime);
    StoreHost32(body + CORE_MODULE_ID_OFFSET, record->moduleId);

    char* task = reinterpret_cast<char*>(body + CORE_TASK_NAME_OFFSET);
    char* library = reinterpret_cast<char*>(body + CORE_LIB_NAME_OFFSET);
    std::memcpy(task, record->taskName, CORE_TASK_NAME_FIELD);
    task[CORE_TASK_NAME_FIELD - 1] = '\0';
    std::memcpy(library, record->libName, CORE_LIB_NAME_FIELD);
    library[CORE_LIB_NAME_FIELD - 1] = '\0';

    StoreHost32(body + CORE_PC_OFFSET_OFFSET, record->pcOffset);
    ULVToWireOrder(body + CORE_PC_OFFSET_OFFSET, 4);
    body[CORE_SIGNAL_OFFSET] = record->signalNumber;
    StoreHost32(body + CORE_PC_OFFSET, record->pc);
    ULVToWireOrder(body + CORE_PC_OFFSET, 4);
    StoreHost32(body + CORE_LR_OFFSET, record->lr);
    ULVToWireOrder(body + CORE_LR_OFFSET, 4);
    ULV_TRACE(
        "APCD generic data: task:%s, lib:%s, offset:0x%08x, signr:%d, pc: 0x%08x, "
        "lr: 0x%08x\n\n",
        task, library, record->pcOffset, static_cast<int8_t>(record->signalNumber), record->pc,
        record->lr);
    ULVToWireOrder(body + CORE_FILE_TIME_OFFSET, 4);
    ULVToWireOrder(body + CORE_MODULE_ID_OFFSET, 4);
    ULVToWireOrder(body + BODY_CALL_TIME_OFFSET, 2);  // completes the call-time field
    return 0;
}

int ULVComposeCoreDumpReport(uint8_t reportType, const uint8_t* body, uint8_t bodyLength) {
    DaemonState& state = ulvState;
    if (bodyLength > REPORT_BODY_MAX) bodyLength = REPORT_BODY_MAX;
    uint8_t message[REPORT_MESSAGE_MAX] = {};
    state.reportHeader[REPORT_TYPE_OFFSET] = reportType;
    state.reportHeader[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
    ULVFinishHeader(message, /*announce=*/false);
    std::memcpy(message + REPORT_HEADER_SIZE, body, bodyLength);
    const uint8_t messageLength = static_cast<uint8_t>(REPORT_HEADER_SIZE + bodyLength);
    ULVLogBin(APLOG_LEVEL_BIN, APLOG_ID_RAW_MESSAGE, message, messageLength);

    OutgoingSms& sms = state.outgoingSms;
    sms.textLength = ULVEncodeText(sms.text, message, messageLength);
    sms.text[sms.textLength] = '\0';
    ULV_TRACE("Encoded Buf: %s\n", sms.text);
    return 0;
}
