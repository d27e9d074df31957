// The one SMS being prepared.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t SMS_DESTINATION_SIZE = 52;
inline constexpr size_t SMS_TEXT_SIZE = 164;
inline constexpr uint32_t SMS_ADDRESS_TYPE_EMAIL = 1;

struct OutgoingSms {
    char destination[SMS_DESTINATION_SIZE];  // NUL-terminated
    uint32_t addressType;                    // 1: e-mail address through the e-mail gateway
    uint32_t textLength;                     // characters written by the encoder
    char text[SMS_TEXT_SIZE];                // NUL-terminated
};
static_assert(sizeof(OutgoingSms) == 224, "the outgoing SMS record is 224 bytes");
