// Baseband panic log files for tests, built byte by byte, numbers most significant byte first,
// as the baseband writes them:
//   record := header(43) data(data length) padding
//   off size
//    0   2  magic 0xB5C7
//    2   2  record length, header included
//    4   8  not interpreted (filled with 5a here)
//   12   4  panic id
//   16   4  panic time stamp
//   20  19  not interpreted (filled with a5 here)
//   39   4  panic data length
// The fillers are nonzero so that a reader taking them for a field shows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bplog {

inline constexpr size_t kHeaderSize = 43;
inline constexpr char kLog1[] = "zellocal/panic/bp_panic.log1";
inline constexpr char kLog2[] = "zellocal/panic/bp_panic.log2";

// One record; the setters chain: Record(1, 10).Data("abcd").Length(0).
struct Record {
    Record() = default;
    Record(uint32_t idValue, uint32_t timestampValue) : id(idValue), timestamp(timestampValue) {}
    Record& Data(std::string bytes) {
        data = std::move(bytes);
        return *this;
    }
    Record& DataLength(uint32_t value) {
        dataLength = value;
        return *this;
    }
    Record& Padding(size_t bytes) {
        padding = bytes;
        return *this;
    }
    Record& Length(uint16_t value) {
        length = value;
        return *this;
    }
    Record& Magic(uint16_t value) {
        magic = value;
        return *this;
    }

    uint32_t id = 0;
    uint32_t timestamp = 0;
    std::string data;                    // the bytes that follow the header
    std::optional<uint32_t> dataLength;  // header field; data.size() when unset
    size_t padding = 0;                  // bytes after the data, covered by the record length
    std::optional<uint16_t> length;      // header field; 43 + data + padding when unset
    uint16_t magic = 0xB5C7;
};

inline void Put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
}

inline void Put32(std::string& out, uint32_t value) {
    out += static_cast<char>(value >> 24);
    out += static_cast<char>((value >> 16) & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

inline std::string Encode(const Record& record) {
    std::string out;
    Put16(out, record.magic);
    Put16(out, record.length.value_or(
                   static_cast<uint16_t>(kHeaderSize + record.data.size() + record.padding)));
    out.append(8, '\x5a');
    Put32(out, record.id);
    Put32(out, record.timestamp);
    out.append(19, '\xa5');
    Put32(out, record.dataLength.value_or(static_cast<uint32_t>(record.data.size())));
    out += record.data;
    out.append(record.padding, '\xee');
    return out;
}

inline std::string Encode(const std::vector<Record>& records) {
    std::string out;
    for (const Record& record : records) out += Encode(record);
    return out;
}

// Records with no data, one per time stamp, ids 1, 2, 3, ...
inline std::vector<Record> WithTimestamps(const std::vector<uint32_t>& timestamps) {
    std::vector<Record> records;
    for (size_t i = 0; i < timestamps.size(); ++i)
        records.emplace_back(static_cast<uint32_t>(i + 1), timestamps[i]);
    return records;
}

}  // namespace bplog
