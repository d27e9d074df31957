// Report messages built by hand from the byte layouts, encoded with the reference encoder, and
// decoded back field by field.
#include <gtest/gtest.h>

#include <string>

#include "decoder.h"
#include "report_vectors.h"

namespace ulv::decode {
namespace {

using testing::Bytes;
using testing::MessageBuilder;
using testing::Prefix;
using testing::ReferenceEncode;
using testing::SampleCoreDumpMessage;
using testing::SampleCrashData;
using testing::SampleCrashMessage;
using testing::SampleHeader;
using testing::SamplePeriodicMessage;
using testing::SampleSoftwareChangeMessage;

Bytes AsBytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Bytes of a fixed text field: the text, then NULs up to the width.
Bytes Padded(std::string_view s, size_t width) {
    Bytes b = AsBytes(s);
    b.resize(width, 0);
    return b;
}

// Decodes a text that must give a report without problems.
Report DecodeClean(const std::string& text) {
    const DecodedInput d = DecodeInput(1, text);
    EXPECT_TRUE(d.problems.empty()) << (d.problems.empty() ? "" : d.problems.front());
    EXPECT_TRUE(d.report.has_value());
    return d.report.value_or(Report{});
}

void ExpectSampleHeader(const ReportHeader& h, uint8_t type) {
    EXPECT_EQ(h.reportType, type);
    EXPECT_EQ(h.formatCode, 2);
    EXPECT_EQ(h.apBuildLabel, Padded("AP_R1", 20));
    EXPECT_EQ(h.flexVersion, Padded("FLEX_7", 20));
    EXPECT_EQ(h.bpVersionCode, AsBytes("1234"));
    EXPECT_EQ(h.zeroByte, 0);
    EXPECT_EQ(h.bpTotalCount, 3);
    EXPECT_EQ(h.uptimeMs, 74565000u);
    EXPECT_EQ(h.imageFingerprint, 0x2679);
    EXPECT_EQ(h.serialNumber, AsBytes("SN01234567"));
}

// --- One report of each kind --------------------------------------------------------------

TEST(DecodeReport, DecodesEveryFieldOfACrashReport) {
    const Bytes message = SampleCrashMessage();
    ASSERT_EQ(message.size(), 112u);
    const std::string text = ReferenceEncode(message);
    ASSERT_EQ(text.size(), 152u);

    const Report r = DecodeClean(text);
    EXPECT_EQ(r.kind, ReportKind::kCrash);
    EXPECT_EQ(r.length, 112u);
    EXPECT_FALSE(r.truncated);
    ExpectSampleHeader(r.header, 0);
    const auto* body = std::get_if<CrashBody>(&r.body);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->callTime, 7u);
    EXPECT_EQ(body->timestamp, 0x11223344u);
    EXPECT_EQ(body->id, 2u);
    EXPECT_EQ(body->data, SampleCrashData());
}

TEST(DecodeReport, RendersACrashReportAsOneJsonLine) {
    const DecodedInput d = DecodeInput(3, ReferenceEncode(SampleCrashMessage()));
    EXPECT_EQ(RenderJson(d),
              "{\"input\":3,\"address\":null,\"type\":0,\"typeName\":\"crash\",\"kind\":\"crash\","
              "\"header\":{\"reportType\":0,\"formatCode\":2,"
              "\"apBuildLabel\":\"AP_R1\","
              "\"apBuildLabelRaw\":\"41505f5231000000000000000000000000000000\","
              "\"flexVersion\":\"FLEX_7\","
              "\"flexVersionRaw\":\"464c45585f370000000000000000000000000000\","
              "\"bpVersionCode\":\"1234\",\"bpVersionCodeRaw\":\"31323334\","
              "\"zeroByte\":0,\"bpTotalCount\":3,\"uptimeMs\":74565000,"
              "\"imageFingerprint\":\"0x2679\","
              "\"serialNumber\":\"SN01234567\",\"serialNumberRaw\":\"534e3031323334353637\"},"
              "\"body\":{\"callTime\":7,\"timestamp\":287454020,\"id\":\"0x00000002\","
              "\"idName\":null,\"data\":\"a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babb"
              "bcbdbebfc0c1c2c3\"},"
              "\"length\":112,\"truncated\":false,\"missingBytes\":0}");
}

TEST(DecodeReport, NamesTheKernelPanicIds) {
    struct Case {
        uint32_t id;
        const char* json;
    };
    for (const Case& c :
         {Case{0x00082000, "\"id\":\"0x00082000\",\"idName\":\"kernel panic\""},
          Case{0x00082002, "\"id\":\"0x00082002\",\"idName\":\"forced kernel panic\""},
          Case{0x00082001, "\"id\":\"0x00082001\",\"idName\":null"}}) {
        const Bytes message = SampleCrashMessage(c.id);
        // Body bytes 8 to 11 carry the id, most significant byte first.
        EXPECT_EQ(message[72], 0x00);
        EXPECT_EQ(message[73], 0x08);
        EXPECT_EQ(message[74], 0x20);
        const std::string json = RenderJson(DecodeInput(1, ReferenceEncode(message)));
        EXPECT_NE(json.find(c.json), std::string::npos) << json;
        EXPECT_NE(json.find("\"kind\":\"crash\""), std::string::npos) << json;
    }
}

TEST(DecodeReport, DecodesACoreDumpReportWithItsUnalignedPcOffset) {
    const Bytes message = SampleCoreDumpMessage();
    ASSERT_EQ(message.size(), 112u);
    // pcOffset at body offset 35, module id at body offset 8.
    EXPECT_EQ(Bytes(message.begin() + 64 + 35, message.begin() + 64 + 39),
              (Bytes{0x00, 0x00, 0x1a, 0x2c}));
    EXPECT_EQ(Bytes(message.begin() + 64 + 8, message.begin() + 64 + 12),
              (Bytes{0x00, 0x08, 0x21, 0x00}));

    const Report r = DecodeClean(ReferenceEncode(message));
    EXPECT_EQ(r.kind, ReportKind::kCoreDump);
    ExpectSampleHeader(r.header, 0);
    const auto* body = std::get_if<CoreDumpBody>(&r.body);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->callTime, 42u);
    EXPECT_EQ(body->fileTime, 0x65000000u);
    EXPECT_EQ(body->moduleId, 0x00082100u);
    EXPECT_EQ(body->taskName, Padded("mediaplay", 10));
    EXPECT_EQ(body->libName, Padded("libc.so", 13));
    EXPECT_EQ(body->pcOffset, 0x00001a2cu);
    EXPECT_EQ(body->signal, 11);
    EXPECT_EQ(body->pc, 0x40011a2cu);
    EXPECT_EQ(body->lr, 0x40010010u);

