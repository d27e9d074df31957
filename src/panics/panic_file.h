// One reader for the two binary panic file formats, the baseband panic logs and the QUELA
// panic blocks. They differ in header size, field offsets, file names, texts and the list they
// fill, not in logic: each is described by a PanicFileLayout below, and one counting pass and
// one loading pass run over either.
//
// A file is a sequence of records, all numbers big-endian:
//   record := header(H) data(data length) rest(record length - H - data length)
// with the header fields at the layout's offsets (magic B5 C7 at 0, record length at 2, header
// included). Only the first 36 data bytes are kept. A panic is new when its time stamp is
// greater than the layout's last-reported mark.
//
// Damaged files: the next record is always found from the record's start and its length,
// whatever its data length says, and a pass ends at a record length below the header's size
// (nothing after it can be trusted to start a record), at a header cut short, or (loading) at
// data cut short. So every pass ends, and both passes see the same records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "panics/panic_record.h"
#include "state/daemon_state.h"

enum class MagicTrace : uint8_t {
    Word,      // the two magic bytes as one number: "... 0x%x"
    TwoBytes,  // each magic byte as a number of its own: "... %x%x ..."
};

struct PanicFileLayout {
    const char* name;  // "BP", "QUELA": in the daemon's own trace texts
    size_t headerSize;
    size_t lengthAt;      // u16
    size_t idAt;          // u32
    size_t timestampAt;   // u32
    size_t dataLengthAt;  // u32
    const char* paths[2];  // read in this order
    // Per file: the count trace (new, total), and the log and trace when it cannot be read.
    const char* countTraces[2];
    const char* unreadableLogs[2];
    const char* unreadableTraces[2];
    const char* countEndTrace;     // traced where a counting pass ends, or null
    bool traceBlockRead;           // the counting pass traces each header as it logs it
    const char* loadEndLog;        // where a loading pass meets a header cut short
    const char* loadEndTrace;
    bool traceRecords;             // the loading pass traces each header and each stored record
    const char* wrongMagicTrace;
    MagicTrace wrongMagicForm;
    bool keepsTotalInHeader;       // the total count goes to the report header
    // The list it fills and the configuration mark that decides what is new.
    PanicRecord* DaemonState::*list;
    PanicSortEntry* DaemonState::*sortIndex;
    uint8_t DaemonState::*newCount;
    uint8_t DaemonState::*loadedCount;
    uint8_t DaemonState::*sentCount;
    uint32_t DaemonState::*restoreTimestamp;
    uint32_t FlexConfig::*lastReported;
};

inline constexpr size_t PANIC_MAGIC_AT = 0;
inline constexpr uint8_t PANIC_MAGIC_FIRST = 0xB5;
inline constexpr uint8_t PANIC_MAGIC_SECOND = 0xC7;
inline constexpr size_t PANIC_MAX_HEADER_SIZE = 71;

// Every field lies inside the header, and the header inside the reader's buffer.
constexpr bool PanicLayoutFits(const PanicFileLayout& layout) {
    return layout.headerSize <= PANIC_MAX_HEADER_SIZE && PANIC_MAGIC_AT + 2 <= layout.headerSize &&
           layout.lengthAt + 2 <= layout.headerSize && layout.idAt + 4 <= layout.headerSize &&
           layout.timestampAt + 4 <= layout.headerSize &&
           layout.dataLengthAt + 4 <= layout.headerSize;
}

extern const PanicFileLayout BP_PANIC_LAYOUT;
extern const PanicFileLayout QUELA_PANIC_LAYOUT;

void ULVCountPanicRecords(const PanicFileLayout& layout, int fd, uint8_t* newCount,
                          uint8_t* totalCount);
void ULVLoadPanicRecords(const PanicFileLayout& layout, int fd, uint8_t* fillCount,
                         uint8_t capacity);
void ULVBuildPanicSortIndex(const PanicFileLayout& layout);
void ULVReadPanicFiles(const PanicFileLayout& layout);
void ULVDeletePanicList(const PanicFileLayout& layout);
