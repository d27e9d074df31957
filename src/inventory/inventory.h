// Software inventory: the 16-bit fingerprint of the flash images.
//
// Each of the three flash partitions is read once, from start to end, through one fixed
// buffer and hashed with MD5 as it is read. The digests, as 32 lower-case hexadecimal digits
// each, are joined in the order baseband, root file system, kernel (slots 0, 2, 1) and the 96
// characters reduced with CRC-16/X-25. `ulv-fingerprint` (tools/fingerprint) computes the same
// figure from image files with this code, so that a fingerprint maps back to a release.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inventory/md5.h"

// Slots in the order the partitions are read; the checksum joins them as 0, 2, 1.
inline constexpr int FINGERPRINT_SLOT_COUNT = 3;
inline constexpr size_t FINGERPRINT_SLOT_SIZE = MD5_HEX_SIZE;  // 32 digits and a NUL
inline constexpr const char* PARTITION_PATHS[FINGERPRINT_SLOT_COUNT] = {
    "/dev/mtdblock/bpsw",  // 0: baseband software
    "/dev/mtdblock/kern",  // 1: kernel
    "/dev/mtdblock/root",  // 2: root file system
};
inline constexpr int FINGERPRINT_JOIN_ORDER[FINGERPRINT_SLOT_COUNT] = {0, 2, 1};
// The joined text: three digests of 32 characters and room to spare.
inline constexpr size_t FINGERPRINT_INPUT_SIZE = 107;
static_assert(FINGERPRINT_INPUT_SIZE > FINGERPRINT_SLOT_COUNT * (FINGERPRINT_SLOT_SIZE - 1));

// The read buffer is mapped while a partition is hashed and released after: large enough that
// the read calls cost little next to the hashing, and nothing of it stays resident.
inline constexpr size_t PARTITION_READ_BUFFER_SIZE = 16384;

using FingerprintDigestArea = char[FINGERPRINT_SLOT_COUNT][FINGERPRINT_SLOT_SIZE];

// CRC-16/X-25 nibble table: entry i is the register after four reflected shift steps of the
// polynomial 0x8408 starting from i.
extern const uint16_t CRC16_X25_NIBBLE_TABLE[16];

// CRC-16/X-25 of `length` bytes (initial 0xFFFF, reflected, final XOR 0xFFFF), four bits at a
// time.
uint16_t ULVCrc16(const uint8_t* bytes, uint16_t length);

// Joins the digests of `area` (slot 0, slot 2, slot 1) and returns their CRC-16/X-25.
uint16_t ULVFingerprintDigests(const FingerprintDigestArea& area);

// Reads `fd` from where it stands to its end through one PARTITION_READ_BUFFER_SIZE buffer and
// stores the MD5 of every byte read in `slot`. Returns 0 at end of file; -1 when a read failed,
// `slot` then holding the digest of the bytes read before the failure.
int ULVMd5ReadToEnd(int fd, char (&slot)[FINGERPRINT_SLOT_SIZE]);

// Stores in `slot` the MD5 of the partition at the fixed path `device`. A partition that
// cannot be opened, or that is neither a regular file nor a block device, gives the digest of
// empty input; a read error part-way gives the digest of the bytes read before it. Returns 0:
// every way this can go yields a digest.
int ULVPartitionMd5(const char* device, char (&slot)[FINGERPRINT_SLOT_SIZE]);

// The fingerprint (0 to 0xFFFF), or -1 when a digest could not be obtained.
int ULVImageFingerprint();
