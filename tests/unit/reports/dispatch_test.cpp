// ULVSmsSend: the radio-state gate, the choice of report, the message, and what follows a
// send attempt.
#include <cstring>
#include <string>
#include <vector>

#include "reports_fixture.h"

namespace {

using reportstest::Be32;
using reportstest::Bytes;
using reportstest::Padded;
using reportstest::Slice;

class DispatchTest : public reportstest::ReportsTest {
protected:
    void SetUp() override {
        ReportsTest::SetUp();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.outgoingSms.destination, "+15550100");
        ulvState.reportDelay = 5;
        ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;
    }

    // The start-up decision's view of a changed build: stored "AP_R0"/"FLEX_6", current
    // "AP_R2"/"FLEX_8".
    static void PrepareSoftwareChange() {
        std::memcpy(ulvState.flexConfig.ulv_lst_bldinfo_baselabel, "AP_R0", 5);
        std::memcpy(ulvState.flexConfig.ulv_last_flex_version, "FLEX_6", 6);
        fake::tapi.SetApVersion("AP_R2");
        fake::tapi.SetBpVersion("BP.12.34", "FLEX_8");
        ULVReadVersionInfo();
        ulvState.pendingReports |= PENDING_SW_CHANGE;
    }

    static Bytes RawMessage() {
        const std::vector<fake::AplogRecord> raw = fake::aplog.Binary(0xA9A04);
        return raw.size() == 1 ? raw[0].bytes : Bytes{};
    }

    static std::string SmsText() { return ulvState.outgoingSms.text; }
};

TEST_F(DispatchTest, ClosedGateOnlyTracesTheFourFlags) {
    const struct {
        uint8_t inService, timerExpired, validPlmn, sqState;
    } cases[] = {{0, 1, 1, 1}, {1, 0, 1, 1}, {1, 1, 0, 1}, {1, 1, 1, 0}, {2, 1, 1, 1}};
    for (const auto& c : cases) {
        ulvState.inService = c.inService;
        ulvState.timerExpired = c.timerExpired;
        ulvState.validPlmn = c.validPlmn;
        ulvState.sqState = c.sqState;
        ulvState.pendingReports = PENDING_CRASH | PENDING_SW_CHANGE | PENDING_PERIODIC;
        const size_t tracesBefore = TraceMessages().size();

        EXPECT_EQ(ULVSmsSend(), 0);
        const std::vector<std::string> traces = TraceMessages();
        const std::string expected = "In SmsSend; insevice = " + std::to_string(c.inService) +
                                     ", timer expired = " + std::to_string(c.timerExpired) +
                                     ", valid plmn= " + std::to_string(c.validPlmn) +
                                     ", sqstate = " + std::to_string(c.sqState) + "\n\n";
        ASSERT_EQ(traces.size(), tracesBefore + 1);
        EXPECT_EQ(traces.back(), expected);
        EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_SW_CHANGE | PENDING_PERIODIC);
        EXPECT_EQ(ulvState.timerExpired, c.timerExpired);
        EXPECT_EQ(ulvState.inService, c.inService);
    }
    EXPECT_TRUE(fake::tapi.submissions.empty());
    EXPECT_TRUE(fake::rtc.requests.empty());
    EXPECT_TRUE(fake::aplog.records.empty());
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));
}

TEST_F(DispatchTest, SoftwareChangeGoesFirstAndTheCrashBitWaitsForTheNextCall) {
    SetBpPanics({0x10}, /*withIndex=*/false, 1);
    ulvState.pendingReports = PENDING_CRASH | PENDING_PERIODIC;
    PrepareSoftwareChange();
    ULVSmsSend();

    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    const Bytes raw = RawMessage();
    ASSERT_EQ(raw.size(), 104u);
    EXPECT_EQ(raw[0], REPORT_TYPE_SW_CHANGE);
    EXPECT_EQ(ulvState.outgoingSms.textLength, 140u);
    EXPECT_EQ(SmsText().size(), 140u);
    EXPECT_EQ(ulvState.pendingReports, PENDING_CRASH | PENDING_PERIODIC);
    EXPECT_EQ(ulvState.bpSentCount, 0);
    EXPECT_EQ(TraceCount("SW_FLEX report is ready to send\n"), 1);
    EXPECT_EQ(TraceCount("BP panic report is ready to send\n"), 0);

    // The body is logged as it goes, unconverted.
    const fake::AplogRecord body = RecordAfter("SW_Flex Change Report Body:\n\r");
    EXPECT_EQ(body.kind, 'B');
    EXPECT_EQ(body.id, 0xA9A01u);
    EXPECT_EQ(body.level, 3);
    EXPECT_EQ(body.bytes, Slice(raw, 64, 40));
    EXPECT_EQ(Slice(raw, 64, 40), []() {
        Bytes expected = Padded("AP_R0", 20);
        const Bytes flex = Padded("FLEX_6", 20);
        expected.insert(expected.end(), flex.begin(), flex.end());
        return expected;
    }());

    // The next call, after a new timer expiry, sends the crash report.
    ulvState.timerExpired = 1;
    ULVSmsSend();
    ASSERT_EQ(fake::tapi.submissions.size(), 2u);
    EXPECT_EQ(ulvState.bpSentCount, 1);
    EXPECT_EQ(TraceCount("BP panic report is ready to send\n"), 1);
}

