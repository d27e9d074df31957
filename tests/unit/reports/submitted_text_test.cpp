// What leaves the handset: the text handed to the telephony library, decoded back into the
// report message by a decoder written here, independently of the daemon's encoder.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "reports_fixture.h"

namespace {

using reportstest::Bytes;
using reportstest::LoadHost16;

// Base64 decoding with "-" for the value 63; nullopt on any character outside the alphabet,
// a length that is not a multiple of 4, or padding anywhere but at the end.
std::optional<Bytes> DecodeReportText(const std::string& text) {
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    for (size_t at = 0; at < text.size(); at += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[at + k];
            uint32_t value = 0;
            if (c == '=') {
                if (at + 4 != text.size() || k < 2) return std::nullopt;
                ++padding;
            } else {
                if (padding > 0) return std::nullopt;
                const size_t found = alphabet.find(c);
                if (found == std::string::npos) return std::nullopt;
                value = static_cast<uint32_t>(found);
            }
            group = (group << 6) | value;
        }
        out.push_back(static_cast<uint8_t>(group >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(group >> 8));
        if (padding < 1) out.push_back(static_cast<uint8_t>(group));
    }
    return out;
}

// The text of a captured submission record: its count and its 16-bit units, host order.
std::string SubmittedText(const Bytes& record) {
    const uint16_t count = LoadHost16(&record[92]);
    std::string text;
    for (uint16_t i = 0; i < count; ++i) text += static_cast<char>(LoadHost16(&record[94 + 2 * i]));
    return text;
}

class SubmittedTextTest : public reportstest::ReportsTest {
protected:
    void SetUp() override {
        ReportsTest::SetUp();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.emailGatewayAddress, "6245");
        ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;

        // A handset whose build changed from "AP_R0"/"FLEX_6" to "AP_R1"/"FLEX_7", with 3 BP
        // records in its logs, fingerprint 0x2679 and 74565 s of cumulative uptime.
        std::memcpy(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, "AP_R0", 5);
        std::memcpy(ulvState.flexConfig.ulv_last_flex_version, "FLEX_6", 6);
        ULVReadVersionInfo();  // fakes: "AP_R1", "BP.12.34" / "FLEX_7", "SN01234567"
        const uint16_t fingerprint = 0x2679;
        std::memcpy(ulvState.reportHeader + REPORT_FINGERPRINT_OFFSET, &fingerprint, 2);
        ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 3;
        ulvState.flexConfig.ulv_cummulative_uptime = 74000;
        ulvState.lastUptimeSample = 1000;
        fake::clock.uptime = 1565;
        ulvState.pendingReports = PENDING_SW_CHANGE | PENDING_PERIODIC;
    }
};

const Bytes kSoftwareChangeMessage{
    // header
    0x01, 0x02,                                                  // software change, format 2
    0x41, 0x50, 0x5f, 0x52, 0x31, 0, 0, 0, 0, 0,                 // "AP_R1" ...
    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,                 // ... to 20 bytes
    0x46, 0x4c, 0x45, 0x58, 0x5f, 0x37, 0, 0, 0, 0,              // "FLEX_7" ...
    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,              // ... to 20 bytes
    0x31, 0x32, 0x33, 0x34,                                      // BP version code "1234"
    0x00, 0x03,                                                  // zero byte, 3 BP records
    0x04, 0x71, 0xc5, 0x88,                                      // uptime 74565000 ms
    0x26, 0x79,                                                  // fingerprint 0x2679
    0x53, 0x4e, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,  // serial "SN01234567"
    // body
    0x41, 0x50, 0x5f, 0x52, 0x30, 0, 0, 0, 0, 0,                 // previous label "AP_R0" ...
    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,                 // ... to 20 bytes
    0x46, 0x4c, 0x45, 0x58, 0x5f, 0x36, 0, 0, 0, 0,              // previous flex "FLEX_6" ...
    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,              // ... to 20 bytes
};

TEST_F(SubmittedTextTest, DecoderRejectsTextOutsideTheAlphabet) {
    // The decoder itself must be able to fail, or the comparisons below prove little.
    EXPECT_EQ(DecodeReportText("YWJj"), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(DecodeReportText("----"), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(DecodeReportText("////").has_value());
    EXPECT_FALSE(DecodeReportText("YWJ").has_value());
    EXPECT_FALSE(DecodeReportText("A=AA").has_value());
}

TEST_F(SubmittedTextTest, PhoneNumberSmsDecodesToTheSoftwareChangeMessage) {
    std::strcpy(ulvState.outgoingSms.destination, "+15550100");
    ULVSmsSend();

    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    const std::string text = SubmittedText(fake::tapi.submissions[0]);
    EXPECT_EQ(text.size(), 140u);
    const std::optional<Bytes> message = DecodeReportText(text);
    ASSERT_TRUE(message.has_value()) << text;
    EXPECT_EQ(*message, kSoftwareChangeMessage);
}

TEST_F(SubmittedTextTest, EmailSmsIsTheAddressABlankAndTheSameMessage) {
    std::strcpy(ulvState.outgoingSms.destination, "reports@example.com");
    ulvState.outgoingSms.addressType = SMS_ADDRESS_TYPE_EMAIL;
    ULVSmsSend();

    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    const std::string text = SubmittedText(fake::tapi.submissions[0]);
    const std::string prefix = "reports@example.com ";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.size(), 160u);  // 20 + 140: the software-change report fits whole
    const std::optional<Bytes> message = DecodeReportText(text.substr(prefix.size()));
    ASSERT_TRUE(message.has_value()) << text;
    EXPECT_EQ(*message, kSoftwareChangeMessage);
}

}  // namespace
