// Panic records as the handset writes them, for tests and the demo: BP panic log and QUELA
// panic block records (big-endian), and kernel panic partition text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ulvtest {

// One record of a panic file: a header of `headerSize` bytes (magic B5 C7, record length, id
// at 12, time stamp at 16, data length in its last 4 bytes), the data, and `padding` bytes the
// reader must skip.
inline std::string PanicFileRecord(size_t headerSize, uint32_t id, uint32_t timestamp,
                                   const std::vector<uint8_t>& data, uint16_t padding) {
    std::string record(headerSize, '\0');
    auto put = [&](size_t at, uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            record[at + i] = static_cast<char>(value >> (8 * (size - 1 - i)));
    };
    const uint32_t length = static_cast<uint32_t>(headerSize + data.size() + padding);
    put(0, 0xB5C7, 2);
    put(2, length, 2);
    put(12, id, 4);
    put(16, timestamp, 4);
    put(headerSize - 4, static_cast<uint32_t>(data.size()), 4);
    record.append(data.begin(), data.end());
    record.append(padding, '\x5a');
    return record;
}

// A BP panic log record: 43-byte header, data length at 39.
inline std::string BpPanicRecord(uint32_t id, uint32_t timestamp, const std::vector<uint8_t>& data,
                                 uint16_t padding = 0) {
    return PanicFileRecord(43, id, timestamp, data, padding);
}

// A QUELA panic block record: 71-byte header, data length at 67.
inline std::string QuelaPanicRecord(uint32_t id, uint32_t timestamp,
                                    const std::vector<uint8_t>& data, uint16_t padding = 0) {
    return PanicFileRecord(71, id, timestamp, data, padding);
}

// Data bytes first, first + 1, ... (count of them).
inline std::vector<uint8_t> Counting(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// The kernel panic partition's text for a panic at the local time `when`
// ("2007-03-05 14:07:09") with the program counter `pc` (8 hexadecimal digits).
inline std::string KernelPanicText(const std::string& when, const std::string& pc, bool forced) {
    return std::string("<0>Kernel panic - not syncing\n") +
           (forced ? "AP Logger forcing debug panic!\n" : "") + "Current Time = " + when +
           "\n[ULV]PanicPC: " + pc + "\n";
}

}  // namespace ulvtest
