// The counting and loading passes shared by the BP panic logs and the QUELA panic blocks; the
// format of each is its PanicFileLayout (bp_panics.cpp, quela_panics.cpp).
#include "panics/panic_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "panics/panics.h"
#include "reports/reports.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

// Reads `size` bytes at `at`, retrying interrupted and short reads. The bytes read: fewer than
// `size` at the end of the file or on an error, which a pass treats alike.
size_t ReadAt(int fd, uint64_t at, uint8_t* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, buffer + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

uint16_t Be16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
uint32_t Be32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// The fields of one header that the passes use, in host order.
struct RecordHeader {
    uint16_t length;
    uint32_t id;
    uint32_t timestamp;
    uint32_t dataLength;
};

RecordHeader ParseHeader(const PanicFileLayout& layout, const uint8_t* header) {
    return {Be16(header + layout.lengthAt), Be32(header + layout.idAt),
            Be32(header + layout.timestampAt), Be32(header + layout.dataLengthAt)};
}

bool IsNew(const PanicFileLayout& layout, uint32_t timestamp) {
    return timestamp > ulvState.flexConfig.*layout.lastReported;
}

// Moves `at` to the next record. False where the length cannot lead to one, and the pass ends
// there: 0 would read the same header for ever, and a length inside the header would take the
// next "record" from this one's bytes, whose time stamp could pass for any panic's and move
// the last-reported mark past every real one.
bool NextRecord(const PanicFileLayout& layout, uint64_t* at, uint16_t recordLength) {
    if (recordLength < layout.headerSize) {
        ULV_TRACE("Record length %d, file read up to here\n", recordLength);
        return false;
    }
    *at += recordLength;
    return true;
}

void TraceWrongMagic(const PanicFileLayout& layout, const uint8_t* header) {
    const uint8_t first = header[PANIC_MAGIC_AT], second = header[PANIC_MAGIC_AT + 1];
    if (first == PANIC_MAGIC_FIRST && second == PANIC_MAGIC_SECOND) return;
    if (layout.wrongMagicForm == MagicTrace::Word)
        ULV_TRACE(layout.wrongMagicTrace, first << 8 | second);
    else
        ULV_TRACE(layout.wrongMagicTrace, first, second);
}

}  // namespace

void ULVCountPanicRecords(const PanicFileLayout& layout, int fd, uint8_t* newCount,
                          uint8_t* totalCount) {
    *newCount = 0;
    *totalCount = 0;
    uint8_t header[PANIC_MAX_HEADER_SIZE];
    for (uint64_t at = 0;;) {
        if (ReadAt(fd, at, header, layout.headerSize) < layout.headerSize) {
            ULV_LOG("Error in reading\n\r");
            if (layout.countEndTrace != nullptr) ULV_TRACE("%s", layout.countEndTrace);
            return;
        }
        const RecordHeader record = ParseHeader(layout, header);
        ULV_LOG("Read a panic block for %d at time %d \n\r", record.length, record.timestamp);
        if (layout.traceBlockRead)
            ULV_TRACE("Read a panic block for %d at time %d \n", record.length, record.timestamp);
        // Logged as the handset's tools expect it: these two fields in host order.
        ULVToWireOrder(header + layout.lengthAt, 2);
        ULVToWireOrder(header + layout.timestampAt, 4);
        ULVLogBin(APLOG_LEVEL_PANIC_BLOCK, APLOG_ID_PANIC_BLOCK, header, layout.headerSize);
        ++*totalCount;
        if (IsNew(layout, record.timestamp)) ++*newCount;
        if (!NextRecord(layout, &at, record.length)) return;
    }
}

