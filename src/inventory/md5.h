// MD5 (RFC 1321), fed in pieces of any length: the flash partitions are hashed as they are
// read, one buffer at a time. MD5 is defined on little-endian 32-bit words; every word is
// assembled from its bytes, so the result is the same on any byte order and no load is
// unaligned or reads bytes through another type.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t MD5_BLOCK_SIZE = 64;
inline constexpr size_t MD5_DIGEST_SIZE = 16;
inline constexpr size_t MD5_HEX_SIZE = 33;  // 32 lower-case hexadecimal digits and a NUL

struct Md5State {
    uint32_t word[4];                 // a, b, c, d
    uint64_t length;                  // bytes fed so far
    uint8_t pending[MD5_BLOCK_SIZE];  // the start of a block not yet complete
    size_t pendingCount;
};

void ULVMd5Init(Md5State& md5);
void ULVMd5Update(Md5State& md5, const uint8_t* bytes, size_t count);
// Pads, finishes and writes the 16-byte digest; `md5` must be initialised again before reuse.
void ULVMd5Final(Md5State& md5, uint8_t (&digest)[MD5_DIGEST_SIZE]);
// The digest as md5sum prints it: 32 lower-case hexadecimal digits, NUL-terminated.
void ULVMd5Hex(const uint8_t (&digest)[MD5_DIGEST_SIZE], char (&text)[MD5_HEX_SIZE]);
