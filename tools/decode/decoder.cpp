#include "decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace ulv::decode {
namespace {

// ---------------------------------------------------------------------------------------------
// The report message, as it arrives after the text is decoded.
//
//   message := header(64) body(0 | 40 | 48)            at most 112 bytes
//
// Every 2- and 4-byte number is big-endian. Text fields are fixed width and go as the handset's
// libraries returned them: NUL-padded as a rule, but neither terminated nor padded by the
// daemon, so bytes after the first NUL can be anything.
//
// Header, 64 bytes:
//   off size field             content
//    0   1   reportType        0 crash or core dump, 1 software change, 2 periodic
//    1   1   formatCode        2
//    2  20   apBuildLabel      text
//   22  20   flexVersion       text
//   42   4   bpVersionCode     text, four characters of the BP version
//   46   1   (zero byte)
//   47   1   bpTotalCount      BP panic records at the handset's start-up, modulo 256
//   48   4   uptimeMs          cumulative uptime in milliseconds, low 32 bits
//   52   2   imageFingerprint  16-bit fingerprint of the flash images
//   54  10   serialNumber      text
//
// Example, the header of a periodic report:
//   02 02                                  reportType 2, formatCode 2
//   41 50 5f 52 31 00 .. 00                apBuildLabel "AP_R1"
//   46 4c 45 58 5f 37 00 .. 00             flexVersion "FLEX_7"
//   31 32 33 34                            bpVersionCode "1234"
//   00 03                                  zero byte, bpTotalCount 3
//   04 71 c5 88                            uptimeMs 74565000
//   26 79                                  imageFingerprint 0x2679
//   53 4e 30 31 32 33 34 35 36 37          serialNumber "SN01234567"
//
// Bodies, offsets within the body:
//   software change, 40 (type 1): 0 previous apBuildLabel (20), 20 previous flexVersion (20).
//   periodic, 48 (type 2): 0 call time u32, 4 five u32 that are always zero, 24 generic usage
//     data (24, as the handset's library gave it; not converted, so not ours to interpret).
//   crash, 48 (type 0): 0 call time u32, 4 timestamp u32, 8 id u32, 12 data (36).
//   core dump, 48 (type 0): 0 call time u32, 4 file time u32, 8 module id u32 = 0x00082100,
//     12 task name (10, last byte NUL), 22 library name (13, last byte NUL), 35 pc offset u32
//     (packed, unaligned), 39 signal u8, 40 pc u32, 44 lr u32.
//   Example core dump body:
//     00 00 00 2a  65 00 00 00  00 08 21 00      call time 42, file time 0x65000000, module id
//     6d 65 64 69 61 70 6c 61 79 00              task "mediaplay"
//     6c 69 62 63 2e 73 6f 00 00 00 00 00 00     library "libc.so"
//     00 00 1a 2c  0b                        pc offset 0x1a2c, signal 11
//     00 01 1a 2c  00 01 00 10               pc 0x00011a2c, lr 0x00010010
//
// A header-only message (type 0, no body) is a crash report sent when no crash entry was left.
// ---------------------------------------------------------------------------------------------

constexpr size_t kHeaderSize = 64;
constexpr size_t kReportTypeAt = 0;
constexpr size_t kFormatCodeAt = 1;
constexpr size_t kApBuildLabelAt = 2;
constexpr size_t kFlexVersionAt = 22;
constexpr size_t kBpVersionCodeAt = 42;
constexpr size_t kZeroByteAt = 46;
constexpr size_t kBpTotalCountAt = 47;
constexpr size_t kUptimeMsAt = 48;
constexpr size_t kFingerprintAt = 52;
constexpr size_t kSerialNumberAt = 54;
constexpr size_t kLabelSize = 20;
constexpr size_t kBpVersionCodeSize = 4;
constexpr size_t kSerialNumberSize = 10;
static_assert(kApBuildLabelAt + kLabelSize == kFlexVersionAt);
static_assert(kFlexVersionAt + kLabelSize == kBpVersionCodeAt);
static_assert(kBpVersionCodeAt + kBpVersionCodeSize == kZeroByteAt);
static_assert(kUptimeMsAt + 4 == kFingerprintAt && kFingerprintAt + 2 == kSerialNumberAt);
static_assert(kSerialNumberAt + kSerialNumberSize == kHeaderSize);

constexpr uint8_t kTypeCrash = 0;
constexpr uint8_t kTypeSoftwareChange = 1;
constexpr uint8_t kTypePeriodic = 2;

constexpr size_t kSoftwareChangeBodySize = 40;
constexpr size_t kLongBodySize = 48;  // crash, core dump and periodic bodies
constexpr size_t kHeaderOnlyLength = kHeaderSize;
constexpr size_t kSoftwareChangeLength = kHeaderSize + kSoftwareChangeBodySize;  // 104
constexpr size_t kLongLength = kHeaderSize + kLongBodySize;                      // 112
static_assert(2 * kLabelSize == kSoftwareChangeBodySize);

constexpr size_t kCallTimeAt = 0;  // opens crash, core dump and periodic bodies
constexpr size_t kCrashTimestampAt = 4;
constexpr size_t kCrashIdAt = 8;
constexpr size_t kCrashDataAt = 12;
constexpr size_t kCrashDataSize = 36;
static_assert(kCrashDataAt + kCrashDataSize == kLongBodySize);

constexpr size_t kPeriodicReservedAt = 4;
constexpr size_t kPeriodicReservedSize = 20;
constexpr size_t kPeriodicGenericDataAt = 24;
constexpr size_t kPeriodicGenericDataSize = 24;
static_assert(kPeriodicReservedAt + kPeriodicReservedSize == kPeriodicGenericDataAt);
static_assert(kPeriodicGenericDataAt + kPeriodicGenericDataSize == kLongBodySize);

constexpr size_t kCoreFileTimeAt = 4;
constexpr size_t kCoreModuleIdAt = 8;
constexpr size_t kCoreTaskNameAt = 12;
constexpr size_t kCoreTaskNameSize = 10;
constexpr size_t kCoreLibNameAt = 22;
constexpr size_t kCoreLibNameSize = 13;
constexpr size_t kCorePcOffsetAt = 35;
constexpr size_t kCoreSignalAt = 39;
constexpr size_t kCorePcAt = 40;
constexpr size_t kCoreLrAt = 44;
static_assert(kCoreTaskNameAt + kCoreTaskNameSize == kCoreLibNameAt);
static_assert(kCoreLibNameAt + kCoreLibNameSize == kCorePcOffsetAt);
static_assert(kCorePcOffsetAt + 4 == kCoreSignalAt && kCoreSignalAt + 1 == kCorePcAt);
static_assert(kCoreLrAt + 4 == kLongBodySize);

// Every core dump report carries this module id ("unknown module"). Crash ids come from the
// baseband, the QUELA layer or the kernel (0x82000, 0x82002) and are never this value, so a
// type 0 body with it at offset 8 is a core dump body.
constexpr uint32_t kCoreDumpModuleId = 0x00082100;

constexpr uint32_t kKernelPanicId = 0x00082000;
constexpr uint32_t kForcedKernelPanicId = 0x00082002;

// ---------------------------------------------------------------------------------------------
// Checked reads. Every field read goes through Contains, which tests offset and size together
// (overflow included) before a byte is touched; a field that is not wholly there reads empty.
class ByteRange {
  public:
    explicit ByteRange(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool Contains(size_t offset, size_t size) const {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    size_t size() const { return bytes_.size(); }

    // The bytes from offset to the end; empty when offset lies beyond it.
    ByteRange From(size_t offset) const {
        if (!Contains(offset, 0)) return ByteRange({});
        return ByteRange(bytes_.subspan(offset));
    }

    std::optional<uint8_t> U8(size_t offset) const {
        if (!Contains(offset, 1)) return std::nullopt;
        return bytes_[offset];
    }
    std::optional<uint16_t> Be16(size_t offset) const {
        if (!Contains(offset, 2)) return std::nullopt;
        return static_cast<uint16_t>((bytes_[offset] << 8) | bytes_[offset + 1]);
    }
    std::optional<uint32_t> Be32(size_t offset) const {
        if (!Contains(offset, 4)) return std::nullopt;
        return (uint32_t{bytes_[offset]} << 24) | (uint32_t{bytes_[offset + 1]} << 16) |
               (uint32_t{bytes_[offset + 2]} << 8) | uint32_t{bytes_[offset + 3]};
    }
    std::optional<Bytes> Field(size_t offset, size_t size) const {
        if (!Contains(offset, size)) return std::nullopt;
        return Bytes(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(offset + size));
    }
    // The bytes of a field that are there, all of them or the first few of a field the message
    // stops inside; empty when the message stops before the field.
    std::optional<Bytes> Available(size_t offset, size_t size) const {
        if (!Contains(offset, 1)) return std::nullopt;
        return Field(offset, std::min(size, bytes_.size() - offset));
    }
    Bytes All() const { return Bytes(bytes_.begin(), bytes_.end()); }

  private:
    std::span<const uint8_t> bytes_;
};

// ---------------------------------------------------------------------------------------------
// Text decoding.

// Value of a character in the report alphabet
// "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-", or -1.
int AlphabetValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '-') return 63;
    return -1;
}

std::string Format(const char* format, auto... args) {
    std::array<char, 256> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, args...);
    return buffer.data();
}

