// Crash report bodies (one panic entry each) and the periodic report body.
#include <cstring>
#include <string>
#include <vector>

#include "reports_fixture.h"
#include "state/flex_config.h"

namespace {

using reportstest::Be32;
using reportstest::Bytes;
using reportstest::Slice;

class BodiesTest : public reportstest::ReportsTest {
protected:
    // One crash body built into a buffer of 0xEE bytes, with the length it was given.
    struct Built {
        uint8_t length;
        Bytes body;
    };
    static Built BuildCrash() {
        Built built{0, Bytes(CRASH_BODY_SIZE, 0xEE)};
        ULVBuildCrashBody(&built.length, built.body.data());
        return built;
    }

    static void OpenGate() {
        ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;
    }
};

// The messages of the trace records that announce a crash body, in order.
std::vector<std::string> ReadyRecords(const std::vector<std::string>& traces) {
    std::vector<std::string> ready;
    for (const std::string& t : traces)
        if (t.find("report is ready to send") != std::string::npos) ready.push_back(t);
    return ready;
}

TEST_F(BodiesTest, ReportsAllBpPanicsThenQuelaPanicsThenTheKernelPanic) {
    SetBpPanics({0x10, 0x20}, /*withIndex=*/false, 2);
    SetQuelaPanics({0x30}, /*withIndex=*/false);
    SetKernelPanic(0x40, 0x82000);
    std::vector<Bytes> stamps;
    for (int i = 0; i < 4; ++i) {
        const Built built = BuildCrash();
        EXPECT_EQ(built.length, CRASH_BODY_SIZE);
        stamps.push_back(Slice(built.body, 4, 4));
    }
    EXPECT_EQ(stamps, (std::vector<Bytes>{Be32(0x10), Be32(0x20), Be32(0x30), Be32(0x40)}));
    EXPECT_EQ(ReadyRecords(TraceMessages()),
              (std::vector<std::string>{"BP panic report is ready to send\n",
                                        "BP panic report is ready to send\n",
                                        "QUELA panic report is ready to send\n",
                                        "Kernel Panic report is ready to send\n"}));
    EXPECT_EQ(ulvState.bpSentCount, 2);
    EXPECT_EQ(ulvState.quelaSentCount, 1);
    EXPECT_EQ(ulvState.kernelPanicDone, 1);
}

TEST_F(BodiesTest, BpPanicsGoOldestFirstThroughTheIndexAndInListOrderWithout) {
    for (bool withIndex : {true, false}) {
        SetBpPanics({300, 100, 200}, withIndex, 3);
        std::vector<Bytes> stamps;
        std::vector<uint32_t> marks;
        for (int i = 0; i < 3; ++i) {
            stamps.push_back(Slice(BuildCrash().body, 4, 4));
            marks.push_back(ulvState.flexConfig.ulv_last_panic_timestamp);
        }
        const std::vector<uint32_t> order =
            withIndex ? std::vector<uint32_t>{100, 200, 300} : std::vector<uint32_t>{300, 100, 200};
        EXPECT_EQ(stamps, (std::vector<Bytes>{Be32(order[0]), Be32(order[1]), Be32(order[2])}))
            << withIndex;
        EXPECT_EQ(marks, order) << withIndex;
        ULVDeleteBpPanics();
    }
}

TEST_F(BodiesTest, BpCountMarkCountsOldRecordsPlusTheOnesReported) {
    // 5 records in the logs, 3 of them new.
    SetBpPanics({0x10, 0x20, 0x30}, /*withIndex=*/true, 5);
    std::vector<int> counts;
    for (int i = 0; i < 3; ++i) {
        BuildCrash();
        counts.push_back(ulvState.flexConfig.ulv_last_num_panics);
    }
    EXPECT_EQ(counts, (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET], 5);  // header byte 47
}

TEST_F(BodiesTest, QuelaCountMarkCountsDownTheEntriesNotYetReported) {
    SetQuelaPanics({0x30, 0x10, 0x20}, /*withIndex=*/true);
    std::vector<uint32_t> counts;
    std::vector<uint32_t> marks;
    for (int i = 0; i < 3; ++i) {
        BuildCrash();
        counts.push_back(ulvState.flexConfig.ulv_last_ap_quela_num_panics);
        marks.push_back(ulvState.flexConfig.ulv_last_ap_quela_panic_timestamp);
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{4, 3, 2}));
    EXPECT_EQ(marks, (std::vector<uint32_t>{0x10, 0x20, 0x30}));
}

