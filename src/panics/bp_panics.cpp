// The baseband panic logs.
//
// A log is a sequence of records, all numbers big-endian:
//   record := header(43) data(data length) rest(record length - 43 - data length)
//   off size
//    0   2  magic 0xB5C7
//    2   2  record length, header included
//    4   8  (not interpreted)
//   12   4  panic id
//   16   4  panic time stamp
//   20  19  (not interpreted)
//   39   4  panic data length; the first 36 data bytes are kept
// Example, one record of 47 bytes with 4 data bytes:
//   b5 c7 00 2f | 00*8 | 00 00 00 02 | 11 22 33 44 | 00*19 | 00 00 00 04 | de ad be ef
//   magic         length 47   id 2       time stamp 0x11223344   data length 4   data
//
// A panic is new when its time stamp is greater than ulv_last_panic_timestamp. The passes are
// those of panic_file.cpp.
#include "panics/panic_file.h"
#include "panics/panics.h"

extern const PanicFileLayout BP_PANIC_LAYOUT;
constexpr PanicFileLayout BP_PANIC_LAYOUT = {
    .name = "BP",
    .headerSize = 43,
    .lengthAt = 2,
    .idAt = 12,
    .timestampAt = 16,
    .dataLengthAt = 39,
    .paths = {BP_PANIC_LOG1_PATH, BP_PANIC_LOG2_PATH},
    .countTraces = {"BP: There are %d new panics of %d total panics from file "
                    "/zellocal/panic/bp_panic.log1\n",
                    "BP: There are %d new panics of %d total panics from file "
                    "/zellocal/panic/bp_panic.log2\n"},
    .unreadableLogs = {"Unable to read /zellocal/panic/bp_panic.log1\n\r",
                       "Unable to read /zellocal/panic/bp_panic.log2\n\r"},
    .unreadableTraces = {"Unable to read /zellocal/panic/bp_panic.log1\n",
                         "Unable to read /zellocal/panic/bp_panic.log2\n"},
    .countEndTrace = nullptr,
    .traceBlockRead = false,
    .loadEndLog = "Error in reading\n\r",
    .loadEndTrace = "Error in reading \n",
    .traceRecords = true,
    .wrongMagicTrace = "Wrong Header : 0x%x\n",
    .wrongMagicForm = MagicTrace::Word,
    .keepsTotalInHeader = true,
    .list = &DaemonState::bpPanicList,
    .sortIndex = &DaemonState::bpSortIndex,
    .newCount = &DaemonState::bpNewCount,
    .loadedCount = &DaemonState::bpLoadedCount,
    .sentCount = &DaemonState::bpSentCount,
    .restoreTimestamp = &DaemonState::bpRestoreTimestamp,
    .lastReported = &FlexConfig::ulv_last_panic_timestamp,
};
static_assert(PanicLayoutFits(BP_PANIC_LAYOUT));

void ULVCountBpPanics(int fd, uint8_t* newCount, uint8_t* totalCount) {
    ULVCountPanicRecords(BP_PANIC_LAYOUT, fd, newCount, totalCount);
}
void ULVLoadBpPanics(int fd, uint8_t* fillCount, uint8_t capacity) {
    ULVLoadPanicRecords(BP_PANIC_LAYOUT, fd, fillCount, capacity);
}
void ULVBuildBpSortIndex() { ULVBuildPanicSortIndex(BP_PANIC_LAYOUT); }
void ULVReadBpPanics() { ULVReadPanicFiles(BP_PANIC_LAYOUT); }
void ULVDeleteBpPanics() { ULVDeletePanicList(BP_PANIC_LAYOUT); }