// "'x'" for a printable character, "byte 0xNN" otherwise, so that a message stays one line.
std::string DescribeChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) return Format("'%c'", c);
    return Format("byte 0x%02x", static_cast<unsigned>(byte));
}

std::string BadCharacter(std::string_view text, size_t index) {
    return Format("%s at position %zu is not in the report alphabet",
                  DescribeChar(text[index]).c_str(), index + 1);
}

// ---------------------------------------------------------------------------------------------
// Parsing.

ReportHeader ParseHeader(const ByteRange& m) {
    ReportHeader h;
    h.reportType = m.U8(kReportTypeAt);
    h.formatCode = m.U8(kFormatCodeAt);
    h.apBuildLabel = m.Field(kApBuildLabelAt, kLabelSize);
    h.flexVersion = m.Field(kFlexVersionAt, kLabelSize);
    h.bpVersionCode = m.Field(kBpVersionCodeAt, kBpVersionCodeSize);
    h.zeroByte = m.U8(kZeroByteAt);
    h.bpTotalCount = m.U8(kBpTotalCountAt);
    h.uptimeMs = m.Be32(kUptimeMsAt);
    h.imageFingerprint = m.Be16(kFingerprintAt);
    h.serialNumber = m.Field(kSerialNumberAt, kSerialNumberSize);
    return h;
}

