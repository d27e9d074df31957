// The platform's core file, as the crash handling of the handset writes it. Every number is a
// 32-bit word in the processor's own byte order (the file is written on the same phone).
//
//   core := L1 block1(L1) pad fixed(28) regs(8) signal(16) block2(L2) pad fixed(24) N entry*N
//   entry := nameLength start end unused name(nameLength) pad        (entries start 4-aligned)
//
// The chain is held in a table of nine (offset, size) pairs; align4(x) rounds x up to a
// multiple of 4 (a negative x towards zero):
//   pair  offset                  size
//    0    0                       4    L1
//    1    4                       L1   first variable block            (not used)
//    2    align4(off1 + L1)       28   fixed block                      (not used)
//    3    align4(off2 + 28)       8    registers: pc, lr
//    4    align4(off3 + 8)        16   signal block: L2 at +0, signal number at +12 (low byte)
//    5    align4(off4 + 16)       L2   second variable block            (not used)
//    6    align4(off5 + L2)       24   fixed block                      (not used)
//    7    align4(off6 + 24)       4    N, the number of library entries (signed)
//    8    align4(off7 + 4)        -    the library entries
// Library entry: +0 nameLength (the name field's size, NUL included), +4 start, +8 end (just
// past the range), +12 unused, +16 the library's path; the next entry at align4(+16 +
// nameLength).
//
// Example, little-endian, L1 = 5, L2 = 0, pc 0x40001a2c, lr 0x40000f10, signal 11, one library
// /lib/libc.so (nameLength 13) at 0x40000000 to 0x40010000:
//   0   05 00 00 00                    L1 = 5
//   4   aa aa aa aa aa 00 00 00        block 1 (5 bytes), padded to 12
//   12  28 bytes                       fixed block
//   40  2c 1a 00 40  10 0f 00 40       pc, lr
//   48  00 00 00 00  8 bytes  0b 00 00 00    L2 = 0, unused, signal 11
//   64  24 bytes                       fixed block (block 2 is empty)
//   88  01 00 00 00                    N = 1
//   92  0d 00 00 00  00 00 00 40  00 00 01 40  00 00 00 00    nameLength 13, start, end, unused
//   108 2f 6c 69 62 2f 6c 69 62 63 2e 73 6f 00 00 00 00     "/lib/libc.so", NUL, padding
//   124 (a next entry would start here: align4(92 + 16 + 13))
#pragma once

#include <cstddef>
#include <cstdint>

// Only the first 20480 bytes of a core file are examined, whatever its size: the library list
// follows the small blocks closely, and a bound keeps one pass cheap on any file.
inline constexpr size_t CORE_WINDOW_SIZE = 20480;

inline constexpr int CORE_LAYOUT_PAIRS = 9;
inline constexpr int CORE_PAIR_L1 = 0;
inline constexpr int CORE_PAIR_BLOCK1 = 1;
inline constexpr int CORE_PAIR_FIXED1 = 2;
inline constexpr int CORE_PAIR_REGISTERS = 3;
inline constexpr int CORE_PAIR_SIGNAL = 4;
inline constexpr int CORE_PAIR_BLOCK2 = 5;
inline constexpr int CORE_PAIR_FIXED2 = 6;
inline constexpr int CORE_PAIR_COUNT = 7;
inline constexpr int CORE_PAIR_ENTRIES = 8;

inline constexpr int32_t CORE_WORD_SIZE = 4;
inline constexpr int32_t CORE_FIXED1_SIZE = 28;
inline constexpr int32_t CORE_REGISTERS_SIZE = 8;
inline constexpr int32_t CORE_SIGNAL_BLOCK_SIZE = 16;
inline constexpr int32_t CORE_FIXED2_SIZE = 24;
inline constexpr int32_t CORE_PC_AT = 0;  // within the register block
inline constexpr int32_t CORE_LR_AT = 4;
inline constexpr int32_t CORE_L2_AT = 0;  // within the signal block
inline constexpr int32_t CORE_SIGNAL_AT = 12;

inline constexpr int32_t CORE_ENTRY_NAME_LENGTH_AT = 0;
inline constexpr int32_t CORE_ENTRY_START_AT = 4;
inline constexpr int32_t CORE_ENTRY_END_AT = 8;
inline constexpr int32_t CORE_ENTRY_NAME_AT = 16;

// The library lookup takes at most 500 entries, and no crash address below 256 (a call
// through a null pointer or a small offset from one) is looked up.
inline constexpr int32_t CORE_MAX_LIBRARIES = 500;
inline constexpr uint32_t CORE_MIN_PC = 256;
inline constexpr size_t CORE_LIB_PATH_SIZE = 256;

// Every core dump is reported with this module identifier ("unknown module").
inline constexpr uint32_t CORE_MODULE_ID = 0x00082100;

// align4 of a sum taken in 64 bits: lengths from the file cannot overflow it.
inline constexpr int64_t CoreAlign4(int64_t x) {
    return (x + 3) & ~int64_t{3};
}
static_assert(CoreAlign4(9) == 12 && CoreAlign4(12) == 12 && CoreAlign4(-5) == -4);
