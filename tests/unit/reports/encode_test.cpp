// The report text: Base64 with "-" for the value 63, "=" padding, one line, NUL-terminated.
#include <random>
#include <string>
#include <vector>

#include "reports_fixture.h"

namespace {

using reportstest::Bytes;

// Standard Base64 written independently of the daemon (a bit accumulator rather than groups),
// with its 64th character replaced by "-".
std::string ReferenceEncode(const Bytes& in) {
    std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    alphabet[63] = '-';
    std::string out;
    uint32_t bits = 0;
    int held = 0;
    for (uint8_t byte : in) {
        bits = (bits << 8) | byte;
        held += 8;
        while (held >= 6) {
            held -= 6;
            out += alphabet[(bits >> held) & 63];
        }
    }
    if (held > 0) out += alphabet[(bits << (6 - held)) & 63];
    while (out.size() % 4 != 0) out += '=';
    return out;
}

// Encodes into a buffer larger than needed, so that writes past the text are seen.
struct Encoded {
    std::string text;     // up to the NUL
    uint8_t count;        // what ULVEncodeText returned
    size_t written;       // bytes of the buffer changed, NUL included
};

Encoded Encode(const Bytes& in) {
    std::vector<char> out(300, '#');
    const uint8_t count =
        ULVEncodeText(out.data(), in.data(), static_cast<uint8_t>(in.size()));
    size_t written = out.size();
    while (written > 0 && out[written - 1] == '#') --written;
    return {std::string(out.data()), count, written};
}

TEST(EncodeTest, SmallInputsEncodeAsBase64WithDashForSixtyThree) {
    const struct {
        Bytes in;
        const char* text;
    } cases[] = {
        {{'a', 'b', 'c'}, "YWJj"},        // as standard Base64
        {{0xFF, 0xFF, 0xFF}, "----"},     // standard Base64 would give "////"
        {{0xFB, 0xFF}, "+-8="},           // 62, 63, then the padded tail
        {{0x00}, "AA=="},
        {{0x00, 0x10, 0x83}, "ABCD"},
        {{'a', 'b', 'c', 'd'}, "YWJjZA=="},
        {{}, ""},
    };
    for (const auto& c : cases) {
        const Encoded encoded = Encode(c.in);
        EXPECT_EQ(encoded.text, c.text);
        EXPECT_EQ(encoded.count, std::string(c.text).size());
        EXPECT_EQ(encoded.written, std::string(c.text).size() + 1);  // the text and its NUL only
    }
}

TEST(EncodeTest, MessageLengthsGiveTheirCharacterCountsOnOneLine) {
    const struct {
        size_t bytes;
        uint8_t characters;
    } cases[] = {
        {112, 152},  // crash or periodic report
        {104, 140},  // software-change report
        {64, 88},    // header alone
        {189, 252},  // the most an 8-bit count can hold
        {1, 4},
        {2, 4},
        {3, 4},
    };
    for (const auto& c : cases) {
        const Bytes in(c.bytes, 0xA5);
        const Encoded encoded = Encode(in);
        EXPECT_EQ(encoded.count, c.characters) << c.bytes;
        EXPECT_EQ(encoded.text.size(), c.characters) << c.bytes;
        EXPECT_EQ(encoded.written, size_t{c.characters} + 1) << c.bytes;
        EXPECT_EQ(encoded.text.find_first_of("\r\n"), std::string::npos) << c.bytes;
    }
}

TEST(EncodeTest, InputLongerThanTheCountCanHoldIsRefusedAsEmptyText) {
    for (size_t length : {190u, 200u, 255u}) {
        const Bytes in(length, 0x5A);
        const Encoded encoded = Encode(in);
        EXPECT_EQ(encoded.count, 0) << length;
        EXPECT_EQ(encoded.text, "") << length;
        EXPECT_EQ(encoded.written, 1u) << length;
    }
}

TEST(EncodeTest, RandomInputsOfEveryUsableLengthMatchTheReferenceEncoder) {
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t length = 0; length <= ENCODE_MAX_INPUT; ++length) {
        Bytes in(length);
        for (uint8_t& b : in) b = static_cast<uint8_t>(byte(generator));
        const Encoded encoded = Encode(in);
        const std::string expected = ReferenceEncode(in);
        ASSERT_EQ(encoded.text, expected) << "length " << length;
        ASSERT_EQ(encoded.count, expected.size()) << "length " << length;
    }
}

}  // namespace
