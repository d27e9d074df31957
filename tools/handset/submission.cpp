#include "submission.h"

#include <cstdio>
#include <cstring>

namespace handset {

namespace {

uint16_t LoadHost16(const uint8_t* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

uint32_t LoadHost32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The text of a NUL-terminated field; notes a field that fills its size without a NUL.
std::string FieldText(const uint8_t* field, size_t size, const char* name,
                      std::vector<std::string>* warnings) {
    const void* nul = std::memchr(field, 0, size);
    size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field)
                                   : size;
    if (nul == nullptr)
        warnings->push_back(std::string(name) + " has no NUL within " + std::to_string(size) +
                            " bytes");
    return std::string(reinterpret_cast<const char*>(field), length);
}

// `blankToo`: the fields before the text stay one word each, so a blank is escaped there.
void AppendVisible(std::string* line, uint32_t unit, bool blankToo = false) {
    char escaped[8];
    if (unit == '\\') {
        *line += "\\\\";
    } else if (unit >= 0x20 && unit < 0x7f && !(blankToo && unit == ' ')) {
        *line += static_cast<char>(unit);
    } else if (unit <= 0xff) {
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(unit));
        *line += escaped;
    } else {
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit & 0xffff));
        *line += escaped;
    }
}

std::string VisibleWord(const std::string& text) {
    std::string out;
    for (char c : text) AppendVisible(&out, static_cast<unsigned char>(c), /*blankToo=*/true);
    return out;
}

}  // namespace

bool DecodeSubmission(const uint8_t* record, size_t size, Submission* out, std::string* error) {
    if (size != kSubmitRecordSize) {
        *error = "record of " + std::to_string(size) + " bytes, not " +
                 std::to_string(kSubmitRecordSize);
        return false;
    }
    Submission submission;
    submission.textLength = LoadHost16(record + kSubmitLengthOffset);
    if (submission.textLength > kSubmitMaxTextUnits) {
        *error = "text length " + std::to_string(submission.textLength) + " runs past the record";
        return false;
    }
    submission.protocolId = record[kSubmitPidOffset];
    submission.serviceCentre = FieldText(record + kSubmitCentreOffset, kSubmitCentreSize,
                                         "service centre", &submission.warnings);
    submission.destination = FieldText(record + kSubmitDestinationOffset, kSubmitDestinationSize,
                                       "destination", &submission.warnings);
    for (size_t i = 0; i < submission.textLength; ++i)
        submission.text.push_back(LoadHost16(record + kSubmitTextOffset + 2 * i));
    submission.validity = record[kSubmitValidityOffset];

    std::vector<std::string>& warnings = submission.warnings;
    if (submission.protocolId != 0 && submission.protocolId != 0x32)
        warnings.push_back("unexpected protocol identifier");
    if (record[1] != 0) warnings.push_back("byte 1 is not 0");
    if (LoadHost32(record + kSubmitReservedOffset) != 0) warnings.push_back("u32 at 88 is not 0");
    if (LoadHost16(record + kSubmitTextOffset + 2 * submission.textLength) != 0)
        warnings.push_back("text is not followed by a 0 unit");
    for (size_t i = 0; i < submission.text.size(); ++i) {
        if (submission.text[i] == 0) {
            warnings.push_back("0 unit inside the text at " + std::to_string(i));
            break;
        }
    }
    for (size_t offset = kSubmitValidityOffset + 1; offset < kSubmitRecordSize; ++offset) {
        if (record[offset] != 0) {
            warnings.push_back("bytes after the validity byte are not 0");
            break;
        }
    }
    *out = std::move(submission);
    return true;
}

std::string FormatSubmission(const Submission& submission, const uint32_t* sequence) {
    char head[64];
    if (sequence != nullptr) {
        std::snprintf(head, sizeof head, "SMS seq=%u", static_cast<unsigned>(*sequence));
    } else {
        std::snprintf(head, sizeof head, "SMS refused");
    }
    char fields[64];
    std::snprintf(fields, sizeof fields, " pid=0x%02x",
                  static_cast<unsigned>(submission.protocolId));
    std::string line = std::string(head) + fields;
    line += " sc=" + VisibleWord(submission.serviceCentre);
    line += " dest=" + VisibleWord(submission.destination);
    std::snprintf(fields, sizeof fields, " len=%u vp=0x%02x text=",
                  static_cast<unsigned>(submission.textLength),
                  static_cast<unsigned>(submission.validity));
    line += fields;
    for (uint16_t unit : submission.text) AppendVisible(&line, unit);
    return line;
}

}  // namespace handset
