// ulv-handset's reader of the SMS submission record (DecodeSubmission) and its log line.
//
// Input: the record as it is, then again cut or padded with zeros to the record's size, the
// only size the phone hands over.
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "submission.h"

namespace {

void Check(const uint8_t* record, size_t size) {
    handset::Submission submission;
    std::string error;
    const bool ok = handset::DecodeSubmission(record, size, &submission, &error);
    FUZZ_CHECK(ok == error.empty());
    FUZZ_CHECK(!ok || size == handset::kSubmitRecordSize);
    if (!ok) return;
    FUZZ_CHECK(submission.textLength <= handset::kSubmitMaxTextUnits);
    FUZZ_CHECK(submission.text.size() == submission.textLength);
    FUZZ_CHECK(submission.serviceCentre.size() <= handset::kSubmitCentreSize);
    FUZZ_CHECK(submission.destination.size() <= handset::kSubmitDestinationSize);
    // The log line is one line of printable characters, whatever the record holds.
    const uint32_t sequence = 7;
    for (const uint32_t* seq : {&sequence, static_cast<const uint32_t*>(nullptr)}) {
        for (char c : handset::FormatSubmission(submission, seq)) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Check(data, size);
    std::vector<uint8_t> record(handset::kSubmitRecordSize, 0);
    std::copy_n(data, std::min(size, record.size()), record.begin());
    Check(record.data(), record.size());
    return 0;
}