TEST_F(BodiesTest, BodyIsTheRecordInWireOrderForEverySource) {
    enum Source { Bp, Quela, Kernel };
    for (Source source : {Bp, Quela, Kernel}) {
        PanicRecord* record = nullptr;
        if (source == Bp) {
            SetBpPanics({0}, /*withIndex=*/true, 1);
            record = ulvState.bpPanicList;
        } else if (source == Quela) {
            SetQuelaPanics({0}, /*withIndex=*/true);
            record = ulvState.quelaPanicList;
        } else {
            SetKernelPanic(0, 0);
            record = ulvState.kernelPanic;
        }
        record->timestamp = 0x11223344;
        record->id = 2;
        for (size_t i = 0; i < PANIC_DATA_SIZE; ++i) record->data[i] = static_cast<uint8_t>(i);
        fake::tapi.callTime = 7;
        ulvState.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_PERIODIC;
        ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET] = 0;

        const Built built = BuildCrash();
        Bytes expected{
            0x00, 0x00, 0x00, 0x07,  // call time 7
            0x11, 0x22, 0x33, 0x44,  // time stamp 0x11223344
            0x00, 0x00, 0x00, 0x02,  // id 2
        };
        for (uint8_t i = 0; i < PANIC_DATA_SIZE; ++i) expected.push_back(i);  // data as it is
        EXPECT_EQ(built.length, 48) << source;
        EXPECT_EQ(built.body, expected) << source;
        EXPECT_EQ(record->timestamp, 0x11223344u) << source;  // the record stays in host order
        EXPECT_EQ(record->id, 2u) << source;
        EXPECT_EQ(ulvState.reportHeader[REPORT_TYPE_OFFSET], REPORT_TYPE_CRASH) << source;
        EXPECT_EQ(ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET], 2) << source;

        ULVDeleteBpPanics();
        ULVDeleteQuelaPanics();
        ULVReleaseKernelPanic();
    }
}

TEST_F(BodiesTest, FailedCallTimeIsLoggedTracedExceptForTheKernelAndTheBodyStillBuilt) {
    enum Source { Bp, Quela, Kernel };
    fake::tapi.callTimeResult = -1;
    for (Source source : {Bp, Quela, Kernel}) {
        if (source == Bp) SetBpPanics({0x10}, /*withIndex=*/false, 1);
        if (source == Quela) SetQuelaPanics({0x10}, /*withIndex=*/false);
        if (source == Kernel) SetKernelPanic(0x10, 0x82000);
        fake::aplog.records.clear();
        const int traced = TraceCount("Get the Call Time Failed\n");

        const Built built = BuildCrash();
        EXPECT_EQ(built.length, 48) << source;
        EXPECT_EQ(Slice(built.body, 0, 8), (Bytes{0, 0, 0, 0, 0, 0, 0, 0x10})) << source;
        EXPECT_EQ(fake::aplog.Count("Get the Call Time Failed\n\r"), 1) << source;
        EXPECT_EQ(TraceCount("Get the Call Time Failed\n") - traced, source == Kernel ? 0 : 1)
            << source;

        ULVDeleteBpPanics();
        ULVDeleteQuelaPanics();
        ULVReleaseKernelPanic();
    }
}

TEST_F(BodiesTest, NoEntryLeftLeavesLengthBodyAndHeaderAlone) {
    ulvState.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_PERIODIC;
    // Nothing at all, then a BP list whose entries have all been sent.
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            SetBpPanics({0x10}, /*withIndex=*/false, 1);
            ulvState.bpSentCount = 1;
        }
        const Built built = BuildCrash();
        EXPECT_EQ(built.length, 0) << round;
        EXPECT_EQ(built.body, Bytes(CRASH_BODY_SIZE, 0xEE)) << round;
        EXPECT_EQ(ulvState.reportHeader[REPORT_TYPE_OFFSET], REPORT_TYPE_PERIODIC) << round;
    }
    EXPECT_TRUE(ReadyRecords(TraceMessages()).empty());
}

TEST_F(BodiesTest, KernelBodyMarksThePanicDoneAndTracesTheProgramCounter) {
    SetKernelPanic(0x5A5A0001, 0x82002);
    const uint8_t pc[4] = {0xC0, 0x00, 0x12, 0x34};  // a zero byte inside the counter
    std::memset(ulvState.kernelPanic->data, 0, PANIC_DATA_SIZE);
    std::memcpy(ulvState.kernelPanic->data, pc, 4);
    fake::tapi.callTime = 0x00010002;

    const Built built = BuildCrash();
    EXPECT_EQ(Slice(built.body, 0, 16), (Bytes{
                                            0x00, 0x01, 0x00, 0x02,  // call time
                                            0x5A, 0x5A, 0x00, 0x01,  // time stamp
                                            0x00, 0x08, 0x20, 0x02,  // id: forced panic
                                            0xC0, 0x00, 0x12, 0x34,  // program counter
                                        }));
    EXPECT_EQ(ulvState.kernelPanicDone, 1);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_ap_kernel_timestamp, 0x5A5A0001u);
    EXPECT_NE(ulvState.kernelPanic, nullptr);  // released by the confirmation
    EXPECT_EQ(TraceCount("PC is c0001234\n\n"), 1);
}

