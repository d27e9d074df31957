// Wire protocol between the sim telephony client library and the simulated handset
// (tools/handset). Both ends live in this repository; every number is little-endian and is
// written byte by byte, so a client and a handset built for different processors agree.
//
// Transport: a SOCK_SEQPACKET Unix socket at <root>/sim/tapi.sock; one packet is one message.
// TAPI_CLIENT_Init opens two connections:
//   events:  client -> "E" u16 count, count x u16 msgId     handset -> "K" (accepted)
//            then handset -> event packets, one per telephony message:
//              u16 msgId, u16 length, u8 flags (bit 0: data is null), data bytes
//            A packet shorter than its 5-byte head cannot be read as a message.
//   calls:   client -> "C"                                   handset -> "K"
//            then request/response pairs:
//              request:  u16 call code, request payload
//              response: i32 result, response payload (the payload only when result is 0)
// A handset that refuses a connection closes it instead of answering "K".
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr char kSocketName[] = "sim/tapi.sock";  // under the sandbox root
inline constexpr uint8_t kHelloEvents = 'E';
inline constexpr uint8_t kHelloCalls = 'C';
inline constexpr uint8_t kHelloAccepted = 'K';
inline constexpr size_t kEventHeadSize = 5;
inline constexpr uint8_t kEventDataNull = 0x01;
inline constexpr size_t kMaxPacket = 8192;

// Call codes, request payload -> response payload on success.
enum CallCode : uint16_t {
    kCallNetworkId = 1,       // -> 8 bytes country code, 8 bytes network code
    kCallServiceAvail = 2,    // -> 1 byte
    kCallSignalQuality = 3,   // -> 2 bytes
    kCallApVersion = 4,       // -> 48 bytes
    kCallBpVersion = 5,       // -> 192 bytes
    kCallSerialNo = 6,        // -> 16 bytes
    kCallServiceCentre = 7,   // -> 42 bytes
    kCallEmailGateway = 8,    // -> 42 bytes
    kCallExpirePeriod = 9,    // u32 period -> 1 byte
    kCallSendSms = 10,        // 6500-byte submission record -> u32 sequence number
    kCallCallTime = 11,       // -> u32
    kCallGenericData = 12,    // -> 24 bytes
};

inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace sim