SoftwareChangeBody ParseSoftwareChange(const ByteRange& b) {
    return {.previousApBuildLabel = b.Field(0, kLabelSize),
            .previousFlexVersion = b.Field(kLabelSize, kLabelSize)};
}

CrashBody ParseCrash(const ByteRange& b) {
    return {.callTime = b.Be32(kCallTimeAt),
            .timestamp = b.Be32(kCrashTimestampAt),
            .id = b.Be32(kCrashIdAt),
            .data = b.Available(kCrashDataAt, kCrashDataSize)};
}

CoreDumpBody ParseCoreDump(const ByteRange& b) {
    return {.callTime = b.Be32(kCallTimeAt),
            .fileTime = b.Be32(kCoreFileTimeAt),
            .moduleId = b.Be32(kCoreModuleIdAt),
            .taskName = b.Field(kCoreTaskNameAt, kCoreTaskNameSize),
            .libName = b.Field(kCoreLibNameAt, kCoreLibNameSize),
            .pcOffset = b.Be32(kCorePcOffsetAt),
            .signal = b.U8(kCoreSignalAt),
            .pc = b.Be32(kCorePcAt),
            .lr = b.Be32(kCoreLrAt)};
}

PeriodicBody ParsePeriodic(const ByteRange& b) {
    return {.callTime = b.Be32(kCallTimeAt),
            .reserved = b.Available(kPeriodicReservedAt, kPeriodicReservedSize),
            .genericData = b.Available(kPeriodicGenericDataAt, kPeriodicGenericDataSize)};
}

// Type 0: which body, and how long the message should be.
void ParseTypeZero(const ByteRange& m, Report& r) {
    const ByteRange body = m.From(kHeaderSize);
    if (m.size() < kHeaderOnlyLength) {
        r.kind = ReportKind::kUndetermined;
        r.expectedLength = kHeaderOnlyLength;  // at least
        return;
    }
    if (m.size() == kHeaderOnlyLength) {
        r.kind = ReportKind::kHeaderOnly;
        r.expectedLength = kHeaderOnlyLength;
        return;
    }
    r.expectedLength = kLongLength;
    const std::optional<uint32_t> moduleId = body.Be32(kCoreModuleIdAt);
    if (!moduleId) {
        r.kind = ReportKind::kUndetermined;
        r.body = OpaqueBody{.callTime = body.Be32(kCallTimeAt), .bytes = body.All()};
    } else if (*moduleId == kCoreDumpModuleId) {
        r.kind = ReportKind::kCoreDump;
        r.body = ParseCoreDump(body);
    } else {
        r.kind = ReportKind::kCrash;
        r.body = ParseCrash(body);
    }
}

