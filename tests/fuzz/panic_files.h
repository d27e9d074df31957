// The BP panic logs and the QUELA panic blocks as the daemon meets them: two files in the
// sandbox root, each there or not, read at start-up by ULVReadBpPanics / ULVReadQuelaPanics.
//
// Input: flags(1: bit 0 first file present, bit 1 second file present) mark(u32: the last
// reported time stamp) length(u16: of the first file) first-file second-file(the rest).
#pragma once

#include <vector>

#include "fuzz_support.h"
#include "panics/panic_file.h"
#include "panics/panics.h"

namespace ulvfuzz {

inline int FuzzPanicFiles(const PanicFileLayout& layout, void (*read)(), void (*release)(),
                          const uint8_t* data, size_t size) {
    const InputScope scope = BeginInput();
    Input input(data, size);
    const uint8_t flags = input.U8();
    const uint32_t mark = input.U32();
    const std::string_view first = input.Bytes(input.U16());
    const std::string_view files[2] = {first, input.Rest()};
    for (int f = 0; f < 2; ++f)
        if ((flags >> f & 1) != 0) PlaceFile(layout.paths[f] + 1, files[f]);
    DaemonState& state = ulvState;
    state.flexConfig.*layout.lastReported = mark;

    read();

    const uint8_t counted = state.*layout.newCount;
    const uint8_t loaded = state.*layout.loadedCount;
    const PanicRecord* list = state.*layout.list;
    const PanicSortEntry* index = state.*layout.sortIndex;
    // Never more loaded than counted, a list exactly when something was loaded, and nothing
    // counted where no file was there to count.
    FUZZ_CHECK(loaded <= counted && state.*layout.sentCount == 0);
    FUZZ_CHECK((list != nullptr) == (loaded != 0) && (index != nullptr) == (loaded != 0));
    FUZZ_CHECK((flags & 3) != 0 || counted == 0);
    FUZZ_CHECK(loaded == 0 || state.*layout.restoreTimestamp == mark);
    // Only new panics are loaded, and the index orders all of them, each once, by time.
    std::vector<bool> seen(loaded, false);
    for (uint8_t k = 0; k < loaded; ++k) {
        const PanicSortEntry& entry = index[k];
        FUZZ_CHECK(list[k].timestamp > mark);
        FUZZ_CHECK(entry.recordIndex < loaded && !seen[entry.recordIndex]);
        seen[entry.recordIndex] = true;
        FUZZ_CHECK(entry.timestamp == list[entry.recordIndex].timestamp);
        FUZZ_CHECK(k == 0 || index[k - 1].timestamp <= entry.timestamp);
    }
    release();
    FUZZ_CHECK(state.*layout.list == nullptr && state.*layout.sortIndex == nullptr);
    FUZZ_CHECK(state.*layout.newCount == 0 && state.*layout.loadedCount == 0);
    return 0;
}

}  // namespace ulvfuzz