    const std::string json = RenderJson(DecodeInput(1, ReferenceEncode(message)));
    EXPECT_NE(json.find("\"kind\":\"coreDump\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"taskName\":\"mediaplay\",\"taskNameRaw\":\"6d65646961706c617900\","
                        "\"libName\":\"libc.so\",\"libNameRaw\":\"6c6962632e736f000000000000\","
                        "\"pcOffset\":\"0x00001a2c\",\"signal\":11,\"pc\":\"0x40011a2c\","
                        "\"lr\":\"0x40010010\""),
              std::string::npos)
        << json;
}

TEST(DecodeReport, TellsCoreDumpsFromCrashesByTheWholeModuleId) {
    // A crash whose id differs from the core dump module id in its last byte only.
    Bytes message = SampleCoreDumpMessage();
    message[64 + 11] = 0x01;
    EXPECT_EQ(DecodeClean(ReferenceEncode(message)).kind, ReportKind::kCrash);
    message[64 + 11] = 0x00;
    message[64 + 8] = 0x01;  // 0x01082100
    EXPECT_EQ(DecodeClean(ReferenceEncode(message)).kind, ReportKind::kCrash);
}

TEST(DecodeReport, DecodesAPeriodicReport) {
    const Report r = DecodeClean(ReferenceEncode(SamplePeriodicMessage()));
    EXPECT_EQ(r.kind, ReportKind::kPeriodic);
    ExpectSampleHeader(r.header, 2);
    const auto* body = std::get_if<PeriodicBody>(&r.body);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->callTime, 300u);
    EXPECT_EQ(body->reserved, Bytes(20, 0));
    Bytes generic;
    for (uint8_t b = 1; b <= 24; ++b) generic.push_back(b);
    EXPECT_EQ(body->genericData, generic);
}

