// The two diagnostic channels: the trace file and the platform log.
//
// Trace record: "%s %s:%d\t" + message, with the local time as "%d %m %G %T" (ISO week-based
// year), the source module and the line of the statement that wrote it. The module is fixed
// per source directory by the build (ULV_TRACE_SOURCE): "./ULV_main.cpp" for src/daemon,
// "./ULV_apCoreDump.cpp" for src/coredump and "./ULV_functions.cpp" for the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/aplog.h"

#ifndef ULV_TRACE_SOURCE
#define ULV_TRACE_SOURCE "./ULV_functions.cpp"
#endif

inline constexpr char TRACE_FILE_PATH[] = "/zel_user/download/appwrite/ulvPanicInfo";
inline constexpr char TRACE_BACKUP_PATH[] = "/zel_user/download/appwrite/ulvPanicInfo.bak";
inline constexpr long TRACE_ROTATE_ABOVE = 153600;  // bytes; rotated when strictly larger
inline constexpr size_t TRACE_STAMP_SIZE = 100;
// One record at the most, longer ones are cut: the longest message is a few hundred bytes.
inline constexpr size_t TRACE_RECORD_SIZE = 1024;

// Platform log port, levels and binary record identifiers.
inline constexpr char APLOG_PORT_NAME[] = "ULVPort";
inline constexpr int APLOG_PORT = 0;
inline constexpr int APLOG_LEVEL_TEXT = 3;
inline constexpr int APLOG_LEVEL_BIN = 3;
inline constexpr int APLOG_LEVEL_PANIC_BLOCK = 7;
inline constexpr uint32_t APLOG_ID_SW_CHANGE_BODY = 0xA9A01;
inline constexpr uint32_t APLOG_ID_PERIODIC_BODY = 0xA9A02;
inline constexpr uint32_t APLOG_ID_HEADER = 0xA9A03;
inline constexpr uint32_t APLOG_ID_RAW_MESSAGE = 0xA9A04;
inline constexpr uint32_t APLOG_ID_PANIC_BLOCK = 0xA9A05;  // also the stored build label
inline constexpr uint32_t APLOG_ID_GENERIC_DATA = 0xA9A06;

// Appends one record to the trace file. Never fails towards the caller.
void ULVTrace(const char* sourceFile, int sourceLine, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Formats `when` in local time as the record's time stamp into `out` (cleared first).
void ULVFormatTraceStamp(time_t when, char (&out)[TRACE_STAMP_SIZE]);

// Renames the trace file to its backup when it is larger than 153600 bytes. Result unused.
int ULVCheckTraceFile();

#define ULV_TRACE(...) ULVTrace(ULV_TRACE_SOURCE, __LINE__, __VA_ARGS__)
#define ULV_LOG(...) _aplog_port_log_ascii(APLOG_PORT, APLOG_LEVEL_TEXT, __VA_ARGS__)

inline void ULVLogBin(int level, uint32_t recordId, const void* bytes, size_t count) {
    _aplog_port_log_bin(APLOG_PORT, level, recordId, bytes, static_cast<uint32_t>(count));
}
