// Panic collection: BP panic logs, QUELA panic blocks, the kernel panic partition.
#pragma once

#include <cstdint>
#include <cstdio>

#include "panics/panic_record.h"

void ULVSortPanicIndex(PanicSortEntry* entries, uint16_t count);
// Releases a panic list and its sort index (either may be null) and nulls both.
void ULVFreePanicList(PanicRecord*& list, PanicSortEntry*& index);

inline constexpr char BP_PANIC_LOG1_PATH[] = "/zellocal/panic/bp_panic.log1";
inline constexpr char BP_PANIC_LOG2_PATH[] = "/zellocal/panic/bp_panic.log2";
void ULVReadBpPanics();
void ULVCountBpPanics(FILE* file, uint8_t* newCount, uint8_t* totalCount);
void ULVLoadBpPanics(FILE* file, uint8_t* fillCount, uint8_t capacity);
void ULVBuildBpSortIndex();
void ULVDeleteBpPanics();

inline constexpr char QUELA_BLOCK_A_PATH[] = "/zellocal/panic/qupanic_block.a";
inline constexpr char QUELA_BLOCK_B_PATH[] = "/zellocal/panic/qupanic_block.b";
void ULVReadQuelaPanics();
void ULVDeleteQuelaPanics();

void ULVReadKernelPanic();
void ULVReleaseKernelPanic();