TEST(DecodeReport, DecodesASoftwareChangeReportOf140Characters) {
    const std::string text = ReferenceEncode(SampleSoftwareChangeMessage());
    ASSERT_EQ(text.size(), 140u);
    const Report r = DecodeClean(text);
    EXPECT_EQ(r.kind, ReportKind::kSoftwareChange);
    EXPECT_EQ(r.length, 104u);
    ExpectSampleHeader(r.header, 1);
    const auto* body = std::get_if<SoftwareChangeBody>(&r.body);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->previousApBuildLabel, Padded("AP_R0", 20));
    EXPECT_EQ(body->previousFlexVersion, Padded("FLEX_6", 20));
    const std::string json = RenderJson(DecodeInput(1, text));
    EXPECT_NE(json.find("\"previousApBuildLabel\":\"AP_R0\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"previousFlexVersion\":\"FLEX_6\""), std::string::npos) << json;
}

TEST(DecodeReport, DecodesAHeaderOnlyReportOf88Characters) {
    const std::string text = ReferenceEncode(SampleHeader(0));
    ASSERT_EQ(text.size(), 88u);
    const Report r = DecodeClean(text);
    EXPECT_EQ(r.kind, ReportKind::kHeaderOnly);
    EXPECT_FALSE(r.truncated);
    ExpectSampleHeader(r.header, 0);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(r.body));
    EXPECT_NE(RenderJson(DecodeInput(1, text)).find("\"kind\":\"headerOnly\",\"header\""),
              std::string::npos);
}

TEST(DecodeReport, EscapesNonPrintingBytesOfTextFieldsAndStopsAtTheFirstNul) {
    // apBuildLabel: 'A', '"', '\', 01, ff, then NUL and garbage the library left behind.
    Bytes message = SampleHeader(0);
    const Bytes label = {'A', '"', '\\', 0x01, 0xff, 0x00, 'x', 'y'};
    std::copy(label.begin(), label.end(), message.begin() + 2);
    const std::string json = RenderJson(DecodeInput(1, ReferenceEncode(message)));
    EXPECT_NE(json.find("\"apBuildLabel\":\"A\\\"\\\\\\u0001\\u00ff\","), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"apBuildLabelRaw\":\"41225c01ff007879" + std::string(24, '0') + "\""),
              std::string::npos)
        << json;
}

// --- The e-mail form ----------------------------------------------------------------------

TEST(DecodeInput, EmailFormCutTo160CharactersIsMarkedTruncatedWithTheHeaderDecoded) {
    const std::string full = "user@example.com " + ReferenceEncode(SampleCrashMessage());
    const std::string sms = full.substr(0, 160);
    // 143 characters of report text: 35 whole groups (105 bytes) and 3 characters (2 bytes).
    const DecodedInput d = DecodeInput(2, sms);
    ASSERT_TRUE(d.report.has_value());
    EXPECT_EQ(d.address, "user@example.com");
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "text cut short: 5 of 112 bytes missing");

    const Report& r = *d.report;
    EXPECT_TRUE(r.truncated);
    EXPECT_EQ(r.length, 107u);
    EXPECT_EQ(r.kind, ReportKind::kCrash);
    ExpectSampleHeader(r.header, 0);
    const auto* body = std::get_if<CrashBody>(&r.body);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->id, 2u);
    EXPECT_EQ(body->data, Prefix(SampleCrashData(), 31));

    const std::string json = RenderJson(d);
    EXPECT_NE(json.find("{\"input\":2,\"address\":\"user@example.com\","), std::string::npos);
    EXPECT_NE(json.find("\"truncated\":true,\"missingBytes\":5}"), std::string::npos) << json;
}

TEST(DecodeInput, ASecondBlankIsACharacterOutsideTheAlphabet) {
    const DecodedInput d = DecodeInput(1, "x@y.z AAAA AAAA");
    EXPECT_FALSE(d.report.has_value());
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "' ' at position 5 is not in the report alphabet");
}

// --- Inputs that are not reports ----------------------------------------------------------

TEST(DecodeInput, RejectsABadCharacterWithoutPrintingAReport) {
    std::string text = ReferenceEncode(SampleCrashMessage());
    text[10] = '/';  // standard Base64's 63, not this alphabet's
    const DecodedInput d = DecodeInput(1, text);
    EXPECT_FALSE(d.report.has_value());
    EXPECT_EQ(RenderJson(d), "");
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "'/' at position 11 is not in the report alphabet");
}

