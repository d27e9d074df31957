// The QUELA panic blocks.
//
// A block file is a sequence of records, all numbers big-endian:
//   record := header(71) data(data length) rest(record length - 71 - data length)
//   off size
//    0   1  magic byte 0xB5
//    1   1  magic byte 0xC7
//    2   2  record length, header included
//    4   8  (not interpreted)
//   12   4  panic id
//   16   4  panic time stamp
//   20  47  (not interpreted)
//   67   4  panic data length; the first 36 data bytes are kept
// Example, one record of 73 bytes with 2 data bytes:
//   b5 c7 00 49 | 00*8 | 00 00 01 02 | 00 00 10 00 | 00*47 | 00 00 00 02 | ca fe
//   magic         length 73   id 0x102   time stamp 0x1000   data length 2   data
//
// A panic is new when its time stamp is greater than ulv_last_ap_quela_panic_timestamp. The
// total number of records is counted and traced but not kept. The passes are those of
// panic_file.cpp.
#include "panics/panic_file.h"
#include "panics/panics.h"

extern const PanicFileLayout QUELA_PANIC_LAYOUT;
constexpr PanicFileLayout QUELA_PANIC_LAYOUT = {
    .name = "QUELA",
    .headerSize = 71,
    .lengthAt = 2,
    .idAt = 12,
    .timestampAt = 16,
    .dataLengthAt = 67,
    .paths = {QUELA_BLOCK_A_PATH, QUELA_BLOCK_B_PATH},
    .countTraces = {"QUELA: There are %d new panics of %d total panics from file  "
                    "/zellocal/panic/qupanic_block.a\n",
                    "QUELA: There are %d new panics of %d total panics from file "
                    "/zellocal/panic/qupanic_block.b\n"},
    .unreadableLogs = {"Unable to read /zellocal/panic/qupanic_block.a\n\r",
                       "Unable to read /zellocal/panic/qupanic_block.b\n\r"},
    .unreadableTraces = {"Unable to read /zellocal/panic/qupanic_block.a\n",
                         "Unable to read /zellocal/panic/qupanic_block.b\n"},
    .countEndTrace = "Error in reading\n",
    .traceBlockRead = true,
    .loadEndLog = "Error in reading file\n\r",
    .loadEndTrace = "Error in reading file\n",
    .traceRecords = false,
    .wrongMagicTrace = "Header of this block is wrong : %x%x!!!\n",
    .wrongMagicForm = MagicTrace::TwoBytes,
    .keepsTotalInHeader = false,
    .list = &DaemonState::quelaPanicList,
    .sortIndex = &DaemonState::quelaSortIndex,
    .newCount = &DaemonState::quelaNewCount,
    .loadedCount = &DaemonState::quelaLoadedCount,
    .sentCount = &DaemonState::quelaSentCount,
    .restoreTimestamp = &DaemonState::quelaRestoreTimestamp,
    .lastReported = &FlexConfig::ulv_last_ap_quela_panic_timestamp,
};
static_assert(PanicLayoutFits(QUELA_PANIC_LAYOUT));

void ULVCountQuelaPanics(int fd, uint8_t* newCount, uint8_t* totalCount) {
    ULVCountPanicRecords(QUELA_PANIC_LAYOUT, fd, newCount, totalCount);
}
void ULVLoadQuelaPanics(int fd, uint8_t* fillCount, uint8_t capacity) {
    ULVLoadPanicRecords(QUELA_PANIC_LAYOUT, fd, fillCount, capacity);
}
void ULVBuildQuelaSortIndex() { ULVBuildPanicSortIndex(QUELA_PANIC_LAYOUT); }
void ULVReadQuelaPanics() { ULVReadPanicFiles(QUELA_PANIC_LAYOUT); }
void ULVDeleteQuelaPanics() { ULVDeletePanicList(QUELA_PANIC_LAYOUT); }