// ---------------------------------------------------------------------------------------------
// JSON.

constexpr char kHexDigits[] = "0123456789abcdef";

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (const uint8_t b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0x0f];
    }
    return out;
}

std::string JsonString(std::span<const uint8_t> bytes) {
    std::string out = "\"";
    for (const uint8_t b : bytes) {
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7f) {
            out += static_cast<char>(b);
        } else {
            out += "\\u00";
            out += kHexDigits[b >> 4];
            out += kHexDigits[b & 0x0f];
        }
    }
    out += '"';
    return out;
}
using ulv::decode::JsonString;  // the text form, declared in the header

// The text of a fixed field: the bytes before its first NUL.
std::span<const uint8_t> FieldText(const Bytes& field) {
    size_t end = 0;
    while (end < field.size() && field[end] != 0) ++end;
    return std::span(field.data(), end);
}

std::string HexNumber(uint32_t value, int digits) {
    return Format("\"0x%0*x\"", digits, static_cast<unsigned>(value));
}

// Writes the members of one object; an empty optional is written as null.
class JsonObject {
  public:
    JsonObject& Number(std::string_view key, std::optional<uint64_t> value) {
        return Member(key, value ? std::to_string(*value) : "null");
    }
    JsonObject& HexU32(std::string_view key, std::optional<uint32_t> value) {
        return Member(key, value ? HexNumber(*value, 8) : "null");
    }
    JsonObject& HexU16(std::string_view key, std::optional<uint16_t> value) {
        return Member(key, value ? HexNumber(*value, 4) : "null");
    }
    JsonObject& HexBytes(std::string_view key, const std::optional<Bytes>& value) {
        return Member(key, value ? "\"" + Hex(*value) + "\"" : "null");
    }
    // A fixed text field twice: as text up to its first NUL, and as hex of all its bytes.
    JsonObject& TextField(std::string_view key, const std::optional<Bytes>& value) {
        Member(key, value ? JsonString(FieldText(*value)) : "null");
        return Member(std::string(key) + "Raw", value ? "\"" + Hex(*value) + "\"" : "null");
    }
    JsonObject& Member(std::string_view key, std::string_view json) {
        out_ += first_ ? "" : ",";
        first_ = false;
        out_ += JsonString(key);
        out_ += ':';
        out_ += json;
        return *this;
    }
    std::string Close() { return out_ + "}"; }

  private:
    std::string out_ = "{";
    bool first_ = true;
};

std::string RenderHeader(const ReportHeader& h) {
    JsonObject o;
    o.Number("reportType", h.reportType)
        .Number("formatCode", h.formatCode)
        .TextField("apBuildLabel", h.apBuildLabel)
        .TextField("flexVersion", h.flexVersion)
        .TextField("bpVersionCode", h.bpVersionCode)
        .Number("zeroByte", h.zeroByte)
        .Number("bpTotalCount", h.bpTotalCount)
        .Number("uptimeMs", h.uptimeMs)
        .HexU16("imageFingerprint", h.imageFingerprint)
        .TextField("serialNumber", h.serialNumber);
    return o.Close();
}

std::string CrashIdName(const std::optional<uint32_t>& id) {
    if (id == kKernelPanicId) return "\"kernel panic\"";
    if (id == kForcedKernelPanicId) return "\"forced kernel panic\"";
    return "null";
}

struct BodyRenderer {
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(const SoftwareChangeBody& b) const {
        return JsonObject()
            .TextField("previousApBuildLabel", b.previousApBuildLabel)
            .TextField("previousFlexVersion", b.previousFlexVersion)
            .Close();
    }
    std::string operator()(const CrashBody& b) const {
        return JsonObject()
            .Number("callTime", b.callTime)
            .Number("timestamp", b.timestamp)
            .HexU32("id", b.id)
            .Member("idName", CrashIdName(b.id))
            .HexBytes("data", b.data)
            .Close();
    }
    std::string operator()(const CoreDumpBody& b) const {
        return JsonObject()
            .Number("callTime", b.callTime)
            .Number("fileTime", b.fileTime)
            .HexU32("moduleId", b.moduleId)
            .TextField("taskName", b.taskName)
            .TextField("libName", b.libName)
            .HexU32("pcOffset", b.pcOffset)
            .Number("signal", b.signal)
            .HexU32("pc", b.pc)
            .HexU32("lr", b.lr)
            .Close();
    }
    std::string operator()(const PeriodicBody& b) const {
        return JsonObject()
            .Number("callTime", b.callTime)
            .HexBytes("reserved", b.reserved)
            .HexBytes("genericData", b.genericData)
            .Close();
    }
    std::string operator()(const OpaqueBody& b) const {
        return JsonObject().Number("callTime", b.callTime).HexBytes("bytes", b.bytes).Close();
    }
};