TEST(DecodeInput, RejectsLengthsThatAreNoReport) {
    struct Case {
        size_t bytes;
        const char* problem;
    };
    for (const Case& c : {Case{63, "63 bytes is not a report length (64, 104 or 112 bytes)"},
                          Case{65, "65 bytes is not a report length (64, 104 or 112 bytes)"},
                          Case{111, "111 bytes is not a report length (64, 104 or 112 bytes)"},
                          Case{113, "113 bytes is not a report length (64, 104 or 112 bytes)"},
                          Case{114, "114 bytes is not a report length (64, 104 or 112 bytes)"},
                          Case{3, "3 bytes is not a report length (64, 104 or 112 bytes)"}}) {
        Bytes message = SampleCrashMessage();
        message.resize(c.bytes, 0x5a);
        const DecodedInput d = DecodeInput(1, ReferenceEncode(message));
        EXPECT_FALSE(d.report.has_value()) << c.bytes;
        ASSERT_EQ(d.problems.size(), 1u);
        EXPECT_EQ(d.problems[0], c.problem);
    }
    EXPECT_EQ(DecodeInput(1, std::string(156, 'A')).problems.at(0),
              "text of 156 characters is longer than any report (152)");
    EXPECT_EQ(DecodeInput(1, "").problems.at(0), "empty report text");
}

TEST(DecodeInput, RejectsAReportLengthThatDoesNotFitItsType) {
    // A periodic header alone, a software change with a 48-byte body, a crash of 104 bytes.
    Bytes periodicHeader = SampleHeader(2);
    Bytes longSoftwareChange = SamplePeriodicMessage();
    longSoftwareChange[0] = 1;
    Bytes shortCrash = Prefix(SampleCrashMessage(), 104);
    EXPECT_EQ(DecodeInput(1, ReferenceEncode(periodicHeader)).problems.at(0),
              "a type 2 report has 112 bytes, the text holds 64");
    EXPECT_EQ(DecodeInput(1, ReferenceEncode(longSoftwareChange)).problems.at(0),
              "a type 1 report has 104 bytes, the text holds 112");
    EXPECT_EQ(DecodeInput(1, ReferenceEncode(shortCrash)).problems.at(0),
              "a type 0 report has 112 bytes, the text holds 104");
    // Too long is not a cut, in the e-mail form either.
    const DecodedInput email = DecodeInput(1, "a@b " + ReferenceEncode(longSoftwareChange));
    EXPECT_FALSE(email.report.has_value());
    EXPECT_EQ(email.problems.at(0), "a type 1 report has 104 bytes, the text holds 112");
}

TEST(DecodeInput, ShowsAnUnknownReportTypeButCountsItAsAProblem) {
    Bytes message = SamplePeriodicMessage();
    message[0] = 7;
    const DecodedInput d = DecodeInput(1, ReferenceEncode(message));
    ASSERT_TRUE(d.report.has_value());
    EXPECT_EQ(d.report->kind, ReportKind::kUnknown);
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "unknown report type 7");
    const std::string json = RenderJson(d);
    EXPECT_NE(json.find("\"type\":7,\"typeName\":null,\"kind\":\"unknown\""), std::string::npos);
    EXPECT_NE(json.find("\"body\":{\"callTime\":null,\"bytes\":\"0000012c00"), std::string::npos)
        << json;
}

// --- Messages cut short -------------------------------------------------------------------

// A field of a cut message is there exactly when the message holds its last byte (end), and
// then it is the field of the whole message.
template <typename T>
void ExpectFieldAt(const char* name, const std::optional<T>& cut, const std::optional<T>& whole,
                   size_t length, size_t end) {
    if (length >= end) {
        EXPECT_EQ(cut, whole) << name << " in a message of " << length << " bytes";
    } else {
        EXPECT_FALSE(cut.has_value()) << name << " in a message of " << length << " bytes";
    }
}

// A byte block of a cut message holds the bytes that arrived, none when it starts past the end.
void ExpectBlockAt(const char* name, const std::optional<Bytes>& cut,
                   const std::optional<Bytes>& whole, size_t length, size_t start) {
    ASSERT_TRUE(whole.has_value());
    if (length > start) {
        const size_t n = std::min(whole->size(), length - start);
        EXPECT_EQ(cut, Prefix(*whole, n)) << name << " in a message of " << length << " bytes";
    } else {
        EXPECT_FALSE(cut.has_value()) << name << " in a message of " << length << " bytes";
    }
}

