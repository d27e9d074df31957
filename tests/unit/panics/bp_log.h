// Baseband panic logs for tests, built byte by byte, numbers most significant byte first:
//   magic b5c7 (2) | record length (2) | 8 x 5a | id (4) | time stamp (4) | 19 x a5 |
//   data length (4) | data | padding; the fillers are nonzero, to show a reader using them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bplog {

inline constexpr char kLog1[] = "zellocal/panic/bp_panic.log1";
inline constexpr char kLog2[] = "zellocal/panic/bp_panic.log2";

inline std::string Be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// One record; the record length defaults to 43 + data + padding, the data length to the data's.
inline std::string Encode(uint32_t id, uint32_t timestamp, const std::string& data = "",
                          std::optional<uint16_t> length = {},
                          std::optional<uint32_t> dataLength = {}, size_t padding = 0,
                          uint16_t magic = 0xB5C7) {
    return Be32(magic).substr(2) + Be32(length.value_or(43 + data.size() + padding)).substr(2) +
           std::string(8, '\x5a') + Be32(id) + Be32(timestamp) + std::string(19, '\xa5') +
           Be32(dataLength.value_or(data.size())) + data + std::string(padding, '\xee');
}

// Records without data, one per time stamp, ids 1, 2, 3, ...
inline std::string Log(const std::vector<uint32_t>& timestamps) {
    std::string log;
    for (size_t i = 0; i < timestamps.size(); ++i)
        log += Encode(static_cast<uint32_t>(i + 1), timestamps[i]);
    return log;
}

}  // namespace bplog