TEST_F(DispatchTest, RefusedSoftwareChangeStillSavesTheNewBuildInformation) {
    ulvState.pendingReports = PENDING_PERIODIC;
    PrepareSoftwareChange();
    fake::tapi.submitDefault = -1;
    ULVSmsSend();

    ASSERT_EQ(fake::tapi.submissions.size(), 1u);
    const std::string config = ConfigFile();
    EXPECT_NE(config.find("ulv_lst_bldinfo_baselabel = AP_R2\n"), std::string::npos) << config;
    EXPECT_NE(config.find("ulv_last_flex_version = FLEX_8\n"), std::string::npos) << config;
    EXPECT_EQ(TraceCount("Recd. failure for SMS Send\n"), 0);  // no crash roll-back
    ExpectTimer(ULV_TIMER_PERIODIC_ID, 0, 15, 0);
}

TEST_F(DispatchTest, RefusedCrashReportDropsEveryCrashEntryAndStillStartsThePeriodicTimer) {
    SetBpPanics({0x10, 0x20}, /*withIndex=*/true, 2);
    ulvState.bpRestoreTimestamp = 0x5;
    SetQuelaPanics({0x30}, /*withIndex=*/false);
    SetKernelPanic(0x40, 0x82000);
    ulvState.pendingReports = PENDING_CRASH;
    fake::tapi.submitDefault = -1;
    ULVSmsSend();

    EXPECT_EQ(TraceCount("Recd. failure for SMS Send\n"), 1);
    EXPECT_EQ(ulvState.bpPanicList, nullptr);
    EXPECT_EQ(ulvState.quelaPanicList, nullptr);
    EXPECT_EQ(ulvState.kernelPanic, nullptr);
    EXPECT_EQ(ulvState.flexConfig.ulv_last_panic_timestamp, 0x5u);  // rolled back, in memory
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));                   // saved at the next save
    EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
    ExpectTimer(ULV_TIMER_PERIODIC_ID, 0, 15, 0);
}

TEST_F(DispatchTest, PeriodicReportIsA112ByteMessageIn152CharactersAndIsSaved) {
    ulvState.pendingReports = PENDING_PERIODIC;
    ulvState.flexConfig.ulv_cummulative_uptime = 74000;
    ulvState.lastUptimeSample = 1000;
    fake::clock.uptime = 1565;
    ULVSmsSend();

    const Bytes raw = RawMessage();
    ASSERT_EQ(raw.size(), 112u);
    EXPECT_EQ(raw[0], REPORT_TYPE_PERIODIC);
    EXPECT_EQ(ulvState.outgoingSms.textLength, 152u);
    EXPECT_EQ(SmsText().size(), 152u);
    EXPECT_EQ(TraceCount("Encoded Buf: " + SmsText() + "\n"), 1);
    EXPECT_NE(ConfigFile().find("ulv_last_preiodic_report_timestamp = 12345\n"),
              std::string::npos);
}

