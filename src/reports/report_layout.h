// The report message: what one SMS carries, before text encoding.
//
//   message := header(64) body(0 | 40 | 48)            at most 112 bytes
//
// Every 2- and 4-byte number in a message is in wire order, most significant byte first.
// Strings and byte fields go as they are, fixed width, neither terminated nor padded here.
//
// Header, 64 bytes:
//   off size field             content
//    0   1   reportType        0 crash / core dump, 1 software change, 2 periodic
//    1   1   formatCode        always 2
//    2  20   apBuildLabel      first 20 bytes of the AP version information
//   22  20   flexVersion       20 bytes at offset 48 of the BP version information
//   42   4   bpVersionCode     BP version characters p+1, p+2, p+4, p+5 (p: its first ".")
//   46   1   (zero)
//   47   1   bpTotalCount      BP panic records in both logs at start-up, modulo 256
//   48   4   uptimeMs          cumulative uptime s x 1000, low 32 bits       wire order
//   52   2   imageFingerprint  16-bit fingerprint of the flash images        wire order
//   54  10   serialNumber      first 10 bytes of the factory serial number
//
// Example, a periodic report header (type 2) of a handset with label "AP_R1", flex
// "FLEX_7", BP version "BP.12.34", 3 BP records, 74565 s of uptime, fingerprint 0x2679 and
// serial "SN01234567":
//   02 02                                  reportType 2, formatCode 2
//   41 50 5f 52 31 00 .. 00                "AP_R1", NUL-padded to 20 by the library
//   46 4c 45 58 5f 37 00 .. 00             "FLEX_7", NUL-padded to 20
//   31 32 33 34                            bpVersionCode "1234"
//   00 03                                  zero byte, bpTotalCount 3
//   04 71 c5 88                            uptimeMs 74565000
//   26 79                                  imageFingerprint 0x2679
//   53 4e 30 31 32 33 34 35 36 37          serialNumber
//
// Bodies:
//   software change, 40: previous build label (20), previous flex version (20); bytes as is.
//   crash, 48:    call time u32, timestamp u32, id u32, data (36).
//   periodic, 48: call time u32, five zero u32, generic usage data (24, as the library gave).
//   core dump, 48: call time u32, file time u32, module id u32, task name (10, byte 21 NUL),
//                  library name (13, byte 34 NUL), pc offset u32 at 35, signal u8 at 39,
//                  pc u32 at 40, lr u32 at 44.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t REPORT_HEADER_SIZE = 64;
inline constexpr size_t REPORT_TYPE_OFFSET = 0;
inline constexpr size_t REPORT_FORMAT_CODE_OFFSET = 1;
inline constexpr size_t REPORT_AP_BUILD_LABEL_OFFSET = 2;
inline constexpr size_t REPORT_FLEX_VERSION_OFFSET = 22;
inline constexpr size_t REPORT_BP_VERSION_CODE_OFFSET = 42;
inline constexpr size_t REPORT_ZERO_BYTE_OFFSET = 46;
inline constexpr size_t REPORT_BP_TOTAL_COUNT_OFFSET = 47;
inline constexpr size_t REPORT_UPTIME_MS_OFFSET = 48;
inline constexpr size_t REPORT_FINGERPRINT_OFFSET = 52;
inline constexpr size_t REPORT_SERIAL_OFFSET = 54;
inline constexpr size_t REPORT_LABEL_SIZE = 20;
inline constexpr size_t REPORT_BP_VERSION_CODE_SIZE = 4;
inline constexpr size_t REPORT_SERIAL_SIZE = 10;
static_assert(REPORT_SERIAL_OFFSET + REPORT_SERIAL_SIZE == REPORT_HEADER_SIZE);
static_assert(REPORT_FLEX_VERSION_OFFSET + REPORT_LABEL_SIZE == REPORT_BP_VERSION_CODE_OFFSET);

inline constexpr uint8_t REPORT_TYPE_CRASH = 0;
inline constexpr uint8_t REPORT_TYPE_SW_CHANGE = 1;
inline constexpr uint8_t REPORT_TYPE_PERIODIC = 2;
inline constexpr uint8_t REPORT_FORMAT_CODE = 2;

inline constexpr size_t SW_CHANGE_BODY_SIZE = 40;
inline constexpr size_t CRASH_BODY_SIZE = 48;
inline constexpr size_t PERIODIC_BODY_SIZE = 48;
inline constexpr size_t CORE_DUMP_BODY_SIZE = 48;
inline constexpr size_t REPORT_BODY_MAX = 48;
inline constexpr size_t REPORT_MESSAGE_MAX = REPORT_HEADER_SIZE + REPORT_BODY_MAX;  // 112

// Body offsets shared by the crash, periodic and core dump bodies.
inline constexpr size_t BODY_CALL_TIME_OFFSET = 0;
inline constexpr size_t CRASH_TIMESTAMP_OFFSET = 4;
inline constexpr size_t CRASH_ID_OFFSET = 8;
inline constexpr size_t CRASH_DATA_OFFSET = 12;
inline constexpr size_t PERIODIC_GENERIC_DATA_OFFSET = 24;
inline constexpr size_t PERIODIC_GENERIC_DATA_SIZE = 24;
inline constexpr size_t CORE_FILE_TIME_OFFSET = 4;
inline constexpr size_t CORE_MODULE_ID_OFFSET = 8;
inline constexpr size_t CORE_TASK_NAME_OFFSET = 12;
inline constexpr size_t CORE_TASK_NAME_FIELD = 10;
inline constexpr size_t CORE_LIB_NAME_OFFSET = 22;
inline constexpr size_t CORE_LIB_NAME_FIELD = 13;
inline constexpr size_t CORE_PC_OFFSET_OFFSET = 35;
inline constexpr size_t CORE_SIGNAL_OFFSET = 39;
inline constexpr size_t CORE_PC_OFFSET = 40;
inline constexpr size_t CORE_LR_OFFSET = 44;
static_assert(PERIODIC_GENERIC_DATA_OFFSET + PERIODIC_GENERIC_DATA_SIZE == PERIODIC_BODY_SIZE);
static_assert(CORE_LR_OFFSET + 4 == CORE_DUMP_BODY_SIZE);

// pendingReports bits.
inline constexpr uint32_t PENDING_CRASH = 1;
inline constexpr uint32_t PENDING_SW_CHANGE = 2;
inline constexpr uint32_t PENDING_PERIODIC = 4;

// Report kinds handed to ULVAfterSend.
inline constexpr uint8_t REPORT_KIND_SW_CHANGE = 0xFF;
inline constexpr uint8_t REPORT_KIND_CRASH = 0;
inline constexpr uint8_t REPORT_KIND_PERIODIC = 2;
