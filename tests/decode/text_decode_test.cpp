// The report text alphabet: Base64 with "+" and "-" as values 62 and 63, "=" padding.
#include <gtest/gtest.h>

#include "decoder.h"
#include "report_vectors.h"

namespace ulv::decode {
namespace {

using testing::Bytes;
using testing::ReferenceEncode;

Bytes Decoded(std::string_view text, TextEnd end = TextEnd::kComplete) {
    const TextDecodeResult r = DecodeReportText(text, end);
    EXPECT_TRUE(r.ok()) << text << ": " << r.error;
    return r.bytes;
}

std::string ErrorOf(std::string_view text, TextEnd end = TextEnd::kComplete) {
    const TextDecodeResult r = DecodeReportText(text, end);
    EXPECT_FALSE(r.ok()) << text << " decoded to " << r.bytes.size() << " bytes";
    return r.error;
}

TEST(DecodeReportText, DecodesHandWrittenVectors) {
    EXPECT_EQ(Decoded("YWJj"), (Bytes{'a', 'b', 'c'}));     // as in standard Base64
    EXPECT_EQ(Decoded("----"), (Bytes{0xff, 0xff, 0xff}));  // 63 63 63 63: standard "////"
    EXPECT_EQ(Decoded("+-8="), (Bytes{0xfb, 0xff}));        // 62 63 60, one "="
    EXPECT_EQ(Decoded("AA=="), (Bytes{0x00}));              // one zero byte
    EXPECT_EQ(Decoded("AQID"), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(Decoded(""), Bytes{});
}

TEST(DecodeReportText, AgreesWithReferenceEncoderForEveryLengthUpToTheLongestReport) {
    for (size_t n = 0; n <= 114; ++n) {
        Bytes in;
        for (size_t i = 0; i < n; ++i) in.push_back(static_cast<uint8_t>(i * 37 + 250));
        const std::string text = ReferenceEncode(in);
        EXPECT_EQ(Decoded(text), in) << "length " << n;
        EXPECT_EQ(Decoded(text, TextEnd::kMayBeCut), in) << "length " << n;
    }
}

TEST(DecodeReportText, RejectsCharactersOutsideTheAlphabet) {
    EXPECT_EQ(ErrorOf("ab/c"), "'/' at position 3 is not in the report alphabet");
    EXPECT_EQ(ErrorOf("ab_c"), "'_' at position 3 is not in the report alphabet");
    EXPECT_EQ(ErrorOf("abc "), "' ' at position 4 is not in the report alphabet");
    EXPECT_EQ(ErrorOf(std::string_view("ab\0c", 4)),
              "byte 0x00 at position 3 is not in the report alphabet");
    EXPECT_EQ(ErrorOf("YW\xc3\xa9"), "byte 0xc3 at position 3 is not in the report alphabet");
    // A bad character after the padding is still named as such.
    EXPECT_EQ(ErrorOf("AA=*"), "'*' at position 4 is not in the report alphabet");
    EXPECT_FALSE(ErrorOf("YW.j", TextEnd::kMayBeCut).empty());
}

TEST(DecodeReportText, RejectsBadPadding) {
    EXPECT_EQ(ErrorOf("A==="), "bad padding: '=' at position 2 leaves 1 character(s) in its group");
    EXPECT_EQ(ErrorOf("===="), "bad padding: '=' at position 1 leaves 0 character(s) in its group");
    EXPECT_EQ(ErrorOf("AA=A"), "bad padding: 'A' at position 4 follows '='");
    EXPECT_EQ(ErrorOf("AA==AAAA"), "bad padding: 'A' at position 5 follows '='");
    EXPECT_EQ(ErrorOf("AA======"), "bad padding: 6 '=' after a group of 2 characters");
    // "B" is 000001: the four low bits would belong to a second byte that is not there.
    EXPECT_EQ(ErrorOf("AB=="), "bad padding: 'B' at position 2 carries bits beyond the last byte");
    EXPECT_EQ(ErrorOf("AAB="), "bad padding: 'B' at position 3 carries bits beyond the last byte");
    EXPECT_FALSE(ErrorOf("A=", TextEnd::kMayBeCut).empty());
}

TEST(DecodeReportText, RequiresWholeGroupsUnlessTheTextMayBeCut) {
    EXPECT_EQ(ErrorOf("YWJ"), "text length 3 is not a multiple of 4");
    EXPECT_EQ(ErrorOf("YWJjZ"), "text length 5 is not a multiple of 4");
    EXPECT_EQ(ErrorOf("AA="), "text length 3 is not a multiple of 4");
}

TEST(DecodeReportText, CutTextKeepsTheWholeBytesOfItsLastGroup) {
    // "YWJjZGVm" is "abcdef". Cut after 7, 6 and 5 characters: the last group holds 18, 12 and
    // 6 bits, i.e. 2, 1 and 0 whole bytes. The spare bits of a cut group belong to the byte
    // that was cut away, so they are not checked.
    EXPECT_EQ(Decoded("YWJjZGV", TextEnd::kMayBeCut), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(Decoded("YWJjZG", TextEnd::kMayBeCut), (Bytes{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(Decoded("YWJjZ", TextEnd::kMayBeCut), (Bytes{'a', 'b', 'c'}));
    // A cut through the padding: "AA==" cut to "AA=" still holds its byte.
    EXPECT_EQ(Decoded("AA=", TextEnd::kMayBeCut), (Bytes{0x00}));
}

}  // namespace
}  // namespace ulv::decode