TEST_F(DispatchTest, CrashReportWithNoEntryLeftIsTheHeaderAloneWithTheLastTypeBytes) {
    ulvState.pendingReports = PENDING_CRASH;
    ulvState.reportHeader[REPORT_TYPE_OFFSET] = REPORT_TYPE_PERIODIC;  // set by the last body
    ulvState.reportHeader[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
    ULVSmsSend();

    const Bytes raw = RawMessage();
    ASSERT_EQ(raw.size(), 64u);
    EXPECT_EQ(Slice(raw, 0, 2), (Bytes{REPORT_TYPE_PERIODIC, REPORT_FORMAT_CODE}));
    EXPECT_EQ(ulvState.outgoingSms.textLength, 88u);
    EXPECT_EQ(SmsText().size(), 88u);
    EXPECT_EQ(fake::tapi.submissions.size(), 1u);
    EXPECT_FALSE(Exists("zel_app/setup/ulv.cfg"));  // a crash report saves at its confirmation
    EXPECT_EQ(ulvState.pendingReports, PENDING_PERIODIC);
}

TEST_F(DispatchTest, RawMessageRecordIsTheConvertedHeaderFollowedByTheBody) {
    enum Kind { SwChange, Crash, Periodic };
    for (Kind kind : {SwChange, Crash, Periodic}) {
        fake::aplog.records.clear();
        ulvState.timerExpired = 1;
        Bytes body;
        if (kind == SwChange) {
            PrepareSoftwareChange();
        } else if (kind == Crash) {
            SetBpPanics({0xCAFE0001}, /*withIndex=*/false, 1);
            fake::tapi.callTime = 0x0A0B0C0D;
            body = Be32(0x0A0B0C0D);
            const Bytes rest = Be32(0xCAFE0001);
            body.insert(body.end(), rest.begin(), rest.end());
            const Bytes id = Be32(0x100);
            body.insert(body.end(), id.begin(), id.end());
            body.insert(body.end(), ulvState.bpPanicList[0].data,
                        ulvState.bpPanicList[0].data + PANIC_DATA_SIZE);
            ulvState.pendingReports = PENDING_CRASH;
        } else {
            ulvState.pendingReports = PENDING_PERIODIC;
        }
        ULVSmsSend();

        const std::vector<fake::AplogRecord> headers = fake::aplog.Binary(0xA9A03);
        ASSERT_EQ(headers.size(), 2u) << kind;
        if (kind == SwChange) body = fake::aplog.Binary(0xA9A01).at(0).bytes;
        if (kind == Periodic) body = fake::aplog.Binary(0xA9A02).at(1).bytes;
        Bytes expected = headers[1].bytes;  // the converted copy
        expected.insert(expected.end(), body.begin(), body.end());
        EXPECT_EQ(RawMessage(), expected) << kind;

        const fake::AplogRecord announced = RecordAfter("Raw Data Buf:\n\r");
        EXPECT_EQ(announced.id, 0xA9A04u) << kind;
        EXPECT_EQ(announced.level, 3) << kind;
        ULVDeleteBpPanics();
    }
}

TEST_F(DispatchTest, EveryAttemptClearsTheExpiryAndArmsThePeriodicTimer) {
    enum Kind { SwChange, Crash, EmptyCrash, Periodic };
    for (Kind kind : {SwChange, Crash, EmptyCrash, Periodic}) {
        for (int refused : {0, 1}) {
            fake::rtc.requests.clear();
            timerFirstTime = 1;
            ulvState.timerExpired = 1;
            ulvState.pendingReports = 0;
            fake::tapi.submitDefault = refused ? -1 : 0;
            if (kind == SwChange) PrepareSoftwareChange();
            if (kind == Crash) SetBpPanics({0x10, 0x20}, /*withIndex=*/false, 2);
            if (kind == Crash || kind == EmptyCrash) ulvState.pendingReports = PENDING_CRASH;
            if (kind == Periodic) ulvState.pendingReports = PENDING_PERIODIC;
            const size_t submitted = fake::tapi.submissions.size();

            ULVSmsSend();
            EXPECT_EQ(fake::tapi.submissions.size(), submitted + 1) << kind << refused;
            EXPECT_EQ(ulvState.timerExpired, 0) << kind << refused;
            EXPECT_EQ(ulvState.pendingReports & PENDING_PERIODIC, PENDING_PERIODIC)
                << kind << refused;
            ExpectTimer(ULV_TIMER_PERIODIC_ID, 0, 15, 0);
            ULVDeleteBpPanics();
        }
    }
}

TEST_F(DispatchTest, NothingPendingSendsNothingAndKeepsTheFlags) {
    ulvState.pendingReports = 0;
    EXPECT_EQ(ULVSmsSend(), 0);
    EXPECT_TRUE(fake::tapi.submissions.empty());
    EXPECT_TRUE(fake::rtc.requests.empty());
    EXPECT_EQ(ulvState.timerExpired, 1);
    EXPECT_EQ(ulvState.pendingReports, 0u);
}

}  // namespace