TEST_F(BodiesTest, PeriodicBodyRecordsTheReportUptimeAsTheLastPeriodicReport) {
    ulvState.reportUptime = 0x10;  // from an earlier refresh
    ulvState.flexConfig.ulv_cummulative_uptime = 74000;
    ulvState.lastUptimeSample = 1000;
    fake::clock.uptime = 1565;  // 74565 s = 0x12345
    EXPECT_EQ(ULVBuildPeriodicBody(), 0);

    EXPECT_EQ(ulvState.flexConfig.ulv_last_preiodic_report_timestamp, 74565u);
    EXPECT_EQ(ulvState.reportHeader[REPORT_TYPE_OFFSET], REPORT_TYPE_PERIODIC);
    EXPECT_EQ(ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET], 2);
    const std::vector<std::string> texts = fake::aplog.Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], "cumulative uptime == 10\n\r");  // the value before the refresh
    EXPECT_EQ(texts[1], "last_periodic_report == 12345\n\r");
    EXPECT_EQ(TraceCount("ULV Periodic Message, uptime = 12345 0000000000012345\n"), 1);

    ULVSetFlexConfig();
    EXPECT_NE(ConfigFile().find("ulv_last_preiodic_report_timestamp = 12345\n"), std::string::npos)
        << ConfigFile();
}

TEST_F(BodiesTest, PeriodicBodyOnTheWireHasCallTimeZerosAndTheGenericDataAsGiven) {
    fake::tapi.callTime = 0x00012345;
    for (size_t i = 0; i < fake::tapi.generic.size(); ++i)
        fake::tapi.generic[i] = static_cast<uint8_t>(0xB0 + i);
    OpenGate();
    ulvState.pendingReports = PENDING_PERIODIC;
    ULVSmsSend();

    Bytes expected{0x00, 0x01, 0x23, 0x45};                         // call time 0x12345
    expected.resize(24, 0);                                          // five zero numbers
    for (uint8_t i = 0; i < 24; ++i) expected.push_back(0xB0 + i);  // generic data, unchanged
    const std::vector<fake::AplogRecord> bodies = fake::aplog.Binary(0xA9A02);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].bytes, Slice(ulvState.periodicBody, 0, 48));  // before conversion
    EXPECT_EQ(bodies[1].bytes, expected);                             // after conversion
    const std::vector<fake::AplogRecord> raw = fake::aplog.Binary(0xA9A04);
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(Slice(raw[0].bytes, 64, 48), expected);

    const std::vector<fake::AplogRecord> generic = fake::aplog.Binary(0xA9A06);
    ASSERT_EQ(generic.size(), 1u);
    EXPECT_EQ(generic[0].level, 3);
    EXPECT_EQ(generic[0].bytes, Slice(expected, 24, 24));
    EXPECT_TRUE(fake::aplog.Has("GenericData - \n\r"));
    EXPECT_TRUE(fake::aplog.Has("PERIODIC report\n\r"));
    EXPECT_EQ(TraceCount("PERIODIC report is ready to send\n"), 1);
    EXPECT_EQ(TraceCount("Sending ULV periodic report\n"), 1);
}

TEST_F(BodiesTest, PeriodicBodyQueryFailuresGiveMinusOneAndKeepOrClearTheirFields) {
    const struct {
        int callTimeResult;
        int genericResult;
    } cases[] = {{-1, 0}, {0, -1}, {-1, -1}};
    for (const auto& c : cases) {
        fake::tapi.callTimeResult = c.callTimeResult;
        fake::tapi.genericResult = c.genericResult;
        fake::tapi.callTime = 0x00050006;
        fake::tapi.generic.fill(0x77);
        const uint8_t previous[4] = {9, 8, 7, 6};  // the call time of the previous report
        std::memcpy(ulvState.periodicBody, previous, 4);
        std::memset(ulvState.periodicBody + 24, 0xEE, 24);
        fake::aplog.records.clear();
        const int tracedGeneric = TraceCount("TAPI_ULV_GetGenericData failure\n");

        EXPECT_EQ(ULVBuildPeriodicBody(), -1);
        if (c.callTimeResult != 0) {
            EXPECT_EQ(Slice(ulvState.periodicBody, 0, 4), (Bytes{9, 8, 7, 6}));
            EXPECT_TRUE(fake::aplog.Has("TAPI_ULV_GetCallTime failure\n\r"));
        } else {
            EXPECT_EQ(Slice(ulvState.periodicBody, 2, 2), (Bytes{0x00, 0x06}));
        }
        const bool genericFailed = c.genericResult != 0;
        // A failed query leaves the cleared area: the block goes out as zeros.
        EXPECT_EQ(Slice(ulvState.periodicBody, 24, 24), Bytes(24, genericFailed ? 0x00 : 0x77));
        EXPECT_EQ(fake::aplog.Count("TAPI_ULV_GetGenericData failure\n\r"), genericFailed ? 1 : 0);
        EXPECT_EQ(TraceCount("TAPI_ULV_GetGenericData failure\n") - tracedGeneric,
                  genericFailed ? 1 : 0);
        EXPECT_EQ(fake::aplog.Binary(0xA9A06).size(), 1u);  // dumped either way
    }
}

}  // namespace