const char* KindName(ReportKind kind) {
    switch (kind) {
        case ReportKind::kCrash:
            return "crash";
        case ReportKind::kCoreDump:
            return "coreDump";
        case ReportKind::kHeaderOnly:
            return "headerOnly";
        case ReportKind::kSoftwareChange:
            return "softwareChange";
        case ReportKind::kPeriodic:
            return "periodic";
        case ReportKind::kUndetermined:
            return "undetermined";
        case ReportKind::kUnknown:
            return "unknown";
    }
    return "unknown";
}

std::string TypeName(std::optional<uint8_t> type) {
    if (type == kTypeCrash) return "\"crash\"";
    if (type == kTypeSoftwareChange) return "\"softwareChange\"";
    if (type == kTypePeriodic) return "\"periodic\"";
    return "null";
}

bool IsReportLength(size_t length) {
    return length == kHeaderOnlyLength || length == kSoftwareChangeLength || length == kLongLength;
}

std::string_view TrimBlanks(std::string_view s) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TextDecodeResult DecodeReportText(std::string_view text, TextEnd end) {
    TextDecodeResult result;
    const size_t padAt = text.find('=');
    const size_t dataChars = padAt == std::string_view::npos ? text.size() : padAt;
    for (size_t i = 0; i < dataChars; ++i) {
        if (AlphabetValue(text[i]) < 0) {
            result.error = BadCharacter(text, i);
            return result;
        }
    }
    if (padAt != std::string_view::npos) {
        for (size_t i = padAt; i < text.size(); ++i) {
            if (text[i] == '=') continue;
            result.error = AlphabetValue(text[i]) < 0
                               ? BadCharacter(text, i)
                               : Format("bad padding: %s at position %zu follows '='",
                                        DescribeChar(text[i]).c_str(), i + 1);
            return result;
        }
        // "xx==" and "xxx=" are the only padded groups, and they end the text.
        const size_t inGroup = padAt % 4;
        if (inGroup < 2) {
            result.error =
                Format("bad padding: '=' at position %zu leaves %zu character(s) in its group",
                       padAt + 1, inGroup);
            return result;
        }
        if (text.size() - padAt > 4 - inGroup) {
            result.error = Format("bad padding: %zu '=' after a group of %zu characters",
                                  text.size() - padAt, inGroup);
            return result;
        }
        // The encoder fills the bits of the last data character beyond the last byte with
        // zeros; anything else is not a text it wrote.
        const int spareBitsMask = inGroup == 2 ? 0x0f : 0x03;
        if ((AlphabetValue(text[padAt - 1]) & spareBitsMask) != 0) {
            result.error =
                Format("bad padding: %s at position %zu carries bits beyond the last byte",
                       DescribeChar(text[padAt - 1]).c_str(), padAt);
            return result;
        }
    }
    if (end == TextEnd::kComplete && text.size() % 4 != 0) {
        result.error = Format("text length %zu is not a multiple of 4", text.size());
        return result;
    }

    // Whole groups give 3 bytes. A last group of 2 or 3 data characters, padded or cut short,
    // gives the 1 or 2 whole bytes its bits hold: a cut text keeps every byte it carries. A lone
    // character (only possible in a cut text) holds 6 bits, no whole byte, and is dropped.
    result.bytes.reserve(dataChars / 4 * 3 + 2);
    uint32_t bits = 0;
    int bitCount = 0;
    for (size_t i = 0; i < dataChars; ++i) {
        bits = (bits << 6) | static_cast<uint32_t>(AlphabetValue(text[i]));
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            result.bytes.push_back(static_cast<uint8_t>(bits >> bitCount));
            bits &= (1u << bitCount) - 1;
        }
    }
    return result;
}

