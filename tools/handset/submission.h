// The SMS submission record that TAPI_SMS_SendSmUnblockMode hands to the phone, as the handset
// reads it. Numbers are in the processor's own order: the handset runs on the same processor as
// the daemon that filled the record.
//
//   record := pid:u8 0:u8 centre:char[42] destination:char[44] 0:u32 length:u16
//             text:u16[length] 0:u16 ... validity:u8 0:u8[3]          (6500 bytes)
//
//   offset  size       field
//   0       1          protocol identifier: 0x32 Internet e-mail interworking, 0 otherwise
//   1       1          0
//   2       42         service centre address, NUL-terminated text
//   44      44         destination (phone number, or the e-mail gateway), NUL-terminated
//   88      4          u32 0
//   92      2          u16 text length in characters
//   94      2*len + 2  the text, one 16-bit unit per character, then a 0 unit
//   6496    1          validity period byte
//   6497    3          0
//
// Example on a little-endian processor: centre "+44", destination "62", text "Hi", validity 0xa7
//   0000: 00 00 2b 34 34 00 ..         pid 0, 0, centre "+44"
//   002c: 36 32 00 ..                  destination "62"
//   0058: 00 00 00 00                  u32 0
//   005c: 02 00                        length 2
//   005e: 48 00 69 00 00 00            'H' 'i', 0 unit
//   1960: a7 00 00 00                  validity 0xa7
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tapi.h"

namespace handset {

inline constexpr size_t kSubmitRecordSize = TAPI_SMS_SUBMIT_RECORD_SIZE;
inline constexpr size_t kSubmitPidOffset = 0;
inline constexpr size_t kSubmitCentreOffset = 2;
inline constexpr size_t kSubmitCentreSize = 42;
inline constexpr size_t kSubmitDestinationOffset = 44;
inline constexpr size_t kSubmitDestinationSize = 44;
inline constexpr size_t kSubmitReservedOffset = 88;
inline constexpr size_t kSubmitLengthOffset = 92;
inline constexpr size_t kSubmitTextOffset = 94;
inline constexpr size_t kSubmitValidityOffset = 6496;
// The text and its 0 unit end before the validity byte.
inline constexpr size_t kSubmitMaxTextUnits = (kSubmitValidityOffset - kSubmitTextOffset) / 2 - 1;
static_assert(kSubmitCentreOffset + kSubmitCentreSize == kSubmitDestinationOffset);
static_assert(kSubmitDestinationOffset + kSubmitDestinationSize == kSubmitReservedOffset);
static_assert(kSubmitLengthOffset + 2 == kSubmitTextOffset);
static_assert(kSubmitValidityOffset + 4 == kSubmitRecordSize);

struct Submission {
    uint8_t protocolId = 0;
    std::string serviceCentre;  // up to the NUL, or the whole field when it has none
    std::string destination;
    uint16_t textLength = 0;
    std::vector<uint16_t> text;  // `textLength` units
    uint8_t validity = 0;
    // What the record gets wrong without being unreadable, one short phrase each.
    std::vector<std::string> warnings;
};

// Reads a record. Returns false, with the reason in `error`, when it cannot be read at all:
// a wrong size or a text length that runs past the validity byte.
bool DecodeSubmission(const uint8_t* record, size_t size, Submission* out, std::string* error);

// The log line of a submission, without a line end:
//   SMS seq=7 pid=0x00 sc=+4412345 dest=6245 len=3 vp=0xff text=abc
// `sequence` null gives "SMS refused ..." for a submission the handset refused. Bytes and code
// units outside printable ASCII are written as \xHH or \uHHHH, a backslash as \\; every field
// but the text, which comes last, is one word (a blank in it is written \x20).
std::string FormatSubmission(const Submission& submission, const uint32_t* sequence);

}  // namespace handset