void ExpectHeaderCutAt(const ReportHeader& cut, const ReportHeader& whole, size_t n) {
    ExpectFieldAt("reportType", cut.reportType, whole.reportType, n, 1);
    ExpectFieldAt("formatCode", cut.formatCode, whole.formatCode, n, 2);
    ExpectFieldAt("apBuildLabel", cut.apBuildLabel, whole.apBuildLabel, n, 22);
    ExpectFieldAt("flexVersion", cut.flexVersion, whole.flexVersion, n, 42);
    ExpectFieldAt("bpVersionCode", cut.bpVersionCode, whole.bpVersionCode, n, 46);
    ExpectFieldAt("zeroByte", cut.zeroByte, whole.zeroByte, n, 47);
    ExpectFieldAt("bpTotalCount", cut.bpTotalCount, whole.bpTotalCount, n, 48);
    ExpectFieldAt("uptimeMs", cut.uptimeMs, whole.uptimeMs, n, 52);
    ExpectFieldAt("imageFingerprint", cut.imageFingerprint, whole.imageFingerprint, n, 54);
    ExpectFieldAt("serialNumber", cut.serialNumber, whole.serialNumber, n, 64);
}

TEST(ParseReport, KeepsExactlyTheWholeFieldsOfEveryCrashPrefix) {
    const Bytes message = SampleCrashMessage();
    const Report whole = ParseReport(message);
    const CrashBody& w = std::get<CrashBody>(whole.body);
    for (size_t n = 0; n <= message.size(); ++n) {
        const Bytes cut = Prefix(message, n);  // its own allocation, so ASan sees overreads
        const Report r = ParseReport(cut);
        EXPECT_EQ(r.length, n);
        ExpectHeaderCutAt(r.header, whole.header, n);
        if (n < 64) {
            EXPECT_EQ(r.kind, ReportKind::kUndetermined);
            EXPECT_EQ(r.expectedLength, 64u);
        } else if (n == 64) {
            EXPECT_EQ(r.kind, ReportKind::kHeaderOnly);
        } else if (n < 76) {
            // The module id at body offset 8 decides crash or core dump; not there yet.
            EXPECT_EQ(r.kind, ReportKind::kUndetermined);
            const auto& b = std::get<OpaqueBody>(r.body);
            ExpectFieldAt("callTime", b.callTime, w.callTime, n, 68);
            EXPECT_EQ(b.bytes, Bytes(message.begin() + 64,
                                     message.begin() + static_cast<std::ptrdiff_t>(n)));
        } else {
            ASSERT_EQ(r.kind, ReportKind::kCrash) << n;
            EXPECT_EQ(r.expectedLength, 112u);
            const auto& b = std::get<CrashBody>(r.body);
            ExpectFieldAt("callTime", b.callTime, w.callTime, n, 68);
            ExpectFieldAt("timestamp", b.timestamp, w.timestamp, n, 72);
            ExpectFieldAt("id", b.id, w.id, n, 76);
            ExpectBlockAt("data", b.data, w.data, n, 76);
        }
    }
}

TEST(ParseReport, KeepsExactlyTheWholeFieldsOfEveryCoreDumpPrefix) {
    const Bytes message = SampleCoreDumpMessage();
    const Report whole = ParseReport(message);
    const CoreDumpBody& w = std::get<CoreDumpBody>(whole.body);
    for (size_t n = 76; n <= message.size(); ++n) {
        const Bytes cut = Prefix(message, n);
        const Report r = ParseReport(cut);
        ASSERT_EQ(r.kind, ReportKind::kCoreDump) << n;
        const auto& b = std::get<CoreDumpBody>(r.body);
        ExpectFieldAt("fileTime", b.fileTime, w.fileTime, n, 72);
        ExpectFieldAt("moduleId", b.moduleId, w.moduleId, n, 76);
        ExpectFieldAt("taskName", b.taskName, w.taskName, n, 86);
        ExpectFieldAt("libName", b.libName, w.libName, n, 99);
        ExpectFieldAt("pcOffset", b.pcOffset, w.pcOffset, n, 103);
        ExpectFieldAt("signal", b.signal, w.signal, n, 104);
        ExpectFieldAt("pc", b.pc, w.pc, n, 108);
        ExpectFieldAt("lr", b.lr, w.lr, n, 112);
    }
}