Report ParseReport(std::span<const uint8_t> message) {
    const ByteRange m(message);
    Report r;
    r.length = message.size();
    r.header = ParseHeader(m);
    const ByteRange body = m.From(kHeaderSize);
    if (!r.header.reportType) {
        r.kind = ReportKind::kUndetermined;
        r.expectedLength = kHeaderSize;  // at least
        return r;
    }
    switch (*r.header.reportType) {
        case kTypeCrash:
            ParseTypeZero(m, r);
            break;
        case kTypeSoftwareChange:
            r.kind = ReportKind::kSoftwareChange;
            r.expectedLength = kSoftwareChangeLength;
            r.body = ParseSoftwareChange(body);
            break;
        case kTypePeriodic:
            r.kind = ReportKind::kPeriodic;
            r.expectedLength = kLongLength;
            r.body = ParsePeriodic(body);
            break;
        default:
            r.kind = ReportKind::kUnknown;
            r.expectedLength = r.length;
            if (body.size() > 0) r.body = OpaqueBody{.callTime = std::nullopt, .bytes = body.All()};
            break;
    }
    return r;
}

DecodedInput DecodeInput(int number, std::string_view input) {
    DecodedInput d;
    d.number = number;
    std::string_view text = TrimBlanks(input);
    // Neither an e-mail address nor a report text holds a blank, so the first one separates
    // them; a second blank is then reported as a character outside the alphabet.
    const size_t blank = text.find(' ');
    if (blank != std::string_view::npos) {
        d.address = std::string(text.substr(0, blank));
        text = text.substr(blank + 1);
    }
    const bool emailForm = d.address.has_value();

    if (text.empty()) {
        d.problems.push_back("empty report text");
        return d;
    }
    if (text.size() > kMaxReportTextChars) {
        d.problems.push_back(Format("text of %zu characters is longer than any report (%zu)",
                                    text.size(), kMaxReportTextChars));
        return d;
    }
    TextDecodeResult decoded =
        DecodeReportText(text, emailForm ? TextEnd::kMayBeCut : TextEnd::kComplete);
    if (!decoded.ok()) {
        d.problems.push_back(decoded.error);
        return d;
    }
    const size_t length = decoded.bytes.size();
    if (length == 0) {
        d.problems.push_back("text cut short before its first byte");
        return d;
    }
    if (length > kLongLength || (!emailForm && !IsReportLength(length))) {
        d.problems.push_back(
            Format("%zu bytes is not a report length (64, 104 or 112 bytes)", length));
        return d;
    }

    Report report = ParseReport(decoded.bytes);
    const uint8_t type = *report.header.reportType;  // length > 0
    if (report.kind == ReportKind::kUnknown) {
        d.problems.push_back(Format("unknown report type %u", static_cast<unsigned>(type)));
    } else if (length > report.expectedLength) {
        d.problems.push_back(Format("a type %u report has %zu bytes, the text holds %zu",
                                    static_cast<unsigned>(type), report.expectedLength, length));
        return d;
    } else if (length < report.expectedLength) {
        if (!emailForm) {
            d.problems.push_back(Format("a type %u report has %zu bytes, the text holds %zu",
                                        static_cast<unsigned>(type), report.expectedLength,
                                        length));
            return d;
        }
        // The gateway's 160-character limit takes the tail of the report text.
        report.truncated = true;
        // Cut inside the header, a type 0 message may have been a header-only one.
        const bool atLeast = type == kTypeCrash && length < kHeaderSize;
        d.problems.push_back(Format("text cut short: %s%zu of %zu bytes missing",
                                    atLeast ? "at least " : "", report.expectedLength - length,
                                    report.expectedLength));
    }
    d.report = std::move(report);
    return d;
}

std::string RenderJson(const DecodedInput& input) {
    if (!input.report) return {};
    const Report& r = *input.report;
    JsonObject o;
    o.Number("input", static_cast<uint64_t>(input.number))
        .Member("address", input.address ? JsonString(*input.address) : "null")
        .Number("type", r.header.reportType)
        .Member("typeName", TypeName(r.header.reportType))
        .Member("kind", JsonString(std::string_view(KindName(r.kind))))
        .Member("header", RenderHeader(r.header))
        .Member("body", std::visit(BodyRenderer{}, r.body))
        .Number("length", r.length)
        .Member("truncated", r.truncated ? "true" : "false")
        .Number("missingBytes", r.truncated ? r.expectedLength - r.length : 0);
    return o.Close();
}

std::string JsonString(std::string_view bytes) {
    return JsonString(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace ulv::decode
