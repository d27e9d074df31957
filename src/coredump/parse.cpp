// Core file parsing: pc, lr and the signal number from the block chain, and the library whose
// address range holds pc. Layout: coredump/core_file_layout.h.
//
// The window (at most the first 20480 bytes) is read through the candidate's descriptor into a
// fixed buffer rather than mapped: a mapping of a file that another process truncates raises
// SIGBUS on the next touch, a read just returns fewer bytes. Every position and length taken
// from the file is checked against the window by one primitive before a byte is touched, and
// all arithmetic on them is done in 64 bits, so no file can make it wrap.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coredump/core_file_layout.h"
#include "coredump/coredump.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

// The window, static so that one pass costs neither heap nor 20 KB of stack.
uint8_t coreWindow[CORE_WINDOW_SIZE];

// The block chain of the file being parsed: nine (offset, size) pairs, filled afresh per file.
struct CoreLayoutPair {
    int64_t offset;
    int64_t size;
};
CoreLayoutPair coreLayout[CORE_LAYOUT_PAIRS];

// A checked view of bytes: a 4-byte read at `at` is allowed when at and at + 4 both lie
// within [0, size].
struct CoreRange {
    const uint8_t* begin;
    int64_t size;

    bool Contains(int64_t at, int64_t length) const {
        return at >= 0 && length >= 0 && at <= size && length <= size - at;
    }
    bool ReadWord(int64_t at, uint32_t* value) const {
        if (!Contains(at, CORE_WORD_SIZE)) return false;
        std::memcpy(value, begin + at, sizeof *value);  // the processor's own order
        return true;
    }
};

constexpr int APLOG_LEVEL_ASSERT = 2;

// A null record is a programming error: logged, then the process stops as a failed assertion
// would stop it (also in a build without assertions).
[[noreturn]] void AssertionFailed(const char* expression, int line) {
    _aplog_port_log_ascii(APLOG_PORT, APLOG_LEVEL_ASSERT, "(%s:%d)Assert failed!\n",
                          ULV_TRACE_SOURCE, line);
    char text[160];
    const int n = std::snprintf(text, sizeof text, "%s:%d: Assertion `%s' failed.\n",
                                ULV_TRACE_SOURCE, line, expression);
    if (n > 0) ULVWriteAll(STDERR_FILENO, text, strnlen(text, sizeof text));
    std::abort();
}

}  // namespace

int ULVAPCDGetPanicInfo(CoreDumpRecord* content, int fd) {
    if (content == nullptr) AssertionFailed("content != ((void *)0)", __LINE__);
    if (content->path[0] == '\0') {
        ULV_TRACE("empty file found\n\n");
        return 0;
    }
    if (fd < 0) {
        ULV_TRACE("open file %s failed\n\n", content->path);
        return 0;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        ULV_TRACE("lstat file %s failed\n\n", content->path);
        return 0;
    }
    // Whatever the size said, the window is what a read from the start returns now.
    ssize_t got = 0;
    if (lseek(fd, 0, SEEK_SET) == 0) got = ULVReadFull(fd, coreWindow, sizeof coreWindow);
    ULVAPCDParseCore(content, coreWindow, got > 0 ? static_cast<int32_t>(got) : 0);
    return 0;
}

