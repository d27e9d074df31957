// The in-memory panic record shared by BP, QUELA and kernel panics, and the sort entry.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t PANIC_DATA_SIZE = 36;
inline constexpr size_t PANIC_RECORD_SIZE = 48;

// Host order in memory. As a report body (48 bytes):
//   0  call time   4   (mixed form until the body builder converts bytes 0-1, see header.cpp)
//   4  timestamp   4
//   8  id          4
//  12  data       36
struct PanicRecord {
    uint8_t callTime[4];
    uint32_t timestamp;
    uint32_t id;
    uint8_t data[PANIC_DATA_SIZE];
};
static_assert(sizeof(PanicRecord) == PANIC_RECORD_SIZE, "panic records are 48 bytes");

using BpPanicRecord = PanicRecord;
using QuelaPanicRecord = PanicRecord;
using KernelPanicRecord = PanicRecord;

struct PanicSortEntry {
    uint16_t recordIndex;
    uint32_t timestamp;
};
