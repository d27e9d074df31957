// ulv-decode on report messages built by hand from the byte layouts: the text alphabet, every
// field of a crash and a core dump report, the e-mail form's cut, bad inputs, the executable.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "decoder.h"
#include "process.h"

namespace ulv::decode {
namespace {

// Wire fields: numbers most significant byte first, texts NUL-padded to their width.
void PutBe32(Bytes* b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b->push_back(static_cast<uint8_t>(v >> shift));
}

void PutText(Bytes* b, std::string_view text, size_t width) {
    for (size_t i = 0; i < width; ++i) b->push_back(i < text.size() ? text[i] : '\0');
}

// Base64 (RFC 4648) with "-" for 63, written from the encoding side.
std::string ReferenceEncode(const Bytes& in) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = std::min<size_t>(in.size() - i, 3);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? in[i + k] : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[group >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

// A type 0 header and the crash body of a forced kernel panic.
Bytes CrashMessage() {
    Bytes b = {0, 2};                 //  0 reportType 0, formatCode 2
    PutText(&b, "AP_R1", 20);         //  2 apBuildLabel
    PutText(&b, "FLEX_7", 20);        // 22 flexVersion
    PutText(&b, "1234", 4);           // 42 bpVersionCode
    b.insert(b.end(), {0, 3});        // 46 zero byte, 47 bpTotalCount 3
    PutBe32(&b, 74565000);            // 48 uptimeMs: 04 71 c5 88
    b.insert(b.end(), {0x26, 0x79});  // 52 imageFingerprint 0x2679
    PutText(&b, "SN01234567", 10);    // 54 serialNumber
    PutBe32(&b, 7);                   // body 0 call time
    PutBe32(&b, 0x11223344);          // body 4 timestamp
    PutBe32(&b, 0x00082002);          // body 8 id: 00 08 20 02, a forced kernel panic
    for (uint8_t v = 0xa0; v < 0xa0 + 36; ++v) b.push_back(v);  // body 12 data a0 .. c3
    return b;
}

const std::string kCrashData =
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3";

// The JSON of CrashMessage() from its type on, with the crash data that arrived and `tail`.
std::string CrashJson(const std::string& data, const std::string& tail) {
    return "\"type\":0,\"typeName\":\"crash\",\"kind\":\"crash\",\"header\":{\"reportType\":0,"
           "\"formatCode\":2,\"apBuildLabel\":\"AP_R1\","
           "\"apBuildLabelRaw\":\"41505f5231000000000000000000000000000000\","
           "\"flexVersion\":\"FLEX_7\","
           "\"flexVersionRaw\":\"464c45585f370000000000000000000000000000\","
           "\"bpVersionCode\":\"1234\",\"bpVersionCodeRaw\":\"31323334\",\"zeroByte\":0,"
           "\"bpTotalCount\":3,\"uptimeMs\":74565000,\"imageFingerprint\":\"0x2679\","
           "\"serialNumber\":\"SN01234567\",\"serialNumberRaw\":\"534e3031323334353637\"},"
           "\"body\":{\"callTime\":7,\"timestamp\":287454020,\"id\":\"0x00082002\","
           "\"idName\":\"forced kernel panic\",\"data\":\"" +
           data + "\"}," + tail;
}

TEST(DecodeReportText, HandWrittenVectorsBothWays) {
    const std::pair<std::string, Bytes> vectors[] = {
        {"YWJj", {'a', 'b', 'c'}},     // as in standard Base64
        {"----", {0xff, 0xff, 0xff}},  // 63 63 63 63; standard Base64 writes "////"
        {"+-8=", {0xfb, 0xff}},        // 62 63 60 and one "="
        {"AA==", {0x00}},              // one zero byte
    };
    for (const auto& [text, bytes] : vectors) {
        EXPECT_EQ(ReferenceEncode(bytes), text);
        const TextDecodeResult r = DecodeReportText(text, TextEnd::kComplete);
        EXPECT_EQ(r.error, "") << text;
        EXPECT_EQ(r.bytes, bytes) << text;
    }
}

TEST(DecodeReport, DecodesEveryFieldOfAForcedKernelPanicReport) {
    const DecodedInput d = DecodeInput(3, ReferenceEncode(CrashMessage()));
    EXPECT_TRUE(d.problems.empty()) << d.problems.front();
    EXPECT_EQ(RenderJson(d),
              "{\"input\":3,\"address\":null," +
                  CrashJson(kCrashData, "\"length\":112,\"truncated\":false,\"missingBytes\":0}"));
}

TEST(DecodeReport, DecodesACoreDumpBodyWithItsUnalignedPcOffset) {
    Bytes message = CrashMessage();
    message.resize(64);
    PutBe32(&message, 42);                                        // body  0 call time
    PutBe32(&message, 0x65000000);                                // body  4 file time
    message.insert(message.end(), {0x00, 0x08, 0x21, 0x00});      // body  8 module id
    PutText(&message, "mediaplay", 10);                           // body 12 task name
    PutText(&message, "libc.so", 13);                             // body 22 library name
    message.insert(message.end(), {0x00, 0x00, 0x1a, 0x2c, 11});  // body 35 pcOffset, 39 signal
    PutBe32(&message, 0x40011a2c);                                // body 40 pc
    PutBe32(&message, 0x40010010);                                // body 44 lr
    const std::string json = RenderJson(DecodeInput(1, ReferenceEncode(message)));
    EXPECT_NE(json.find("\"body\":{\"callTime\":42,\"fileTime\":1694498816,\"moduleId\":"
                        "\"0x00082100\",\"taskName\":\"mediaplay\",\"taskNameRaw\":"
                        "\"6d65646961706c617900\",\"libName\":\"libc.so\",\"libNameRaw\":"
                        "\"6c6962632e736f000000000000\",\"pcOffset\":\"0x00001a2c\",\"signal\":11,"
                        "\"pc\":\"0x40011a2c\",\"lr\":\"0x40010010\"}"),
              std::string::npos)
        << json;
    message[64 + 11] = 0x01;  // 0x00082101 differs from the core dump module id in its last byte
    EXPECT_NE(RenderJson(DecodeInput(1, ReferenceEncode(message))).find("\"kind\":\"crash\""),
              std::string::npos);
}

TEST(DecodeInput, EmailFormCutAt160CharactersIsMarkedTruncatedWithItsHeaderDecoded) {
    const std::string sms = ("user@example.com " + ReferenceEncode(CrashMessage())).substr(0, 160);
    // 143 characters of report text: 35 whole groups (105 bytes) and 3 characters (2 bytes).
    const DecodedInput d = DecodeInput(2, sms);
    EXPECT_EQ(d.problems, std::vector<std::string>{"text cut short: 5 of 112 bytes missing"});
    EXPECT_EQ(RenderJson(d),
              "{\"input\":2,\"address\":\"user@example.com\"," +
                  CrashJson(kCrashData.substr(0, 62),
                            "\"length\":107,\"truncated\":true,\"missingBytes\":5}"));
}

TEST(DecodeInput, NamesTheBadCharacterOrTheBadLength) {
    const Bytes crash = CrashMessage();
    const std::pair<std::string, std::string> cases[] = {
        {"ab/c", "'/' at position 3 is not in the report alphabet"},
        {"YWJjZ", "text length 5 is not a multiple of 4"},
        {"----", "3 bytes is not a report length (64, 104 or 112 bytes)"},
        {ReferenceEncode(Bytes(crash.begin(), crash.end() - 1)),
         "111 bytes is not a report length (64, 104 or 112 bytes)"},
    };
    for (const auto& [text, problem] : cases) {
        const DecodedInput d = DecodeInput(1, text);
        EXPECT_FALSE(d.report.has_value()) << text;
        EXPECT_EQ(d.problems, std::vector<std::string>{problem}) << text;
    }
}

TEST(DecodeCli, BadLineInTheMiddleLetsTheOthersPrintAndFailsTheRun) {
    ulvtest::SandboxRoot root;
    const std::string input = root.path() + "/input", output = root.path() + "/output";
    const std::string crash = ReferenceEncode(CrashMessage());
    ASSERT_TRUE(ulvtest::WriteFile(input, crash + "\nAAAA!AAA\n" + crash + "\n"));
    // The shell only makes the file standard input, then becomes the (emulated) decoder.
    std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$@\" <\"$0\"", input};
    for (const std::string& word : ulvtest::EmulatorPrefix()) command.push_back(word);
    command.push_back(ULV_DECODE_EXE);
    ulvtest::ChildProcess decoder = ulvtest::ChildProcess::SpawnNative(command, output);
    int status = -1;
    ASSERT_TRUE(decoder.WaitExit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    // Standard output, flushed line by line, and standard error share the file.
    EXPECT_EQ(ulvtest::ReadFile(output),
              RenderJson(DecodeInput(1, crash)) + "\n" +
                  "ulv-decode: input 2: '!' at position 5 is not in the report alphabet\n" +
                  RenderJson(DecodeInput(3, crash)) + "\n");
}

}  // namespace
}  // namespace ulv::decode
