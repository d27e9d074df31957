// The whole fingerprint (read, digest, join, checksum, trace) is checked end to end against
// md5sum and a bitwise CRC; here the parts the end-to-end run cannot reach.
#include "inventory/inventory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "daemon_fixture.h"
#include "inventory/md5.h"

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

// Slots shorter than a digest count with their own length, joined as slot 0, 2, 1; the
// checksum itself agrees with its bitwise definition.
TEST(FingerprintDigests, JoinsSlotsZeroTwoOneEachUpToItsEnd) {
    FingerprintDigestArea area;
    std::memset(area, 0, sizeof area);
    std::strcpy(area[0], "ab");
    std::strcpy(area[2], "c");
    EXPECT_EQ(ULVFingerprintDigests(area), BitwiseCrc("abc"));
    std::memset(area[1], 'z', sizeof area[1]);  // no terminator: the digest's length at most
    EXPECT_EQ(ULVFingerprintDigests(area), BitwiseCrc("abc" + std::string(32, 'z')));
    std::string all;  // every byte: every entry of the checksum's nibble table is used
    for (int b = 0; b < 256; ++b) all += static_cast<char>(255 - b);
    EXPECT_EQ(ULVCrc16(reinterpret_cast<const uint8_t*>(all.data()), 256), BitwiseCrc(all));
    // The published check value ties both to CRC-16/X-25 itself.
    EXPECT_EQ(ULVCrc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x906E);
    EXPECT_EQ(BitwiseCrc("123456789"), 0x906E);
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

TEST_F(PartitionMd5Test, HashesOnlyRegularFilesAndDevicesAndClosesWhatItOpens) {
    const std::string dir = root_ + "/dev/mtdblock/";
    WriteFile("dev/mtdblock/bpsw", "A");
    WriteFile("elsewhere", "secret");
    ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), (dir + "kern").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "root").c_str(), 0600), 0);  // no writer: must not block
    ASSERT_EQ(mkdir((dir + "dir").c_str(), 0700), 0);
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/mtdblock/bpsw", kMd5OfA},
        {"/dev/mtdblock/kern", kEmptyMd5},  // a link is not followed
        {"/dev/mtdblock/root", kEmptyMd5},
        {"/dev/mtdblock/dir", kEmptyMd5},
        {"/dev/mtdblock/missing", kEmptyMd5},
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

// The digest of `bytes` handed to the hash in pieces cut at `cuts`.
std::string Md5Hex(std::string_view bytes, std::vector<size_t> cuts = {}) {
    Md5State md5;
    ULVMd5Init(md5);
    size_t at = 0;
    cuts.push_back(bytes.size());
    for (size_t cut : cuts) {
        ULVMd5Update(md5, reinterpret_cast<const uint8_t*>(bytes.data()) + at, cut - at);
        at = cut;
    }
    uint8_t digest[MD5_DIGEST_SIZE];
    ULVMd5Final(md5, digest);
    char text[MD5_HEX_SIZE];
    ULVMd5Hex(digest, text);
    return text;
}

// Bytes (7 i + 3) mod 256: no two neighbouring words alike, so a word loaded in the wrong
// byte order or from the wrong offset changes the digest.
std::string Pattern(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

// Reference digests, then lengths around where the padding needs one block or two (digests
// from an independent implementation); long reads are checked end to end against md5sum.
TEST(Md5, MatchesTheReferenceDigestsAtEveryPaddingBoundary) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1 << 21, 'a'), "de89461b64701958984c95d1bfb0065a"},  // 4 bytes of bit count
        {Pattern(55), "52c0e574e1198de5fe3f8f11440dcb1b"},
        {Pattern(56), "46c9907fc908ee68b1e7b8e71286a518"},
        {Pattern(57), "1c805dd236c35cab25fcb1bc73802c51"},
        {Pattern(63), "a62f6d59e837867693f042f5b8f5a236"},
        {Pattern(64), "7160b8fb5e9e4023d549c3971fbaeead"},
        {Pattern(65), "70bd662e7aefbda85a0f7244167b7897"},
        {Pattern(119), "e84905d4214f4d1ca56c2cdcc152b143"},
        {Pattern(120), "e3eb5a6c8669ea01a8c185b8abc8a5dc"},
        {Pattern(127), "acce2474d6cc8302120d09c818d17ef7"},
        {Pattern(128), "10b2da1a82f16d99a81a7203fe9f02cb"},
    };
    for (const auto& [input, digest] : cases) EXPECT_EQ(Md5Hex(input), digest) << input.size();
}

// Reads hand the hash pieces of any length at any address: every split of a three-block
// input, fed from an odd address, gives the digest of the whole.
TEST(Md5, PiecesOfAnyLengthAtAnyAddressGiveTheDigestOfTheWhole) {
    const std::string shifted = "#" + Pattern(129);
    const std::string_view whole(shifted.data() + 1, 129);
    for (size_t first = 0; first <= whole.size(); ++first) {
        for (size_t second : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}}) {
            if (first + second > whole.size()) continue;
            ASSERT_EQ(Md5Hex(whole, {first, first + second}), "03fefbbcebe2959cf2270241aafe0250")
                << first << "+" << second;
        }
    }
}

}  // namespace
