// Working record of one core file.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t CORE_PATH_SIZE = 256;
inline constexpr size_t CORE_TASK_NAME_MAX = 64;
inline constexpr size_t CORE_LIB_NAME_SIZE = 64;

struct CoreDumpRecord {
    char path[CORE_PATH_SIZE];
    char taskName[CORE_TASK_NAME_MAX + 1];
    uint32_t moduleId;
    uint32_t fileTime;
    char libName[CORE_LIB_NAME_SIZE];
    uint32_t pcOffset;
    uint8_t signalNumber;
    uint32_t pc;
    uint32_t lr;
};