TEST(DecodeInput, EmailFormCutAtEveryHeaderFieldBoundaryCountsTheMissingBytes) {
    struct Case {
        size_t bytes;
        const char* problem;
    };
    // Field boundaries of the header (type 0 may still have been header-only there, hence
    // "at least"), and of a periodic report, whose length is fixed by its type.
    for (const Case& c : {Case{1, "text cut short: at least 63 of 64 bytes missing"},
                          Case{2, "text cut short: at least 62 of 64 bytes missing"},
                          Case{22, "text cut short: at least 42 of 64 bytes missing"},
                          Case{42, "text cut short: at least 22 of 64 bytes missing"},
                          Case{46, "text cut short: at least 18 of 64 bytes missing"},
                          Case{47, "text cut short: at least 17 of 64 bytes missing"},
                          Case{48, "text cut short: at least 16 of 64 bytes missing"},
                          Case{52, "text cut short: at least 12 of 64 bytes missing"},
                          Case{54, "text cut short: at least 10 of 64 bytes missing"},
                          Case{63, "text cut short: at least 1 of 64 bytes missing"},
                          Case{70, "text cut short: 42 of 112 bytes missing"}}) {
        const Bytes cut = Prefix(SampleCrashMessage(), c.bytes);
        const DecodedInput d = DecodeInput(1, "user@example.com " + ReferenceEncode(cut));
        ASSERT_TRUE(d.report.has_value()) << c.bytes;
        EXPECT_TRUE(d.report->truncated);
        EXPECT_EQ(d.report->kind, ReportKind::kUndetermined);
        ASSERT_EQ(d.problems.size(), 1u);
        EXPECT_EQ(d.problems[0], c.problem);
        EXPECT_NE(RenderJson(d).find("\"truncated\":true"), std::string::npos);
    }
    for (const size_t bytes : {1, 2, 22, 42, 46, 47, 48, 52, 54, 63, 64, 68, 88}) {
        const Bytes cut = Prefix(SamplePeriodicMessage(), bytes);
        const DecodedInput d = DecodeInput(1, "user@example.com " + ReferenceEncode(cut));
        ASSERT_TRUE(d.report.has_value()) << bytes;
        EXPECT_EQ(d.report->kind, ReportKind::kPeriodic);
        EXPECT_EQ(d.problems.at(0),
                  "text cut short: " + std::to_string(112 - bytes) + " of 112 bytes missing");
    }
}

TEST(DecodeInput, EmailFormCutAtEveryCharacterDecodesWhatArrived) {
    for (const Bytes& message :
         {SampleCrashMessage(), SampleCoreDumpMessage(), SamplePeriodicMessage(),
          SampleSoftwareChangeMessage(), SampleHeader(0)}) {
        const std::string text = ReferenceEncode(message);
        const Report whole = ParseReport(message);
        for (size_t chars = 2; chars <= text.size(); ++chars) {
            const DecodedInput d = DecodeInput(1, "op@example.net " + text.substr(0, chars));
            ASSERT_TRUE(d.report.has_value()) << chars;
            const Report& r = *d.report;
            // Every 4 characters carry 3 bytes; a cut group its whole bytes.
            const size_t expectedBytes = std::min(message.size(), chars * 6 / 8);
            EXPECT_EQ(r.length, expectedBytes);
            ExpectHeaderCutAt(r.header, whole.header, r.length);
            // A type 0 message cut to exactly its header reads as a header-only report: the
            // two cannot be told apart (no address the handset accepts is that long).
            const bool cutToAHeader = message[0] == 0 && message.size() > 64 && r.length == 64;
            const bool shortOfItsType = r.length < whole.expectedLength && !cutToAHeader;
            if (cutToAHeader) {
                EXPECT_EQ(r.kind, ReportKind::kHeaderOnly);
            }
            EXPECT_EQ(r.truncated, shortOfItsType) << chars;
            EXPECT_EQ(d.problems.size(), shortOfItsType ? 1u : 0u) << chars;
            EXPECT_FALSE(RenderJson(d).empty());
        }
    }
}

}  // namespace
}  // namespace ulv::decode
