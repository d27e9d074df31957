#include "inventory/md5.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

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
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1 << 21, 'a'), "de89461b64701958984c95d1bfb0065a"},  // 4 bytes of bit count
        {Pattern(55), "52c0e574e1198de5fe3f8f11440dcb1b"},
        {Pattern(56), "46c9907fc908ee68b1e7b8e71286a518"},
        {Pattern(63), "a62f6d59e837867693f042f5b8f5a236"},
        {Pattern(64), "7160b8fb5e9e4023d549c3971fbaeead"},
        {Pattern(129), "03fefbbcebe2959cf2270241aafe0250"},
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
