// What a report message holds: byte order, the header, the bodies and the report text.
#include "reports_fixture.h"

namespace {

TEST_F(ReportsTest, WireOrderReversesTwoAndFourByteFieldsOnlyOnALowByteFirstHost) {
    struct Case { uint8_t hostLittleEndian; size_t size; Bytes field; };
    const Bytes same{1, 2, 3, 4};
    const Case cases[] = {{1, 4, {4, 3, 2, 1}}, {1, 2, {2, 1, 3, 4}}, {1, 3, same},
                          {1, 0, same},         {0, 4, same},         {0, 2, same}};
    for (const Case& c : cases) {
        ulvState.hostLittleEndian = c.hostLittleEndian;
        Bytes field = same;
        ULVToWireOrder(field.data(), c.size);
        EXPECT_EQ(field, c.field) << int{c.hostLittleEndian} << " " << c.size;
        ULVToWireOrder(nullptr, c.size);  // ignored, not dereferenced
    }
}

TEST_F(ReportsTest, HeaderAndPeriodicBodyAreInWireOrderOnEitherHost) {
    ULVReadVersionInfo();                 // the fakes: "AP_R1", "BP.12.34"/"FLEX_7", "SN01234567"
    const uint16_t fingerprint = 0x2679;  // host order, as initialisation stores it
    std::memcpy(ulvState.reportHeader + REPORT_FINGERPRINT_OFFSET, &fingerprint, 2);
    ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 3;
    ulvState.flexConfig.ulv_cummulative_uptime = 74000;
    ulvState.lastUptimeSample = 1000;
    fake::clock.uptime = 1565;  // 74565 s = 0x12345
    fake::tapi.callTime = 0x00012345;
    for (uint8_t i = 0; i < 24; ++i) fake::tapi.generic[i] = static_cast<uint8_t>(0xB0 + i);
    ulvState.pendingReports = PENDING_PERIODIC;
    ULVSmsSend();
    Bytes expected{
        0x02, 0x02,                                                  // periodic, format 2
        0x41, 0x50, 0x5f, 0x52, 0x31, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // "AP_R1"
        0x46, 0x4c, 0x45, 0x58, 0x5f, 0x37, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // "FLEX_7"
        0x31, 0x32, 0x33, 0x34,                                      // BP version code "1234"
        0x00, 0x03,                                                  // zero, 3 BP records
        0x04, 0x71, 0xc5, 0x88,                                      // uptime 74565000 ms
        0x26, 0x79,                                                  // fingerprint 0x2679
        0x53, 0x4e, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,  // "SN01234567"
        0x00, 0x01, 0x23, 0x45,                                      // call time 0x00012345
    };
    expected.resize(64 + 24, 0);  // five zero numbers, then the generic data as it came
    for (uint8_t i = 0; i < 24; ++i) expected.push_back(static_cast<uint8_t>(0xB0 + i));
    EXPECT_EQ(Raw(), expected);
    EXPECT_TRUE(Saved("ulv_last_preiodic_report_timestamp = 12345")) << ConfigFile();

    fake::tapi.SetBpVersion("x.12.3", "FLEX_7");  // rejected: the code stays
    ULVReadVersionInfo();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ulvState.reportHeader) + 42, 4), "1234");
    EXPECT_EQ(TraceCount("Invalid version number\n\n"), 1);

    uint8_t header[REPORT_HEADER_SIZE];
    ulvState.flexConfig.ulv_cummulative_uptime = 4294968;  // 4294968000 ms: low 32 bits 704
    fake::clock.uptime = 1000;                             // none since the last sample
    ULVFinishHeader(header);
    EXPECT_EQ(Bytes(header + 48, header + 52), (Bytes{0x00, 0x00, 0x02, 0xc0}));
}

// Bytes `from` to `to` of the next crash body.
Bytes NextBody(size_t from = 0, size_t to = CRASH_BODY_SIZE) {
    uint8_t length = 0, body[CRASH_BODY_SIZE] = {};
    ULVBuildCrashBody(&length, body);
    EXPECT_EQ(length, CRASH_BODY_SIZE);
    return Bytes(body + from, body + to);
}

TEST_F(ReportsTest, CrashEntriesGoBpOldestFirstThenQuelaThenKernelWithTheirCountMarks) {
    SetBp({300, 100, 200}, true, 5);  // 5 records in the logs, 3 of them new
    SetQuela({0x30, 0x10, 0x20});
    ulvState.kernelPanic = NewList({0x11223344}, 2);
    struct Step { Bytes stamp; uint8_t bpCount; uint32_t quelaCount; };
    const Step steps[]{{{0, 0, 0, 0x64}, 3, 0}, {{0, 0, 0, 0xc8}, 4, 0}, {{0, 0, 1, 0x2c}, 5, 0},
                       {{0, 0, 0, 0x10}, 5, 4}, {{0, 0, 0, 0x20}, 5, 3}, {{0, 0, 0, 0x30}, 5, 2}};
    for (const Step& s : steps) {
        EXPECT_EQ(NextBody(4, 8), s.stamp);  // the time stamp
        EXPECT_EQ(ulvState.flexConfig.ulv_last_num_panics, s.bpCount);
        EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_quela_num_panics, s.quelaCount);
    }
    fake::tapi.callTime = 7;
    // Call time 7, time stamp 0x11223344, id 2, then the data as it is.
    Bytes expected{0x00, 0x00, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x02};
    for (uint8_t d = 0; d < PANIC_DATA_SIZE; ++d) expected.push_back(d);
    EXPECT_EQ(NextBody(), expected);
    EXPECT_EQ(ulvState.kernelPanic->timestamp, 0x11223344u);  // the record stays in host order
    EXPECT_EQ(ulvState.kernelPanicDone, 1);
}

// The text, after checking that only it and its NUL were written.
std::string Encode(const Bytes& in) {
    std::string out(300, '#');
    const uint8_t count = ULVEncodeText(out.data(), in.data(), static_cast<uint8_t>(in.size()));
    EXPECT_EQ(out.substr(count), '\0' + std::string(299 - count, '#'));
    return out.substr(0, count);
}

TEST(EncodeTest, EncodesBase64WithDashForSixtyThreeAndRefusesOver189Bytes) {
    struct Case { Bytes in; const char* text; };
    const Case golden[] = {{{'a', 'b', 'c'}, "YWJj"}, {{0xFF, 0xFF, 0xFF}, "----"},
                           {{0xFB, 0xFF}, "+-8="}, {{0x00}, "AA=="}, {{}, ""}};
    for (const Case& c : golden) EXPECT_EQ(Encode(c.in), c.text);
    const size_t lengths[][2] = {{112, 152}, {104, 140}, {64, 88}, {189, 252}, {190, 0}};
    for (const auto& l : lengths) EXPECT_EQ(Encode(Bytes(l[0], 0xA5)).size(), l[1]) << l[0];
}

}  // namespace