void ULVLoadPanicRecords(const PanicFileLayout& layout, int fd, uint8_t* fillCount,
                         uint8_t capacity) {
    PanicRecord* list = ulvState.*layout.list;
    uint8_t header[PANIC_MAX_HEADER_SIZE];
    for (uint64_t at = 0; *fillCount < capacity;) {
        if (ReadAt(fd, at, header, layout.headerSize) < layout.headerSize) {
            ULV_LOG("%s", layout.loadEndLog);
            ULV_TRACE("%s", layout.loadEndTrace);
            return;
        }
        const RecordHeader record = ParseHeader(layout, header);
        if (layout.traceRecords)
            ULV_TRACE("Length %d, TS %d, ID %d\n", record.length, record.timestamp, record.id);
        TraceWrongMagic(layout, header);

        const size_t used = record.dataLength < PANIC_DATA_SIZE ? record.dataLength : PANIC_DATA_SIZE;
        uint8_t data[PANIC_DATA_SIZE];
        if (ReadAt(fd, at + layout.headerSize, data, used) < used) {
            ULV_LOG("Error in reading panic data\n\r");
            ULV_TRACE("Error in reading panic data\n");
            return;
        }
        if (IsNew(layout, record.timestamp)) {
            PanicRecord& entry = list[*fillCount];
            entry.id = record.id;
            entry.timestamp = record.timestamp;
            std::memcpy(entry.data, data, used);
            if (layout.traceRecords) ULV_TRACE("ID %d, TS %d\n", entry.id, entry.timestamp);
            ++*fillCount;
        }
        if (!NextRecord(layout, &at, record.length)) return;
    }
}

void ULVBuildPanicSortIndex(const PanicFileLayout& layout) {
    DaemonState& state = ulvState;
    const uint8_t count = state.*layout.loadedCount;
    auto* index = static_cast<PanicSortEntry*>(std::calloc(count, sizeof(PanicSortEntry)));
    if (index == nullptr) {
        ULV_TRACE("Failed to allocate memory for sort\n");
        return;
    }
    const PanicRecord* list = state.*layout.list;
    for (uint16_t i = 0; i < count; ++i) index[i] = PanicSortEntry{i, list[i].timestamp};
    ULVSortPanicIndex(index, count);
    state.*layout.sortIndex = index;
}

void ULVReadPanicFiles(const PanicFileLayout& layout) {
    DaemonState& state = ulvState;
    uint8_t& newCount = state.*layout.newCount;
    uint8_t& loadedCount = state.*layout.loadedCount;
    newCount = 0;
    loadedCount = 0;
    uint8_t total = 0;
    int fds[2];
    for (int f = 0; f < 2; ++f) {
        fds[f] = ULVOpenPlacedFixed(layout.paths[f], PlacedKind::Regular);
        if (fds[f] < 0) {
            ULV_LOG("%s", layout.unreadableLogs[f]);
            ULV_TRACE("%s", layout.unreadableTraces[f]);
            continue;
        }
        uint8_t fileNew = 0, fileTotal = 0;
        ULVCountPanicRecords(layout, fds[f], &fileNew, &fileTotal);
        ULV_TRACE(layout.countTraces[f], fileNew, fileTotal);
        newCount = static_cast<uint8_t>(newCount + fileNew);
        total = static_cast<uint8_t>(total + fileTotal);
    }
    if (layout.keepsTotalInHeader) {
        state.reportHeader[REPORT_ZERO_BYTE_OFFSET] = 0;
        state.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = total;
    }

    if (newCount != 0) {
        // One zeroed allocation for all records: it either succeeds or leaves nothing behind.
        // Without it nothing is reported or marked this run; the panics are found again at
        // the next start.
        auto* list = static_cast<PanicRecord*>(std::calloc(newCount, sizeof(PanicRecord)));
        if (list == nullptr) {
            ULV_LOG("Failed to allocate memory for %s panics\n\r", layout.name);
            ULV_TRACE("Failed to allocate memory for %s panics\n", layout.name);
        } else {
            state.*layout.list = list;
            uint8_t fill = 0;
            for (int fd : fds)
                if (fd >= 0) ULVLoadPanicRecords(layout, fd, &fill, newCount);
            loadedCount = fill;
            // Records counted but never loaded (a file cut short, or changed between the
            // passes) are not sent; the new count keeps the counted figure for the marks.
            if (fill < newCount)
                ULV_TRACE("Loaded %d of %d new %s panics\n", fill, newCount, layout.name);
            if (fill == 0) {
                std::free(list);
                state.*layout.list = nullptr;
            } else {
                ULVBuildPanicSortIndex(layout);
                state.*layout.restoreTimestamp = state.flexConfig.*layout.lastReported;
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0) close(fd);
}

void ULVDeletePanicList(const PanicFileLayout& layout) {
    DaemonState& state = ulvState;
    if (state.*layout.list != nullptr)
        ULV_TRACE("Deleting %d %s panics\n", state.*layout.newCount, layout.name);
    ULVFreePanicList(state.*layout.list, state.*layout.sortIndex);
    state.*layout.newCount = 0;
    state.*layout.loadedCount = 0;
    state.*layout.sentCount = 0;
}
