// Byte order, the report header template and the operations that fill it.
#include <bit>
#include <cstring>

#include "reports_fixture.h"

namespace {

using reportstest::Be32;
using reportstest::Bytes;
using reportstest::HostIsLittleEndian;
using reportstest::LoadHost32;
using reportstest::Padded;
using reportstest::Slice;

class HeaderTest : public reportstest::ReportsTest {
protected:
    // The report uptime that ULVComputeReportUptime will find: the cumulative uptime plus the
    // seconds since the last accounting point.
    static void SetReportUptime(uint32_t cumulative, uint32_t sinceSample) {
        ulvState.flexConfig.ulv_cummulative_uptime = cumulative;
        ulvState.lastUptimeSample = 1000;
        fake::clock.uptime = 1000 + static_cast<long>(sinceSample);
    }

    // The template as initialisation and the start-up decision leave it.
    static void FillTemplate() {
        ULVReadVersionInfo();  // fakes: "AP_R1", "BP.12.34" / "FLEX_7", "SN01234567"
        const uint16_t fingerprint = 0x2679;  // host order, as initialisation stores it
        std::memcpy(ulvState.reportHeader + REPORT_FINGERPRINT_OFFSET, &fingerprint, 2);
        ulvState.reportHeader[REPORT_ZERO_BYTE_OFFSET] = 0;
        ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = 3;
        ulvState.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_PERIODIC;
        ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
    }
};

struct WireCase {
    uint8_t hostLittleEndian;
    size_t size;
    Bytes expected;  // the 8-byte buffer 01..08 after converting its first `size` bytes
};

TEST_F(HeaderTest, ReversesTwoAndFourByteFieldsOnlyWhenTheHostStoresLowByteFirst) {
    const Bytes untouched{1, 2, 3, 4, 5, 6, 7, 8};
    const WireCase cases[] = {
        {1, 4, {4, 3, 2, 1, 5, 6, 7, 8}},
        {1, 2, {2, 1, 3, 4, 5, 6, 7, 8}},
        {1, 3, untouched},  // neither 2 nor 4
        {1, 1, untouched},
        {1, 8, untouched},
        {1, 0, untouched},
        {0, 4, untouched},  // most significant byte first already
        {0, 2, untouched},
        {2, 4, untouched},  // only the value 1 means low byte first
    };
    for (const WireCase& c : cases) {
        ulvState.hostLittleEndian = c.hostLittleEndian;
        Bytes buffer = untouched;
        ULVToWireOrder(buffer.data(), c.size);
        EXPECT_EQ(buffer, c.expected) << "order " << int{c.hostLittleEndian} << ", size " << c.size;
        ULVToWireOrder(nullptr, c.size);  // a null field is ignored, not dereferenced
    }
}

TEST_F(HeaderTest, DetectsTheHostsOwnByteOrder) {
    const bool little = HostIsLittleEndian();
    ASSERT_EQ(little, std::endian::native == std::endian::little);  // the probe itself is sound
    fake::aplog.records.clear();
    ulvState.hostLittleEndian = 7;
    ULVDetectByteOrder();
    EXPECT_EQ(ulvState.hostLittleEndian, little ? 1 : 0);
    EXPECT_EQ(fake::aplog.Count("Chip is low Word Order\n\r"), little ? 1 : 0);
}

TEST_F(HeaderTest, FinishedHeaderHasTheWireLayoutOnEitherByteOrder) {
    FillTemplate();
    SetReportUptime(74000, 565);  // 74565 s, 74565000 ms = 0x0471C588
    uint8_t out[REPORT_HEADER_SIZE];
    ULVFinishHeader(out);

    const Bytes expected{
        0x02, 0x02,                                            // periodic report, format 2
        0x41, 0x50, 0x5f, 0x52, 0x31, 0, 0, 0, 0, 0,           // "AP_R1" ...
        0,    0,    0,    0,    0,    0, 0, 0, 0, 0,           // ... NUL-padded to 20
        0x46, 0x4c, 0x45, 0x58, 0x5f, 0x37, 0, 0, 0, 0,        // "FLEX_7" ...
        0,    0,    0,    0,    0,    0,    0, 0, 0, 0,        // ... NUL-padded to 20
        0x31, 0x32, 0x33, 0x34,                                // BP version code "1234"
        0x00, 0x03,                                            // zero byte, 3 BP records
        0x04, 0x71, 0xc5, 0x88,                                // uptime 74565000 ms
        0x26, 0x79,                                            // image fingerprint 0x2679
        0x53, 0x4e, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,  // "SN01234567"
    };
    ASSERT_EQ(expected.size(), REPORT_HEADER_SIZE);
    EXPECT_EQ(Slice(out, 0, REPORT_HEADER_SIZE), expected);
    // The template keeps its numbers in host order.
    EXPECT_EQ(LoadHost32(ulvState.reportHeader + REPORT_UPTIME_MS_OFFSET), 74565000u);
    EXPECT_EQ(TraceCount("Cumulative uptime = 12345\n"), 1);
}

TEST_F(HeaderTest, UptimeInMillisecondsKeepsTheLow32BitsOfThe64BitProduct) {
    struct Case {
        uint32_t seconds;
        uint32_t milliseconds;
        Bytes wire;
    } cases[] = {
        {4294968, 704, {0x00, 0x00, 0x02, 0xc0}},              // 4294968000 - 2^32
        {4294967, 4294967000u, {0xff, 0xff, 0xfe, 0xd8}},      // still below 2^32
        {0, 0, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SetReportUptime(c.seconds, 0);
        uint8_t out[REPORT_HEADER_SIZE];
        ULVFinishHeader(out);
        EXPECT_EQ(LoadHost32(ulvState.reportHeader + REPORT_UPTIME_MS_OFFSET), c.milliseconds)
            << c.seconds;
        EXPECT_EQ(Slice(out, REPORT_UPTIME_MS_OFFSET, 4), c.wire) << c.seconds;
    }
}

TEST_F(HeaderTest, FinishLogsTheTemplateThenTheConvertedCopyEachAnnounced) {
    FillTemplate();
    SetReportUptime(74000, 565);
    uint8_t out[REPORT_HEADER_SIZE];
    ULVFinishHeader(out);

    const std::vector<fake::AplogRecord>& records = fake::aplog.records;
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, 'A');
    EXPECT_EQ(records[0].text, "ULV Message Header Before Converted:\n\r");
    EXPECT_EQ(records[1].kind, 'B');
    EXPECT_EQ(records[1].id, 0xA9A03u);
    EXPECT_EQ(records[1].level, 3);
    EXPECT_EQ(records[1].bytes, Slice(ulvState.reportHeader, 0, REPORT_HEADER_SIZE));
    EXPECT_EQ(records[2].kind, 'A');
    EXPECT_EQ(records[2].text, "ULV Message Header After Converted:\n\r");
    EXPECT_EQ(records[3].kind, 'B');
    EXPECT_EQ(records[3].id, 0xA9A03u);
    EXPECT_EQ(records[3].level, 3);
    EXPECT_EQ(records[3].bytes, Slice(out, 0, REPORT_HEADER_SIZE));
    EXPECT_EQ(Slice(records[3].bytes, REPORT_UPTIME_MS_OFFSET, 6),
              (Bytes{0x04, 0x71, 0xc5, 0x88, 0x26, 0x79}));
}

TEST_F(HeaderTest, QuietFinishWritesTheSameHeaderAndBothRecordsWithoutTheirTexts) {
    FillTemplate();
    SetReportUptime(74000, 565);
    uint8_t loud[REPORT_HEADER_SIZE];
    ULVFinishHeader(loud);
    fake::aplog.records.clear();

    uint8_t quiet[REPORT_HEADER_SIZE];
    ULVFinishHeaderQuiet(quiet);
    EXPECT_EQ(Slice(quiet, 0, REPORT_HEADER_SIZE), Slice(loud, 0, REPORT_HEADER_SIZE));
    EXPECT_TRUE(fake::aplog.Texts().empty());
    const std::vector<fake::AplogRecord> binary = fake::aplog.Binary(0xA9A03);
    ASSERT_EQ(binary.size(), 2u);
    EXPECT_EQ(binary[0].bytes, Slice(ulvState.reportHeader, 0, REPORT_HEADER_SIZE));
    EXPECT_EQ(binary[1].bytes, Slice(quiet, 0, REPORT_HEADER_SIZE));
}

TEST_F(HeaderTest, CallTimeIsMixedUntilTheBodyConvertsItsFirstTwoBytes) {
    fake::tapi.callTime = 0x00012345;
    uint8_t field[4] = {0xaa, 0xbb, 0xcc, 0xdd};
    ASSERT_EQ(ULVGetCallTime(field), 0);
    // Bytes 0-1: the high half in host order; bytes 2-3: 0x23, 0x45.
    const Bytes mixed = HostIsLittleEndian() ? Bytes{0x01, 0x00, 0x23, 0x45}
                                             : Bytes{0x00, 0x01, 0x23, 0x45};
    EXPECT_EQ(Slice(field, 0, 4), mixed);
    ULVToWireOrder(field, 2);
    EXPECT_EQ(Slice(field, 0, 4), (Bytes{0x00, 0x01, 0x23, 0x45}));

    fake::tapi.callTime = 0xA1B2C3D4;
    ASSERT_EQ(ULVGetCallTime(field), 0);
    ULVToWireOrder(field, 2);
    EXPECT_EQ(Slice(field, 0, 4), Be32(0xA1B2C3D4));
}

TEST_F(HeaderTest, FailedCallTimeQueryLeavesTheFieldAndReportsTheFailure) {
    fake::tapi.callTimeResult = -1;
    uint8_t field[4] = {0xaa, 0xbb, 0xcc, 0xdd};
    EXPECT_EQ(ULVGetCallTime(field), -1);
    EXPECT_EQ(Slice(field, 0, 4), (Bytes{0xaa, 0xbb, 0xcc, 0xdd}));
    EXPECT_EQ(fake::aplog.Count("TAPI_ULV_GetCallTime failure\n\r"), 1);
    EXPECT_EQ(TraceCount("TAPI_ULV_GetCallTime failure\n"), 1);
}

TEST_F(HeaderTest, VersionInfoFillsLabelFlexVersionCodeAndSerialWithTheirFixedWidths) {
    // A label longer than its 20 bytes must not run into the flex version behind it.
    fake::tapi.SetApVersion("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    fake::tapi.SetBpVersion("BP.12.34", "FLEX_VERSION_20CHARS");
    fake::tapi.SetSerial("SN01234567XYZ");
    EXPECT_EQ(ULVReadVersionInfo(), 0);
    const uint8_t* header = ulvState.reportHeader;
    EXPECT_EQ(Slice(header, REPORT_AP_BUILD_LABEL_OFFSET, 20), Padded("ABCDEFGHIJKLMNOPQRST", 20));
    EXPECT_EQ(Slice(header, REPORT_FLEX_VERSION_OFFSET, 20), Padded("FLEX_VERSION_20CHARS", 20));
    EXPECT_EQ(Slice(header, REPORT_BP_VERSION_CODE_OFFSET, 4), Padded("1234", 4));
    EXPECT_EQ(Slice(header, REPORT_SERIAL_OFFSET, 10), Padded("SN01234567", 10));
    EXPECT_EQ(Slice(header, 0, 2), (Bytes{0, 0}));   // type bytes are the body builders'
    EXPECT_EQ(Slice(header, 46, 6), Bytes(6, 0));    // BP count and uptime untouched
    EXPECT_TRUE(fake::aplog.Texts().empty());
}

TEST_F(HeaderTest, VersionCodeTakesCharactersOneTwoFourFiveAfterTheFirstDot) {
    struct Case {
        const char* version;
        const char* code;  // nullptr: rejected, the previous code stays
    } cases[] = {
        {"x.12.34", "1234"},
        {".12.34", "1234"},
        {"R1.05.12.7", "0512"},  // the first dot counts, not the last
        {"BP.12.345", "1234"},
        {"x.12.3", nullptr},     // only four characters after the dot
        {"BP1234", nullptr},     // no dot at all
        {"", nullptr},
    };
    for (const auto& c : cases) {
        std::memcpy(ulvState.reportHeader + REPORT_BP_VERSION_CODE_OFFSET, "ZZZZ", 4);
        fake::tapi.SetBpVersion(c.version, "FLEX_7");
        const int before = TraceCount("Invalid version number\n\n");
        ULVReadVersionInfo();
        const Bytes code = Slice(ulvState.reportHeader, REPORT_BP_VERSION_CODE_OFFSET, 4);
        EXPECT_EQ(code, Padded(c.code != nullptr ? c.code : "ZZZZ", 4)) << c.version;
        EXPECT_EQ(TraceCount("Invalid version number\n\n") - before, c.code != nullptr ? 0 : 1)
            << c.version;
        // The flex version is taken either way.
        EXPECT_EQ(Slice(ulvState.reportHeader, REPORT_FLEX_VERSION_OFFSET, 20),
                  Padded("FLEX_7", 20));
    }
}

TEST_F(HeaderTest, EachFailedVersionQueryLeavesOnlyItsOwnFields) {
    enum Query { Ap, Bp, Serial };
    struct Case {
        Query failing;
        const char* log;
        const char* trace;
    } cases[] = {
        {Ap, "TAPI_ACCE_GetApVersionInfo Failure!", "TAPI_ACCE_GetApVersionInfo Failure!\n"},
        {Bp, "TAPI_ACCE_GetBpVersionInfo Failure!\n\r", "TAPI_ACCE_GetBpVersionInfo Failure!\n"},
        {Serial, "TAPI_ACCE_GetFactorySerialNo Failure!\n\r",
         "TAPI_ACCE_GetFactorySerialNo Failure!\n"},
    };
    for (const Case& c : cases) {
        std::memset(ulvState.reportHeader, 0xEE, REPORT_HEADER_SIZE);
        fake::aplog.records.clear();
        const int tracedBefore = TraceCount(c.trace);
        fake::tapi.apResult = c.failing == Ap ? -1 : 0;
        fake::tapi.bpResult = c.failing == Bp ? -1 : 0;
        fake::tapi.serialResult = c.failing == Serial ? -1 : 0;
        ULVReadVersionInfo();

        const uint8_t* header = ulvState.reportHeader;
        const Bytes kept20(20, 0xEE);
        EXPECT_EQ(Slice(header, REPORT_AP_BUILD_LABEL_OFFSET, 20),
                  c.failing == Ap ? kept20 : Padded("AP_R1", 20));
        EXPECT_EQ(Slice(header, REPORT_FLEX_VERSION_OFFSET, 20),
                  c.failing == Bp ? kept20 : Padded("FLEX_7", 20));
        EXPECT_EQ(Slice(header, REPORT_BP_VERSION_CODE_OFFSET, 4),
                  c.failing == Bp ? Bytes(4, 0xEE) : Padded("1234", 4));
        EXPECT_EQ(Slice(header, REPORT_SERIAL_OFFSET, 10),
                  c.failing == Serial ? Bytes(10, 0xEE) : Padded("SN01234567", 10));
        EXPECT_EQ(fake::aplog.Texts(), std::vector<std::string>{c.log});
        EXPECT_EQ(TraceCount(c.trace) - tracedBefore, 1);
    }
}

TEST_F(HeaderTest, SoftwareChangeBodyCarriesTheStoredVersionsAndStoresTheCurrentOnes) {
    FlexConfig& config = ulvState.flexConfig;
    std::memset(config.ulv_lst_bldinfo_baselabel, 0, sizeof config.ulv_lst_bldinfo_baselabel);
    std::memcpy(config.ulv_last_flex_version, "FLEX_6", 6);
    fake::tapi.SetApVersion("AP_R2");
    fake::tapi.SetBpVersion("BP.12.34", "FLEX_8");
    ULVReadVersionInfo();
    ulvState.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_PERIODIC;

    EXPECT_EQ(ULVBuildSwChangeBody(), 0);
    EXPECT_EQ(ulvState.reportHeader[REPORT_TYPE_OFFSET], 1);
    EXPECT_EQ(ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET], 2);
    // An empty stored label goes out as 20 zero bytes; the stored flex version behind it.
    EXPECT_EQ(Slice(ulvState.swChangeBody, 0, 20), Bytes(20, 0));
    EXPECT_EQ(Slice(ulvState.swChangeBody, 20, 20), Padded("FLEX_6", 20));
    // The current versions are now the stored ones (in memory only).
    EXPECT_EQ(Slice(reinterpret_cast<const uint8_t*>(config.ulv_lst_bldinfo_baselabel), 0, 20),
              Padded("AP_R2", 20));
    EXPECT_EQ(Slice(reinterpret_cast<const uint8_t*>(config.ulv_last_flex_version), 0, 20),
              Padded("FLEX_8", 20));
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));

    const std::vector<fake::AplogRecord>& records = fake::aplog.records;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, 'A');
    EXPECT_EQ(records[0].text, "last bldinfo was set to be:\n\r");
    EXPECT_EQ(records[1].kind, 'B');
    EXPECT_EQ(records[1].id, 0xA9A05u);
    EXPECT_EQ(records[1].level, 3);
    EXPECT_EQ(records[1].bytes, Padded("AP_R2", 20));
}

}  // namespace
