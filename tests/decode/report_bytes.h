// Report messages built by hand from the byte layouts (numbers big-endian, texts NUL-padded)
// and their texts, Base64 with "+-" as the last two characters, written from the encoding side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reporttest {

using Message = std::vector<uint8_t>;

struct Handset {
    std::string serial = "SN00000001", apLabel = "AP_R1", flexVersion = "FLEX_7";
    uint16_t fingerprint = 0x2679;
};

inline void Put(Message& m, size_t at, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) m[at + i] = static_cast<uint8_t>(value >> 8 * (size - 1 - i));
}

inline void PutText(Message& m, size_t at, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i) m[at + i] = i < text.size() ? text[i] : 0;
}

// Header: 0 type, 1 format 2, 2 AP label (20), 22 flex (20), 42 BP code (4), 46 zero,
// 47 BP count 3, 48 uptime ms, 52 fingerprint, 54 serial (10); `size` with the body.
inline Message Header(const Handset& h, uint8_t type, uint32_t uptimeMs, size_t size = 64) {
    Message m(size, 0);
    m[0] = type;
    m[1] = 2;
    PutText(m, 2, h.apLabel, 20);
    PutText(m, 22, h.flexVersion, 20);
    PutText(m, 42, "1234", 4);
    m[47] = 3;
    Put(m, 48, uptimeMs, 4);
    Put(m, 52, h.fingerprint, 2);
    PutText(m, 54, h.serial, 10);
    return m;
}

// Crash body: 0 call time, 4 time stamp, 8 id, 12 data (36 bytes counting up from `data`).
inline Message Crash(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint32_t stamp,
                     uint32_t id, uint8_t data = 0xa0) {
    Message m = Header(h, 0, uptimeMs, 112);
    Put(m, 64, callTime, 4);
    Put(m, 68, stamp, 4);
    Put(m, 72, id, 4);
    for (size_t i = 0; i < 36; ++i) m[76 + i] = static_cast<uint8_t>(data + i);
    return m;
}

// Core dump body: 0 call time, 4 file time, 8 module id 0x00082100, 12 task (10), 22 lib (13),
// 35 pc offset (unaligned), 39 signal 11, 40 pc, 44 lr.
inline Message CoreDump(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint32_t fileTime,
                        const std::string& task, const std::string& lib, uint32_t pcOffset) {
    Message m = Header(h, 0, uptimeMs, 112);
    Put(m, 64, callTime, 4);
    Put(m, 68, fileTime, 4);
    Put(m, 72, 0x00082100, 4);
    PutText(m, 76, task, 9);
    PutText(m, 86, lib, 12);
    Put(m, 99, pcOffset, 4);
    m[103] = 11;
    Put(m, 104, 0x40011a2c, 4);
    Put(m, 108, 0x40010010, 4);
    return m;
}

// Periodic body: 0 call time, 4 twenty zero bytes, 24 usage data (24 bytes up from `usage`).
inline Message Periodic(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint8_t usage = 1) {
    Message m = Header(h, 2, uptimeMs, 112);
    Put(m, 64, callTime, 4);
    for (size_t i = 0; i < 24; ++i) m[88 + i] = static_cast<uint8_t>(usage + i);
    return m;
}

// Software change body: 0 previous AP label (20), 20 previous flex version (20).
inline Message SoftwareChange(const Handset& h, uint32_t uptimeMs, const std::string& fromLabel,
                              const std::string& fromFlex) {
    Message m = Header(h, 1, uptimeMs, 104);
    PutText(m, 64, fromLabel, 20);
    PutText(m, 84, fromFlex, 20);
    return m;
}

inline std::string Text(const Message& message) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    std::string out;
    for (size_t i = 0; i < message.size(); i += 3) {
        const size_t n = std::min<size_t>(3, message.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? message[i + k] : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[group >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

}  // namespace reporttest
