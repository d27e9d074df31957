// Panic evidence as the handset leaves it. A record, numbers most significant byte first:
//   magic b5c7 (2) | record length (2) | 8 x 5a | id (4) | time stamp (4) | a5 fillers |
//   data length (4) | data | padding; the fillers are nonzero, to show a reader using them.
// BP panic logs have a 43-byte header, QUELA panic blocks a 71-byte one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ulvtest {

struct PanicFormat {
    size_t headerSize;
    const char* files[2];
};
inline constexpr PanicFormat kBp{43,
                                 {"zellocal/panic/bp_panic.log1", "zellocal/panic/bp_panic.log2"}};
inline constexpr PanicFormat kQuela{
    71, {"zellocal/panic/qupanic_block.a", "zellocal/panic/qupanic_block.b"}};
inline constexpr const char* kLog1 = kBp.files[0];

inline std::string Be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// One record; the record length defaults to header + data + padding, the data length to the
// data's.
inline std::string Encode(uint32_t id, uint32_t timestamp, const std::string& data = "",
                          std::optional<uint16_t> length = {},
                          std::optional<uint32_t> dataLength = {}, size_t padding = 0,
                          uint16_t magic = 0xB5C7, const PanicFormat& format = kBp) {
    const size_t header = format.headerSize;
    return Be32(magic).substr(2) + Be32(length.value_or(header + data.size() + padding)).substr(2) +
           std::string(8, '\x5a') + Be32(id) + Be32(timestamp) + std::string(header - 24, '\xa5') +
           Be32(dataLength.value_or(data.size())) + data + std::string(padding, '\xee');
}

// Records without data, one per time stamp, ids 1, 2, 3, ...
inline std::string Log(const std::vector<uint32_t>& timestamps, const PanicFormat& format = kBp) {
    std::string log;
    for (size_t i = 0; i < timestamps.size(); ++i)
        log += Encode(static_cast<uint32_t>(i + 1), timestamps[i], "", {}, {}, 0, 0xB5C7, format);
    return log;
}

// A BP panic log record, or a QUELA panic block record with kQuela.
inline std::string BpPanicRecord(uint32_t id, uint32_t timestamp, const std::vector<uint8_t>& data,
                                 uint16_t padding = 0, const PanicFormat& format = kBp) {
    return Encode(id, timestamp, {data.begin(), data.end()}, {}, {}, padding, 0xB5C7, format);
}

// `count` bytes: first, first + 1, ...
inline std::vector<uint8_t> Counting(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// The kernel panic partition's text for a panic at the local time `when` ("2007-03-05 14:07:09")
// with the program counter `pc` (8 hexadecimal digits).
inline std::string KernelPanicText(const std::string& when, const std::string& pc, bool forced) {
    return std::string("<0>Kernel panic - not syncing\n") +
           (forced ? "AP Logger forcing debug panic!\n" : "") + "Current Time = " + when +
           "\n[ULV]PanicPC: " + pc + "\n";
}

}  // namespace ulvtest
