// Application core dumps: discovery and bookkeeping, core file parsing, the core dump report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coredump/core_dump_record.h"

inline constexpr char CORE_DUMP_DIR[] = "/zellocal/ulv_app_dump";
// A core file's path is the directory, "/" and its name: the name starts at character 23.
inline constexpr size_t CORE_NAME_AT = sizeof CORE_DUMP_DIR;
// Paths of 255 characters or more are refused (254 characters and the NUL fit).
inline constexpr size_t CORE_PATH_MAX_LENGTH = CORE_PATH_SIZE - 2;
// Collection passes between two resets by the periodic timer, and failed reports after which
// collection stops until the daemon restarts.
inline constexpr uint8_t APCD_MAX_PASSES = 5;
inline constexpr uint8_t APCD_MAX_FAILURES = 5;

// The descriptors of one collection pass. The dump directory is written by other processes, so
// the candidate is opened once, without following a link and without blocking, and that handle
// is both checked and read; names are only ever used relative to the directory descriptor.
struct CoreDumpPass {
    int dirFd = -1;   // the dump directory, -1 when it could not be opened
    int fileFd = -1;  // the candidate, -1 when it could not be opened
    CoreDumpPass() = default;
    CoreDumpPass(const CoreDumpPass&) = delete;
    CoreDumpPass& operator=(const CoreDumpPass&) = delete;
    ~CoreDumpPass();
};

// Discovery and bookkeeping.
int ULVAPCDCollect();
int ULVAPCDGetDumpFile(CoreDumpPass& pass, char* path);
int ULVAPCDGetModuleInfo(CoreDumpPass& pass, const char* path, CoreDumpRecord* record);
// Removes a core file of the dump directory by its name relative to the directory, never
// following a link; any other path is refused. Failures are traced.
void ULVDeleteFile(const char* path);
void ULVDeleteFileAt(int dirFd, const char* path);
// The dump directory itself, never a link planted in its place; -1 with errno when it cannot
// be opened.
int ULVOpenDumpDirectory();

// Core file parsing. `fd` is the candidate's descriptor from the pass (-1: it did not open).
int ULVAPCDGetPanicInfo(CoreDumpRecord* content, int fd);
int ULVAPCDParseCore(CoreDumpRecord* record, const uint8_t* start, int32_t length);
int ULVAPCDGetLibInfo(const uint8_t* listStart, const uint8_t* end, int32_t count, uint32_t pc,
                      char* libName, uint32_t* pcOffset);
int ULVAPCDGetLibnameFromPath(const char* path, size_t pathSize, char* destination,
                              size_t destinationSize);

// The core dump report.
int ULVAPCDSendReport(const CoreDumpRecord* record);
int ULVAPCDMakeReportBody(uint8_t* length, uint8_t* body, const CoreDumpRecord* record);
int ULVComposeCoreDumpReport(uint8_t reportType, const uint8_t* body, uint8_t bodyLength);
