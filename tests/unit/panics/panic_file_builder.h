// Panic files for tests, built byte by byte, numbers most significant byte first:
//   magic b5c7 (2) | record length (2) | 8 x 5a | id (4) | time stamp (4) | a5 fillers |
//   data length (4) | data | padding; the fillers are nonzero, to show a reader using them.
// BP panic logs have a 43-byte header (data length at 39), QUELA panic blocks a 71-byte one
// (data length at 67).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bplog {

struct Format {
    size_t headerSize;
    const char* files[2];
};
inline constexpr Format kBp{43, {"zellocal/panic/bp_panic.log1", "zellocal/panic/bp_panic.log2"}};
inline constexpr Format kQuela{
    71, {"zellocal/panic/qupanic_block.a", "zellocal/panic/qupanic_block.b"}};
inline constexpr const char* kLog1 = kBp.files[0];
inline constexpr const char* kLog2 = kBp.files[1];

inline std::string Be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// One record; the record length defaults to header + data + padding, the data length to the
// data's.
inline std::string Encode(uint32_t id, uint32_t timestamp, const std::string& data = "",
                          std::optional<uint16_t> length = {},
                          std::optional<uint32_t> dataLength = {}, size_t padding = 0,
                          uint16_t magic = 0xB5C7, const Format& format = kBp) {
    const size_t header = format.headerSize;
    return Be32(magic).substr(2) +
           Be32(length.value_or(header + data.size() + padding)).substr(2) +
           std::string(8, '\x5a') + Be32(id) + Be32(timestamp) + std::string(header - 24, '\xa5') +
           Be32(dataLength.value_or(data.size())) + data + std::string(padding, '\xee');
}

// Records without data, one per time stamp, ids 1, 2, 3, ...
inline std::string Log(const std::vector<uint32_t>& timestamps, const Format& format = kBp) {
    std::string log;
    for (size_t i = 0; i < timestamps.size(); ++i)
        log += Encode(static_cast<uint32_t>(i + 1), timestamps[i], "", {}, {}, 0, 0xB5C7, format);
    return log;
}

}  // namespace bplog
