// The parts of the fingerprint that do not depend on where the images are: hashing a
// descriptor to its end, joining the digests and the checksum. Shared by the daemon and
// ulv-fingerprint.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "inventory/inventory.h"

const uint16_t CRC16_X25_NIBBLE_TABLE[16] = {
    0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
    0x8408, 0x9489, 0xA50A, 0xB58B, 0xC60C, 0xD68D, 0xE70E, 0xF78F,
};

uint16_t ULVCrc16(const uint8_t* bytes, uint16_t length) {
    uint16_t r = 0xFFFF;
    for (uint16_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        r = static_cast<uint16_t>((r >> 4) ^ CRC16_X25_NIBBLE_TABLE[(r ^ b) & 0x0F]);
        r = static_cast<uint16_t>((r >> 4) ^ CRC16_X25_NIBBLE_TABLE[(r ^ (b >> 4)) & 0x0F]);
    }
    return static_cast<uint16_t>(r ^ 0xFFFF);
}

uint16_t ULVFingerprintDigests(const FingerprintDigestArea& area) {
    char joined[FINGERPRINT_INPUT_SIZE] = {};
    size_t at = 0;
    for (int slot : FINGERPRINT_JOIN_ORDER) {
        // A slot is NUL-terminated when filled; its last byte bounds it when it is not.
        const size_t length = strnlen(area[slot], FINGERPRINT_SLOT_SIZE - 1);
        std::memcpy(joined + at, area[slot], length);
        at += length;
    }
    return ULVCrc16(reinterpret_cast<const uint8_t*>(joined), static_cast<uint16_t>(at));
}

int ULVMd5ReadToEnd(int fd, char (&slot)[FINGERPRINT_SLOT_SIZE]) {
    // The buffer is mapped for the call and unmapped after it: stack pages once touched stay
    // resident for as long as the daemon runs, and these are needed once, at start-up. Without
    // a mapping (no memory) a small stack buffer gives the same digest, only slower.
    void* mapped = mmap(nullptr, PARTITION_READ_BUFFER_SIZE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uint8_t fallback[512];
    uint8_t* const buffer = mapped != MAP_FAILED ? static_cast<uint8_t*>(mapped) : fallback;
    const size_t size = mapped != MAP_FAILED ? PARTITION_READ_BUFFER_SIZE : sizeof fallback;
    Md5State md5;
    ULVMd5Init(md5);
    int result = 0;
    // Read by read, each piece hashed as it comes: the bytes before a failing read count,
    // as they would through a pipe into md5sum (ULVReadFull would drop a partial buffer).
    for (;;) {
        const ssize_t n = read(fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = -1;
        if (n <= 0) break;
        ULVMd5Update(md5, buffer, static_cast<size_t>(n));
    }
    if (mapped != MAP_FAILED) munmap(mapped, PARTITION_READ_BUFFER_SIZE);
    uint8_t digest[MD5_DIGEST_SIZE];
    ULVMd5Final(md5, digest);
    ULVMd5Hex(digest, slot);
    return result;
}
