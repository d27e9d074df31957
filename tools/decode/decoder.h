// ulv-decode's library: from the text of one report SMS to a plain record and a JSON line.
//
// It is written from the documented byte layouts of the report message alone, the way a
// receiving server would write it, and shares no code with the daemon: a fault in the daemon's
// own layout code then shows up as a disagreement here instead of cancelling out.
//
// The three steps can be used on their own:
//   DecodeReportText  text -> bytes      (Base64 with "+-" as the last two characters)
//   ParseReport       bytes -> Report    (every field the bytes hold, the rest left empty)
//   DecodeInput       one input line -> Report and problems (e-mail form, lengths, cuts)
//   RenderJson        DecodedInput -> one JSON object on one line
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ulv::decode {

using Bytes = std::vector<uint8_t>;

// The longest report text: a 112-byte message is 152 characters. Longer texts are refused
// before anything is allocated for them.
inline constexpr size_t kMaxReportTextChars = 152;

// How the end of a report text is read.
enum class TextEnd {
    // Plain form: whole groups of four characters, "=" padding only in the last group.
    kComplete,
    // E-mail form: the gateway limit may have cut the text anywhere, even inside a group.
    kMayBeCut,
};

struct TextDecodeResult {
    Bytes bytes;
    std::string error;  // empty when the text decoded
    bool ok() const { return error.empty(); }
};

// Decodes a report text. Fails, with a message naming the character position (counted from 1),
// on a character outside the alphabet, on misplaced padding, on padding whose last data
// character carries bits beyond the last byte, and (kComplete) on a length that is not a
// multiple of four.
TextDecodeResult DecodeReportText(std::string_view text, TextEnd end);

// Fields of a message that the e-mail form's cut stops short: numbers and text fields are
// empty unless the message holds all their bytes; the opaque byte blocks (crash data, periodic
// reserved and generic data) hold the bytes that arrived, since their first bytes mean
// something without the rest (the kernel panic's pc opens its crash data).
//
// Header fields. Text fields hold the raw fixed-width bytes as sent.
struct ReportHeader {
    std::optional<uint8_t> reportType;
    std::optional<uint8_t> formatCode;
    std::optional<Bytes> apBuildLabel;   // 20 bytes
    std::optional<Bytes> flexVersion;    // 20 bytes
    std::optional<Bytes> bpVersionCode;  // 4 bytes
    std::optional<uint8_t> zeroByte;
    std::optional<uint8_t> bpTotalCount;
    std::optional<uint32_t> uptimeMs;
    std::optional<uint16_t> imageFingerprint;
    std::optional<Bytes> serialNumber;  // 10 bytes
};

struct SoftwareChangeBody {
    std::optional<Bytes> previousApBuildLabel;  // 20 bytes
    std::optional<Bytes> previousFlexVersion;   // 20 bytes
};

struct CrashBody {
    std::optional<uint32_t> callTime;
    std::optional<uint32_t> timestamp;
    std::optional<uint32_t> id;
    std::optional<Bytes> data;  // 36 bytes, fewer in a cut message
};

struct CoreDumpBody {
    std::optional<uint32_t> callTime;
    std::optional<uint32_t> fileTime;
    std::optional<uint32_t> moduleId;
    std::optional<Bytes> taskName;  // 10 bytes
    std::optional<Bytes> libName;   // 13 bytes
    std::optional<uint32_t> pcOffset;
    std::optional<uint8_t> signal;
    std::optional<uint32_t> pc;
    std::optional<uint32_t> lr;
};

struct PeriodicBody {
    std::optional<uint32_t> callTime;
    std::optional<Bytes> reserved;     // 20 bytes, zero as sent; fewer in a cut message
    std::optional<Bytes> genericData;  // 24 bytes, fewer in a cut message
};

// A type 0 message cut before its body says whether it is a crash or a core dump, or a
// message of a type this decoder does not know: the body bytes as they came.
struct OpaqueBody {
    std::optional<uint32_t> callTime;  // set only for type 0, where every body opens with it
    Bytes bytes;
};

using ReportBody = std::variant<std::monostate, SoftwareChangeBody, CrashBody, CoreDumpBody,
                                PeriodicBody, OpaqueBody>;

enum class ReportKind {
    kCrash,           // type 0, 48-byte crash body
    kCoreDump,        // type 0, 48-byte core dump body
    kHeaderOnly,      // type 0 without a body: a crash report with no entry left
    kSoftwareChange,  // type 1
    kPeriodic,        // type 2
    kUndetermined,    // type 0 cut before the module id, or no byte at all
    kUnknown,         // a report type other than 0, 1 and 2
};

struct Report {
    ReportKind kind = ReportKind::kUndetermined;
    ReportHeader header;
    ReportBody body;
    size_t length = 0;  // bytes decoded
    // Bytes the report's type implies; for kUndetermined, the least it can be (the header);
    // for kUnknown, the bytes decoded.
    size_t expectedLength = 0;
    // Set by DecodeInput when an e-mail form text fell short of expectedLength.
    bool truncated = false;
};

// Splits the message into fields. Never reads past the message; fields the message does not
// wholly hold stay empty.
Report ParseReport(std::span<const uint8_t> message);

struct DecodedInput {
    int number = 0;                      // argument or line number, for messages
    std::optional<std::string> address;  // set for the e-mail form
    std::optional<Report> report;        // set when there is something to print
    std::vector<std::string> problems;   // each one makes the exit status non-zero
};

// Decodes one input: a report text, or the e-mail form "address text" (split at the first
// blank). Blanks, tabs, carriage returns and line feeds around the input are
// ignored.
DecodedInput DecodeInput(int number, std::string_view input);

// One JSON object, no line break; empty when the input has no report to print.
std::string RenderJson(const DecodedInput& input);

// A JSON string of raw bytes: printable ASCII as it is (with " and \ escaped), every other
// byte as \u00xx, i.e. read as Latin-1, so that the text is always valid JSON and one line.
std::string JsonString(std::string_view bytes);

}  // namespace ulv::decode
