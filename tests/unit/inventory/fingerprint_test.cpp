// The whole fingerprint (read, digest, join, checksum, trace) is checked end to end against
// md5sum; here the parts the end-to-end run cannot reach.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "daemon_fixture.h"
#include "inventory/inventory.h"

namespace {

constexpr char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";
constexpr char kMd5OfA[] = "7fc56270e7a70fa81a5935b72eacbe29";

// CRC-16/X-25 one bit at a time, from its definition: reflected polynomial 0x8408, register
// starting at 0xFFFF, final XOR 0xFFFF.
uint16_t BitwiseCrc(const std::string& text) {
    uint16_t r = 0xFFFF;
    for (unsigned char b : text) {
        r ^= b;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
    }
    return r ^ 0xFFFF;
}

TEST(Crc16, GivesTheCheckValueAndAgreesWithTheBitwiseDefinitionOnEveryByte) {
    std::string all;  // every byte: every entry of the nibble table is used
    for (int b = 0; b < 256; ++b) all += static_cast<char>(255 - b);
    for (const std::string& text : {std::string("123456789"), std::string(), all}) {
        EXPECT_EQ(ULVCrc16(reinterpret_cast<const uint8_t*>(text.data()),
                           static_cast<uint16_t>(text.size())),
                  BitwiseCrc(text));
    }
    EXPECT_EQ(BitwiseCrc("123456789"), 0x906E);
    // The count bounds the input: the byte after it is not read.
    EXPECT_EQ(ULVCrc16(reinterpret_cast<const uint8_t*>("abcd"), 3), BitwiseCrc("abc"));
}

// Slots shorter than a digest count with their own length, joined as slot 0, 2, 1.
TEST(FingerprintDigests, JoinsSlotsZeroTwoOneEachUpToItsEnd) {
    FingerprintDigestArea area;
    std::memset(area, 0, sizeof area);
    std::strcpy(area[0], "ab");
    std::strcpy(area[2], "c");
    EXPECT_EQ(ULVFingerprintDigests(area), BitwiseCrc("abc"));
    std::memset(area[1], 'z', sizeof area[1]);  // no terminator: the digest's length at most
    EXPECT_EQ(ULVFingerprintDigests(area), BitwiseCrc("abc" + std::string(32, 'z')));
}

// A descriptor whose reads fail part-way: a non-blocking pipe with its writer still open gives
// the bytes written, then EAGAIN.
TEST(Md5ReadToEnd, KeepsTheDigestOfTheBytesBeforeAReadErrorAndReportsIt) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_EQ(write(ends[1], "A", 1), 1);
    char slot[FINGERPRINT_SLOT_SIZE];
    EXPECT_EQ(ULVMd5ReadToEnd(ends[0], slot), -1);
    EXPECT_STREQ(slot, kMd5OfA);
    close(ends[1]);
    errno = EINTR;  // left over from elsewhere: the end of file must not be taken for it
    EXPECT_EQ(ULVMd5ReadToEnd(ends[0], slot), 0);  // writer gone: end of file, nothing read
    EXPECT_STREQ(slot, kEmptyMd5);
    close(ends[0]);
}

using PartitionMd5Test = DaemonTest;

TEST_F(PartitionMd5Test, HashesOnlyRegularFilesAndDevicesAndEverythingElseAsEmpty) {
    const std::string dir = root_ + "/dev/mtdblock/";
    WriteFile("dev/mtdblock/bpsw", "A");
    WriteFile("elsewhere", "secret");
    ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), (dir + "kern").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "root").c_str(), 0600), 0);  // no writer: must not block
    ASSERT_EQ(mkdir((dir + "dir").c_str(), 0700), 0);
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/mtdblock/bpsw", kMd5OfA},
        {"/dev/mtdblock/kern", kEmptyMd5},  // a link is not followed
        {"/dev/mtdblock/root", kEmptyMd5},  // a FIFO
        {"/dev/mtdblock/dir", kEmptyMd5},
    };
    const size_t descriptors = OpenDescriptors();
    for (const auto& [device, digest] : cases) {
        char slot[FINGERPRINT_SLOT_SIZE];
        std::memset(slot, 'x', sizeof slot);
        EXPECT_EQ(ULVPartitionMd5(device, slot), 0) << device;
        EXPECT_STREQ(slot, digest) << device;
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
