// BP panic log records as the baseband writes them (big-endian), for tests and the demo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ulvtest {

// One record: the 43-byte header (magic B5 C7, record length, id at 12, time stamp at 16,
// data length at 39), the data, and `padding` bytes the reader must skip.
inline std::string BpPanicRecord(uint32_t id, uint32_t timestamp, const std::vector<uint8_t>& data,
                                 uint16_t padding = 0) {
    std::string record(43, '\0');
    auto put = [&](size_t at, uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            record[at + i] = static_cast<char>(value >> (8 * (size - 1 - i)));
    };
    const uint32_t length = static_cast<uint32_t>(43 + data.size() + padding);
    put(0, 0xB5C7, 2);
    put(2, length, 2);
    put(12, id, 4);
    put(16, timestamp, 4);
    put(39, static_cast<uint32_t>(data.size()), 4);
    record.append(data.begin(), data.end());
    record.append(padding, '\x5a');
    return record;
}

// Data bytes first, first + 1, ... (count of them).
inline std::vector<uint8_t> Counting(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

}  // namespace ulvtest
