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
// A panic is new when its time stamp is greater than ulv_last_panic_timestamp. Each log is
// read twice: once to count (so exactly the new records are allocated), once to load.
//
// Damaged logs: a record whose length is below its header plus the data bytes it uses gives
// no place for the next record. Such a record is still taken (its header was read whole,
// like a record with a wrong magic), and then the pass ends, so that no pass can loop or go
// backwards; both passes apply the same rule and so agree on the records they see.
#include <cstdlib>
#include <cstring>

#include "panics/panics.h"
#include "platform/paths.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace {

constexpr size_t kHeaderSize = 43;
constexpr size_t kMagicAt = 0;
constexpr size_t kLengthAt = 2;
constexpr size_t kIdAt = 12;
constexpr size_t kTimestampAt = 16;
constexpr size_t kDataLengthAt = 39;
constexpr uint16_t kMagic = 0xB5C7;

uint16_t Load16(const uint8_t* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}
uint32_t Load32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool IsNew(uint32_t timestamp) {
    return timestamp > ulvState.flexConfig.ulv_last_panic_timestamp;
}

// True when the record leaves room for the next one after `used` bytes of it were read.
bool NextRecordReachable(uint16_t recordLength, size_t used) {
    if (recordLength >= used) return true;
    ULV_TRACE("Record length %d below the %d bytes read, log read up to here\n", recordLength,
              static_cast<int>(used));
    return false;
}

FILE* OpenLog(const char* fixedPath) {
    PlatformPathBuffer buffer;
    return std::fopen(PlatformResolvePath(fixedPath, buffer), "rb");
}

}  // namespace

void ULVCountBpPanics(FILE* file, uint8_t* newCount, uint8_t* totalCount) {
    *newCount = 0;
    *totalCount = 0;
    uint8_t header[kHeaderSize];
    for (;;) {
        if (std::fread(header, 1, kHeaderSize, file) < kHeaderSize) {
            ULV_LOG("Error in reading\n\r");
            return;
        }
        ULVToWireOrder(header + kLengthAt, 2);
        ULVToWireOrder(header + kTimestampAt, 4);
        const uint16_t length = Load16(header + kLengthAt);
        const uint32_t timestamp = Load32(header + kTimestampAt);
        ULV_LOG("Read a panic block for %d at time %d \n\r", length, timestamp);
        ULVLogBin(APLOG_LEVEL_PANIC_BLOCK, APLOG_ID_PANIC_BLOCK, header, kHeaderSize);
        ++*totalCount;
        if (IsNew(timestamp)) ++*newCount;
        // The data length is read as the load pass reads it, so both passes end alike.
        uint8_t dataLength[4];
        std::memcpy(dataLength, header + kDataLengthAt, 4);
        ULVToWireOrder(dataLength, 4);
        uint32_t used = Load32(dataLength);
        used = used < PANIC_DATA_SIZE ? used : PANIC_DATA_SIZE;
        if (!NextRecordReachable(length, kHeaderSize + used)) return;
        std::fseek(file, static_cast<long>(length - kHeaderSize), SEEK_CUR);
    }
}

void ULVLoadBpPanics(FILE* file, uint8_t* fillCount, uint8_t capacity) {
    DaemonState& state = ulvState;
    std::rewind(file);
    uint8_t header[kHeaderSize];
    while (std::feof(file) == 0 && *fillCount < capacity) {
        if (std::fread(header, 1, kHeaderSize, file) < kHeaderSize) {
            ULV_LOG("Error in reading\n\r");
            ULV_TRACE("Error in reading \n");
            return;
        }
        ULVToWireOrder(header + kMagicAt, 2);
        ULVToWireOrder(header + kDataLengthAt, 4);
        ULVToWireOrder(header + kLengthAt, 2);
        ULVToWireOrder(header + kTimestampAt, 4);
        ULVToWireOrder(header + kIdAt, 4);
        const uint16_t magic = Load16(header + kMagicAt);
        const uint16_t length = Load16(header + kLengthAt);
        const uint32_t timestamp = Load32(header + kTimestampAt);
        const uint32_t id = Load32(header + kIdAt);
        const uint32_t dataLength = Load32(header + kDataLengthAt);
        ULV_TRACE("Length %d, TS %d, ID %d\n", length, timestamp, id);
        if (magic != kMagic) ULV_TRACE("Wrong Header : 0x%x\n", magic);

        const size_t used = dataLength < PANIC_DATA_SIZE ? dataLength : PANIC_DATA_SIZE;
        uint8_t data[PANIC_DATA_SIZE];
        if (std::fread(data, 1, used, file) < used) {
            ULV_LOG("Error in reading panic data\n\r");
            ULV_TRACE("Error in reading panic data\n");
            return;
        }
        if (IsNew(timestamp)) {
            PanicRecord& record = state.bpPanicList[*fillCount];
            record.id = id;
            record.timestamp = timestamp;
            std::memcpy(record.data, data, used);
            ULV_TRACE("ID %d, TS %d\n", record.id, record.timestamp);
            ++*fillCount;
        }
        if (!NextRecordReachable(length, kHeaderSize + used)) return;
        std::fseek(file, static_cast<long>(length - used - kHeaderSize), SEEK_CUR);
    }
}

