// ulv-decode's decoder on one input line, as the tool meets it: DecodeInput then RenderJson.
// Input: the line.
#include "decoder.h"
#include "fuzz_support.h"
#include "reports/reports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace decode = ulv::decode;
    const std::string_view line = ulvfuzz::Input(data, size).Rest();
    const decode::DecodedInput decoded = decode::DecodeInput(1, line);
    const std::string json = decode::RenderJson(decoded);
    // One line of JSON exactly when there is a report to print.
    FUZZ_CHECK(json.find('\n') == std::string::npos);
    FUZZ_CHECK(json.empty() == !decoded.report.has_value());
    if (!decoded.report.has_value()) return 0;
    FUZZ_CHECK(json.front() == '{' && json.back() == '}');
    FUZZ_CHECK(!decoded.report->truncated || decoded.address.has_value());

    // A complete plain-form text that decodes without a problem is the daemon's encoding of
    // its bytes: encoded again, it gives the same text (without the blanks DecodeInput ignores).
    if (decoded.address.has_value() || !decoded.problems.empty()) return 0;
    const size_t first = line.find_first_not_of(" \t\r\n");
    const std::string_view text = line.substr(first, line.find_last_not_of(" \t\r\n") + 1 - first);
    const auto bytes = decode::DecodeReportText(text, decode::TextEnd::kComplete);
    FUZZ_CHECK(bytes.ok() && bytes.bytes.size() == decoded.report->length);
    FUZZ_CHECK(bytes.bytes.size() <= ENCODE_MAX_INPUT);
    char again[4 * ENCODE_MAX_INPUT / 3 + 4];
    const uint8_t length =
        ULVEncodeText(again, bytes.bytes.data(), static_cast<uint8_t>(bytes.bytes.size()));
    FUZZ_CHECK(std::string_view(again, length) == text);
    return 0;
}