int ULVAPCDParseCore(CoreDumpRecord* record, const uint8_t* start, int32_t length) {
    const CoreRange window{start, length < 0 ? 0 : length};
    uint32_t word = 0;
    coreLayout[CORE_PAIR_L1] = {0, CORE_WORD_SIZE};
    if (!window.ReadWord(0, &word)) return -1;
    coreLayout[CORE_PAIR_BLOCK1] = {CORE_WORD_SIZE, static_cast<int32_t>(word)};
    const int64_t fixedSizes[CORE_LAYOUT_PAIRS] = {CORE_WORD_SIZE,
                                                   0,
                                                   CORE_FIXED1_SIZE,
                                                   CORE_REGISTERS_SIZE,
                                                   CORE_SIGNAL_BLOCK_SIZE,
                                                   0,
                                                   CORE_FIXED2_SIZE,
                                                   CORE_WORD_SIZE,
                                                   0};
    for (int pair = CORE_PAIR_FIXED1; pair <= CORE_PAIR_ENTRIES; ++pair) {
        const CoreLayoutPair& previous = coreLayout[pair - 1];
        coreLayout[pair] = {CoreAlign4(previous.offset + previous.size), fixedSizes[pair]};
        if (coreLayout[pair].offset > window.size) return -1;
        if (pair == CORE_PAIR_BLOCK2) {
            if (!window.ReadWord(coreLayout[CORE_PAIR_SIGNAL].offset + CORE_L2_AT, &word))
                return -1;
            coreLayout[pair].size = static_cast<int32_t>(word);
        }
    }

    uint32_t count = 0, signal = 0, pc = 0, lr = 0;
    const int64_t registers = coreLayout[CORE_PAIR_REGISTERS].offset;
    if (!window.ReadWord(coreLayout[CORE_PAIR_COUNT].offset, &count) ||
        !window.ReadWord(coreLayout[CORE_PAIR_SIGNAL].offset + CORE_SIGNAL_AT, &signal) ||
        !window.ReadWord(registers + CORE_PC_AT, &pc) ||
        !window.ReadWord(registers + CORE_LR_AT, &lr))
        return -1;
    record->signalNumber = static_cast<uint8_t>(signal);
    record->pc = pc;
    record->lr = lr;
    ULVAPCDGetLibInfo(start + coreLayout[CORE_PAIR_ENTRIES].offset, start + window.size,
                      static_cast<int32_t>(count), pc, record->libName, &record->pcOffset);
    return 0;
}

int ULVAPCDGetLibInfo(const uint8_t* listStart, const uint8_t* end, int32_t count, uint32_t pc,
                      char* libName, uint32_t* pcOffset) {
    if (count < 0 || count > CORE_MAX_LIBRARIES || pc < CORE_MIN_PC) {
        ULV_LOG("error in %s", "ULVAPCDGetLibInfo");
        return -1;
    }
    const CoreRange list{listStart, end > listStart ? end - listStart : 0};
    int64_t entry = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t nameLength = 0, start = 0, stop = 0;
        if (!list.ReadWord(entry + CORE_ENTRY_NAME_LENGTH_AT, &nameLength) ||
            !list.ReadWord(entry + CORE_ENTRY_START_AT, &start) ||
            !list.ReadWord(entry + CORE_ENTRY_END_AT, &stop))
            return -1;
        if (start < pc && pc < stop) {
            const int64_t name = entry + CORE_ENTRY_NAME_AT;
            const size_t copy = nameLength < CORE_LIB_PATH_SIZE ? nameLength : CORE_LIB_PATH_SIZE;
            if (!list.Contains(name, static_cast<int64_t>(copy))) return -1;
            char libPath[CORE_LIB_PATH_SIZE] = {};
            const uint8_t* field = listStart + name;
            for (size_t k = 0; k < copy && field[k] != 0; ++k)
                libPath[k] = static_cast<char>(field[k]);
            if (copy > 0) libPath[copy - 1] = '\0';
            ULVAPCDGetLibnameFromPath(libPath, sizeof libPath, libName, CORE_LIB_NAME_SIZE);
            *pcOffset = pc - start;
            return 0;
        }
        // nameLength is taken unsigned: the walk only ever moves forward.
        entry = CoreAlign4(entry + CORE_ENTRY_NAME_AT + int64_t{nameLength});
    }
    return -1;
}

int ULVAPCDGetLibnameFromPath(const char* path, size_t pathSize, char* destination,
                              size_t destinationSize) {
    if (path == nullptr || destination == nullptr || destinationSize == 0) {
        ULV_LOG("error in %s", "ULVAPCDGetLibnameFromPath");
        return -1;
    }
    const size_t length = strnlen(path, pathSize);
    size_t from = 0;
    for (size_t k = length; k > 0; --k) {
        if (path[k - 1] == '/') {
            from = k;
            break;
        }
    }
    if (length - from >= 3 && std::memcmp(path + from, "lib", 3) == 0) from += 3;
    // The name starts inside the path area, so n bytes from it always fit.
    const size_t n = destinationSize < pathSize - from ? destinationSize : pathSize - from;
    size_t k = 0;
    for (; k < n && path[from + k] != '\0'; ++k) destination[k] = path[from + k];
    for (; k < n; ++k) destination[k] = '\0';
    destination[n > 0 ? n - 1 : 0] = '\0';
    return 0;
}
