// Panic collection: BP panic logs, QUELA panic blocks, the kernel panic partition.
#pragma once

#include <cstdint>

#include "panics/panic_record.h"

void ULVSortPanicIndex(PanicSortEntry* entries, uint16_t count);
// Releases a panic list and its sort index (either may be null) and nulls both.
void ULVFreePanicList(PanicRecord*& list, PanicSortEntry*& index);
// Entry k of a panic list: through its sort index when there is one, else in list order.
PanicRecord& ULVPanicEntry(PanicRecord* list, const PanicSortEntry* index, uint8_t k);

// The passes take a descriptor opened with ULVOpenPlaced (state/placed_file.h).
inline constexpr char BP_PANIC_LOG1_PATH[] = "/zellocal/panic/bp_panic.log1";
inline constexpr char BP_PANIC_LOG2_PATH[] = "/zellocal/panic/bp_panic.log2";
void ULVReadBpPanics();
void ULVCountBpPanics(int fd, uint8_t* newCount, uint8_t* totalCount);
void ULVLoadBpPanics(int fd, uint8_t* fillCount, uint8_t capacity);
void ULVBuildBpSortIndex();
void ULVDeleteBpPanics();

inline constexpr char QUELA_BLOCK_A_PATH[] = "/zellocal/panic/qupanic_block.a";
inline constexpr char QUELA_BLOCK_B_PATH[] = "/zellocal/panic/qupanic_block.b";
void ULVReadQuelaPanics();
void ULVCountQuelaPanics(int fd, uint8_t* newCount, uint8_t* totalCount);
void ULVLoadQuelaPanics(int fd, uint8_t* fillCount, uint8_t capacity);
void ULVBuildQuelaSortIndex();
void ULVDeleteQuelaPanics();

inline constexpr char KERNEL_PANIC_PATH[] = "/dev/mtdblock/kpanic";
inline constexpr uint32_t KERNEL_PANIC_ID = 0x82000;
inline constexpr uint32_t KERNEL_PANIC_FORCED_ID = 0x82002;
inline constexpr uint32_t KERNEL_PANIC_NO_TIME = 0xFFFFFFFF;
inline constexpr size_t KERNEL_PANIC_PC_SIZE = 4;
// Reads the partition's text: the last time tag's time (KERNEL_PANIC_NO_TIME when none), the
// last program counter and whether the panic was forced. 0, or -1 when it cannot be read.
int ULVParseKernelPanicLog(uint32_t* time, uint8_t* programCounter, uint8_t* forced);
void ULVReadKernelPanic();
void ULVReleaseKernelPanic();
// The program counter at the start of a kernel panic record's data, as 8 hexadecimal digits.
void ULVFormatProgramCounter(const uint8_t* data, char (&out)[2 * KERNEL_PANIC_PC_SIZE + 1]);
