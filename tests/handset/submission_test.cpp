// The handset's reading of the 6500-byte SMS submission record into its log line.
#include "submission.h"

#include <gtest/gtest.h>

#include <cstring>

namespace handset {
namespace {

// A record built by hand from the layout, numbers in the processor's own order: 0 pid,
// 2 centre[42], 44 destination[44], 88 u32 0, 92 u16 length, 94 text units, 6496 validity.
std::vector<uint8_t> Record(uint8_t pid, const std::string& centre, const std::string& destination,
                            const std::u16string& text, uint8_t validity) {
    std::vector<uint8_t> record(6500, 0);
    record[0] = pid;
    std::memcpy(record.data() + 2, centre.data(), centre.size());
    std::memcpy(record.data() + 44, destination.data(), destination.size());
    const uint16_t length = static_cast<uint16_t>(text.size());
    std::memcpy(record.data() + 92, &length, 2);
    for (size_t i = 0; i < text.size(); ++i) std::memcpy(record.data() + 94 + 2 * i, &text[i], 2);
    record[6496] = validity;
    return record;
}

TEST(HandsetSubmission, ReadsPhoneAndEmailRecordsIntoTheLogLine) {
    // The e-mail form's centre and gateway are the longest that keep their NUL (41 and 43).
    const std::string centre(41, 'c');
    const std::string gateway(43, 'g');
    struct Case {
        std::vector<uint8_t> record;
        uint32_t sequence;
        std::string line;
    };
    for (const Case& c : {
             Case{Record(0, "+4412345", "+447700900123", u"AB1\x263a", 0xa7), 100,
                  "SMS seq=100 pid=0x00 sc=+4412345 dest=+447700900123 len=4 vp=0xa7 "
                  "text=AB1\\u263a"},
             Case{Record(0x32, centre, gateway, u"a@b.c YWJj-+==", 0xff), 7,
                  "SMS seq=7 pid=0x32 sc=" + centre + " dest=" + gateway +
                      " len=14 vp=0xff text=a@b.c YWJj-+=="},
         }) {
        Submission submission;
        std::string error;
        ASSERT_TRUE(DecodeSubmission(c.record.data(), c.record.size(), &submission, &error))
            << error;
        EXPECT_TRUE(submission.warnings.empty()) << submission.warnings.front();
        EXPECT_EQ(FormatSubmission(submission, &c.sequence), c.line);
    }
}

}  // namespace
}  // namespace handset
