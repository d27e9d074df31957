// ulv-decode on report messages built by hand from the byte layouts: the text alphabet, every
// field of every report kind, the e-mail form's cut, bad inputs, the executable.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "decoder.h"
#include "process.h"
#include "report_bytes.h"

namespace ulv::decode {
namespace {

using reporttest::Text;

const reporttest::Handset kPhone{"SN01234567", "AP_R1", "FLEX_7", 0x2679};
// A forced kernel panic (id 00 08 20 02), uptime 04 71 c5 88, data a0 .. c3.
const Bytes kCrash = reporttest::Crash(kPhone, 74565000, 7, 0x11223344, 0x00082002);
const std::string kCrashData =
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3";

// The JSON of kCrash from its type on, with the crash data that arrived and `tail`.
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
        EXPECT_EQ(Text(bytes), text);
        const TextDecodeResult r = DecodeReportText(text, TextEnd::kComplete);
        EXPECT_EQ(r.error, "") << text;
        EXPECT_EQ(r.bytes, bytes) << text;
    }
}

TEST(DecodeReport, DecodesEveryFieldOfEachReportKind) {
    EXPECT_EQ(RenderJson(DecodeInput(3, Text(kCrash))),
              "{\"input\":3,\"address\":null," +
                  CrashJson(kCrashData, "\"length\":112,\"truncated\":false,\"missingBytes\":0}"));
    const Bytes core =
        reporttest::CoreDump(kPhone, 1, 42, 0x65000000, "mediaplay", "libc.so", 0x1a2c);
    Bytes module = core;
    module[64 + 11] = 0x01;  // 0x00082101 differs from the core dump module id in its last byte
    const std::pair<Bytes, std::string> bodies[] = {
        {core, "\"kind\":\"coreDump\""},
        {core,
         "\"body\":{\"callTime\":42,\"fileTime\":1694498816,\"moduleId\":\"0x00082100\","
         "\"taskName\":\"mediaplay\",\"taskNameRaw\":\"6d65646961706c617900\","
         "\"libName\":\"libc.so\",\"libNameRaw\":\"6c6962632e736f000000000000\","
         "\"pcOffset\":\"0x00001a2c\",\"signal\":11,\"pc\":\"0x40011a2c\",\"lr\":\"0x40010010\"}"},
        {module, "\"kind\":\"crash\""},
        {reporttest::Periodic(kPhone, 1, 9, 0x30),
         "\"typeName\":\"periodic\",\"kind\":\"periodic\""},
        {reporttest::Periodic(kPhone, 1, 9, 0x30),
         "\"body\":{\"callTime\":9,\"reserved\":\"" + std::string(40, '0') +
             "\",\"genericData\":\"303132333435363738393a3b3c3d3e3f4041424344454647\"},"
             "\"length\":112,"},
        {reporttest::SoftwareChange(kPhone, 1, "AP_R0", "FLEX_6"),
         "\"typeName\":\"softwareChange\",\"kind\":\"softwareChange\""},
        {reporttest::SoftwareChange(kPhone, 1, "AP_R0", "FLEX_6"),
         "\"body\":{\"previousApBuildLabel\":\"AP_R0\",\"previousApBuildLabelRaw\":"
         "\"41505f5230000000000000000000000000000000\",\"previousFlexVersion\":\"FLEX_6\","
         "\"previousFlexVersionRaw\":\"464c45585f360000000000000000000000000000\"},"
         "\"length\":104,"},
        {reporttest::Header(kPhone, 0, 1), "\"kind\":\"headerOnly\""},
        {reporttest::Header(kPhone, 0, 1), "\"body\":null,\"length\":64,"},
    };
    for (const auto& [message, json] : bodies) {
        const DecodedInput d = DecodeInput(1, Text(message));
        EXPECT_TRUE(d.problems.empty()) << d.problems.front();
        EXPECT_NE(RenderJson(d).find(json), std::string::npos) << RenderJson(d);
    }
}

TEST(DecodeInput, EmailFormCutAt160CharactersIsMarkedTruncatedWithItsHeaderDecoded) {
    // 143 characters of report text: 35 whole groups (105 bytes) and 3 characters (2 bytes).
    const DecodedInput d = DecodeInput(2, ("user@example.com " + Text(kCrash)).substr(0, 160));
    EXPECT_EQ(d.problems, std::vector<std::string>{"text cut short: 5 of 112 bytes missing"});
    EXPECT_EQ(RenderJson(d),
              "{\"input\":2,\"address\":\"user@example.com\"," +
                  CrashJson(kCrashData.substr(0, 62),
                            "\"length\":107,\"truncated\":true,\"missingBytes\":5}"));
}

TEST(DecodeInput, NamesTheBadCharacterOrTheBadLength) {
    const std::pair<std::string, std::string> cases[] = {
        {"ab/c", "'/' at position 3 is not in the report alphabet"},
        {"YWJjZ", "text length 5 is not a multiple of 4"},
        {"----", "3 bytes is not a report length (64, 104 or 112 bytes)"},
        {Text(Bytes(kCrash.begin(), kCrash.end() - 1)),
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
    ASSERT_TRUE(ulvtest::WriteFile(input, Text(kCrash) + "\nAAAA!AAA\n" + Text(kCrash) + "\n"));
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
              RenderJson(DecodeInput(1, Text(kCrash))) + "\n" +
                  "ulv-decode: input 2: '!' at position 5 is not in the report alphabet\n" +
                  RenderJson(DecodeInput(3, Text(kCrash))) + "\n");
}

}  // namespace
}  // namespace ulv::decode
