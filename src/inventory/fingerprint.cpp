// The 16-bit fingerprint of the flash images carried in every report header, computed once
// at initialisation.
#include <unistd.h>

#include <cstring>

#include "inventory/inventory.h"
#include "state/placed_file.h"
#include "state/trace.h"

int ULVPartitionMd5(const char* device, char (&slot)[FINGERPRINT_SLOT_SIZE]) {
    // Any application could place something at these paths in the sim, and a partition that
    // is missing or of the wrong kind must not stall or fail the start: it is hashed as empty,
    // like a pipeline whose `cat` found nothing to read.
    const int fd = ULVOpenPlacedFixed(device, PlacedKind::RegularOrDevice);
    if (fd < 0) {
        Md5State md5;
        ULVMd5Init(md5);
        uint8_t digest[MD5_DIGEST_SIZE];
        ULVMd5Final(md5, digest);
        ULVMd5Hex(digest, slot);
        return 0;
    }
    // A read error part-way keeps the digest of the bytes before it: that is what the shell
    // pipeline this replaces gave (cat stops, md5sum hashes what came through, the exit
    // status is not looked at), so a flash with a bad block keeps the fingerprint it always had.
    ULVMd5ReadToEnd(fd, slot);
    close(fd);
    return 0;
}

int ULVImageFingerprint() {
    FingerprintDigestArea area;
    std::memset(area, 0, sizeof area);
    for (int slot = 0; slot < FINGERPRINT_SLOT_COUNT; ++slot)
        if (ULVPartitionMd5(PARTITION_PATHS[slot], area[slot]) != 0) return -1;
    ULV_TRACE("bp md5 is %s\nroot md5 is %s\n kernel md5 is %s\n\n", area[0], area[2], area[1]);
    return ULVFingerprintDigests(area);
}
