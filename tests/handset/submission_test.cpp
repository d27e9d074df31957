// The handset's reading of the 6500-byte SMS submission record: fields at their offsets, the
// bounds of the text length, the defects it notes and the log line it writes.
#include "submission.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace handset {
namespace {

// A record built by hand from the layout, numbers in the processor's own order:
// 0 pid, 2 centre[42], 44 destination[44], 88 u32 0, 92 u16 length, 94 text units, 6496 vp.
std::vector<uint8_t> Record(uint8_t pid, const std::string& centre, const std::string& destination,
                            const std::u16string& text, uint8_t validity) {
    std::vector<uint8_t> record(6500, 0);
    record[0] = pid;
    std::memcpy(record.data() + 2, centre.data(), centre.size());
    std::memcpy(record.data() + 44, destination.data(), destination.size());
    uint16_t length = static_cast<uint16_t>(text.size());
    std::memcpy(record.data() + 92, &length, 2);
    for (size_t i = 0; i < text.size(); ++i) {
        uint16_t unit = static_cast<uint16_t>(text[i]);
        std::memcpy(record.data() + 94 + 2 * i, &unit, 2);
    }
    record[6496] = validity;
    return record;
}

void SetLength(std::vector<uint8_t>* record, uint16_t length) {
    std::memcpy(record->data() + 92, &length, 2);
}

TEST(HandsetSubmission, ReadsAnOrdinaryRecord) {
    std::vector<uint8_t> record = Record(0, "+4412345", "+447700900123", u"AB1", 0xa7);
    Submission submission;
    std::string error;
    ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error)) << error;
    EXPECT_EQ(submission.protocolId, 0);
    EXPECT_EQ(submission.serviceCentre, "+4412345");
    EXPECT_EQ(submission.destination, "+447700900123");
    EXPECT_EQ(submission.textLength, 3);
    EXPECT_EQ(submission.text, std::vector<uint16_t>({'A', 'B', '1'}));
    EXPECT_EQ(submission.validity, 0xa7);
    EXPECT_TRUE(submission.warnings.empty());
    uint32_t sequence = 100;
    EXPECT_EQ(FormatSubmission(submission, &sequence),
              "SMS seq=100 pid=0x00 sc=+4412345 dest=+447700900123 len=3 vp=0xa7 text=AB1");
    EXPECT_EQ(FormatSubmission(submission, nullptr),
              "SMS refused pid=0x00 sc=+4412345 dest=+447700900123 len=3 vp=0xa7 text=AB1");
}

TEST(HandsetSubmission, ReadsAnEmailRecordWithFullFields) {
    // A 41-character centre and a 43-character destination: the longest that keep their NUL.
    std::string centre(41, 'c');
    std::string gateway(43, 'g');
    std::vector<uint8_t> record = Record(0x32, centre, gateway, u"a@b.c HI", 0xff);
    Submission submission;
    std::string error;
    ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error)) << error;
    EXPECT_EQ(submission.protocolId, 0x32);
    EXPECT_EQ(submission.serviceCentre, centre);
    EXPECT_EQ(submission.destination, gateway);
    EXPECT_TRUE(submission.warnings.empty());
    uint32_t sequence = 7;
    EXPECT_EQ(FormatSubmission(submission, &sequence),
              "SMS seq=7 pid=0x32 sc=" + centre + " dest=" + gateway +
                  " len=8 vp=0xff text=a@b.c HI");
}

TEST(HandsetSubmission, RejectsRecordsOfAnotherSize) {
    std::vector<uint8_t> record = Record(0, "+1", "2", u"x", 0);
    Submission submission;
    std::string error;
    EXPECT_FALSE(DecodeSubmission(record.data(), 6499, &submission, &error));
    EXPECT_NE(error.find("6499"), std::string::npos);
    record.push_back(0);
    EXPECT_FALSE(DecodeSubmission(record.data(), record.size(), &submission, &error));
}

TEST(HandsetSubmission, TextLengthMustLeaveRoomForTheZeroUnitBeforeTheValidityByte) {
    // 94 + 2 * 3200 + 2 = 6496: the longest text that ends right before the validity byte.
    std::vector<uint8_t> record = Record(0, "+1", "2", std::u16string(3200, u'z'), 1);
    Submission submission;
    std::string error;
    ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error)) << error;
    EXPECT_EQ(submission.text.size(), 3200u);
    EXPECT_TRUE(submission.warnings.empty());
    SetLength(&record, 3201);
    EXPECT_FALSE(DecodeSubmission(record.data(), record.size(), &submission, &error));
    EXPECT_NE(error.find("3201"), std::string::npos);
    SetLength(&record, 0xFFFF);
    EXPECT_FALSE(DecodeSubmission(record.data(), record.size(), &submission, &error));
}

TEST(HandsetSubmission, NotesDefectsThatLeaveTheRecordReadable) {
    std::vector<uint8_t> record = Record(0x07, std::string(42, 's'), std::string(44, 'd'),
                                         u"abc", 0);
    record[1] = 1;           // reserved byte
    record[88] = 1;          // u32 that must be 0
    record[94 + 2 * 3] = 9;  // no 0 unit after the text
    record[6499] = 5;        // after the validity byte
    Submission submission;
    std::string error;
    ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error)) << error;
    // A field without its NUL is read to its end, not into the next field.
    EXPECT_EQ(submission.serviceCentre, std::string(42, 's'));
    EXPECT_EQ(submission.destination, std::string(44, 'd'));
    std::string all;
    for (const std::string& warning : submission.warnings) all += warning + ";";
    EXPECT_EQ(submission.warnings.size(), 7u) << all;
    for (const char* expected :
         {"service centre has no NUL", "destination has no NUL", "protocol identifier",
          "byte 1", "u32 at 88", "not followed by a 0 unit", "after the validity byte"})
        EXPECT_NE(all.find(expected), std::string::npos) << expected << " missing in " << all;
}

TEST(HandsetSubmission, NotesAZeroUnitInsideTheText) {
    std::vector<uint8_t> record = Record(0, "+1", "2", std::u16string(u"ab\0cd", 5), 0);
    Submission submission;
    std::string error;
    ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error));
    ASSERT_EQ(submission.warnings.size(), 1u);
    EXPECT_NE(submission.warnings[0].find("inside the text at 2"), std::string::npos);
}

TEST(HandsetSubmission, LogLineEscapesWhatIsNotPrintableAscii) {
    std::vector<uint8_t> record =
        Record(0, "+1\t", "2 3", std::u16string(u"a\\b \x01\x00e9\x263a", 7), 0);
    Submission submission;
    std::string error;
    ASSERT_TRUE(DecodeSubmission(record.data(), record.size(), &submission, &error));
    uint32_t sequence = 1;
    EXPECT_EQ(FormatSubmission(submission, &sequence),
              "SMS seq=1 pid=0x00 sc=+1\\x09 dest=2\\x203 len=7 vp=0x00 "
              "text=a\\\\b \\x01\\xe9\\u263a");
}

}  // namespace
}  // namespace handset
