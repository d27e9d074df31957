// The pieces shared by the BP and QUELA panic lists: the sort of their index, the choice of
// an entry and their release.
#include <cstdlib>

#include "panics/panics.h"

// Shell sort with the gaps 3 and 1, ascending by time stamp. The comparison is strictly
// greater-than, so the gap-1 pass never swaps equal time stamps: they keep the order the
// gap-3 pass left them in.
void ULVSortPanicIndex(PanicSortEntry* entries, uint16_t count) {
    for (uint16_t gap = 3; gap != 0;) {
        for (uint16_t i = 0; i < count; ++i) {
            PanicSortEntry aside = entries[i];
            uint16_t j = i;
            while (j >= gap && entries[j - gap].timestamp > aside.timestamp) {
                entries[j] = entries[j - gap];
                j = static_cast<uint16_t>(j - gap);
            }
            entries[j] = aside;
        }
        uint16_t half = gap / 2;
        gap = half != 0 ? half : (gap == 1 ? 0 : 1);
    }
}

void ULVFreePanicList(PanicRecord*& list, PanicSortEntry*& index) {
    std::free(list);
    list = nullptr;
    std::free(index);
    index = nullptr;
}

PanicRecord& ULVPanicEntry(PanicRecord* list, const PanicSortEntry* index, uint8_t k) {
    return index != nullptr ? list[index[k].recordIndex] : list[k];
}