void ULVBuildBpSortIndex() {
    DaemonState& state = ulvState;
    auto* index =
        static_cast<PanicSortEntry*>(std::calloc(state.bpNewCount, sizeof(PanicSortEntry)));
    if (index == nullptr) {
        ULV_TRACE("Failed to allocate memory for sort\n");
        return;
    }
    for (uint16_t i = 0; i < state.bpNewCount; ++i)
        index[i] = PanicSortEntry{i, state.bpPanicList[i].timestamp};
    ULVSortPanicIndex(index, state.bpNewCount);
    state.bpSortIndex = index;
}

void ULVReadBpPanics() {
    DaemonState& state = ulvState;
    uint8_t newCount = 0;
    uint8_t total = 0;
    uint8_t fileTotal = 0;
    state.bpNewCount = 0;

    FILE* log1 = OpenLog(BP_PANIC_LOG1_PATH);
    if (log1 != nullptr) {
        ULVCountBpPanics(log1, &newCount, &fileTotal);
        ULV_TRACE("BP: There are %d new panics of %d total panics from file "
                  "/zellocal/panic/bp_panic.log1\n", newCount, fileTotal);
        state.bpNewCount = newCount;
        total = fileTotal;
    } else {
        ULV_LOG("Unable to read /zellocal/panic/bp_panic.log1\n\r");
        ULV_TRACE("Unable to read /zellocal/panic/bp_panic.log1\n");
    }
    FILE* log2 = OpenLog(BP_PANIC_LOG2_PATH);
    if (log2 != nullptr) {
        ULVCountBpPanics(log2, &newCount, &fileTotal);
        ULV_TRACE("BP: There are %d new panics of %d total panics from file "
                  "/zellocal/panic/bp_panic.log2\n", newCount, fileTotal);
        state.bpNewCount = static_cast<uint8_t>(state.bpNewCount + newCount);
        total = static_cast<uint8_t>(total + fileTotal);
    } else {
        ULV_LOG("Unable to read /zellocal/panic/bp_panic.log2\n\r");
        ULV_TRACE("Unable to read /zellocal/panic/bp_panic.log2\n");
    }

    state.reportHeader[REPORT_ZERO_BYTE_OFFSET] = 0;
    state.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = total;

    if (state.bpNewCount != 0) {
        // One zeroed allocation for all records: it either succeeds or leaves nothing behind.
        state.bpPanicList =
            static_cast<PanicRecord*>(std::calloc(state.bpNewCount, sizeof(PanicRecord)));
        if (state.bpPanicList == nullptr) {
            // Nothing is reported or marked this run; the panics are found again next start.
            ULV_LOG("Failed to allocate memory for BP panics\n\r");
            ULV_TRACE("Failed to allocate memory for BP panics\n");
            state.bpNewCount = 0;
        } else {
            uint8_t fill = 0;
            if (log1 != nullptr) ULVLoadBpPanics(log1, &fill, state.bpNewCount);
            if (log2 != nullptr) ULVLoadBpPanics(log2, &fill, state.bpNewCount);
            if (fill < state.bpNewCount) {
                // Records counted but never loaded (a log cut short, or changed between the
                // passes) are left out rather than sent as empty records.
                ULV_TRACE("Loaded %d of %d new BP panics\n", fill, state.bpNewCount);
                state.bpNewCount = fill;
            }
            if (state.bpNewCount == 0) {
                std::free(state.bpPanicList);
                state.bpPanicList = nullptr;
            } else {
                ULVBuildBpSortIndex();
                state.bpRestoreTimestamp = state.flexConfig.ulv_last_panic_timestamp;
            }
        }
    }
    if (log1 != nullptr) std::fclose(log1);
    if (log2 != nullptr) std::fclose(log2);
}

void ULVDeleteBpPanics() {
    DaemonState& state = ulvState;
    if (state.bpPanicList != nullptr) ULV_TRACE("Deleting %d BP panics\n", state.bpNewCount);
    ULVFreePanicList(state.bpPanicList, state.bpSortIndex);
    state.bpNewCount = 0;
    state.bpSentCount = 0;
}
