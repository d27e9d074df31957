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
constexpr char kMd5OfB[] = "9d5ed678fe57bcca610140957afab571";
constexpr char kMd5OfC[] = "0d61f8370cad1d412f80b84d143e1257";

// CRC-16/X-25 one bit at a time, from its definition: reflected polynomial 0x8408, register
// starting at 0xFFFF, final XOR 0xFFFF.
uint16_t BitwiseCrc(const std::string& text, uint16_t r = 0xFFFF) {
    for (unsigned char b : text) {
        r ^= b;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
    }
    return r ^ 0xFFFF;
}

uint16_t Crc(const std::string& text) {
    return ULVCrc16(reinterpret_cast<const uint8_t*>(text.data()),
                    static_cast<uint16_t>(text.size()));
}

TEST(Crc16, GivesTheCheckValuesAndAgreesWithTheBitwiseDefinition) {
    EXPECT_EQ(Crc("123456789"), 0x906E);
    EXPECT_EQ(Crc("abc"), 0x9E25);
    EXPECT_EQ(Crc(""), 0x0000);
    std::string all;  // every byte: every entry of the nibble table is used
    for (int b = 0; b < 256; ++b) all += static_cast<char>(255 - b);
    EXPECT_EQ(Crc(all), BitwiseCrc(all));
    // The count bounds the input: the byte after it is not read.
    EXPECT_EQ(ULVCrc16(reinterpret_cast<const uint8_t*>("abcd"), 3), 0x9E25);
}

void Fill(FingerprintDigestArea& area, const char* s0, const char* s1, const char* s2) {
    std::memset(area, 0, sizeof area);
    std::strcpy(area[0], s0);
    std::strcpy(area[1], s1);
    std::strcpy(area[2], s2);
}

TEST(FingerprintDigests, JoinsSlotZeroTwoOneAndChecksumsTheText) {
    FingerprintDigestArea area;
    Fill(area, kEmptyMd5, kEmptyMd5, kEmptyMd5);
    EXPECT_EQ(ULVFingerprintDigests(area), 0x2679);
    Fill(area, kMd5OfA, kMd5OfB, kMd5OfC);
    EXPECT_EQ(ULVFingerprintDigests(area), 0xAE63);  // "A" "C" "B" digests joined
    EXPECT_EQ(ULVFingerprintDigests(area), BitwiseCrc(std::string(kMd5OfA) + kMd5OfC + kMd5OfB));
    // Slots shorter than a digest count with their own length.
    Fill(area, "ab", "", "c");
    EXPECT_EQ(ULVFingerprintDigests(area), BitwiseCrc("abc"));
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
    WriteFile("dev/mtdblock/bpsw", "B");
    WriteFile("elsewhere", "secret");
    ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), (dir + "kern").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "root").c_str(), 0600), 0);  // no writer: must not block
    ASSERT_EQ(mkdir((dir + "dir").c_str(), 0700), 0);
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/mtdblock/bpsw", kMd5OfB},
        {"/dev/mtdblock/kern", kEmptyMd5},  // a link is not followed
        {"/dev/mtdblock/root", kEmptyMd5},  // a FIFO
        {"/dev/mtdblock/dir", kEmptyMd5},
        {"/dev/mtdblock/missing", kEmptyMd5},
    };
    const int lowestFree = dup(0);
    close(lowestFree);
    for (const auto& [device, digest] : cases) {
        char slot[FINGERPRINT_SLOT_SIZE];
        std::memset(slot, 'x', sizeof slot);
        EXPECT_EQ(ULVPartitionMd5(device, slot), 0) << device;
        EXPECT_STREQ(slot, digest) << device;
    }
    const int stillLowest = dup(0);  // no descriptor left open
    close(stillLowest);
    EXPECT_EQ(stillLowest, lowestFree);
}

using ImageFingerprintTest = DaemonTest;

TEST_F(ImageFingerprintTest, TracesEachDigestUnderItsLabelAndReturnsTheChecksum) {
    WriteFile("dev/mtdblock/bpsw", "A");
    WriteFile("dev/mtdblock/kern", "B");
    WriteFile("dev/mtdblock/root", "C");
    EXPECT_EQ(ULVImageFingerprint(), 0xAE63);
    EXPECT_EQ(TraceCount(std::string("bp md5 is ") + kMd5OfA + "\nroot md5 is " + kMd5OfC +
                         "\n kernel md5 is " + kMd5OfB + "\n\n"),
              1)
        << TraceFile();
    // Kernel and root file system swapped: another fingerprint.
    WriteFile("dev/mtdblock/kern", "C");
    WriteFile("dev/mtdblock/root", "B");
    EXPECT_EQ(ULVImageFingerprint(), BitwiseCrc(std::string(kMd5OfA) + kMd5OfB + kMd5OfC));
    EXPECT_NE(ULVImageFingerprint(), 0xAE63);
}

}  // namespace
