// Report messages built byte by byte from the documented layouts, and a reference text encoder,
// for the decoder tests. Nothing here comes from the decoder or the daemon.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ulv::decode::testing {

using Bytes = std::vector<uint8_t>;

// Appends wire fields: numbers most significant byte first, texts NUL-padded to their width.
class MessageBuilder {
  public:
    MessageBuilder& U8(uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    MessageBuilder& Be16(uint16_t v) {
        return U8(static_cast<uint8_t>(v >> 8)).U8(static_cast<uint8_t>(v));
    }
    MessageBuilder& Be32(uint32_t v) {
        return Be16(static_cast<uint16_t>(v >> 16)).Be16(static_cast<uint16_t>(v));
    }
    MessageBuilder& Text(std::string_view text, size_t width) {
        for (size_t i = 0; i < width; ++i) U8(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
        return *this;
    }
    MessageBuilder& Raw(const Bytes& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    Bytes Build() const { return bytes_; }

  private:
    Bytes bytes_;
};

// Standard Base64 (RFC 4648, "+/" and "=" padding), then "/" written as "-": the report text
// alphabet, from the other direction.
inline std::string ReferenceEncode(const Bytes& in) {
    static constexpr char kStandard[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = in.size() - i < 3 ? in.size() - i : 3;
        const uint32_t group = (uint32_t{in[i]} << 16) | (n > 1 ? uint32_t{in[i + 1]} << 8 : 0) |
                               (n > 2 ? uint32_t{in[i + 2]} : 0);
        out += kStandard[(group >> 18) & 63];
        out += kStandard[(group >> 12) & 63];
        out += n > 1 ? kStandard[(group >> 6) & 63] : '=';
        out += n > 2 ? kStandard[group & 63] : '=';
    }
    for (char& c : out) {
        if (c == '/') c = '-';
    }
    return out;
}

// A header as a handset with label "AP_R1", flex "FLEX_7", BP version code "1234", 3 BP
// records, 74565 s of uptime, fingerprint 0x2679 and serial "SN01234567" sends it.
inline Bytes SampleHeader(uint8_t reportType) {
    return MessageBuilder()
        .U8(reportType)          //  0 reportType
        .U8(2)                   //  1 formatCode
        .Text("AP_R1", 20)       //  2 apBuildLabel: 41 50 5f 52 31, 15 NULs
        .Text("FLEX_7", 20)      // 22 flexVersion: 46 4c 45 58 5f 37, 14 NULs
        .Text("1234", 4)         // 42 bpVersionCode: 31 32 33 34
        .U8(0)                   // 46 zero byte
        .U8(3)                   // 47 bpTotalCount
        .Be32(74565000)          // 48 uptimeMs: 04 71 c5 88
        .Be16(0x2679)            // 52 imageFingerprint: 26 79
        .Text("SN01234567", 10)  // 54 serialNumber
        .Build();
}

// 36 bytes of crash data: a0 a1 ... c3, so that any shift or cut shows.
inline Bytes SampleCrashData() {
    Bytes data;
    for (uint8_t b = 0xa0; b < 0xa0 + 36; ++b) data.push_back(b);
    return data;
}

// Crash report: call time 7, timestamp 0x11223344, id 2. The body opens with
// 00 00 00 07  11 22 33 44  00 00 00 02, then a0 .. c3.
inline Bytes SampleCrashMessage(uint32_t id = 2) {
    return MessageBuilder()
        .Raw(SampleHeader(0))
        .Be32(7)                 // body  0 call time
        .Be32(0x11223344)        // body  4 timestamp
        .Be32(id)                // body  8 id
        .Raw(SampleCrashData())  // body 12 data
        .Build();
}

// Core dump report of task "mediaplayer" (sent as the 9 characters "mediaplay"), library
// "libc.so", pcOffset 0x00001A2C, signal 11, pc 0x40011A2C, lr 0x40010010.
inline Bytes SampleCoreDumpMessage() {
    return MessageBuilder()
        .Raw(SampleHeader(0))
        .Be32(42)                       // body  0 call time: 00 00 00 2a
        .Be32(0x65000000)               // body  4 file time
        .Raw({0x00, 0x08, 0x21, 0x00})  // body  8 module id 0x00082100
        .Text("mediaplay", 10)          // body 12 task name, byte 21 NUL
        .Text("libc.so", 13)            // body 22 library name, byte 34 NUL
        .Raw({0x00, 0x00, 0x1a, 0x2c})  // body 35 pcOffset, unaligned
        .U8(11)                         // body 39 signal (SIGSEGV)
        .Be32(0x40011a2c)               // body 40 pc
        .Be32(0x40010010)               // body 44 lr
        .Build();
}

// Periodic report: call time 300 (00 00 01 2c), five zero words, generic data 01 02 .. 18.
inline Bytes SamplePeriodicMessage() {
    MessageBuilder m;
    m.Raw(SampleHeader(2)).Be32(300);
    for (int i = 0; i < 5; ++i) m.Be32(0);
    for (uint8_t b = 1; b <= 24; ++b) m.U8(b);
    return m.Build();
}

// Software-change report: the handset ran "AP_R0" with flex "FLEX_6" before.
inline Bytes SampleSoftwareChangeMessage() {
    return MessageBuilder()
        .Raw(SampleHeader(1))
        .Text("AP_R0", 20)   // body  0 previous apBuildLabel
        .Text("FLEX_6", 20)  // body 20 previous flexVersion
        .Build();
}

inline Bytes Prefix(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace ulv::decode::testing
